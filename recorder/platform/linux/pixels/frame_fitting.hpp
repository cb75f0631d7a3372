#pragma once

#include <cstdint>
#include <vector>

#include "recorder/platform/linux/pixels/bgra_bilinear_scaler.hpp"
#include "recorder/platform/pixel_buffer.hpp"

namespace recorder::linux_backend {

// Byte order of a 32-bit pixel in memory; the fourth byte (alpha or padding) is never read.
enum class ChannelOrder { bgr, rgb };

// A picture in someone else's memory, first row at the top.
struct SourcePicture {
    const uint8_t* pixels = nullptr;
    int stride = 0;
    int width = 0;
    int height = 0;
    ChannelOrder order = ChannelOrder::bgr;
};

// Brings pictures of any size and channel order into buffers of one fixed size and format
// ('420v' or opaque 'BGRA'): a source whose size changed while recording is stretched over the
// whole destination, as the crop path does for a window. Keeps its scratch memory from frame to
// frame; not to be shared between threads.
class FrameFitter {
public:
    void fit(const SourcePicture& source, platform::PixelBuffer& destination);
    // The same, for a source that differs from the one fitted into `previous` only in rows
    // [firstRow, firstRow + rowCount): `previous` is copied and only that band converted. Returns
    // false, touching nothing, when that shortcut does not apply (another size, channel order or
    // format than `previous`, or a band of most of the picture); the caller then fits it whole.
    bool fitChangedRows(const SourcePicture& source, const platform::PixelBuffer& previous, int firstRow,
                        int rowCount, platform::PixelBuffer& destination);

private:
    BgraBilinearScaler scaler_;
    std::vector<uint8_t> swapped_;
    std::vector<uint8_t> scaled_;
};

}  // namespace recorder::linux_backend
