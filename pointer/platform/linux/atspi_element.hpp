#pragma once

#include <atspi/atspi.h>

#include <memory>

#include "pointer/platform/accessibility.hpp"

namespace pointer::platform::linux_x11 {

struct GObjectUnref {
    void operator()(gpointer object) const {
        if (object != nullptr) g_object_unref(object);
    }
};

// An owned reference to an AT-SPI object.
template <class T>
using GObjectRef = std::unique_ptr<T, GObjectUnref>;

// One AT-SPI accessible, answering in the attribute vocabulary of the inference.
class AtspiElement final : public AccessibilityElement {
public:
    explicit AtspiElement(GObjectRef<AtspiAccessible> accessible) : accessible_(std::move(accessible)) {}

    std::optional<std::string> attributeString(std::string_view attribute) const override;
    std::optional<bool> attributeBool(std::string_view attribute) const override;
    bool hasAttribute(std::string_view attribute) const override;
    std::vector<std::string> actionNames() const override;
    std::unique_ptr<AccessibilityElement> parent() const override;

private:
    std::optional<AtspiRole> role() const;
    std::optional<bool> hasState(AtspiStateType state) const;
    bool hasEditableText() const;

    GObjectRef<AtspiAccessible> accessible_;
};

}  // namespace pointer::platform::linux_x11
