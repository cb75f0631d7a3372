#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "pointer/classify/known_cursors.hpp"

namespace pointer::classify {

// How close a shown cursor must come to a standard one to take its name.
struct SignatureThresholds {
    // About 47 differing samples when the proportions and hot spot agree exactly.
    int64_t acceptance = 12000;
    // Hands differ from each other by a few fingers only, so they must match almost exactly.
    std::map<std::string, int64_t> strict{{"open-hand", 3200}, {"closed-hand", 3200}};
    // Thin shapes (I-beams, crosshairs) vary most between themes: a second, looser chance.
    std::map<std::string, int64_t> relaxed{{"text", 28000}, {"crosshair", 32000}};
};

struct SignatureMatch {
    std::string name;
    int64_t score = 0;
};

// The best-scoring known signature; ties go to the earlier one. None when `known` is empty.
std::optional<SignatureMatch> bestSignatureMatch(const CursorSignature& shown,
                                                 const std::vector<KnownCursorSignature>& known);

// The match's name when it passes its threshold (strict, else the general one) or its relaxed
// second chance; otherwise "arrow".
std::string acceptedCursorName(const SignatureMatch& match, const SignatureThresholds& thresholds);

}  // namespace pointer::classify
