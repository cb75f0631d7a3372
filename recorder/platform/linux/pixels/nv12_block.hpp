#pragma once

#include <cstdint>

namespace recorder::linux_backend {

// The planes of a whole NV12 image, for the block operations below.
struct Nv12Image {
    uint8_t* y = nullptr;
    int yStride = 0;
    uint8_t* uv = nullptr;
    int uvStride = 0;
    int width = 0;
    int height = 0;
};

// A block of an image whose corner (x, y) is even, so it covers whole 2x2 chroma blocks: its
// width and height are even too, unless the block ends at the image's right or bottom edge.
// Blocks of that shape can be converted or copied on their own and give exactly the bytes a
// conversion of the whole picture gives there.
struct Nv12Block {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
};

// Converts BGRA rows (`bgraStride` bytes apart, the first pixel being the block's corner) into
// the block's place of `image`, BT.709 video range as convertBGRAToNV12BT709. The block is
// clipped to the image.
void convertBGRAToNV12BT709Block(const uint8_t* bgra, int bgraStride, const Nv12Block& block, const Nv12Image& image);

// Copies the block's luma and chroma from one image to another of the same size.
void copyNV12Block(const Nv12Image& from, const Nv12Image& to, const Nv12Block& block);

}  // namespace recorder::linux_backend
