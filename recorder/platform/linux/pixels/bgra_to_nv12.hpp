#pragma once

#include <cstdint>

namespace recorder::linux_backend {

// BGRA (first row at the top) to NV12 in video range with the BT.709 matrix, the format the
// encoder takes and the colour the files are tagged with. Each chroma sample is the average of
// its 2x2 block. Odd widths and heights are allowed: the last chroma column and row average
// what exists. Uses the fastest row converter this processor runs; never reads or writes past
// `width` pixels of a row.
void convertBGRAToNV12BT709(const uint8_t* bgra, int bgraStride, int width, int height, uint8_t* yPlane, int yStride,
                            uint8_t* uvPlane, int uvStride);

// The same for a band of rows only, for callers that know the rest of the picture is unchanged.
// All pointers address the whole images (row 0); rows [firstRow, firstRow + rowCount) are
// converted, clipped to the image. Chroma rows cover row pairs, so an odd end of the band is
// extended by one row (reading that row of the source too). `firstRow` must be even; an odd one
// is taken one row earlier.
void convertBGRAToNV12BT709Rows(const uint8_t* bgra, int bgraStride, int width, int height, uint8_t* yPlane,
                                int yStride, uint8_t* uvPlane, int uvStride, int firstRow, int rowCount);

}  // namespace recorder::linux_backend
