#include "recorder/platform/linux/ffmpeg/mp4/fragment_reader.hpp"

#include <algorithm>
#include <bit>

namespace recorder::linux_backend::mp4 {
namespace {

// tfhd flags
constexpr uint32_t kBaseDataOffset = 0x1;
constexpr uint32_t kDescriptionIndex = 0x2;
constexpr uint32_t kDefaultDuration = 0x8;
constexpr uint32_t kDefaultSize = 0x10;
constexpr uint32_t kDefaultFlags = 0x20;
constexpr uint32_t kBaseIsMoof = 0x20000;
// trun flags
constexpr uint32_t kDataOffset = 0x1;
constexpr uint32_t kFirstSampleFlags = 0x4;
constexpr uint32_t kSampleDuration = 0x100;
constexpr uint32_t kSampleSize = 0x200;
constexpr uint32_t kSampleFlags = 0x400;
constexpr uint32_t kSampleCompositionOffset = 0x800;
// sample flags
constexpr uint32_t kNonSyncSample = 0x10000;
constexpr uint32_t kMostSamplesPerRun = 1u << 20;

// Reads big-endian fields in order and remembers whether it ran past the end.
class Fields {
public:
    Fields(std::span<const uint8_t> data, size_t at, size_t end) : data_(data), at_(at), end_(std::min(end, data.size())) {}
    uint32_t u32() {
        if (at_ + 4 > end_) return fail();
        const uint32_t value = readU32(&data_[at_]);
        at_ += 4;
        return value;
    }
    uint64_t u64() {
        if (at_ + 8 > end_) return fail();
        const uint64_t value = readU64(&data_[at_]);
        at_ += 8;
        return value;
    }
    bool ok() const { return ok_; }

private:
    uint32_t fail() {
        ok_ = false;
        at_ = end_;
        return 0;
    }
    std::span<const uint8_t> data_;
    size_t at_;
    size_t end_;
    bool ok_ = true;
};

}  // namespace

std::vector<TrackDefaults> fragmentedTracks(std::span<const uint8_t> moov) {
    std::vector<TrackDefaults> result;
    const auto movie = boxAt(moov, 0);
    if (!movie) return result;
    const auto top = childBoxes(moov, *movie);
    for (const Box& trak : top) {
        if (!trak.is("trak")) continue;
        const auto tkhd = findBox(childBoxes(moov, trak), "tkhd");
        if (!tkhd) continue;
        // tkhd: version and flags, then the track id after two times of 4 or 8 bytes.
        const size_t idAt = tkhd->payload() + 4 + (moov[tkhd->payload()] == 1 ? 16 : 8);
        if (idAt + 4 > tkhd->end()) continue;
        result.push_back(TrackDefaults{readU32(&moov[idAt])});
    }
    if (const auto mvex = findBox(top, "mvex")) {
        for (const Box& trex : childBoxes(moov, *mvex)) {
            if (!trex.is("trex")) continue;
            Fields fields(moov, trex.payload() + 4, trex.end());
            const uint32_t id = fields.u32();
            fields.u32();  // sample description index
            TrackDefaults defaults{id, fields.u32(), fields.u32(), fields.u32()};
            if (!fields.ok()) continue;
            for (auto& track : result) {
                if (track.trackId == id) track = defaults;
            }
        }
    }
    return result;
}

bool readFragment(std::span<const uint8_t> moof, uint64_t moofOffset, const std::vector<TrackDefaults>& defaults,
                  std::vector<TrackSamples>& tracks) {
    const auto fragment = boxAt(moof, 0);
    if (!fragment || !fragment->is("moof")) return false;
    // Boxes that do not fill their parent exactly mean a cut-off or damaged header.
    const auto covers = [](const std::vector<Box>& boxes, const Box& parent) {
        return boxes.empty() ? parent.size == parent.headerSize : boxes.back().end() == parent.end();
    };
    const auto inMoof = childBoxes(moof, *fragment);
    if (fragment->end() > moof.size() || !covers(inMoof, *fragment)) return false;
    uint64_t previousTrafEnd = moofOffset;
    std::vector<Sample> run;
    for (const Box& traf : inMoof) {
        if (!traf.is("traf")) continue;
        const auto inTraf = childBoxes(moof, traf);
        if (!covers(inTraf, traf)) return false;
        const auto tfhd = findBox(inTraf, "tfhd");
        if (!tfhd) return false;
        Fields header(moof, tfhd->payload(), tfhd->end());
        const uint32_t tfhdFlags = header.u32() & 0xffffff;
        const uint32_t trackId = header.u32();
        const auto known = std::find_if(defaults.begin(), defaults.end(), [&](const auto& d) { return d.trackId == trackId; });
        TrackDefaults fallback = known == defaults.end() ? TrackDefaults{trackId} : *known;
        uint64_t base = (tfhdFlags & kBaseIsMoof) ? moofOffset : previousTrafEnd;
        if (tfhdFlags & kBaseDataOffset) base = header.u64();
        if (tfhdFlags & kDescriptionIndex) header.u32();
        if (tfhdFlags & kDefaultDuration) fallback.duration = header.u32();
        if (tfhdFlags & kDefaultSize) fallback.size = header.u32();
        if (tfhdFlags & kDefaultFlags) fallback.flags = header.u32();
        if (!header.ok()) return false;

        std::optional<uint64_t> decodeTime;
        if (const auto tfdt = findBox(inTraf, "tfdt")) {
            Fields fields(moof, tfdt->payload(), tfdt->end());
            const bool wide = fields.u32() >> 24 == 1;
            decodeTime = wide ? fields.u64() : fields.u32();
            if (!fields.ok()) return false;
        }
        const auto track = std::find_if(tracks.begin(), tracks.end(), [&](const auto& t) { return t.trackId() == trackId; });
        uint64_t dataAt = base;
        for (const Box& trun : inTraf) {
            if (!trun.is("trun")) continue;
            Fields fields(moof, trun.payload(), trun.end());
            const uint32_t versionAndFlags = fields.u32();
            const uint32_t flags = versionAndFlags & 0xffffff;
            const uint32_t count = fields.u32();
            if (flags & kDataOffset) dataAt = base + static_cast<uint64_t>(static_cast<int64_t>(static_cast<int32_t>(fields.u32())));
            const bool hasFirstFlags = flags & kFirstSampleFlags;
            const uint32_t firstFlags = hasFirstFlags ? fields.u32() : 0;
            // Samples described by the defaults alone take no room in the box; a count beyond
            // any recording's fragment is damage, not a reason to allocate.
            const uint32_t bytesPerSample = 4 * static_cast<uint32_t>(std::popcount(flags & 0xf00));
            if (!fields.ok() || count > kMostSamplesPerRun ||
                uint64_t(count) * bytesPerSample > trun.end() - trun.payload())
                return false;
            run.clear();
            run.reserve(count);
            uint64_t runSize = 0;
            uint64_t runDuration = 0;
            for (uint32_t i = 0; i < count; ++i) {
                Sample sample;
                sample.duration = (flags & kSampleDuration) ? fields.u32() : fallback.duration;
                sample.size = (flags & kSampleSize) ? fields.u32() : fallback.size;
                uint32_t sampleFlags = (flags & kSampleFlags) ? fields.u32() : fallback.flags;
                if (i == 0 && hasFirstFlags) sampleFlags = firstFlags;
                if (flags & kSampleCompositionOffset) sample.compositionOffset = static_cast<int32_t>(fields.u32());
                sample.sync = !(sampleFlags & kNonSyncSample);
                runSize += sample.size;
                runDuration += sample.duration;
                run.push_back(sample);
            }
            if (!fields.ok()) return false;
            if (track != tracks.end()) track->addRun(dataAt, decodeTime, run);
            if (decodeTime) *decodeTime += runDuration;
            dataAt += runSize;
        }
        previousTrafEnd = dataAt;
    }
    return true;
}

}  // namespace recorder::linux_backend::mp4
