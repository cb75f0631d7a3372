#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "common/error.hpp"
#include "recorder/platform/linux/ffmpeg/mp4/fragment_reader.hpp"
#include "recorder/platform/linux/ffmpeg/output_file.hpp"

namespace recorder::linux_backend {

// Follows a fragmented file as the muxer writes it, and makes it a regular one at the end.
//
// While recording, the file is what the muxer writes: its header, then fragments. Each
// fragment's sample list is read back once the muxer has written it (a few hundred bytes a
// fragment, still in the page cache), and the header is rewritten in place with the length the
// fragments hold, so a file cut short by a crash still tells readers how long it is.
//
// At the end, a complete movie header with full sample tables is appended after the last
// fragment and synced, and the first header and every fragment header are turned into free
// boxes in place. Readers then see an ordinary file (file type, free space, media, movie header) whose
// tables point at the media where it already lies: nothing is copied, and the end costs the
// writing of the tables.
class HybridMovie {
public:
    explicit HybridMovie(OutputFile& file) : file_(file) {}

    // Reads the boxes the muxer has completed since the last call.
    common::Status follow();
    // Rewrites the header in place with the length of the fragments read so far, when it changed.
    common::Status updateHeader();
    // After the muxer's last fragment: writes the complete header and retires the fragmented one.
    common::Status finish();

private:
    common::Status readMovie(int64_t offset, int64_t size);
    common::Status retype(int64_t offset, const char* type);
    common::Status markBrands();
    common::Error unreadable() const;

    OutputFile& file_;
    int64_t scanned_ = 0;  // where the next top-level box not yet read begins
    std::optional<int64_t> ftypOffset_;
    std::optional<int64_t> moovOffset_;
    std::vector<uint8_t> initialMoov_;  // as the muxer wrote it
    bool liveHeader_ = false;           // the header in the file carries a length that can be updated
    std::vector<int64_t> fragmentOffsets_;
    std::vector<mp4::TrackDefaults> defaults_;
    std::vector<mp4::TrackSamples> tracks_;
    size_t fragmentsInHeader_ = 0;
};

}  // namespace recorder::linux_backend
