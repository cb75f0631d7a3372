#include "pointer/classify/signature_thresholds.hpp"

namespace pointer::classify {

std::optional<SignatureMatch> bestSignatureMatch(const CursorSignature& shown,
                                                 const std::vector<KnownCursorSignature>& known) {
    if (known.empty()) return std::nullopt;
    SignatureMatch best{known.front().name, signatureScore(known.front().signature, shown)};
    for (size_t i = 1; i < known.size(); ++i) {
        const auto score = signatureScore(known[i].signature, shown);
        if (score < best.score) best = {known[i].name, score};
    }
    return best;
}

std::string acceptedCursorName(const SignatureMatch& match, const SignatureThresholds& thresholds) {
    const auto strict = thresholds.strict.find(match.name);
    const auto limit = strict != thresholds.strict.end() ? strict->second : thresholds.acceptance;
    if (match.score <= limit) return match.name;
    const auto relaxed = thresholds.relaxed.find(match.name);
    if (relaxed != thresholds.relaxed.end() && match.score <= relaxed->second) return match.name;
    return "arrow";
}

}  // namespace pointer::classify
