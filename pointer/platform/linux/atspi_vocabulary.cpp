#include "pointer/platform/linux/atspi_vocabulary.hpp"

#include <array>
#include <utility>

namespace pointer::platform::linux_x11 {
namespace {

constexpr std::array<std::pair<AtspiRole, std::string_view>, 43> kRoleTable{{
    {ATSPI_ROLE_PUSH_BUTTON, "AXButton"},
    {ATSPI_ROLE_TOGGLE_BUTTON, "AXCheckBox"},
    {ATSPI_ROLE_CHECK_BOX, "AXCheckBox"},
    {ATSPI_ROLE_RADIO_BUTTON, "AXRadioButton"},
    {ATSPI_ROLE_PAGE_TAB, "AXRadioButton"},
    {ATSPI_ROLE_PAGE_TAB_LIST, "AXTabGroup"},
    {ATSPI_ROLE_LINK, "AXLink"},
    {ATSPI_ROLE_MENU_ITEM, "AXMenuItem"},
    {ATSPI_ROLE_CHECK_MENU_ITEM, "AXMenuItem"},
    {ATSPI_ROLE_RADIO_MENU_ITEM, "AXMenuItem"},
    {ATSPI_ROLE_TEAROFF_MENU_ITEM, "AXMenuItem"},
    {ATSPI_ROLE_MENU, "AXMenu"},
    {ATSPI_ROLE_MENU_BAR, "AXMenuBar"},
    {ATSPI_ROLE_POPUP_MENU, "AXMenu"},
    {ATSPI_ROLE_ENTRY, "AXTextField"},
    {ATSPI_ROLE_PASSWORD_TEXT, "AXTextField"},
    {ATSPI_ROLE_TEXT, "AXTextArea"},
    {ATSPI_ROLE_DOCUMENT_TEXT, "AXTextArea"},
    {ATSPI_ROLE_TERMINAL, "AXTextArea"},
    {ATSPI_ROLE_EDITBAR, "AXTextField"},
    {ATSPI_ROLE_SPIN_BUTTON, "AXIncrementor"},
    {ATSPI_ROLE_SLIDER, "AXSlider"},
    {ATSPI_ROLE_SCROLL_BAR, "AXScrollBar"},
    {ATSPI_ROLE_SCROLL_PANE, "AXScrollArea"},
    // GTK exposes no separate handle: the pane itself is what lies under the pointer only where
    // its children do not, which is the handle.
    {ATSPI_ROLE_SPLIT_PANE, "AXSplitter"},
    {ATSPI_ROLE_SEPARATOR, "AXSplitter"},
    {ATSPI_ROLE_LABEL, "AXStaticText"},
    {ATSPI_ROLE_STATIC, "AXStaticText"},
    {ATSPI_ROLE_CAPTION, "AXStaticText"},
    {ATSPI_ROLE_IMAGE, "AXImage"},
    {ATSPI_ROLE_ICON, "AXImage"},
    {ATSPI_ROLE_PROGRESS_BAR, "AXProgressIndicator"},
    {ATSPI_ROLE_TOOL_BAR, "AXToolbar"},
    {ATSPI_ROLE_TABLE, "AXTable"},
    {ATSPI_ROLE_TREE_TABLE, "AXOutline"},
    {ATSPI_ROLE_TREE, "AXOutline"},
    {ATSPI_ROLE_LIST, "AXList"},
    {ATSPI_ROLE_LIST_BOX, "AXList"},
    {ATSPI_ROLE_FRAME, "AXWindow"},
    {ATSPI_ROLE_WINDOW, "AXWindow"},
    {ATSPI_ROLE_DIALOG, "AXWindow"},
    {ATSPI_ROLE_APPLICATION, "AXApplication"},
    {ATSPI_ROLE_PANEL, "AXGroup"},
}};

}  // namespace

std::string axRoleFor(AtspiRole role, RoleHints hints) {
    if (role == ATSPI_ROLE_COMBO_BOX) return hints.editable ? "AXComboBox" : "AXPopUpButton";
    if (role == ATSPI_ROLE_TEXT && hints.singleLine) return "AXTextField";
    for (const auto& [atspiRole, axRole] : kRoleTable) {
        if (atspiRole == role) return std::string(axRole);
    }
    return "AXUnknown";
}

std::optional<std::string> axSubroleFor(AtspiRole role) {
    if (role == ATSPI_ROLE_PASSWORD_TEXT) return "AXSecureTextField";
    if (role == ATSPI_ROLE_TOGGLE_BUTTON) return "AXToggle";
    return std::nullopt;
}

std::string axActionFor(std::string_view atspiAction) {
    for (const auto press : {"click", "press", "activate", "toggle", "jump"}) {
        if (atspiAction == press) return "AXPress";
    }
    return std::string(atspiAction);
}

bool carriesEditableText(AtspiRole role, bool editable) {
    if (editable) return true;
    switch (role) {
        case ATSPI_ROLE_ENTRY:
        case ATSPI_ROLE_PASSWORD_TEXT:
        case ATSPI_ROLE_TEXT:
        case ATSPI_ROLE_DOCUMENT_TEXT:
        case ATSPI_ROLE_TERMINAL:
        case ATSPI_ROLE_EDITBAR: return true;
        default: return false;
    }
}

}  // namespace pointer::platform::linux_x11
