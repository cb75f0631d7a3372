#pragma once

#include <atspi/atspi.h>

#include <optional>
#include <string>
#include <string_view>

namespace pointer::platform::linux_x11 {

// The attribute vocabulary the inference reads, from what AT-SPI says of an element.

// What the states of an element add to its role.
struct RoleHints {
    bool editable = false;   // tells combo boxes with an entry from drop-down buttons
    bool singleLine = false;  // tells one-line text fields from text areas (GTK calls both "text")
};

// "AXRole" for an AT-SPI role.
std::string axRoleFor(AtspiRole role, RoleHints hints);
// "AXSubrole", where a role has one.
std::optional<std::string> axSubroleFor(AtspiRole role);
// The action name for an AT-SPI action name: the ways of pressing a control are all "AXPress".
std::string axActionFor(std::string_view atspiAction);
// Whether an element with the Text interface shows text a person edits or reads as a document,
// as opposed to a caption (labels and buttons implement the Text interface too).
bool carriesEditableText(AtspiRole role, bool editable);

}  // namespace pointer::platform::linux_x11
