#include "pointer/classify/cursor_classifier.hpp"

namespace pointer::classify {

std::string CursorClassifier::currentSystemCursorType() {
    std::optional<std::string> name;
    if (auto shown = pointer_.currentCursor()) {
        if (lastClassified_ && lastClassified_->serial == shown->serial) {
            name = lastClassified_->name;
        } else {
            name = nameForImage(shown->image);
            lastClassified_ = ClassifiedCursor{shown->serial, name};
        }
    }
    if (name) return *name;
    return accessibility_.cursorMatch().value_or("arrow");
}

std::optional<std::string> CursorClassifier::nameForImage(const platform::CursorImage& image) const {
    const auto shownSignature = signature(image, renderer_);
    if (!shownSignature) return std::nullopt;
    const auto best = bestSignatureMatch(*shownSignature, known_);
    if (!best) return std::nullopt;
    return acceptedCursorName(*best, thresholds_);
}

}  // namespace pointer::classify
