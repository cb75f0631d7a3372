#pragma once

#include <optional>
#include <string>
#include <vector>

#include "pointer/platform/accessibility.hpp"
#include "pointer/platform/cursor_services.hpp"

namespace pointer::classify {

// Guesses the cursor from the user-interface element under the pointer and the focused element,
// for when the shown cursor's picture cannot be had.
class AccessibilityInference {
public:
    AccessibilityInference(platform::AccessibilityService& service, platform::ScreenPointer& pointer)
        : service_(service), pointer_(pointer) {}

    // "text", "crosshair", "resize-ew", "pointer" or "not-allowed"; none when nothing suggests one.
    std::optional<std::string> cursorMatch();

    // The element at the pointer's position. The position goes to the service as it is: both use
    // the same top-left display coordinates, so flipping it would name the element at the mirrored point.
    platform::ElementHandle currentElement();

private:
    platform::AccessibilityService& service_;
    platform::ScreenPointer& pointer_;
};

// The element followed by up to `maxDepth` of its ancestors, nearest first.
std::vector<platform::ElementHandle> ancestorChain(platform::ElementHandle start, int maxDepth = 4);

// Role, subrole, role description, description, help and title, lower-cased, joined by blanks.
std::string metadataString(const platform::AccessibilityElement& element);

bool elementLooksTextual(const platform::AccessibilityElement& element);

// The rules applied to chains already gathered: `underPointer` first element is the element at the
// pointer, `focused` starts with the focused element.
std::optional<std::string> cursorMatchForChains(const std::vector<platform::ElementHandle>& underPointer,
                                                const std::vector<platform::ElementHandle>& focused);

}  // namespace pointer::classify
