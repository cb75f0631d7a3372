#include "recorder/platform/linux/ffmpeg/hybrid_movie.hpp"

#include <cstring>

#include "recorder/platform/linux/ffmpeg/av_error.hpp"
#include "recorder/platform/linux/ffmpeg/mp4/movie_writer.hpp"

namespace recorder::linux_backend {
namespace {

// Fragment headers are small (about 16 bytes a sample); anything larger is not one of ours.
constexpr int64_t kLargestHeader = 64 * 1024 * 1024;

}  // namespace

common::Error HybridMovie::unreadable() const {
    return common::Error{kWriterErrorDomain, 0, "cannot finish " + file_.path() + ": its movie header cannot be read back"};
}

common::Status HybridMovie::follow() {
    const int64_t size = file_.size();
    while (scanned_ + 8 <= size) {
        uint8_t header[16] = {};
        const int64_t headerSize = std::min<int64_t>(16, size - scanned_);
        if (auto failed = file_.read(scanned_, header, static_cast<size_t>(headerSize))) return failed;
        const auto box = mp4::boxAt(std::span<const uint8_t>(header, static_cast<size_t>(headerSize)), 0);
        if (!box) return unreadable();
        const auto boxSize = static_cast<int64_t>(box->size);
        if (scanned_ + boxSize > size) break;  // still being written
        if (box->is("ftyp")) {
            ftypOffset_ = scanned_;
        } else if (box->is("moov") && !moovOffset_) {
            if (auto failed = readMovie(scanned_, boxSize)) return failed;
        } else if (box->is("moof")) {
            if (boxSize > kLargestHeader) return unreadable();
            std::vector<uint8_t> moof(static_cast<size_t>(boxSize));
            if (auto failed = file_.read(scanned_, moof.data(), moof.size())) return failed;
            if (!mp4::readFragment(moof, static_cast<uint64_t>(scanned_), defaults_, tracks_)) return unreadable();
            fragmentOffsets_.push_back(scanned_);
        }
        scanned_ += boxSize;
    }
    return std::nullopt;
}

common::Status HybridMovie::readMovie(int64_t offset, int64_t size) {
    if (size > kLargestHeader) return unreadable();
    initialMoov_.resize(static_cast<size_t>(size));
    if (auto failed = file_.read(offset, initialMoov_.data(), initialMoov_.size())) return failed;
    moovOffset_ = offset;
    defaults_ = mp4::fragmentedTracks(initialMoov_);
    for (const auto& track : defaults_) tracks_.emplace_back(track.trackId);
    // The muxer's header has no movie extends header; ours takes the room of the encoder's name.
    const auto live = mp4::fragmentedMovie(initialMoov_, tracks_, initialMoov_.size());
    if (!live) return std::nullopt;  // readers then learn the length from the fragments alone
    if (auto failed = file_.patch(offset, live->data(), live->size())) return failed;
    liveHeader_ = true;
    return std::nullopt;
}

common::Status HybridMovie::updateHeader() {
    if (!liveHeader_ || fragmentOffsets_.size() == fragmentsInHeader_) return std::nullopt;
    const auto live = mp4::fragmentedMovie(initialMoov_, tracks_, initialMoov_.size());
    if (!live) return std::nullopt;
    fragmentsInHeader_ = fragmentOffsets_.size();
    return file_.patch(*moovOffset_, live->data(), live->size());
}

common::Status HybridMovie::retype(int64_t offset, const char* type) { return file_.patch(offset + 4, type, 4); }

common::Status HybridMovie::markBrands() {
    // The muxer names the fragmented profile (iso5, iso6) as the major brand, which tag editors
    // refuse; the finished file is a plain ISO file. QuickTime and M4A brands stay.
    if (!ftypOffset_) return std::nullopt;
    uint8_t header[8];
    if (auto failed = file_.read(*ftypOffset_, header, 8)) return failed;
    const uint32_t size = mp4::readU32(header);
    if (size < 16 || size > 1024) return std::nullopt;
    std::vector<uint8_t> ftyp(size);
    if (auto failed = file_.read(*ftypOffset_, ftyp.data(), ftyp.size())) return failed;
    if (std::memcmp(&ftyp[8], "iso", 3) != 0) return std::nullopt;
    static constexpr const char* kCompatible[] = {"isom", "iso2", "avc1", "mp41"};
    std::memcpy(&ftyp[8], "isom", 4);
    mp4::writeU32(&ftyp[12], 0x200);
    for (size_t at = 16, i = 0; at + 4 <= ftyp.size(); at += 4, ++i) std::memcpy(&ftyp[at], kCompatible[i % 4], 4);
    return file_.patch(*ftypOffset_, ftyp.data(), ftyp.size());
}

common::Status HybridMovie::finish() {
    file_.flush();
    if (auto failed = follow()) return failed;
    if (!moovOffset_) return unreadable();
    const auto movie = mp4::regularMovie(initialMoov_, tracks_);
    if (movie.empty()) return unreadable();
    // The complete header reaches the disk before anything points readers to it: a crash in
    // between leaves the fragmented file readable as before. The retyping that follows touches
    // a page per fragment all over the file; waiting for those to reach the disk would make the
    // stop grow with the recording's length, so their writing is only started. (Until it is
    // done, a power cut may leave some fragment headers in place; GStreamer still plays such a
    // file, FFmpeg refuses it.)
    if (auto failed = file_.patch(file_.size(), movie.data(), movie.size())) return failed;
    if (auto failed = file_.syncAndCheck()) return failed;
    if (auto failed = retype(*moovOffset_, "free")) return failed;
    for (const int64_t offset : fragmentOffsets_) {
        if (auto failed = retype(offset, "free")) return failed;
    }
    auto branded = markBrands();
    file_.startWriteback();
    return branded;
}

}  // namespace recorder::linux_backend
