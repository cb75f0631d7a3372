#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "pointer/classify/accessibility_inference.hpp"
#include "pointer/classify/known_cursors.hpp"
#include "pointer/classify/signature_thresholds.hpp"

namespace pointer::classify {

// Names the cursor that is showing. Used from one thread at a time (the state timer's).
class CursorClassifier {
public:
    CursorClassifier(platform::ScreenPointer& pointer, const platform::ImageRenderer& renderer,
                     std::vector<KnownCursorSignature> known, SignatureThresholds thresholds,
                     AccessibilityInference& accessibility)
        : pointer_(pointer),
          renderer_(renderer),
          known_(std::move(known)),
          thresholds_(std::move(thresholds)),
          accessibility_(accessibility) {}

    // One word, never empty; "arrow" when nothing better is known.
    std::string currentSystemCursorType();

private:
    // The name for a cursor picture, or none when it yields no signature to compare.
    std::optional<std::string> nameForImage(const platform::CursorImage& image) const;

    platform::ScreenPointer& pointer_;
    const platform::ImageRenderer& renderer_;
    const std::vector<KnownCursorSignature> known_;
    const SignatureThresholds thresholds_;
    AccessibilityInference& accessibility_;

    // The last cursor classified by its picture: a cursor keeps its serial while it shows, so the
    // picture is only drawn and compared again when a different cursor appears.
    struct ClassifiedCursor {
        uint64_t serial = 0;
        std::optional<std::string> name;
    };
    std::optional<ClassifiedCursor> lastClassified_;
};

}  // namespace pointer::classify
