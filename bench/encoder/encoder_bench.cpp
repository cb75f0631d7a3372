// Encodes 1920x1080 screen-like content at 60 fps through the real writer, once per candidate
// encoder setting, and prints throughput, CPU time and file size. The content is what a screen
// recording looks like: sharp text on flat backgrounds, a scrolling document and a window
// moving across the screen.
//
//   encoder_bench [seconds of video, default 10] [output directory, default /tmp]

#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "recorder/platform/linux/ffmpeg/ffmpeg_writer_service.hpp"

namespace {

namespace platform = recorder::platform;
using common::MediaTime;

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
constexpr int kFps = 60;

// A tall "document" of glyph-like strokes in dark grey on white, scrolled through the frame.
std::vector<uint8_t> makeDocument(int width, int height) {
    std::vector<uint8_t> page(static_cast<size_t>(width) * height, 235);
    std::mt19937 random(7);
    for (int line = 0; line * 22 + 20 < height; ++line) {
        int x = 40;
        while (x < width - 60) {
            const int word = 3 + static_cast<int>(random() % 8);
            for (int c = 0; c < word && x < width - 60; ++c, x += 9) {
                const uint32_t glyph = random();
                for (int gy = 0; gy < 14; ++gy) {
                    for (int gx = 0; gx < 7; ++gx) {
                        if ((glyph >> ((gy * 7 + gx) % 31)) & 1 && (gy % 3 != 1)) {
                            page[static_cast<size_t>(line * 22 + 4 + gy) * width + x + gx] = 30;
                        }
                    }
                }
            }
            x += 9;
        }
    }
    return page;
}

void drawFrame(const platform::PixelBuffer& frame, const std::vector<uint8_t>& document, int index) {
    const auto& luma = frame.plane(0);
    const auto& chroma = frame.plane(1);
    const int scroll = (index * 4) % (kHeight * 2);  // 240 px per second
    for (int y = 0; y < kHeight; ++y) {
        uint8_t* row = luma.data + static_cast<size_t>(y) * luma.stride;
        if (y < 40) {
            std::fill(row, row + kWidth, 60);  // a title bar
            continue;
        }
        const uint8_t* source = document.data() + static_cast<size_t>((y + scroll) % (kHeight * 3)) * kWidth;
        std::copy(source, source + kWidth, row);
    }
    for (int y = 0; y < kHeight / 2; ++y) std::fill(chroma.data + y * chroma.stride, chroma.data + y * chroma.stride + kWidth, 128);
    // A 640x400 window with its own text sliding across.
    const int wx = (index * 6) % (kWidth - 640), wy = 300 + (index % 120);
    for (int y = 0; y < 400; ++y) {
        uint8_t* row = luma.data + static_cast<size_t>(wy + y) * luma.stride + wx;
        const uint8_t* source = document.data() + static_cast<size_t>(y + 500) * kWidth + 900;
        for (int x = 0; x < 640; ++x) row[x] = y < 24 ? 90 : static_cast<uint8_t>(255 - source[x] / 2);
    }
    for (int y = 0; y < 200; ++y) {
        uint8_t* row = chroma.data + static_cast<size_t>(wy / 2 + y) * chroma.stride + (wx & ~1);
        for (int x = 0; x < 320; ++x) {
            row[2 * x] = 150;
            row[2 * x + 1] = 110;
        }
    }
}

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

struct Candidate {
    const char* name;
    std::map<std::string, std::string> compression;
};

}  // namespace

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 10;
    const std::filesystem::path directory = argc > 2 ? argv[2] : "/tmp";
    const int frameCount = seconds * kFps;
    const auto document = makeDocument(kWidth, kHeight * 3);

    // Frames are drawn before the clock starts, so only the writer is measured.
    std::printf("drawing %d frames...\n", frameCount);
    std::vector<std::shared_ptr<platform::PixelBuffer>> frames;
    for (int i = 0; i < frameCount; ++i) {
        frames.push_back(platform::PixelBuffer::allocate(platform::kPixelFormat420v, kWidth, kHeight));
        drawFrame(*frames.back(), document, i);
    }

    auto service = recorder::linux_backend::makeFfmpegWriterService();
    auto ours = service->makeOutputSettingsAssistant(platform::kVideoPreset3840x2160)->videoSettings()->compression;
    const std::vector<Candidate> candidates = {
        {"ultrafast crf 22", {{"preset", "ultrafast"}, {"crf", "22"}, {"bframes", "0"}, {"keyint", "60"}}},
        {"superfast crf 22", {{"preset", "superfast"}, {"crf", "22"}, {"bframes", "0"}, {"keyint", "60"}}},
        {"veryfast crf 22", {{"preset", "veryfast"}, {"crf", "22"}, {"bframes", "0"}, {"keyint", "60"}}},
        {"superfast crf 22 zerolatency", {{"preset", "superfast"}, {"tune", "zerolatency"}, {"crf", "22"}, {"bframes", "0"}, {"keyint", "60"}}},
        {"chosen (assistant)", ours},
    };

    std::printf("%-32s %9s %10s %12s %10s %9s\n", "setting", "enc fps", "cpu s", "cpu/realtime", "MB", "Mbit/s");
    for (const auto& candidate : candidates) {
        const auto path = (directory / ("encoder_bench_" + std::to_string(getpid()) + ".mp4")).string();
        std::filesystem::remove(path);
        auto writer = service->makeAssetWriter(path, platform::FileType::mpeg4).value();
        platform::VideoSettings settings{"h264", kWidth, kHeight, std::nullopt, candidate.compression};
        auto input = service->makeVideoInput(settings, std::nullopt);
        writer->addInput(input);
        if (!writer->startWriting()) {
            std::printf("%-32s failed: %s\n", candidate.name, writer->error()->message.c_str());
            continue;
        }
        const double cpuBefore = cpuSeconds();
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < frameCount; ++i) {
            platform::SampleTimingInfo timing;
            timing.presentationTimeStamp = MediaTime::make(i, kFps);
            timing.duration = MediaTime::make(1, kFps);
            auto sample = platform::SampleBuffer::makeVideo(frames[i], timing, std::nullopt);
            while (!input->appendSampleBuffer(sample)) std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        writer->endSessionAtSourceTime(MediaTime::make(frameCount, kFps));
        input->markAsFinished();
        writer->finishWriting();
        const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        const double cpu = cpuSeconds() - cpuBefore;
        const double megabytes = std::filesystem::file_size(path) / 1e6;
        std::printf("%-32s %9.1f %10.2f %12.2f %10.2f %9.2f\n", candidate.name, frameCount / wall, cpu, cpu / seconds,
                    megabytes, megabytes * 8 / seconds);
        std::fflush(stdout);
        std::filesystem::remove(path);
    }
    return 0;
}
