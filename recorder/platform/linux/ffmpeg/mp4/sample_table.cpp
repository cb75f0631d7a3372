#include "recorder/platform/linux/ffmpeg/mp4/sample_table.hpp"

#include <algorithm>
#include <limits>

namespace recorder::linux_backend::mp4 {
namespace {

// Run-length entries (count, value) of one field over all samples.
template <typename Value, typename Field>
std::vector<std::pair<uint32_t, Value>> runs(const std::vector<Sample>& samples, Field field) {
    std::vector<std::pair<uint32_t, Value>> result;
    for (const Sample& sample : samples) {
        const Value value = field(sample);
        if (!result.empty() && result.back().second == value) {
            ++result.back().first;
        } else {
            result.emplace_back(1, value);
        }
    }
    return result;
}

}  // namespace

void TrackSamples::addRun(uint64_t offset, std::optional<uint64_t> decodeTime, const std::vector<Sample>& samples) {
    if (samples.empty()) return;
    if (!firstDecodeTime_) firstDecodeTime_ = decodeTime.value_or(0);
    // The first run's decode time is the track's origin.
    const uint64_t start = decodeTime ? *decodeTime - std::min(*decodeTime, *firstDecodeTime_) : duration_;
    if (!samples_.empty() && start > duration_) {
        const uint64_t gap = start - duration_;
        Sample& last = samples_.back();
        const uint64_t stretched = std::min<uint64_t>(uint64_t(last.duration) + gap, std::numeric_limits<uint32_t>::max());
        duration_ += stretched - last.duration;
        last.duration = static_cast<uint32_t>(stretched);
    }
    uint64_t size = 0;
    for (const Sample& sample : samples) {
        samples_.push_back(sample);
        duration_ += sample.duration;
        size += sample.size;
    }
    chunks_.push_back(Chunk{offset, static_cast<uint32_t>(samples.size())});
    dataEnd_ = std::max(dataEnd_, offset + size);
}

void TrackSamples::writeTables(BoxWriter& out) const {
    const auto durations = runs<uint32_t>(samples_, [](const Sample& s) { return s.duration; });
    out.open("stts", 0);
    out.u32(static_cast<uint32_t>(durations.size()));
    for (const auto& [count, duration] : durations) {
        out.u32(count);
        out.u32(duration);
    }
    out.close();

    const bool anyOffset = std::any_of(samples_.begin(), samples_.end(), [](const Sample& s) { return s.compositionOffset != 0; });
    if (anyOffset) {
        const bool negative = std::any_of(samples_.begin(), samples_.end(), [](const Sample& s) { return s.compositionOffset < 0; });
        const auto offsets = runs<int32_t>(samples_, [](const Sample& s) { return s.compositionOffset; });
        out.open("ctts", negative ? 1 : 0);
        out.u32(static_cast<uint32_t>(offsets.size()));
        for (const auto& [count, offset] : offsets) {
            out.u32(count);
            out.u32(static_cast<uint32_t>(offset));
        }
        out.close();
    }

    // Without stss every sample is a sync sample.
    if (!std::all_of(samples_.begin(), samples_.end(), [](const Sample& s) { return s.sync; })) {
        const auto syncCount = std::count_if(samples_.begin(), samples_.end(), [](const Sample& s) { return s.sync; });
        out.open("stss", 0);
        out.u32(static_cast<uint32_t>(syncCount));
        for (size_t i = 0; i < samples_.size(); ++i) {
            if (samples_[i].sync) out.u32(static_cast<uint32_t>(i + 1));
        }
        out.close();
    }

    // stsc lists only the chunks where the number of samples per chunk changes.
    std::vector<std::pair<uint32_t, uint32_t>> chunking;  // first chunk (from 1), samples per chunk
    for (size_t i = 0; i < chunks_.size(); ++i) {
        if (chunking.empty() || chunking.back().second != chunks_[i].count) {
            chunking.emplace_back(static_cast<uint32_t>(i + 1), chunks_[i].count);
        }
    }
    out.open("stsc", 0);
    out.u32(static_cast<uint32_t>(chunking.size()));
    for (const auto& [first, count] : chunking) {
        out.u32(first);
        out.u32(count);
        out.u32(1);  // the one sample description
    }
    out.close();

    const bool sameSize = !samples_.empty() && std::all_of(samples_.begin(), samples_.end(),
                                                           [&](const Sample& s) { return s.size == samples_[0].size; });
    out.open("stsz", 0);
    out.u32(sameSize ? samples_[0].size : 0);
    out.u32(static_cast<uint32_t>(samples_.size()));
    if (!sameSize) {
        for (const Sample& sample : samples_) out.u32(sample.size);
    }
    out.close();

    const bool wide = std::any_of(chunks_.begin(), chunks_.end(),
                                  [](const Chunk& c) { return c.offset > std::numeric_limits<uint32_t>::max(); });
    out.open(wide ? "co64" : "stco", 0);
    out.u32(static_cast<uint32_t>(chunks_.size()));
    for (const Chunk& chunk : chunks_) {
        if (wide) {
            out.u64(chunk.offset);
        } else {
            out.u32(static_cast<uint32_t>(chunk.offset));
        }
    }
    out.close();
}

}  // namespace recorder::linux_backend::mp4
