#include "recorder/platform/linux/ffmpeg/mp4/movie_writer.hpp"

#include <algorithm>
#include <limits>

namespace recorder::linux_backend::mp4 {
namespace {

constexpr uint64_t kMax32 = std::numeric_limits<uint32_t>::max();

uint64_t rescale(uint64_t value, uint32_t from, uint32_t to) {
    if (from == 0) return 0;
    const auto wide = (static_cast<unsigned __int128>(value) * to + from / 2) / from;
    return static_cast<uint64_t>(std::min<unsigned __int128>(wide, std::numeric_limits<uint64_t>::max()));
}

// The header boxes that carry times: mvhd, tkhd and mdhd list some 32-bit fields and some
// times (32 or 64 bits by version), the duration being the last time; the rest is copied.
enum class Field { time, word };
constexpr Field kMvhd[] = {Field::time, Field::time, Field::word, Field::time};
constexpr Field kTkhd[] = {Field::time, Field::time, Field::word, Field::word, Field::time};
constexpr Field kMdhd[] = {Field::time, Field::time, Field::word, Field::time};

struct TimedBox {
    uint8_t version = 0;
    uint32_t flags = 0;
    std::vector<uint64_t> values;  // in the order of its fields; the duration is last
    std::span<const uint8_t> rest;
};

std::optional<TimedBox> readTimed(std::span<const uint8_t> data, const Box& box, std::span<const Field> layout) {
    TimedBox result;
    size_t at = box.payload();
    if (at + 4 > box.end()) return std::nullopt;
    result.version = data[at];
    result.flags = readU32(&data[at]) & 0xffffff;
    at += 4;
    for (const Field field : layout) {
        const size_t width = field == Field::time && result.version == 1 ? 8 : 4;
        if (at + width > box.end()) return std::nullopt;
        result.values.push_back(width == 8 ? readU64(&data[at]) : readU32(&data[at]));
        at += width;
    }
    result.rest = data.subspan(at, box.end() - at);
    return result;
}

void writeTimed(BoxWriter& out, std::string_view type, const TimedBox& box, std::span<const Field> layout,
                uint64_t duration, bool keepVersion) {
    auto values = box.values;
    values.back() = duration;
    uint8_t version = box.version;
    if (!keepVersion) {
        version = 0;
        for (size_t i = 0; i < layout.size(); ++i) {
            if (layout[i] == Field::time && values[i] > kMax32) version = 1;
        }
    }
    out.open(type, version, box.flags);
    for (size_t i = 0; i < layout.size(); ++i) {
        if (layout[i] == Field::time && version == 1) {
            out.u64(values[i]);
        } else {
            out.u32(static_cast<uint32_t>(std::min(values[i], kMax32)));
        }
    }
    out.raw(box.rest);
    out.close();
}

struct Edit {
    uint64_t duration = 0;  // in the movie's timescale
    int64_t mediaTime = -1;  // -1: an empty edit
    uint32_t rate = 0x10000;
};

std::vector<Edit> readEdits(std::span<const uint8_t> data, const Box& elst) {
    std::vector<Edit> edits;
    size_t at = elst.payload();
    if (at + 8 > elst.end()) return edits;
    const bool wide = data[at] == 1;
    const uint32_t count = readU32(&data[at + 4]);
    at += 8;
    for (uint32_t i = 0; i < count && at + (wide ? 20 : 12) <= elst.end(); ++i) {
        Edit edit;
        if (wide) {
            edit.duration = readU64(&data[at]);
            edit.mediaTime = static_cast<int64_t>(readU64(&data[at + 8]));
            at += 16;
        } else {
            edit.duration = readU32(&data[at]);
            edit.mediaTime = static_cast<int32_t>(readU32(&data[at + 4]));
            at += 8;
        }
        edit.rate = readU32(&data[at]);
        at += 4;
        edits.push_back(edit);
    }
    return edits;
}

class MovieBuilder {
public:
    MovieBuilder(std::span<const uint8_t> moov, const std::vector<TrackSamples>& tracks, bool fragmented)
        : moov_(moov), tracks_(tracks), fragmented_(fragmented) {}

