#include "tests/ffmpeg_writer/writer_test_support.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <numbers>
#include <sstream>
#include <thread>

namespace ffmpeg_writer_test {

ScratchDirectory::ScratchDirectory() {
    std::string pattern = (std::filesystem::temp_directory_path() / "ffmpeg-writer-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("cannot make a scratch directory");
    path_ = pattern;
}

ScratchDirectory::~ScratchDirectory() {
    // Set to look at the files a failing test wrote.
    if (std::getenv("FFMPEG_WRITER_TEST_KEEP")) return;
    std::error_code ignored;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all, ignored);
    std::filesystem::remove_all(path_, ignored);
}

std::string runCommand(const std::string& command) {
    std::string output;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return output;
    std::array<char, 4096> buffer{};
    size_t read = 0;
    while ((read = fread(buffer.data(), 1, buffer.size(), pipe)) > 0) output.append(buffer.data(), read);
    pclose(pipe);
    return output;
}

std::map<std::string, std::string> probeStream(const std::string& path, const std::string& selector) {
    const auto text = runCommand("ffprobe -v error -select_streams " + selector +
                                 " -show_entries stream -of default=noprint_wrappers=1 '" + path + "'");
    std::map<std::string, std::string> fields;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        const auto equals = line.find('=');
        if (equals != std::string::npos && !fields.count(line.substr(0, equals))) {
            fields[line.substr(0, equals)] = line.substr(equals + 1);
        }
    }
    return fields;
}

std::vector<PacketTiming> probePackets(const std::string& path, const std::string& selector) {
    const auto text = runCommand("ffprobe -v error -select_streams " + selector +
                                 " -show_entries packet=pts_time,flags -of csv=p=0 '" + path + "'");
    std::vector<PacketTiming> packets;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        PacketTiming timing;
        char flags[8] = {};
        if (std::sscanf(line.c_str(), "%lf,%7s", &timing.pts, flags) >= 1) {
            timing.keyframe = flags[0] == 'K';
            packets.push_back(timing);
        }
    }
    return packets;
}

std::vector<float> decodeAudio(const std::string& path) {
    const auto raw = runCommand("ffmpeg -v error -i '" + path + "' -map 0:a:0 -ac 1 -ar 48000 -f f32le -");
    std::vector<float> samples(raw.size() / sizeof(float));
    std::memcpy(samples.data(), raw.data(), samples.size() * sizeof(float));
    return samples;
}

double rms(const std::vector<float>& samples, double fromSeconds, double toSeconds) {
    const auto from = static_cast<size_t>(fromSeconds * 48000), to = static_cast<size_t>(toSeconds * 48000);
    double sum = 0;
    size_t count = 0;
    for (size_t i = from; i < to && i < samples.size(); ++i, ++count) sum += double(samples[i]) * samples[i];
    return count ? std::sqrt(sum / count) : 0;
}

namespace {

uint32_t u32(const std::string& d, size_t at) {
    return uint32_t(uint8_t(d[at])) << 24 | uint32_t(uint8_t(d[at + 1])) << 16 | uint32_t(uint8_t(d[at + 2])) << 8 |
           uint8_t(d[at + 3]);
}

}  // namespace

HeaderDurations readHeaderDurations(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    const std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    HeaderDurations result;
    const auto moov = data.find("moov");
    if (moov == std::string::npos) return result;
    const size_t end = moov - 4 + u32(data, moov - 4);
    const auto mvhd = data.find("mvhd", moov);
    if (mvhd == std::string::npos || data[mvhd + 4] != 0) return result;  // files here use version 0
    const double movieScale = u32(data, mvhd + 16);
    result.movie = u32(data, mvhd + 20) / movieScale;
    for (size_t at = data.find("tkhd", moov); at < end; at = data.find("tkhd", at + 4)) {
        result.tracks.push_back(u32(data, at + 24) / movieScale);
    }
    for (size_t at = data.find("mdhd", moov); at < end; at = data.find("mdhd", at + 4)) {
        result.media.push_back(double(u32(data, at + 20)) / u32(data, at + 16));
    }
    return result;
}

std::vector<std::string> topLevelBoxes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    const std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<std::string> boxes;
    for (size_t at = 0; at + 8 <= data.size();) {
        uint64_t size = u32(data, at);
        if (size == 1 && at + 16 <= data.size()) size = uint64_t{u32(data, at + 8)} << 32 | u32(data, at + 12);
        boxes.push_back(data.substr(at + 4, 4));
        if (size < 8) break;
        at += size;
    }
    return boxes;
}

platform::VideoSettings videoSettings(int width, int height) {
    platform::VideoSettings settings;
    settings.codec = "h264";
    settings.width = width;
    settings.height = height;
    settings.colorProperties = platform::ColorProperties{platform::kColorPrimariesITU_R_709_2,
                                                         platform::kTransferFunctionITU_R_709_2, "ITU_R_709_2"};
    settings.compression = {{"preset", "ultrafast"}, {"crf", "23"}, {"bframes", "0"}};
    return settings;
}

platform::AudioSettings audioSettings(int bitRate) {
    platform::AudioSettings settings;
    settings.encoderBitRate = bitRate;
    return settings;
}

std::shared_ptr<platform::PixelBuffer> nv12Frame(int index, int width, int height) {
    auto buffer = platform::PixelBuffer::allocate(platform::kPixelFormat420v, width, height);
    const auto& luma = buffer->plane(0);
    for (int y = 0; y < luma.height; ++y) {
        for (int x = 0; x < luma.width; ++x) {
            luma.data[y * luma.stride + x] = static_cast<uint8_t>(16 + ((x + y + index * 7) * 13 % 220));
        }
    }
    const auto& chroma = buffer->plane(1);
    for (int y = 0; y < chroma.height; ++y) std::memset(chroma.data + y * chroma.stride, 128, chroma.stride);
    return buffer;
}

std::shared_ptr<platform::SampleBuffer> videoSample(std::shared_ptr<platform::PixelBuffer> image, MediaTime time) {
    platform::SampleTimingInfo timing;
    timing.presentationTimeStamp = time;
    timing.duration = MediaTime::make(1, 60);
    return platform::SampleBuffer::makeVideo(std::move(image), timing, std::nullopt);
}

std::shared_ptr<platform::SampleBuffer> toneSample(double startSeconds, double seconds, double hz) {
    auto audio = std::make_shared<platform::AudioData>();
    const auto frames = static_cast<size_t>(std::llround(seconds * 48000));
    const auto startFrame = std::llround(startSeconds * 48000);
    audio->samples.resize(frames * 2);
    for (size_t i = 0; i < frames; ++i) {
        const double t = double(startFrame + static_cast<long long>(i)) / 48000;
        const float value = hz > 0 ? static_cast<float>(0.5 * std::sin(2 * std::numbers::pi * hz * t)) : 0.0f;
        audio->samples[2 * i] = audio->samples[2 * i + 1] = value;
    }
    platform::SampleTimingInfo timing;
    timing.presentationTimeStamp = MediaTime::make(startFrame, 48000);
    timing.duration = MediaTime::make(static_cast<int64_t>(frames), 48000);
    return platform::SampleBuffer::makeAudio(std::move(audio), timing);
}

bool appendWaiting(platform::WriterInput& input, const std::shared_ptr<platform::SampleBuffer>& sample) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!input.isReadyForMoreMediaData()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return input.appendSampleBuffer(sample);
}

}  // namespace ffmpeg_writer_test
