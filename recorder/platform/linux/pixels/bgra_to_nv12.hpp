#pragma once

#include <cstdint>

namespace recorder::linux_backend {

// BGRA (first row at the top) to NV12 in video range with the BT.709 matrix, the format the
// encoder takes and the colour the files are tagged with. Odd widths and heights are allowed:
// the last chroma column and row average what exists.
void convertBGRAToNV12BT709(const uint8_t* bgra, int bgraStride, int width, int height, uint8_t* yPlane,
                            int yStride, uint8_t* uvPlane, int uvStride);

}  // namespace recorder::linux_backend
