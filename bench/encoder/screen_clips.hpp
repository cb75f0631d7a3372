#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// Screen recordings of everyday desktop work, drawn with cairo so that every run encodes exactly
// the same pictures: real anti-aliased text, flat window chrome, photographs, motion as a desktop
// shows it. Each clip draws frame `index` as BGRX (cairo's RGB24) into a 1920x1080 image.
namespace encoder_bench {

constexpr int kClipWidth = 1920;
constexpr int kClipHeight = 1080;

class ScreenClip {
public:
    virtual ~ScreenClip() = default;
    virtual std::string name() const = 0;
    // `pixels` is kClipWidth x kClipHeight, `stride` bytes per row.
    virtual void draw(int index, uint8_t* pixels, int stride) = 0;
};

// scrolling text, a terminal, a web-like page scrolled, a window dragged, a video playing in a
// window, typing on a still desktop.
std::vector<std::unique_ptr<ScreenClip>> makeScreenClips();

}  // namespace encoder_bench
