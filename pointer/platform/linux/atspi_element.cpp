#include "pointer/platform/linux/atspi_element.hpp"

#include "pointer/platform/linux/atspi_vocabulary.hpp"

namespace pointer::platform::linux_x11 {
namespace {

struct ErrorFree {
    void operator()(GError* error) const { g_error_free(error); }
};

// Calls an AT-SPI getter; a reported error reads as absent. The error is freed here.
template <class Getter>
auto readOrAbsent(Getter getter) -> std::optional<decltype(getter(std::declval<GError**>()))> {
    GError* raw = nullptr;
    auto value = getter(&raw);
    std::unique_ptr<GError, ErrorFree> error(raw);
    if (error) return std::nullopt;
    return value;
}

std::optional<std::string> ownedText(std::optional<gchar*> text) {
    if (!text || *text == nullptr) return std::nullopt;
    std::string result(*text);
    g_free(*text);
    return result;
}

}  // namespace

std::optional<AtspiRole> AtspiElement::role() const {
    return readOrAbsent([&](GError** error) { return atspi_accessible_get_role(accessible_.get(), error); });
}

std::optional<bool> AtspiElement::hasState(AtspiStateType state) const {
    GObjectRef<AtspiStateSet> states(atspi_accessible_get_state_set(accessible_.get()));
    if (!states) return std::nullopt;
    return atspi_state_set_contains(states.get(), state) != FALSE;
}

bool AtspiElement::hasEditableText() const {
    GObjectRef<AtspiText> text(atspi_accessible_get_text_iface(accessible_.get()));
    if (!text) return false;
    const auto elementRole = role();
    return elementRole && carriesEditableText(*elementRole, hasState(ATSPI_STATE_EDITABLE).value_or(false));
}

std::optional<std::string> AtspiElement::attributeString(std::string_view attribute) const {
    auto* accessible = accessible_.get();
    if (attribute == "AXRole") {
        const auto elementRole = role();
        if (!elementRole) return std::nullopt;
        return axRoleFor(*elementRole, {.editable = hasState(ATSPI_STATE_EDITABLE).value_or(false),
                                        .singleLine = hasState(ATSPI_STATE_SINGLE_LINE).value_or(false)});
    }
    if (attribute == "AXSubrole") {
        const auto elementRole = role();
        return elementRole ? axSubroleFor(*elementRole) : std::nullopt;
    }
    if (attribute == "AXRoleDescription") {
        return ownedText(readOrAbsent([&](GError** e) { return atspi_accessible_get_role_name(accessible, e); }));
    }
    if (attribute == "AXDescription") {
        return ownedText(readOrAbsent([&](GError** e) { return atspi_accessible_get_description(accessible, e); }));
    }
    if (attribute == "AXTitle") {
        return ownedText(readOrAbsent([&](GError** e) { return atspi_accessible_get_name(accessible, e); }));
    }
    // AT-SPI of this generation has no help text.
    return std::nullopt;
}

std::optional<bool> AtspiElement::attributeBool(std::string_view attribute) const {
    if (attribute == "AXEnabled") return hasState(ATSPI_STATE_ENABLED);
    if (attribute == "AXEditable") return hasState(ATSPI_STATE_EDITABLE);
    return std::nullopt;
}

bool AtspiElement::hasAttribute(std::string_view attribute) const {
    if (attribute == "AXSelectedTextRange" || attribute == "AXNumberOfCharacters") return hasEditableText();
    if (attribute == "AXEnabled" || attribute == "AXEditable") return attributeBool(attribute).has_value();
    return attributeString(attribute).has_value();
}

std::vector<std::string> AtspiElement::actionNames() const {
    std::vector<std::string> names;
    GObjectRef<AtspiAction> action(atspi_accessible_get_action_iface(accessible_.get()));
    if (!action) return names;
    const auto count = readOrAbsent([&](GError** e) { return atspi_action_get_n_actions(action.get(), e); });
    for (gint i = 0; i < count.value_or(0); ++i) {
        auto name = ownedText(readOrAbsent([&](GError** e) { return atspi_action_get_action_name(action.get(), i, e); }));
        if (name) names.push_back(axActionFor(*name));
    }
    return names;
}

std::unique_ptr<AccessibilityElement> AtspiElement::parent() const {
    auto parent = readOrAbsent([&](GError** e) { return atspi_accessible_get_parent(accessible_.get(), e); });
    if (!parent || *parent == nullptr) return nullptr;
    GObjectRef<AtspiAccessible> owned(*parent);
    // The desktop is AT-SPI's bookkeeping, not a user-interface element a person points at.
    const auto parentRole = readOrAbsent([&](GError** e) { return atspi_accessible_get_role(owned.get(), e); });
    if (parentRole == ATSPI_ROLE_DESKTOP_FRAME) return nullptr;
    return std::make_unique<AtspiElement>(std::move(owned));
}

}  // namespace pointer::platform::linux_x11
