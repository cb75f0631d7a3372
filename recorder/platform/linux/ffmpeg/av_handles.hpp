#pragma once

#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/frame.h>
#include <libswresample/swresample.h>
}

namespace recorder::linux_backend::av {

// Owning handles for the FFmpeg objects the writer creates; each frees its object exactly once.
struct CodecContextDeleter {
    void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
};
struct FrameDeleter {
    void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
struct PacketDeleter {
    void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
// An output format context whose I/O context belongs to someone else (the output file).
struct OutputFormatDeleter {
    void operator()(AVFormatContext* context) const { avformat_free_context(context); }
};
struct DictionaryDeleter {
    void operator()(AVDictionary* dictionary) const { av_dict_free(&dictionary); }
};

struct ResamplerDeleter {
    void operator()(SwrContext* context) const { swr_free(&context); }
};

using CodecContext = std::unique_ptr<AVCodecContext, CodecContextDeleter>;
using Frame = std::unique_ptr<AVFrame, FrameDeleter>;
using Packet = std::unique_ptr<AVPacket, PacketDeleter>;
using OutputFormat = std::unique_ptr<AVFormatContext, OutputFormatDeleter>;
using Resampler = std::unique_ptr<SwrContext, ResamplerDeleter>;

inline Frame makeFrame() { return Frame(av_frame_alloc()); }
inline Packet makePacket() { return Packet(av_packet_alloc()); }

// Options handed to FFmpeg by address; FFmpeg removes the ones it consumed.
class Dictionary {
public:
    Dictionary() = default;
    Dictionary(const Dictionary&) = delete;
    Dictionary& operator=(const Dictionary&) = delete;
    ~Dictionary() { av_dict_free(&dictionary_); }

    void set(const char* key, const char* value) { av_dict_set(&dictionary_, key, value, 0); }
    AVDictionary** address() { return &dictionary_; }
    // The first option nobody consumed, or null.
    const AVDictionaryEntry* firstLeftOver() const { return av_dict_get(dictionary_, "", nullptr, AV_DICT_IGNORE_SUFFIX); }

private:
    AVDictionary* dictionary_ = nullptr;
};

}  // namespace recorder::linux_backend::av
