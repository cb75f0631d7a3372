#include "pointer/classify/accessibility_inference.hpp"

#include <gtest/gtest.h>

#include "pointer_fakes.hpp"

namespace pointer::classify {
namespace {

using testing::FakeElementData;

// A small window: application > window > group > controls.
class AccessibilityInferenceTest : public ::testing::Test {
protected:
    AccessibilityInferenceTest() : inference(service, pointer) { pointer.moveTo(common::Point{300, 40}); }

    std::optional<std::string> matchOver(const FakeElementData* underPointer, const FakeElementData* focused = nullptr) {
        service.underPointer = underPointer;
        service.focused = focused;
        return inference.cursorMatch();
    }

    FakeElementData application{{{"AXRole", "AXApplication"}, {"AXTitle", "Photo Studio"}}, {}, {}, {}, nullptr};
    FakeElementData window{{{"AXRole", "AXWindow"}, {"AXTitle", "Photos"}}, {}, {}, {}, &application};
    FakeElementData group{{{"AXRole", "AXGroup"}}, {}, {}, {}, &window};
    FakeElementData searchField{{{"AXRole", "AXTextField"}, {"AXSubrole", "AXSearchField"}}, {}, {}, {}, &group};
    FakeElementData cropButton{{{"AXRole", "AXButton"}, {"AXTitle", "Crop"}}, {{"AXEnabled", true}}, {}, {"AXPress"}, &group};
    FakeElementData saveButton{{{"AXRole", "AXButton"}, {"AXTitle", "Save"}}, {{"AXEnabled", true}}, {}, {"AXPress"}, &group};
    FakeElementData disabledCheckBox{{{"AXRole", "AXCheckBox"}, {"AXTitle", "Sync"}}, {{"AXEnabled", false}}, {}, {}, &group};
    FakeElementData label{{{"AXRole", "AXStaticText"}, {"AXTitle", "Name"}}, {{"AXEnabled", true}}, {}, {}, &group};
    FakeElementData textField{{{"AXRole", "AXTextField"}}, {{"AXEnabled", true}}, {}, {}, &group};
    FakeElementData splitter{{{"AXRole", "AXSplitter"}, {"AXRoleDescription", "horizontal splitter"}}, {}, {}, {}, &group};

