#include "tests/pulse_audio/buffer_collector.hpp"

#include "tests/pulse_audio/tone_player.hpp"

namespace pulsetest {

int64_t firstOnset(const Buffers& buffers, int64_t fromNs, float threshold) {
    for (const auto& buffer : buffers) {
        if (BufferCollector::endNs(*buffer) < fromNs) continue;
        const auto& audio = *buffer->audioData();
        const int64_t onset =
            findOnset(audio.samples.data(), audio.frameCount(), buffer->presentationTimeStamp().nanoseconds(), threshold);
        if (onset >= fromNs) return onset;
    }
    return -1;
}

int64_t coveredNs(const Buffers& buffers) {
    if (buffers.empty()) return 0;
    return BufferCollector::endNs(*buffers.back()) - buffers.front()->presentationTimeStamp().nanoseconds();
}

}  // namespace pulsetest