    std::optional<std::vector<uint8_t>> build() {
        const auto movie = boxAt(moov_, 0);
        if (!movie || !movie->is("moov") || movie->end() > moov_.size()) return std::nullopt;
        const auto top = childBoxes(moov_, *movie);
        const auto mvhd = findBox(top, "mvhd");
        if (!mvhd) return std::nullopt;
        const auto movieHeader = readTimed(moov_, *mvhd, kMvhd);
        if (!movieHeader || movieHeader->values[2] == 0) return std::nullopt;
        movieTimescale_ = static_cast<uint32_t>(movieHeader->values[2]);

        // The tracks go first to learn their lengths; the movie header then precedes them.
        BoxWriter traks;
        uint64_t movieDuration = 0;
        for (const Box& trak : top) {
            if (!trak.is("trak")) continue;
            auto length = writeTrack(traks, trak);
            if (!length) return std::nullopt;
            movieDuration = std::max(movieDuration, *length);
        }

        out_.open("moov");
        writeTimed(out_, "mvhd", *movieHeader, kMvhd, movieDuration, fragmented_);
        out_.raw(traks.bytes());
        for (const Box& box : top) {
            if (box.is("mvhd") || box.is("trak")) continue;
            if (box.is("mvex")) {
                if (fragmented_) writeExtends(box, movieDuration);
                continue;
            }
            // The live header gives the user data's room to the extends header; the finished
            // one carries it again.
            if (box.is("udta") && fragmented_) continue;
            copy(box);
        }
        out_.close();
        return out_.take();
    }

private:
    void copy(const Box& box) { out_.raw(moov_.subspan(box.offset, box.size)); }
    void copyTo(BoxWriter& out, const Box& box) { out.raw(moov_.subspan(box.offset, box.size)); }

    const TrackSamples& samplesOf(uint32_t trackId) {
        const auto found = std::find_if(tracks_.begin(), tracks_.end(), [&](const auto& t) { return t.trackId() == trackId; });
        return found == tracks_.end() ? empty_ : *found;
    }

    // Writes one trak and returns its length on the movie's timescale.
    std::optional<uint64_t> writeTrack(BoxWriter& out, const Box& trak) {
        const auto inTrak = childBoxes(moov_, trak);
        const auto tkhd = findBox(inTrak, "tkhd");
        const auto mdia = findBox(inTrak, "mdia");
        if (!tkhd || !mdia) return std::nullopt;
        const auto trackHeader = readTimed(moov_, *tkhd, kTkhd);
        const auto inMdia = childBoxes(moov_, *mdia);
        const auto mdhd = findBox(inMdia, "mdhd");
        if (!trackHeader || !mdhd) return std::nullopt;
        const auto mediaHeader = readTimed(moov_, *mdhd, kMdhd);
        if (!mediaHeader) return std::nullopt;
        const auto mediaTimescale = static_cast<uint32_t>(mediaHeader->values[2]);
        const TrackSamples& samples = samplesOf(static_cast<uint32_t>(trackHeader->values[2]));
        const uint64_t mediaDuration = samples.duration();

        // The last edit that plays media runs to the end of the samples; edits before it (an
        // empty edit that delays the track) keep their lengths.
        const auto edts = findBox(inTrak, "edts");
        std::vector<Edit> edits;
        if (edts) {
            if (const auto elst = findBox(childBoxes(moov_, *edts), "elst")) edits = readEdits(moov_, *elst);
        }
        const auto lastMedia = std::find_if(edits.rbegin(), edits.rend(), [](const Edit& e) { return e.mediaTime >= 0; });
        if (lastMedia != edits.rend()) {
            const auto skipped = static_cast<uint64_t>(lastMedia->mediaTime);
            lastMedia->duration = rescale(mediaDuration - std::min(mediaDuration, skipped), mediaTimescale, movieTimescale_);
        }
        uint64_t trackDuration = rescale(mediaDuration, mediaTimescale, movieTimescale_);
        if (!edits.empty()) {
            trackDuration = 0;
            for (const Edit& edit : edits) trackDuration += edit.duration;
        }

        out.open("trak");
        writeTimed(out, "tkhd", *trackHeader, kTkhd, trackDuration, fragmented_);
        for (const Box& box : inTrak) {
            if (box.is("tkhd")) continue;
            if (box.is("edts") && !edits.empty()) {
                writeEdits(out, edits, *edts);
            } else if (box.is("mdia")) {
                out.open("mdia");
                writeTimed(out, "mdhd", *mediaHeader, kMdhd, mediaDuration, fragmented_);
                for (const Box& inner : inMdia) {
                    if (inner.is("mdhd")) continue;
                    if (inner.is("minf")) {
                        writeMediaInformation(out, inner, samples);
                    } else {
                        copyTo(out, inner);
                    }
                }
                out.close();
            } else {
                copyTo(out, box);
            }
        }
        out.close();
        return trackDuration;
    }

