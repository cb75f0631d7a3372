#pragma once

#include "pointer/platform/accessibility.hpp"

namespace pointer::platform::linux_x11 {

// Accessible elements from AT-SPI 2. Connects to the accessibility bus on the first question, so
// a session that never needs the inference never touches D-Bus; without a bus every question
// reads as absent. Not thread-safe: use it from one thread (the state timer's).
class AtspiAccessibility final : public AccessibilityService {
public:
    ElementHandle elementAt(common::Point point) override;
    ElementHandle focusedElement() override;

private:
    bool connect();
    enum class Connection { untried, connected, unavailable };
    Connection connection_ = Connection::untried;
};

}  // namespace pointer::platform::linux_x11
