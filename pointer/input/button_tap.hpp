#pragma once

#include <optional>
#include <string>

#include "common/output_lines.hpp"
#include "pointer/platform/button_events.hpp"

namespace pointer::input {

// The line for one tapped event: left and right by their own types, the middle button by the
// button number of an other-button event; every other event gives none.
std::optional<std::string> interactionLineForEvent(const platform::MouseEvent& event);

// Listens to button events and prints each one. False when the listener cannot be installed.
bool installButtonTap(platform::ButtonEventSource& source, common::LineSink& sink);

}  // namespace pointer::input
