#include <gtest/gtest.h>

#include "pointer/classify/cursor_classifier.hpp"
#include "pointer/classify/known_cursors.hpp"
#include "pointer/classify/signature_thresholds.hpp"
#include "pointer/platform/linux/cairo_image_renderer.hpp"
#include "pointer/platform/linux/xcursor_theme_library.hpp"
#include "pointer_fakes.hpp"

namespace pointer::classify {
namespace {

using platform::StandardCursor;

// The theme these machines install (see scripts/packages.txt), at a size it has.
platform::linux_x11::XcursorThemeLibrary adwaita() { return platform::linux_x11::XcursorThemeLibrary("Adwaita", 24); }

TEST(SignatureThresholds, GeneralThresholdIsInclusive) {
    const SignatureThresholds thresholds;
    EXPECT_EQ(acceptedCursorName({"pointer", 12000}, thresholds), "pointer");
    EXPECT_EQ(acceptedCursorName({"pointer", 12001}, thresholds), "arrow");
    EXPECT_EQ(acceptedCursorName({"not-allowed", 0}, thresholds), "not-allowed");
}

TEST(SignatureThresholds, HandsMustMatchStrictlyAndHaveNoSecondChance) {
    const SignatureThresholds thresholds;
    EXPECT_EQ(acceptedCursorName({"open-hand", 3200}, thresholds), "open-hand");
    EXPECT_EQ(acceptedCursorName({"open-hand", 5000}, thresholds), "arrow");
    EXPECT_EQ(acceptedCursorName({"closed-hand", 3201}, thresholds), "arrow");
}

TEST(SignatureThresholds, TextAndCrosshairGetARelaxedSecondChance) {
    const SignatureThresholds thresholds;
    EXPECT_EQ(acceptedCursorName({"text", 20000}, thresholds), "text");
    EXPECT_EQ(acceptedCursorName({"text", 28000}, thresholds), "text");
    EXPECT_EQ(acceptedCursorName({"text", 28001}, thresholds), "arrow");
    EXPECT_EQ(acceptedCursorName({"crosshair", 32000}, thresholds), "crosshair");
    EXPECT_EQ(acceptedCursorName({"crosshair", 32001}, thresholds), "arrow");
    EXPECT_EQ(acceptedCursorName({"resize-ew", 20000}, thresholds), "arrow");
    EXPECT_EQ(acceptedCursorName({"custom", 40000}, thresholds), "arrow");
}

TEST(BestSignatureMatch, LowestScoreWinsAndTiesKeepTheEarlierCandidate) {
    CursorSignature shown{1, 0, 0, std::vector<uint8_t>(4, 0)};
    auto withSamples = [](std::vector<uint8_t> samples) { return CursorSignature{1, 0, 0, std::move(samples)}; };
    const std::vector<KnownCursorSignature> known{
        {"first", withSamples({255, 255, 0, 0})},
        {"second", withSamples({255, 0, 0, 0})},
        {"third", withSamples({0, 0, 0, 255})},  // the same score as "second": "second" stays
    };
    const auto best = bestSignatureMatch(shown, known);
    ASSERT_TRUE(best);
    EXPECT_EQ(best->name, "second");
    EXPECT_EQ(best->score, 255);
    EXPECT_FALSE(bestSignatureMatch(shown, {}));
}

TEST(KnownCursorSignatures, FollowTheCandidateOrderAndSkipMissingCursors) {
    const platform::linux_x11::CairoImageRenderer renderer;
    testing::TableCursorLibrary library;
    library.images[StandardCursor::crosshair] = testing::solidImage(10, 10);
    library.images[StandardCursor::arrow] = testing::solidImage(12, 20);
    library.images[StandardCursor::iBeam] = testing::solidImage(0, 20);  // no signature: left out
    const auto known = computeKnownCursorSignatures(library, renderer);
    ASSERT_EQ(known.size(), 2u);
    EXPECT_EQ(known[0].name, "arrow");
    EXPECT_EQ(known[1].name, "crosshair");
    EXPECT_EQ(knownCursorCandidates().size(), 17u);
}

class CursorClassifierTest : public ::testing::Test {
protected:
    CursorClassifierTest()
        : counting(cairo),
          known(computeKnownCursorSignatures(adwaita(), cairo)),
          inference(accessibility, pointer),
          classifier(pointer, counting, known, SignatureThresholds{}, inference) {
        pointer.moveTo(common::Point{10, 20});
    }
    void show(uint64_t serial, platform::CursorImage image) { pointer.show(platform::ShownCursor{serial, std::move(image)}); }

