#include "pointer/classify/known_cursors.hpp"

namespace pointer::classify {

std::vector<CursorCandidate> knownCursorCandidates() {
    using platform::StandardCursor;
    return {
        {"arrow", StandardCursor::arrow},
        {"text", StandardCursor::iBeam},
        {"pointer", StandardCursor::pointingHand},
        {"pointer", StandardCursor::dragCopy},
        {"pointer", StandardCursor::dragLink},
        {"pointer", StandardCursor::contextualMenu},
        {"crosshair", StandardCursor::crosshair},
        {"open-hand", StandardCursor::openHand},
        {"closed-hand", StandardCursor::closedHand},
        {"resize-ew", StandardCursor::resizeLeft},
        {"resize-ew", StandardCursor::resizeRight},
        {"resize-ew", StandardCursor::resizeLeftRight},
        {"resize-ns", StandardCursor::resizeUp},
        {"resize-ns", StandardCursor::resizeDown},
        {"resize-ns", StandardCursor::resizeUpDown},
        {"not-allowed", StandardCursor::operationNotAllowed},
        {"text", StandardCursor::iBeamForVerticalLayout},
    };
}

std::vector<KnownCursorSignature> computeKnownCursorSignatures(const platform::StandardCursorLibrary& library,
                                                               const platform::ImageRenderer& renderer) {
    std::vector<KnownCursorSignature> known;
    for (auto& candidate : knownCursorCandidates()) {
        const auto image = library.cursor(candidate.cursor);
        if (!image) continue;
        if (auto computed = signature(*image, renderer)) {
            known.push_back({std::move(candidate.name), std::move(*computed)});
        }
    }
    return known;
}

}  // namespace pointer::classify
