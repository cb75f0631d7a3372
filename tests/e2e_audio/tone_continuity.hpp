#pragma once

#include <string>
#include <vector>

#include "tests/e2e_audio/media_timeline.hpp"

namespace e2eaudio {

// Where a recorded steady sine tone breaks: stretches where its level drops (holes) and places
// where the waveform breaks off and resumes elsewhere (jumps: sound lost, repeated or shifted).
struct ToneBreaks {
    struct Hole {
        double startSeconds = 0;
        double lengthSeconds = 0;
    };
    struct Jump {
        double atSeconds = 0;
        double residual = 0;  // how far the waveform left the sine, relative to the tone's level
    };
    std::vector<Hole> holes;
    std::vector<Jump> jumps;
    double level = 0;          // the tone's typical peak level
    double noiseResidual = 0;  // the residual that 99.9 % of the samples stay below, relative to the level

    // "2 holes (0.10 s 116 ms, ...), 3 jumps (0.77 s, ...)" for messages.
    std::string describe() const;
};

// A hole is a stretch longer than kHoleSeconds in which the level stays below kHoleLevel of the
// tone's typical level.
inline constexpr double kHoleSeconds = 0.005;
inline constexpr double kHoleLevel = 0.3;
// A sine predicts each sample from the two before it (x[n] = 2 cos(w) x[n-1] - x[n-2]). The
// encoder's noise leaves a residual of a few thousandths of the level (measured); a break of a
// single sample at 1 kHz leaves one of about 0.13, at 440 Hz about 0.06.
inline constexpr double kJumpResidual = 0.03;

// The encoder smears the sudden start of a sound over about 12 ms (measured with a tone that starts
// at full level): jumps are looked for only from this long after the start of the examined stretch.
inline constexpr double kCodecOnsetSeconds = 0.015;

// Examines `audio` between two times for breaks in a tone of `frequencyHz`.
ToneBreaks findToneBreaks(const AudioOnTimeline& audio, double frequencyHz, double fromSeconds, double toSeconds);

}  // namespace e2eaudio
