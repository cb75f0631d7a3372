#include "recorder/platform/linux/ffmpeg/h264_settings.hpp"

#include <charconv>

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
        settings.compression = screenRecordingCompression();
        return settings;
    }

private:
    std::optional<platform::VideoFormatDescription> source_;
};

}  // namespace

std::map<std::string, std::string> screenRecordingCompression() {
    // Chosen with bench/encoder at 1920x1080, 60 fps screen-like content on 2 shared cores:
    // see the figures printed there. "veryfast" spends about twice the CPU of "superfast" for
    // a little smaller files; "superfast" keeps 60 fps with room to spare for capture and colour
    // conversion on the same cores, and CRF 22 keeps text edges sharp. No B-frames: every frame
    // is decodable as soon as it is written (what a killed recording keeps) and presentation
    // order equals decode order, so frame times pass through unchanged.
    return {
        {"preset", "superfast"},
        {"crf", "22"},
        {"profile", "high"},
        {"bframes", "0"},
        // Frames only arrive when the screen changes; the writer also forces a keyframe each
        // second of timeline, this is the cap for a steady 60 fps.
        {"keyint", "60"},
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
