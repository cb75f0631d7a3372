// writer_finish_bench: how long finishing a file takes after recordings of different lengths.
//
//   writer_finish_bench [minutes ...] [--dir D]      (default: 1 30)
//
// Each run feeds the real writer a timeline of that many minutes at 60 frames a second with
// 48 kHz stereo sound, as fast as it encodes (small frames, so a 30-minute timeline takes about a
// minute), then times finishWriting: the last fragment, the complete movie header with one
// table entry per frame and per sound packet, and retiring the fragment headers. The tables have
// exactly the entries a real recording of that length at 60 fps has; only the frames are small.

#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "recorder/platform/linux/ffmpeg/ffmpeg_writer_service.hpp"

namespace {

namespace platform = recorder::platform;
using common::MediaTime;

constexpr int kFps = 60;
constexpr int kWidth = 160, kHeight = 96;
constexpr int kAudioBlock = 960;  // 20 ms at 48 kHz

std::shared_ptr<platform::PixelBuffer> frame(int index) {
    auto buffer = platform::PixelBuffer::allocate(platform::kPixelFormat420v, kWidth, kHeight);
    for (int plane = 0; plane < 2; ++plane) {
        const auto& p = buffer->plane(plane);
        for (int y = 0; y < (plane ? kHeight / 2 : kHeight); ++y)
            for (int x = 0; x < kWidth; ++x) p.data[y * p.stride + x] = static_cast<uint8_t>((x + y + index * 7) * (plane + 1));
    }
    return buffer;
}

void append(platform::WriterInput& input, const std::shared_ptr<platform::SampleBuffer>& sample) {
    while (!input.appendSampleBuffer(sample)) std::this_thread::sleep_for(std::chrono::microseconds(200));
}

int countBoxes(const std::string& path, const std::string& type) {
    std::ifstream file(path, std::ios::binary);
    int count = 0;
    for (uint64_t at = 0;;) {
        unsigned char header[8];
        file.seekg(static_cast<std::streamoff>(at));
        if (!file.read(reinterpret_cast<char*>(header), 8)) break;
        const uint64_t size = uint64_t(header[0]) << 24 | header[1] << 16 | header[2] << 8 | header[3];
        if (std::string(reinterpret_cast<char*>(header + 4), 4) == type) ++count;
        if (size < 8) break;
        at += size;
    }
    return count;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<int> minutes;
    std::filesystem::path directory = "/tmp";
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--dir" && i + 1 < argc) {
            directory = argv[++i];
        } else {
            minutes.push_back(std::atoi(argv[i]));
        }
    }
    if (minutes.empty()) minutes = {1, 30};

    std::vector<std::shared_ptr<platform::PixelBuffer>> frames;
    for (int i = 0; i < 8; ++i) frames.push_back(frame(i));
    auto sound = std::make_shared<platform::AudioData>();
    sound->samples.resize(kAudioBlock * 2);
    for (int i = 0; i < kAudioBlock; ++i) sound->samples[2 * i] = sound->samples[2 * i + 1] = float(0.3 * std::sin(i * 0.05));

    auto service = recorder::linux_backend::makeFfmpegWriterService();
    std::printf("%8s %9s %10s %10s %9s %11s\n", "minutes", "frames", "fragments", "file MB", "feed s", "finish ms");
    for (const int length : minutes) {
        const auto path = (directory / ("writer_finish_bench_" + std::to_string(getpid()) + ".mp4")).string();
        std::filesystem::remove(path);
        auto writer = service->makeAssetWriter(path, platform::FileType::mpeg4).value();
        platform::VideoSettings settings{"h264", kWidth, kHeight, std::nullopt,
                                         {{"preset", "ultrafast"}, {"crf", "30"}, {"bframes", "0"}}};
        auto video = service->makeVideoInput(settings, std::nullopt);
        platform::AudioSettings audioSettings;
        auto audio = service->makeAudioInput(audioSettings);
        writer->addInput(video);
        writer->addInput(audio);
        if (!writer->startWriting()) {
            std::printf("cannot start: %s\n", writer->error()->message.c_str());
            return 1;
        }
        writer->startSessionAtSourceTime(MediaTime::zero());
        const int frameCount = length * 60 * kFps;
        const auto feedStart = std::chrono::steady_clock::now();
        int64_t audioFrames = 0;
        for (int i = 0; i < frameCount; ++i) {
            platform::SampleTimingInfo timing;
            timing.presentationTimeStamp = MediaTime::make(i, kFps);
            timing.duration = MediaTime::make(1, kFps);
            append(*video, platform::SampleBuffer::makeVideo(frames[i % frames.size()], timing, std::nullopt));
            while (audioFrames * kFps < int64_t(i + 1) * 48000) {
                platform::SampleTimingInfo audioTiming;
                audioTiming.presentationTimeStamp = MediaTime::make(audioFrames, 48000);
                audioTiming.duration = MediaTime::make(kAudioBlock, 48000);
                append(*audio, platform::SampleBuffer::makeAudio(sound, audioTiming));
                audioFrames += kAudioBlock;
            }
        }
        const double feedSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - feedStart).count();
        // Everything appended is encoded before the clock starts: the finish alone is measured.
        while (!video->isReadyForMoreMediaData() || !audio->isReadyForMoreMediaData())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        const auto finishStart = std::chrono::steady_clock::now();
        writer->endSessionAtSourceTime(MediaTime::make(frameCount, kFps));
        video->markAsFinished();
        audio->markAsFinished();
        writer->finishWriting();
        const double finishMs =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - finishStart).count();
        if (writer->status() != platform::WriterStatus::completed) {
            std::printf("%8d failed: %s\n", length, writer->error() ? writer->error()->message.c_str() : "?");
            continue;
        }
        std::printf("%8d %9d %10d %10.1f %9.1f %11.1f\n", length, frameCount, countBoxes(path, "mdat"),
                    std::filesystem::file_size(path) / 1e6, feedSeconds, finishMs);
        std::fflush(stdout);
        std::filesystem::remove(path);
    }
    return 0;
}
