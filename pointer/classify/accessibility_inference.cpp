#include "pointer/classify/accessibility_inference.hpp"

#include <algorithm>
#include <array>
#include <string_view>

namespace pointer::classify {
namespace {

constexpr std::string_view kEditableAttribute = "AXEditable";
constexpr std::string_view kLinkRole = "AXLink";
constexpr std::string_view kPressAction = "AXPress";

constexpr std::array<std::string_view, 4> kTextRoles{"AXTextField", "AXTextArea", "AXComboBox", "AXSearchField"};
constexpr std::array<std::string_view, 7> kPressableRoles{
    "AXButton", kLinkRole, "AXMenuItem", "AXPopUpButton", "AXRadioButton", "AXCheckBox", "AXTabGroup"};
constexpr std::array<std::string_view, 6> kTextWords{"text field", "search field", "editor",
                                                     "insertion point", "caret", "source editor"};
constexpr std::array<std::string_view, 4> kCrosshairWords{"crosshair", "cross hair", "precision", "crop"};
constexpr std::array<std::string_view, 6> kMetadataAttributes{"AXRole", "AXSubrole", "AXRoleDescription",
                                                              "AXDescription", "AXHelp", "AXTitle"};

template <size_t N>
bool isOneOf(std::string_view value, const std::array<std::string_view, N>& set) {
    return std::find(set.begin(), set.end(), value) != set.end();
}

template <size_t N>
bool containsAnyWord(std::string_view text, const std::array<std::string_view, N>& words) {
    return std::any_of(words.begin(), words.end(),
                       [&](std::string_view word) { return text.find(word) != std::string_view::npos; });
}

bool hasAction(const std::vector<std::string>& actions, std::string_view action) {
    return std::find(actions.begin(), actions.end(), action) != actions.end();
}

std::string lowercased(std::string text) {
    for (auto& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

}  // namespace

std::vector<platform::ElementHandle> ancestorChain(platform::ElementHandle start, int maxDepth) {
    std::vector<platform::ElementHandle> chain;
    if (!start) return chain;
    chain.push_back(std::move(start));
    for (int depth = 0; depth < maxDepth; ++depth) {
        auto parent = chain.back()->parent();
        if (!parent) break;
        chain.push_back(std::move(parent));
    }
    return chain;
}

std::string metadataString(const platform::AccessibilityElement& element) {
    std::string joined;
    bool first = true;
    for (const auto attribute : kMetadataAttributes) {
        const auto value = element.attributeString(attribute);
        if (!value) continue;
        if (!first) joined += ' ';
        joined += lowercased(*value);
        first = false;
    }
    return joined;
}

bool elementLooksTextual(const platform::AccessibilityElement& element) {
    if (element.attributeBool(kEditableAttribute) == true) return true;
    if (isOneOf(element.attributeString("AXRole").value_or(""), kTextRoles)) return true;
    if (isOneOf(element.attributeString("AXSubrole").value_or(""), kTextRoles)) return true;
    const auto metadata = metadataString(element);
    if (containsAnyWord(metadata, kTextWords)) return true;
    if (element.hasAttribute("AXSelectedTextRange")) return true;
    if (element.hasAttribute("AXNumberOfCharacters")) return true;
    if (hasAction(element.actionNames(), kPressAction)) return metadata.find("text") != std::string::npos;
    return false;
}

std::optional<std::string> cursorMatchForChains(const std::vector<platform::ElementHandle>& underPointer,
                                                const std::vector<platform::ElementHandle>& focused) {
    for (const auto* chain : {&underPointer, &focused}) {
        for (const auto& element : *chain) {
            if (elementLooksTextual(*element)) return "text";
        }
    }
    if (underPointer.empty()) return std::nullopt;

    const auto& element = *underPointer.front();
    const auto role = element.attributeString("AXRole").value_or("");
    const auto enabled = element.attributeBool("AXEnabled");
    const auto actions = element.actionNames();

    std::string chainMetadata;
    for (const auto& ancestor : underPointer) {
        auto metadata = metadataString(*ancestor);
        if (metadata.empty()) continue;
        if (!chainMetadata.empty()) chainMetadata += ' ';
        chainMetadata += metadata;
    }
    if (containsAnyWord(chainMetadata, kCrosshairWords)) return "crosshair";
    // Splitters are reported as resizing sideways whatever their orientation.
    if (role == "AXSplitter") return "resize-ew";

    const bool pressable = hasAction(actions, kPressAction) || isOneOf(role, kPressableRoles);
    if (!pressable) return std::nullopt;
    return enabled.value_or(true) ? "pointer" : "not-allowed";
}

std::optional<std::string> AccessibilityInference::cursorMatch() {
    const auto underPointer = ancestorChain(currentElement());
    const auto focused = ancestorChain(service_.focusedElement());
    return cursorMatchForChains(underPointer, focused);
}

platform::ElementHandle AccessibilityInference::currentElement() {
    const auto location = pointer_.location();
    if (!location) return nullptr;
    return service_.elementAt(*location);
}

}  // namespace pointer::classify
