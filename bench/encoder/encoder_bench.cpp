// Rate and distortion of candidate H.264 settings on screen recordings. Each clip of everyday
// desktop work (screen_clips.hpp) is drawn once, converted to NV12 the way the capture path does
// it and kept losslessly as raw frames; then every candidate encodes it through the real writer,
// and ffmpeg's psnr and ssim filters hold the decoded file against the raw frames. Prints, per
// clip and setting: bits per second, PSNR and SSIM against the source, and the writer's CPU
// seconds; then per setting the worst clip against today's settings.
//
//   encoder_bench [--seconds N (default 3)] [--clip NAME-PART] [--setting NAME-PART] [--dir DIR]
//                 [--keep 1 (keeps each clip's raw NV12 frames in DIR, to look at)]
//
// The test machines are shared: bits, PSNR and SSIM are deterministic, CPU seconds vary from run
// to run by 15 to 25 %; compare the rows of one run and note the load printed at the top.

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "bench/encoder/screen_clips.hpp"
#include "recorder/platform/linux/ffmpeg/ffmpeg_writer_service.hpp"
#include "recorder/platform/linux/ffmpeg/h264_settings.hpp"
#include "recorder/platform/linux/pixels/bgra_to_nv12.hpp"

namespace encoder_bench {
namespace {

namespace platform = recorder::platform;
using common::MediaTime;

constexpr int kFps = 60;

struct Candidate {
    std::string name;
    std::map<std::string, std::string> compression;
};

// Today's settings before this comparison: the reference every other row is measured against.
std::map<std::string, std::string> previousSettings() {
    return {{"preset", "superfast"}, {"crf", "22"}, {"profile", "high"}, {"bframes", "0"}, {"keyint", "60"}};
}

std::map<std::string, std::string> with(std::map<std::string, std::string> base,
                                        const std::map<std::string, std::string>& changes) {
    for (const auto& [key, value] : changes) base[key] = value;
    return base;
}

// "keyint" is also the keyframe interval the writer forces on the timeline (frames at 60 fps).
std::vector<Candidate> candidates() {
    const auto before = previousSettings();
    return {
        {"superfast crf22 ref1 key1s (before)", before},
        {"superfast crf22 ref1 key2s", with(before, {{"keyint", "120"}})},
        {"superfast crf22 ref1 key4s", with(before, {{"keyint", "240"}})},
        {"superfast crf22 ref2 key1s", with(before, {{"x264-params", "ref=2"}})},
        {"superfast crf22 ref2 key2s", with(before, {{"keyint", "120"}, {"x264-params", "ref=2"}})},
        {"superfast crf22 ref3 key2s", with(before, {{"keyint", "120"}, {"x264-params", "ref=3"}})},
        {"superfast crf22 ref2 key4s", with(before, {{"keyint", "240"}, {"x264-params", "ref=2"}})},
        {"superfast crf22 ref3 key4s", with(before, {{"keyint", "240"}, {"x264-params", "ref=3"}})},
        // Without adaptive quantisation and psychovisual tuning (x264's "psnr" tuning): flat
        // screen backgrounds get no extra bits, so a higher CRF keeps the same fidelity.
        {"superfast crf24 ref2 key4s psnr",
         with(before, {{"tune", "psnr"}, {"crf", "24"}, {"keyint", "240"}, {"x264-params", "ref=2"}})},
        {"crf20 ref3 key4s", with(before, {{"crf", "20"}, {"keyint", "240"}, {"x264-params", "ref=3"}})},
        {"crf21 ref3 key4s subme3", with(before, {{"crf", "21"}, {"keyint", "240"}, {"x264-params", "ref=3:subme=3"}})},
        // Without adaptive quantisation text gains 2 to 6 dB, so CRF can go up three steps; no
        // weighted prediction pays back its CPU. Fewer bits on video, more on text.
        {"crf23 ref3 key4s aq0 weightp0",
         with(before, {{"crf", "23"}, {"keyint", "240"}, {"x264-params", "ref=3:aq-mode=0:weightp=0"}})},
        {"chosen: crf20 ref3 key4s", recorder::linux_backend::screenRecordingCompression(kClipWidth, kClipHeight)},
    };
}

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

std::string loadAverage() {
    std::ifstream file("/proc/loadavg");
    std::string one, five, fifteen;
    file >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

// Draws every frame of `clip`, converts it to NV12 (BT.709, video range) as the capture path
// does, and writes the frames raw to `rawPath` for the comparison.
std::vector<std::shared_ptr<platform::PixelBuffer>> drawClip(ScreenClip& clip, int frameCount,
                                                             const std::filesystem::path& rawPath) {
    std::vector<uint8_t> bgra(static_cast<size_t>(kClipWidth) * kClipHeight * 4);
    std::ofstream raw(rawPath, std::ios::binary);
    std::vector<std::shared_ptr<platform::PixelBuffer>> frames;
    for (int i = 0; i < frameCount; ++i) {
        clip.draw(i, bgra.data(), kClipWidth * 4);
        auto frame = platform::PixelBuffer::allocate(platform::kPixelFormat420v, kClipWidth, kClipHeight);
        const auto& luma = frame->plane(0);
        const auto& chroma = frame->plane(1);
        recorder::linux_backend::convertBGRAToNV12BT709(bgra.data(), kClipWidth * 4, kClipWidth, kClipHeight, luma.data,
                                                        luma.stride, chroma.data, chroma.stride);
        for (int y = 0; y < luma.height; ++y)
            raw.write(reinterpret_cast<const char*>(luma.data + static_cast<size_t>(y) * luma.stride), kClipWidth);
        for (int y = 0; y < chroma.height; ++y)
            raw.write(reinterpret_cast<const char*>(chroma.data + static_cast<size_t>(y) * chroma.stride), kClipWidth);
        frames.push_back(std::move(frame));
    }
    return frames;
}

struct Encoded {
    bool ok = false;
    std::string problem;
    double cpuSeconds = 0;
    double megabits = 0;
};

Encoded encode(platform::MediaWriterService& service, const Candidate& candidate,
               const std::vector<std::shared_ptr<platform::PixelBuffer>>& frames, const std::string& path) {
    Encoded result;
    std::filesystem::remove(path);
    auto made = service.makeAssetWriter(path, platform::FileType::mpeg4);
    if (!made.ok()) {
        result.problem = made.error().message;
        return result;
    }
    const auto writer = made.value();
    platform::VideoSettings settings{"h264", kClipWidth, kClipHeight, std::nullopt, candidate.compression};
    auto input = service.makeVideoInput(settings, std::nullopt);
    writer->addInput(input);
    const double before = cpuSeconds();
    if (!writer->startWriting()) {
        result.problem = writer->error()->message;
        return result;
    }
    for (size_t i = 0; i < frames.size(); ++i) {
        platform::SampleTimingInfo timing;
        timing.presentationTimeStamp = MediaTime::make(static_cast<int64_t>(i), kFps);
        timing.duration = MediaTime::make(1, kFps);
        auto sample = platform::SampleBuffer::makeVideo(frames[i], timing, std::nullopt);
        while (!input->appendSampleBuffer(sample)) std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    writer->endSessionAtSourceTime(MediaTime::make(static_cast<int64_t>(frames.size()), kFps));
    input->markAsFinished();
    writer->finishWriting();
    result.cpuSeconds = cpuSeconds() - before;
    if (writer->status() != platform::WriterStatus::completed) {
        result.problem = writer->error() ? writer->error()->message : "the writer did not complete";
        return result;
    }
    result.megabits = static_cast<double>(std::filesystem::file_size(path)) * 8 / 1e6;
    result.ok = true;
    return result;
}

struct Quality {
    bool ok = false;
    double psnr = 0;   // all planes, weighted by their sizes
    double psnrY = 0;
    double ssim = 0;   // all planes
};

double numberAfter(const std::string& text, const std::string& key) {
    const auto at = text.find(key);
    return at == std::string::npos ? NAN : std::atof(text.c_str() + at + key.size());
}

// ffmpeg's own psnr and ssim filters, the figures everyone quotes, against the raw source frames.
Quality compare(const std::string& encodedPath, const std::filesystem::path& rawPath) {
    const std::string size = std::to_string(kClipWidth) + "x" + std::to_string(kClipHeight);
    const std::string command =
        "ffmpeg -hide_banner -nostats -i '" + encodedPath + "' -f rawvideo -pix_fmt nv12 -s " + size + " -r " +
        std::to_string(kFps) + " -i '" + rawPath.string() +
        "' -filter_complex '[0:v]format=yuv420p,split[a][b];[1:v]format=yuv420p,split[c][d];[a][c]psnr;[b][d]ssim' "
        "-f null - 2>&1";
    Quality quality;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return quality;
    std::string output;
    char chunk[4096];
    while (size_t n = std::fread(chunk, 1, sizeof chunk, pipe)) output.append(chunk, n);
    if (pclose(pipe) != 0) return quality;
    quality.psnrY = numberAfter(output, "PSNR y:");
    quality.psnr = numberAfter(output, " average:");
    quality.ssim = numberAfter(output, " All:");
    quality.ok = !std::isnan(quality.psnrY) && !std::isnan(quality.psnr) && !std::isnan(quality.ssim);
    return quality;
}

struct Row {
    Encoded encoded;
    Quality quality;
};

struct Summary {
    double worstBitsRatio = 0;
    double worstPsnrGain = INFINITY;
    double cpuSeconds = 0;
    double referenceCpuSeconds = 0;
    int clips = 0;
};

int run(int argc, char** argv) {
    int seconds = 3;
    std::string clipFilter, settingFilter;
    bool keep = false;
    std::filesystem::path directory = std::filesystem::temp_directory_path();
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--seconds") seconds = std::max(1, std::atoi(argv[i + 1]));
        else if (option == "--clip") clipFilter = argv[i + 1];
        else if (option == "--setting") settingFilter = argv[i + 1];
        else if (option == "--dir") directory = argv[i + 1];
        else if (option == "--keep") keep = std::string(argv[i + 1]) == "1";
    }
    if (argc % 2 == 0) {
        std::fprintf(stderr, "usage: encoder_bench [--seconds N] [--clip NAME-PART] [--setting NAME-PART] [--dir DIR]\n");
        return 2;
    }
    directory /= "encoder-bench-" + std::to_string(getpid());
    std::filesystem::create_directories(directory);
    const int frameCount = seconds * kFps;

    std::vector<Candidate> settings;
    for (auto& candidate : candidates()) {
        // The reference row always runs: every ratio is against it.
        if (settings.empty() || candidate.name.find(settingFilter) != std::string::npos)
            settings.push_back(std::move(candidate));
    }
    auto service = recorder::linux_backend::makeFfmpegWriterService();
    std::map<std::string, Summary> summaries;

    std::printf("load average before: %s (%u cores); %d frames of %dx%d at %d fps per clip\n", loadAverage().c_str(),
                std::thread::hardware_concurrency(), frameCount, kClipWidth, kClipHeight, kFps);
    std::printf("%-18s %-34s %8s %6s %7s %7s %6s %8s %7s %7s %7s\n", "clip", "setting", "Mbit/s", "xbits", "PSNR",
                "dPSNR", "PSNR-Y", "SSIM", "cpu_s", "ms/f", "xcpu");
    for (auto& clip : makeScreenClips()) {
        if (clip->name().find(clipFilter) == std::string::npos) continue;
        std::string fileName = clip->name();
        std::replace(fileName.begin(), fileName.end(), ' ', '-');
        const auto rawPath = directory / (fileName + ".nv12");
        const auto frames = drawClip(*clip, frameCount, rawPath);
        std::optional<Row> reference;
        for (const auto& candidate : settings) {
            const auto path = (directory / "encoded.mp4").string();
            Row row{encode(*service, candidate, frames, path), {}};
            if (row.encoded.ok) row.quality = compare(path, rawPath);
            if (!row.encoded.ok || !row.quality.ok) {
                std::printf("%-18s %-34s FAILED: %s\n", clip->name().c_str(), candidate.name.c_str(),
                            row.encoded.ok ? "ffmpeg cannot compare the file" : row.encoded.problem.c_str());
                continue;
            }
            if (!reference) reference = row;
            const double bitsRatio = row.encoded.megabits / reference->encoded.megabits;
            const double psnrGain = row.quality.psnr - reference->quality.psnr;
            const double cpuRatio = row.encoded.cpuSeconds / reference->encoded.cpuSeconds;
            std::printf("%-18s %-34s %8.2f %6.2f %7.2f %+7.2f %6.2f %8.5f %7.2f %7.2f %7.2f\n", clip->name().c_str(),
                        candidate.name.c_str(), row.encoded.megabits / seconds, bitsRatio, row.quality.psnr, psnrGain,
                        row.quality.psnrY, row.quality.ssim, row.encoded.cpuSeconds,
                        1000 * row.encoded.cpuSeconds / frameCount, cpuRatio);
            std::fflush(stdout);
            Summary& summary = summaries[candidate.name];
            summary.worstBitsRatio = std::max(summary.worstBitsRatio, bitsRatio);
            summary.worstPsnrGain = std::min(summary.worstPsnrGain, psnrGain);
            summary.cpuSeconds += row.encoded.cpuSeconds;
            summary.referenceCpuSeconds += reference->encoded.cpuSeconds;
            ++summary.clips;
        }
        if (!keep) std::filesystem::remove(rawPath);
    }
    // xbits: bits against the first setting on the same clip; dPSNR: PSNR gain over it; xcpu: CPU.
    std::printf("\nover all clips, against %s:\n%-34s %12s %14s %10s\n", settings.front().name.c_str(), "setting",
                "worst xbits", "worst dPSNR", "xcpu");
    for (const auto& candidate : settings) {
        const auto found = summaries.find(candidate.name);
        if (found == summaries.end()) continue;
        const Summary& s = found->second;
        std::printf("%-34s %12.2f %+14.2f %10.2f\n", candidate.name.c_str(), s.worstBitsRatio, s.worstPsnrGain,
                    s.cpuSeconds / s.referenceCpuSeconds);
    }
    std::printf("load average after: %s\n", loadAverage().c_str());
    if (keep) std::printf("raw frames kept in %s\n", directory.c_str());
    else std::filesystem::remove_all(directory);
    return 0;
}

}  // namespace
}  // namespace encoder_bench

int main(int argc, char** argv) { return encoder_bench::run(argc, argv); }