    testing::ScriptedScreenPointer pointer;
    testing::FakeAccessibilityService service;
    AccessibilityInference inference;
};

TEST_F(AccessibilityInferenceTest, SearchFieldIsText) { EXPECT_EQ(matchOver(&searchField), "text"); }

TEST_F(AccessibilityInferenceTest, ButtonTitledCropIsACrosshairNotAPointer) {
    EXPECT_EQ(matchOver(&cropButton), "crosshair");
    EXPECT_EQ(matchOver(&saveButton), "pointer");
}

TEST_F(AccessibilityInferenceTest, CrosshairWordsAnywhereUpTheChainCount) {
    FakeElementData cropTool{{{"AXRole", "AXGroup"}, {"AXDescription", "Precision Tools"}}, {}, {}, {}, &window};
    FakeElementData button{{{"AXRole", "AXButton"}}, {}, {}, {"AXPress"}, &cropTool};
    EXPECT_EQ(matchOver(&button), "crosshair");
}

TEST_F(AccessibilityInferenceTest, DisabledPressableControlIsNotAllowed) {
    EXPECT_EQ(matchOver(&disabledCheckBox), "not-allowed");
    FakeElementData disabledGroup{{{"AXRole", "AXGroup"}}, {{"AXEnabled", false}}, {}, {}, &group};
    EXPECT_EQ(matchOver(&disabledGroup), std::nullopt);
}

TEST_F(AccessibilityInferenceTest, PressActionWithoutPressableRoleIsAPointer) {
    FakeElementData image{{{"AXRole", "AXImage"}}, {}, {}, {"AXShowMenu", "AXPress"}, &group};
    EXPECT_EQ(matchOver(&image), "pointer");
}

TEST_F(AccessibilityInferenceTest, LabelUnderThePointerIsTextWhileATextFieldHasFocus) {
    EXPECT_EQ(matchOver(&label), std::nullopt);
    EXPECT_EQ(matchOver(&label, &textField), "text");
}

TEST_F(AccessibilityInferenceTest, SplitterResizesSidewaysWhateverItsOrientation) {
    EXPECT_EQ(matchOver(&splitter), "resize-ew");
}

TEST_F(AccessibilityInferenceTest, TextWordInAnAncestorMakesEverythingBelowText) {
    FakeElementData editorApplication{{{"AXRole", "AXApplication"}, {"AXTitle", "Source Editor"}}, {}, {}, {}, nullptr};
    FakeElementData editorWindow{{{"AXRole", "AXWindow"}}, {}, {}, {}, &editorApplication};
    FakeElementData button{{{"AXRole", "AXButton"}, {"AXTitle", "Run"}}, {}, {}, {"AXPress"}, &editorWindow};
    EXPECT_EQ(matchOver(&button), "text");
}

TEST_F(AccessibilityInferenceTest, DesktopWithNothingFocusedGivesNoAnswer) {
    EXPECT_EQ(matchOver(nullptr), std::nullopt);
    // Even a text field with the focus does not help when nothing is under the pointer: text wins.
    EXPECT_EQ(matchOver(nullptr, &textField), "text");
}

TEST_F(AccessibilityInferenceTest, PointerPositionIsPassedUnchanged) {
    matchOver(&saveButton);
    ASSERT_EQ(service.askedPoints.size(), 1u);
    EXPECT_EQ(service.askedPoints[0], (common::Point{300, 40}));
    pointer.moveTo(std::nullopt);
    EXPECT_EQ(matchOver(&saveButton), std::nullopt);
}

TEST(ElementLooksTextual, EachRuleOnItsOwn) {
    auto textual = [](FakeElementData data) { return elementLooksTextual(testing::FakeElement(data)); };
    EXPECT_TRUE(textual({{}, {{"AXEditable", true}}, {}, {}, nullptr}));
    EXPECT_FALSE(textual({{}, {{"AXEditable", false}}, {}, {}, nullptr}));
    EXPECT_TRUE(textual({{{"AXRole", "AXTextArea"}}, {}, {}, {}, nullptr}));
    EXPECT_TRUE(textual({{{"AXRole", "AXComboBox"}}, {}, {}, {}, nullptr}));
    EXPECT_TRUE(textual({{{"AXRole", "AXGroup"}, {"AXSubrole", "AXSearchField"}}, {}, {}, {}, nullptr}));
    EXPECT_TRUE(textual({{{"AXDescription", "Source Editor"}}, {}, {}, {}, nullptr}));
    EXPECT_TRUE(textual({{{"AXHelp", "Move the Insertion Point"}}, {}, {}, {}, nullptr}));
    EXPECT_TRUE(textual({{}, {}, {"AXSelectedTextRange"}, {}, nullptr}));
    EXPECT_TRUE(textual({{}, {}, {"AXNumberOfCharacters"}, {}, nullptr}));
    EXPECT_TRUE(textual({{{"AXTitle", "Plain Text"}}, {}, {}, {"AXPress"}, nullptr}));
    EXPECT_FALSE(textual({{{"AXTitle", "Plain Text"}}, {}, {}, {}, nullptr}));
    EXPECT_FALSE(textual({{{"AXTitle", "Send"}}, {}, {}, {"AXPress"}, nullptr}));
    // Role names are matched exactly, case and all.
    EXPECT_FALSE(textual({{{"AXRole", "axtextfield"}}, {}, {}, {}, nullptr}));
    EXPECT_FALSE(textual({{}, {}, {}, {}, nullptr}));
}

TEST(MetadataString, LowerCasesInOrderKeepingEmptyValues) {
    FakeElementData data{{{"AXTitle", "Crop"},
                          {"AXRole", "AXButton"},
                          {"AXDescription", ""},
                          {"AXRoleDescription", "Push Button"}},
                         {}, {}, {}, nullptr};
    EXPECT_EQ(metadataString(testing::FakeElement(data)), "axbutton push button  crop");
    EXPECT_EQ(metadataString(testing::FakeElement(FakeElementData{})), "");
}

TEST(AncestorChain, HoldsTheElementAndAtMostFourAncestors) {
    std::vector<FakeElementData> tower(8);
    for (size_t i = 1; i < tower.size(); ++i) tower[i].parent = &tower[i - 1];
    EXPECT_EQ(ancestorChain(std::make_unique<testing::FakeElement>(tower.back())).size(), 5u);
    EXPECT_EQ(ancestorChain(std::make_unique<testing::FakeElement>(tower[2])).size(), 3u);
    EXPECT_EQ(ancestorChain(std::make_unique<testing::FakeElement>(tower.back()), 0).size(), 1u);
    EXPECT_TRUE(ancestorChain(nullptr).empty());
}

}  // namespace
}  // namespace pointer::classify
