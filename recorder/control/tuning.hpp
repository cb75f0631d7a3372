#pragma once

#include <cstdint>

#include "common/media_time.hpp"

namespace recorder {

// Process-wide tuning values, fixed before anything else runs.

// The frame-rate floor of every capture and the nominal frame duration (1/60 s).
inline constexpr int64_t targetCaptureFPS = 60;
// How far inline audio may carry the video file past its last frame: 2.0 s (1200 at 600).
inline constexpr common::MediaTime maxInlineAudioTailExtension = common::MediaTime::make(1200, 600);
// The bounded wait for a writer input to become ready: 100 polls, 10 ms apart (about 1 s).
inline constexpr int64_t writerReadinessPollAttempts = 100;
inline constexpr uint64_t writerReadinessPollInterval = 10'000'000;

}  // namespace recorder
