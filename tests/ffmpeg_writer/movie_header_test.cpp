#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "recorder/platform/linux/ffmpeg/mp4/fragment_reader.hpp"
#include "recorder/platform/linux/ffmpeg/mp4/movie_writer.hpp"

namespace {

using namespace recorder::linux_backend::mp4;

constexpr uint32_t kVideoScale = 90000;
constexpr uint32_t kAudioScale = 48000;
constexpr uint32_t kMovieScale = 1000;
constexpr uint32_t kNonSync = 0x10000;

// A fragmented movie header as the muxer writes it: video track 1 (no edit), audio track 2 with
// an edit that skips `priming` samples, empty sample tables, trex defaults and some user data.
std::vector<uint8_t> initialMovie(uint32_t priming = 1024, bool userData = true) {
    BoxWriter out;
    out.open("moov");
    out.open("mvhd", 0);
    for (uint32_t value : {0u, 0u, kMovieScale, 0u}) out.u32(value);
    out.raw(std::vector<uint8_t>(76, 0));
    out.u32(3);  // next track id
    out.close();
    for (uint32_t id : {1u, 2u}) {
        const uint32_t scale = id == 1 ? kVideoScale : kAudioScale;
        out.open("trak");
        out.open("tkhd", 0, 3);
        for (uint32_t value : {0u, 0u, id, 0u, 0u}) out.u32(value);
        out.raw(std::vector<uint8_t>(60, 0));
        out.close();
        if (id == 2) {
            out.open("edts");
            out.open("elst", 0);
            for (uint32_t value : {1u, 0u, priming, 0x10000u}) out.u32(value);
            out.close();
            out.close();
        }
        out.open("mdia");
        out.open("mdhd", 0);
        for (uint32_t value : {0u, 0u, scale, 0u, 0x55c40000u}) out.u32(value);
        out.close();
        out.open("hdlr", 0);
        out.fourcc("....");
        out.close();
        out.open("minf");
        out.open("stbl");
        out.open("stsd", 0);
        out.u32(1);
        out.open(id == 1 ? "avc1" : "mp4a");
        out.raw(std::vector<uint8_t>(16, 7));
        out.close();
        out.close();
        for (const char* empty : {"stts", "stsc", "stco"}) {
            out.open(empty, 0);
            out.u32(0);
            out.close();
        }
        out.close();
        out.close();
        out.close();
        out.close();
    }
    out.open("mvex");
    for (uint32_t id : {1u, 2u}) {
        out.open("trex", 0);
        for (uint32_t value : {id, 1u, 0u, 0u, 0u}) out.u32(value);
        out.close();
    }
    out.close();
    if (userData) {
        out.open("udta");
        out.raw(std::vector<uint8_t>(90, 1));
        out.close();
    }
    out.close();
    return out.take();
}

// Finds a box by a path such as "moov/trak#2/mdia/mdhd" (#n: the n-th of that type, from 1).
std::optional<Box> find(const std::vector<uint8_t>& data, const std::string& path) {
    Box scope{0, data.size(), 0, {}};
    size_t from = 0;
    while (from < path.size()) {
        size_t slash = path.find('/', from);
        if (slash == std::string::npos) slash = path.size();
        std::string name = path.substr(from, slash - from);
        int nth = 1;
        if (const auto hash = name.find('#'); hash != std::string::npos) {
            nth = std::stoi(name.substr(hash + 1));
            name = name.substr(0, hash);
        }
        std::optional<Box> next;
        for (const Box& box : childBoxes(data, scope.payload(), scope.end())) {
            if (box.is(name) && --nth == 0) next = box;
        }
        if (!next) return std::nullopt;
        scope = *next;
        from = slash + 1;
    }
    return scope;
}

// The version byte and the 32-bit words of a full box's payload after version and flags.
struct FullBox {
    int version = -1;
    std::vector<uint32_t> words;
    uint64_t u64At(size_t word) const { return uint64_t(words[word]) << 32 | words[word + 1]; }
};
FullBox full(const std::vector<uint8_t>& data, const std::string& path) {
    FullBox result;
    const auto box = find(data, path);
    if (!box) return result;
    result.version = data[box->payload()];
    for (size_t at = box->payload() + 4; at + 4 <= box->end(); at += 4) result.words.push_back(readU32(&data[at]));
    return result;
}

std::vector<Sample> frames(int count, uint32_t duration, uint32_t size, int keyEvery) {
    std::vector<Sample> samples(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) samples[static_cast<size_t>(i)] = Sample{size + uint32_t(i % 3), duration, 0, i % keyEvery == 0};
    return samples;
}

TEST(RegularMovieHeader, SampleTablesDescribeEveryFrameWithTimesSizesSyncPointsAndChunks) {
    TrackSamples video(1), audio(2);
    // Two fragments with variable frame durations; a keyframe starts each.
    std::vector<Sample> first = {{100, 1500, 0, true}, {50, 1500, 0, false}, {60, 3000, 0, false}};
    std::vector<Sample> second = {{110, 1500, 0, true}, {40, 1499, 0, false}};
    video.addRun(1000, 0, first);
    video.addRun(5000, 6000, second);
    audio.addRun(1210, 0, std::vector<Sample>(4, Sample{300, 1024, 0, true}));
    const auto movie = regularMovie(initialMovie(), {video, audio});

    EXPECT_EQ(full(movie, "moov/trak#1/mdia/minf/stbl/stts").words, (std::vector<uint32_t>{4, 2, 1500, 1, 3000, 1, 1500, 1, 1499}));
    EXPECT_EQ(full(movie, "moov/trak#1/mdia/minf/stbl/stss").words, (std::vector<uint32_t>{2, 1, 4}));
    EXPECT_EQ(full(movie, "moov/trak#1/mdia/minf/stbl/stsz").words, (std::vector<uint32_t>{0, 5, 100, 50, 60, 110, 40}));
    EXPECT_EQ(full(movie, "moov/trak#1/mdia/minf/stbl/stsc").words, (std::vector<uint32_t>{2, 1, 3, 1, 2, 2, 1}));
    EXPECT_EQ(full(movie, "moov/trak#1/mdia/minf/stbl/stco").words, (std::vector<uint32_t>{2, 1000, 5000}));
    EXPECT_FALSE(find(movie, "moov/trak#1/mdia/minf/stbl/ctts"));
    // Audio: every sample a sync sample (no stss), one size for all.
    EXPECT_FALSE(find(movie, "moov/trak#2/mdia/minf/stbl/stss"));
    EXPECT_EQ(full(movie, "moov/trak#2/mdia/minf/stbl/stsz").words, (std::vector<uint32_t>{300, 4}));
    // The sample description is the muxer's; the fragment extension is gone; user data stays.
    const auto initial = initialMovie();
    const auto stsd = find(movie, "moov/trak#1/mdia/minf/stbl/stsd");
    const auto original = find(initial, "moov/trak#1/mdia/minf/stbl/stsd");
    ASSERT_TRUE(stsd && original);
    EXPECT_TRUE(std::equal(movie.begin() + long(stsd->offset), movie.begin() + long(stsd->end()),
                           initial.begin() + long(original->offset), initial.begin() + long(original->end())));
    EXPECT_FALSE(find(movie, "moov/mvex"));
    EXPECT_TRUE(find(movie, "moov/udta"));
    // Lengths: video 8999/90000 s; audio 4096 samples less 1024 of priming.
    EXPECT_EQ(full(movie, "moov/trak#1/mdia/mdhd").words[3], 8999u);
    EXPECT_EQ(full(movie, "moov/trak#1/tkhd").words[4], 100u);  // in ms
    EXPECT_EQ(full(movie, "moov/trak#2/edts/elst").words, (std::vector<uint32_t>{1, 64, 1024, 0x10000}));
    EXPECT_EQ(full(movie, "moov/trak#2/tkhd").words[4], 64u);
    EXPECT_EQ(full(movie, "moov/mvhd").words[3], 100u);
}

TEST(RegularMovieHeader, APauseOrLateFragmentLeavesNoHoleInMediaTime) {
    TrackSamples video(1);
    video.addRun(100, 90000, frames(3, 1500, 10, 3));  // the track's first decode time is its origin
    video.addRun(500, 90000 + 4500 + 9000, frames(2, 1500, 10, 2));  // 0.1 s later than the last frame ended
    const auto movie = regularMovie(initialMovie(), {video});
    // The last frame before the hole lasts over it; the later frames keep their times.
    EXPECT_EQ(full(movie, "moov/trak#1/mdia/minf/stbl/stts").words, (std::vector<uint32_t>{3, 2, 1500, 1, 10500, 2, 1500}));
    EXPECT_EQ(full(movie, "moov/trak#1/mdia/mdhd").words[3], 4500u + 9000u + 3000u);
    // A track without samples is an empty track, not a failure.
    EXPECT_EQ(full(movie, "moov/trak#2/mdia/minf/stbl/stsz").words, (std::vector<uint32_t>{0, 0}));
    EXPECT_EQ(full(movie, "moov/trak#2/edts/elst").words[1], 0u);
}

TEST(RegularMovieHeader, FourteenHoursPast4GiBUse64BitOffsetsAndBoxVersions) {
    // 14 hours at 30 frames a second in half-second fragments of 50 kB: about 5 GiB of media.
    constexpr int kFragments = 14 * 3600 * 2;
    TrackSamples video(1), audio(2);
    const auto fragment = frames(15, 3000, 3300, 15);
    const std::vector<Sample> sound(12, Sample{200, 2000, 0, true});
    for (int i = 0; i < kFragments; ++i) {
        const uint64_t at = 4096 + uint64_t(i) * 52000;
        video.addRun(at, uint64_t(i) * 45000, fragment);
        audio.addRun(at + 15 * 3301, uint64_t(i) * 24000, sound);
    }
    const auto movie = regularMovie(initialMovie(), {video, audio});

    const uint64_t videoTicks = uint64_t(kFragments) * 45000;  // 4.536e9: past 32 bits
    const auto mdhd = full(movie, "moov/trak#1/mdia/mdhd");
    EXPECT_EQ(mdhd.version, 1);
    EXPECT_EQ(mdhd.u64At(5), videoTicks);
    // In milliseconds and at 48 kHz, 14 hours still fit 32 bits: those boxes keep version 0.
    const auto mvhd = full(movie, "moov/mvhd");
    EXPECT_EQ(mvhd.version, 0);
    EXPECT_EQ(mvhd.words[3], 14u * 3600 * 1000);
    EXPECT_EQ(full(movie, "moov/trak#1/tkhd").words[4], 14u * 3600 * 1000);
    const auto audioHeader = full(movie, "moov/trak#2/mdia/mdhd");
    EXPECT_EQ(audioHeader.version, 0);
    EXPECT_EQ(audioHeader.words[3], uint32_t(kFragments) * 24000);

    EXPECT_FALSE(find(movie, "moov/trak#1/mdia/minf/stbl/stco"));
    const auto co64 = full(movie, "moov/trak#1/mdia/minf/stbl/co64");
    ASSERT_EQ(co64.words.size(), 1 + 2u * kFragments);
    EXPECT_EQ(co64.words[0], uint32_t(kFragments));
    EXPECT_EQ(co64.u64At(1 + 2 * (kFragments - 1)), 4096 + uint64_t(kFragments - 1) * 52000);
    EXPECT_GT(co64.u64At(1 + 2 * (kFragments - 1)), 1ull << 32);
    const auto stsz = full(movie, "moov/trak#1/mdia/minf/stbl/stsz");
    EXPECT_EQ(stsz.words[1], uint32_t(15 * kFragments));
    EXPECT_EQ(stsz.words.size(), 2 + 15u * kFragments);
    // One chunk layout for all: a single stsc entry; one frame duration: a single stts entry.
    EXPECT_EQ(full(movie, "moov/trak#1/mdia/minf/stbl/stsc").words, (std::vector<uint32_t>{1, 1, 15, 1}));
    EXPECT_EQ(full(movie, "moov/trak#1/mdia/minf/stbl/stts").words, (std::vector<uint32_t>{1, 15u * kFragments, 3000}));
    EXPECT_EQ(full(movie, "moov/trak#1/mdia/minf/stbl/stss").words[0], uint32_t(kFragments));
}

TEST(FragmentedMovieHeader, KeepsItsSizeAndTellsTheLengthThroughMehd) {
    const auto initial = initialMovie();
    TrackSamples video(1), audio(2);
    video.addRun(2000, 0, frames(30, 3000, 100, 15));  // one second
    audio.addRun(6000, 0, std::vector<Sample>(50, Sample{300, 1024, 0, true}));
    const auto live = fragmentedMovie(initial, {video, audio}, initial.size());
    ASSERT_TRUE(live);
    ASSERT_EQ(live->size(), initial.size());
    const auto mehd = full(*live, "moov/mvex/mehd");
    ASSERT_EQ(mehd.version, 1);
    // The longer track: audio, 51200 samples less 1024 of priming, 1.045 s.
    EXPECT_EQ(mehd.u64At(0), 1045u);
    EXPECT_EQ(full(*live, "moov/mvhd").words[3], 1045u);
    EXPECT_EQ(full(*live, "moov/trak#1/tkhd").words[4], 1000u);
    EXPECT_EQ(full(*live, "moov/trak#2/edts/elst").words[1], 1045u);
    EXPECT_TRUE(find(*live, "moov/mvex/trex#2"));
    EXPECT_TRUE(find(*live, "moov/free"));
    // Its sample tables stay empty: the samples are described by the fragments.
    EXPECT_EQ(full(*live, "moov/trak#1/mdia/minf/stbl/stts").words, (std::vector<uint32_t>{0}));
    // Without room for the extension, the header cannot be kept current in place.
    const auto tight = initialMovie(1024, false);
    EXPECT_FALSE(fragmentedMovie(tight, {video, audio}, tight.size()));
}

TEST(FragmentReader, TakesOffsetsTimesAndSyncFlagsFromFragmentHeaders) {
    const auto moov = initialMovie();
    const auto defaults = fragmentedTracks(moov);
    ASSERT_EQ(defaults.size(), 2u);
    // A fragment at file offset 7000: video with default duration 1500 and per-sample sizes,
    // the first sample a keyframe and the rest marked non-sync by default; then audio.
    BoxWriter out;
    out.open("moof");
    out.open("mfhd", 0);
    out.u32(5);
    out.close();
    out.open("traf");
    out.open("tfhd", 0, 0x020000 | 0x08 | 0x20);
    for (uint32_t value : {1u, 1500u, kNonSync}) out.u32(value);
    out.close();
    out.open("tfdt", 1);
    out.u64(900000);
    out.close();
    out.open("trun", 0, 0x1 | 0x4 | 0x200);
    for (uint32_t value : {3u, 200u, 0u, 40u, 30u, 20u}) out.u32(value);
    out.close();
    out.close();
    out.open("traf");
    out.open("tfhd", 0, 0x020000 | 0x10);
    for (uint32_t value : {2u, 333u}) out.u32(value);
    out.close();
    out.open("trun", 1, 0x1 | 0x100 | 0x800);
    for (uint32_t value : {2u, 290u, 1024u, 0u, 1000u, uint32_t(-5)}) out.u32(value);
    out.close();
    out.close();
    out.close();

    std::vector<TrackSamples> tracks{TrackSamples(1), TrackSamples(2)};
    ASSERT_TRUE(readFragment(out.bytes(), 7000, defaults, tracks));
    const auto& video = tracks[0].samples();
    ASSERT_EQ(video.size(), 3u);
    EXPECT_TRUE(video[0].sync);
    EXPECT_FALSE(video[1].sync);
    EXPECT_EQ(video[2].size, 20u);
    EXPECT_EQ(video[2].duration, 1500u);
    EXPECT_EQ(tracks[0].dataEnd(), 7000u + 200 + 90);
    // Samples described by defaults alone: the run lists none of their fields.
    BoxWriter defaultsOnly;
    defaultsOnly.open("moof");
    defaultsOnly.open("traf");
    defaultsOnly.open("tfhd", 0, 0x020000 | 0x08 | 0x10);
    for (uint32_t value : {2u, 1024u, 6u}) defaultsOnly.u32(value);
    defaultsOnly.close();
    defaultsOnly.open("trun", 0, 0x1);
    for (uint32_t value : {24u, 100u}) defaultsOnly.u32(value);
    defaultsOnly.close();
    defaultsOnly.close();
    defaultsOnly.close();
    std::vector<TrackSamples> silent{TrackSamples(2)};
    ASSERT_TRUE(readFragment(defaultsOnly.bytes(), 0, defaults, silent));
    EXPECT_EQ(silent[0].samples().size(), 24u);
    EXPECT_EQ(silent[0].duration(), 24u * 1024);
    EXPECT_EQ(silent[0].dataEnd(), 100u + 24 * 6);

    const auto& audio = tracks[1].samples();
    ASSERT_EQ(audio.size(), 2u);
    EXPECT_EQ(audio[1].compositionOffset, -5);
    EXPECT_EQ(audio[1].size, 333u);
    EXPECT_EQ(tracks[1].duration(), 2024u);
    EXPECT_EQ(tracks[1].dataEnd(), 7000u + 290 + 666);
    // A cut-off fragment header is refused.
    auto cut = out.bytes();
    cut.resize(cut.size() - 6);
    writeU32(cut.data(), static_cast<uint32_t>(cut.size()));
    EXPECT_FALSE(readFragment(cut, 0, defaults, tracks));
}

}  // namespace
