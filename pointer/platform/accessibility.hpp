#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/rect.hpp"

namespace pointer::platform {

// One user-interface element as the accessibility service describes it, in the attribute
// vocabulary the inference reads ("AXRole" -> "AXButton", "AXEnabled", "AXPress", ...). Every
// question that the service cannot answer reads as absent.
class AccessibilityElement {
public:
    virtual ~AccessibilityElement() = default;
    virtual std::optional<std::string> attributeString(std::string_view attribute) const = 0;
    virtual std::optional<bool> attributeBool(std::string_view attribute) const = 0;
    // True exactly when the attribute's value can be read.
    virtual bool hasAttribute(std::string_view attribute) const = 0;
    virtual std::vector<std::string> actionNames() const = 0;
    // The "AXParent" element; none at the top or on any error.
    virtual std::unique_ptr<AccessibilityElement> parent() const = 0;
};

using ElementHandle = std::unique_ptr<AccessibilityElement>;

class AccessibilityService {
public:
    virtual ~AccessibilityService() = default;
    // The deepest element at a point in global display coordinates (top-left origin, y down).
    virtual ElementHandle elementAt(common::Point point) = 0;
    // The element with the keyboard focus ("AXFocusedUIElement" of the whole system).
    virtual ElementHandle focusedElement() = 0;
};

}  // namespace pointer::platform
