#include "recorder/platform/linux/ffmpeg/h264_settings.hpp"

#include <algorithm>
#include <charconv>
#include <thread>

#include "recorder/platform/linux/ffmpeg/av_error.hpp"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/opt.h>
}

namespace recorder::linux_backend {
namespace {

std::optional<int64_t> parseInteger(const std::string& text) {
    int64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

common::Error badSetting(const std::string& key, const std::string& value, const std::string& why) {
    return common::Error{kWriterErrorDomain, 0, "invalid video setting " + key + "=" + value + ": " + why};
}

constexpr int64_t kMostPixelsWithExtraReferences = 2560 * 1440;

class H264SettingsAssistant final : public platform::OutputSettingsAssistant {
public:
    void setSourceVideoFormat(const platform::VideoFormatDescription& format) override { source_ = format; }

    std::optional<platform::VideoSettings> videoSettings() override {
        platform::VideoSettings settings;
        settings.codec = "h264";
        if (source_) {
            settings.width = source_->width;
            settings.height = source_->height;
        }
        settings.compression = screenRecordingCompression(settings.width, settings.height);
        return settings;
    }

private:
    std::optional<platform::VideoFormatDescription> source_;
};

}  // namespace

std::map<std::string, std::string> screenRecordingCompression(int width, int height) {
    // Chosen with bench/encoder, which encodes drawn 1080p60 screen clips (scrolling text, a
    // terminal, a web page, a dragged window, a video in a window, typing) and holds the files
    // against their source. Most of a screen recording's bits are keyframes, each a whole picture
    // of text: one every four seconds instead of every second, with three reference pictures and
    // two steps lower CRF so that no clip loses PSNR, takes a third to two thirds off every
    // clip but the video (a tenth), for about the same CPU per frame (a fifth more on video).
    // Finer motion estimation (subme 3 and up) would save another quarter on a scrolling terminal
    // but costs half again the CPU; "veryfast", a macroblock-tree lookahead and the "psnr" tuning
    // do not pay on every clip.
    // Without adaptive quantisation at CRF 23 the worst clip (video, terminal) drops from 0.91 to
    // 0.84 of the old bits within the old CPU, but text clips grow by a tenth: not taken.
    // No B-frames: every frame is decodable as soon as it is written (what a killed recording
    // keeps) and presentation order equals decode order, so frame times pass through unchanged.
    // Measured with libx264 outside the writer (CRF 20, two references), three adaptive B-frames
    // would take a terminal to 0.43 and the video to 0.58 of the old bits (0.2 dB worse), but cost
    // an eighth to a third more CPU and still leave a scrolled page and a dragged window at 0.65;
    // a fixed B pattern costs more bits than none on text.
    //
    // Memory: x264 keeps every picture it holds with its half-pixel planes, about 46 MB each at
    // 3840x2160: one per reference, per frame thread and for its threads' lookahead. One frame
    // thread per core (x264 would take one and a half) and no frames held back for the threaded
    // lookahead give the same bits and about 70 MB less there; above 1440p the two extra
    // references would cost more memory than a screen recorder should take, so they go.
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    const bool large = static_cast<int64_t>(width) * height > kMostPixelsWithExtraReferences;
    return {
        {"preset", "superfast"},
        {"crf", "20"},
        {"profile", "high"},
        {"bframes", "0"},
        // In frames at 60 fps; the writer forces the same interval on the timeline, because
        // frames only arrive when the screen changes. Fragments are cut every half second
        // regardless, so this is not what a crash can cost.
        {"keyint", "240"},
        {"threads", std::to_string(cores)},
        {"x264-params", large ? "ref=1:sync-lookahead=0" : "ref=3:sync-lookahead=0"},
    };
}

common::Status applyH264Compression(AVCodecContext* context, const std::map<std::string, std::string>& compression) {
    for (const auto& [key, value] : compression) {
        if (key == "preset" || key == "tune" || key == "profile" || key == "x264-params") {
            const int result = av_opt_set(context->priv_data, key.c_str(), value.c_str(), 0);
            if (result < 0) return badSetting(key, value, avErrorText(result));
            continue;
        }
        if (key == "crf") {
            const int result = av_opt_set(context->priv_data, "crf", value.c_str(), 0);
            if (result < 0) return badSetting(key, value, avErrorText(result));
            continue;
        }
        const auto number = parseInteger(value);
        if (!number || *number < 0) return badSetting(key, value, "not a whole number");
        if (key == "bitrate") {
            context->bit_rate = *number;
        } else if (key == "keyint") {
            context->gop_size = static_cast<int>(*number);
        } else if (key == "bframes") {
            // Frames are timed and cut at the session end in arrival order, which holds only
            // while decode order equals presentation order.
            if (*number != 0) return badSetting(key, value, "the writer needs frames in presentation order (0)");
            context->max_b_frames = 0;
        } else if (key == "threads") {
            context->thread_count = static_cast<int>(*number);
        } else {
            return badSetting(key, value, "unknown setting");
        }
    }
    return std::nullopt;
}

std::shared_ptr<platform::OutputSettingsAssistant> makeH264SettingsAssistant(const std::string& preset) {
    if (preset != platform::kVideoPreset3840x2160) return nullptr;
    return std::make_shared<H264SettingsAssistant>();
}

}  // namespace recorder::linux_backend