    platform::linux_x11::CairoImageRenderer cairo;
    testing::CountingRenderer counting;
    std::vector<KnownCursorSignature> known;
    testing::ScriptedScreenPointer pointer;
    testing::FakeAccessibilityService accessibility;
    AccessibilityInference inference;
    CursorClassifier classifier;
    testing::FakeElementData button{{{"AXRole", "AXButton"}}, {{"AXEnabled", true}}, {}, {"AXPress"}, nullptr};
};

TEST_F(CursorClassifierTest, EveryStandardCursorOfTheThemeIsNamedAfterItself) {
    ASSERT_EQ(known.size(), 17u) << "the Adwaita cursor theme should supply every candidate";
    const auto library = adwaita();
    uint64_t serial = 1;
    for (const auto& candidate : knownCursorCandidates()) {
        show(serial++, *library.cursor(candidate.cursor));
        EXPECT_EQ(classifier.currentSystemCursorType(), candidate.name) << int(candidate.cursor);
    }
}

TEST_F(CursorClassifierTest, SameSerialIsNotDrawnAgain) {
    const auto library = adwaita();
    show(7, *library.cursor(StandardCursor::iBeam));
    EXPECT_EQ(classifier.currentSystemCursorType(), "text");
    EXPECT_EQ(classifier.currentSystemCursorType(), "text");
    EXPECT_EQ(counting.renders, 1);
    show(8, *library.cursor(StandardCursor::crosshair));
    EXPECT_EQ(classifier.currentSystemCursorType(), "crosshair");
    EXPECT_EQ(counting.renders, 2);
}

TEST_F(CursorClassifierTest, UnknownPictureIsAnArrowWhateverAccessibilitySays) {
    accessibility.underPointer = &button;
    show(1, testing::solidImage(32, 32));  // a black square is far from every standard cursor
    EXPECT_EQ(classifier.currentSystemCursorType(), "arrow");
    EXPECT_TRUE(accessibility.askedPoints.empty());
}

TEST_F(CursorClassifierTest, WithoutAPictureAccessibilityDecides) {
    accessibility.underPointer = &button;
    EXPECT_EQ(classifier.currentSystemCursorType(), "pointer");
    show(1, testing::solidImage(0, 24));  // a picture without width gives no signature either
    EXPECT_EQ(classifier.currentSystemCursorType(), "pointer");
    accessibility.underPointer = nullptr;
    EXPECT_EQ(classifier.currentSystemCursorType(), "arrow");
}

TEST(CursorClassifier, NoKnownSignaturesFallsBackToAccessibility) {
    const platform::linux_x11::CairoImageRenderer cairo;
    testing::ScriptedScreenPointer pointer;
    pointer.moveTo(common::Point{1, 1});
    pointer.show(platform::ShownCursor{1, testing::solidImage(16, 16)});
    testing::FakeAccessibilityService accessibility;
    testing::FakeElementData field{{{"AXRole", "AXTextField"}}, {}, {}, {}, nullptr};
    accessibility.underPointer = &field;
    AccessibilityInference inference(accessibility, pointer);
    CursorClassifier classifier(pointer, cairo, {}, SignatureThresholds{}, inference);
    EXPECT_EQ(classifier.currentSystemCursorType(), "text");
}

}  // namespace
}  // namespace pointer::classify
