#include "recorder/platform/linux/x11/frame_history.hpp"

#include "recorder/platform/linux/x11/damage_region.hpp"

namespace recorder::linux_backend::x11 {
namespace {

// A buffer that waits long in the pool collects many parts; merged they stay cheap to copy.
constexpr size_t kMostStaleParts = 16;

}  // namespace

void FrameHistory::reset() {
    latest_.reset();
    stale_.clear();
}

std::optional<std::vector<PixelRect>> FrameHistory::staleParts(const platform::PixelBuffer& buffer) const {
    const auto found = stale_.find(&buffer);
    if (found == stale_.end()) return std::nullopt;
    return found->second;
}

void FrameHistory::delivered(std::shared_ptr<platform::PixelBuffer> buffer, const std::vector<PixelRect>& changed) {
    const PixelRect capture{0, 0, buffer->width(), buffer->height()};
    for (auto& [other, parts] : stale_) {
        if (other == buffer.get()) continue;
        parts.insert(parts.end(), changed.begin(), changed.end());
        // Merging may widen the parts to the whole picture, never narrow them.
        if (parts.size() > kMostStaleParts) parts = blocksToRefresh(parts, capture, kMostStaleParts);
    }
    stale_[buffer.get()].clear();
    latest_ = std::move(buffer);
}

}  // namespace recorder::linux_backend::x11
