#pragma once

#include <cstddef>
#include <vector>

#include "recorder/platform/linux/x11/pixel_region.hpp"

namespace recorder::linux_backend::x11 {

// The parts of a captured rectangle to grab and convert again, from the rectangles the server
// reports redrawn (root coordinates). The result is in the capture's own coordinates, clipped to
// it, with even corners and even sizes except at the capture's right and bottom edges (whole
// 2x2 chroma blocks), and at most `maxBlocks` blocks: the closest ones are merged, since each
// block costs a round trip to the server. When the blocks would cover half the capture or more,
// the whole capture is one block: one copy is then cheaper than many.
std::vector<PixelRect> blocksToRefresh(const std::vector<PixelRect>& damaged, const PixelRect& capture,
                                       size_t maxBlocks);

// The whole capture as one block, in its own coordinates.
inline PixelRect wholeCapture(const PixelRect& capture) { return PixelRect{0, 0, capture.width, capture.height}; }

}  // namespace recorder::linux_backend::x11