    void writeEdits(BoxWriter& out, const std::vector<Edit>& edits, const Box& edts) {
        const auto elst = findBox(childBoxes(moov_, edts), "elst");
        bool wide = elst && moov_[elst->payload()] == 1;
        if (!fragmented_) {
            wide = std::any_of(edits.begin(), edits.end(), [](const Edit& e) {
                return e.duration > kMax32 || e.mediaTime > std::numeric_limits<int32_t>::max();
            });
        }
        out.open("edts");
        out.open("elst", wide ? 1 : 0);
        out.u32(static_cast<uint32_t>(edits.size()));
        for (const Edit& edit : edits) {
            if (wide) {
                out.u64(edit.duration);
                out.u64(static_cast<uint64_t>(edit.mediaTime));
            } else {
                out.u32(static_cast<uint32_t>(std::min(edit.duration, kMax32)));
                out.u32(static_cast<uint32_t>(edit.mediaTime));
            }
            out.u32(edit.rate);
        }
        out.close();
        out.close();
    }

    void writeMediaInformation(BoxWriter& out, const Box& minf, const TrackSamples& samples) {
        out.open("minf");
        for (const Box& box : childBoxes(moov_, minf)) {
            // The live header keeps the muxer's empty tables: its samples are in the fragments.
            if (!box.is("stbl") || fragmented_) {
                copyTo(out, box);
                continue;
            }
            out.open("stbl");
            for (const Box& inner : childBoxes(moov_, box)) {
                if (inner.is("stsd")) copyTo(out, inner);
            }
            samples.writeTables(out);
            out.close();
        }
        out.close();
    }

    void writeExtends(const Box& mvex, uint64_t movieDuration) {
        out_.open("mvex");
        out_.open("mehd", 1);
        out_.u64(movieDuration);
        out_.close();
        for (const Box& box : childBoxes(moov_, mvex)) {
            if (!box.is("mehd")) copy(box);
        }
        out_.close();
    }

    std::span<const uint8_t> moov_;
    const std::vector<TrackSamples>& tracks_;
    bool fragmented_;
    uint32_t movieTimescale_ = 0;
    TrackSamples empty_;
    BoxWriter out_;
};

}  // namespace

std::optional<std::vector<uint8_t>> fragmentedMovie(std::span<const uint8_t> initialMoov,
                                                    const std::vector<TrackSamples>& tracks, size_t size) {
    auto built = MovieBuilder(initialMoov, tracks, true).build();
    if (!built || built->size() == size) return built;
    // The room left over becomes a free box inside the movie box (8 bytes at least).
    if (built->size() + 8 > size) return std::nullopt;
    BoxWriter padding;
    padding.open("free");
    padding.raw(std::vector<uint8_t>(size - built->size() - 8, 0));
    padding.close();
    built->insert(built->end(), padding.bytes().begin(), padding.bytes().end());
    writeU32(built->data(), static_cast<uint32_t>(size));
    return built;
}

std::vector<uint8_t> regularMovie(std::span<const uint8_t> initialMoov, const std::vector<TrackSamples>& tracks) {
    return MovieBuilder(initialMoov, tracks, false).build().value_or(std::vector<uint8_t>{});
}

}  // namespace recorder::linux_backend::mp4
