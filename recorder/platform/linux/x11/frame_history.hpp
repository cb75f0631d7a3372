#pragma once

#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "recorder/platform/linux/x11/pixel_region.hpp"
#include "recorder/platform/pixel_buffer.hpp"

namespace recorder::linux_backend::x11 {

// What each buffer of a recycling pool still shows of older pictures. A new frame is then made
// from the latest one plus what changed: the parts that changed since its buffer last held a
// picture are copied from the latest frame, the parts that changed now are grabbed and converted.
// So copying and converting scale with the changed area, not with the screen. Buffers are told
// apart by identity; a pool that is replaced needs reset().
class FrameHistory {
public:
    // Forgets every buffer: the next frame is made whole.
    void reset();

    // The newest frame made, which shows the picture up to the changes not yet delivered.
    const std::shared_ptr<platform::PixelBuffer>& latest() const { return latest_; }

    // The parts of `buffer` (capture coordinates) that differ from latest(); none when it is
    // unknown here and must be filled whole.
    std::optional<std::vector<PixelRect>> staleParts(const platform::PixelBuffer& buffer) const;

    // `buffer` now shows the newest picture, which differs from latest() in `changed`.
    void delivered(std::shared_ptr<platform::PixelBuffer> buffer, const std::vector<PixelRect>& changed);

private:
    std::shared_ptr<platform::PixelBuffer> latest_;
    std::map<const platform::PixelBuffer*, std::vector<PixelRect>> stale_;
};

}  // namespace recorder::linux_backend::x11
