#pragma once

#include <string>
#include <vector>

#include "pointer/classify/cursor_signature.hpp"
#include "pointer/platform/cursor_image.hpp"

namespace pointer::classify {

struct CursorCandidate {
    std::string name;
    platform::StandardCursor cursor;
};

struct KnownCursorSignature {
    std::string name;
    CursorSignature signature;
};

// The standard cursors a shown cursor is compared with, in order of preference: when two match
// equally well, the earlier one names the cursor. Several shapes share a name.
std::vector<CursorCandidate> knownCursorCandidates();

// The candidates' signatures in the same order, leaving out those the theme cannot supply.
std::vector<KnownCursorSignature> computeKnownCursorSignatures(const platform::StandardCursorLibrary& library,
                                                               const platform::ImageRenderer& renderer);

}  // namespace pointer::classify
