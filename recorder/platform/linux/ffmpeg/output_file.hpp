#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "common/error.hpp"

struct AVIOContext;

namespace recorder::linux_backend {

// The file a writer produces. It is created when the writer is made, never over an existing
// file, and written through our own descriptor so that every write error keeps the system's
// own description and the data can be made durable whenever we choose.
class OutputFile {
public:
    // Fails with "cannot create <path>: <reason>" (File exists, Permission denied, ...).
    static common::Result<std::unique_ptr<OutputFile>> create(const std::string& path);
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    const std::string& path() const { return path_; }
    // The I/O context the muxer writes through; valid as long as this file lives.
    AVIOContext* io() const { return io_; }
    // The first write or sync failure, described for a person; none while all is well.
    const std::optional<common::Error>& failure() const { return failure_; }

    // Pushes what the muxer has written to the kernel and, at most once per `interval`, to the disk.
    // Called between samples, when the muxer has handed over only whole fragments: what is in the
    // file then is a playable whole, and a later failed write cuts the file back to it.
    // `afterFlush` runs after the flush and before a sync that is due, while all is well: what it
    // writes reaches the disk with the fragments.
    void syncIfDue(std::chrono::steady_clock::duration interval, const std::function<void()>& afterFlush = {});
    // Pushes what the muxer has written to the kernel.
    void flush();
    // Flushes and syncs now; fails when the file can no longer be trusted (a write failed, the
    // file was removed from its directory).
    common::Status syncAndCheck();
    // The same checks without a sync.
    common::Status check();
    // Starts writing what is not yet on the disk without waiting for it.
    void startWriteback();
    // Writes bytes at `offset`, over what was written or past the end (header updates, the
    // finished header).
    common::Status patch(int64_t offset, const void* bytes, size_t size);
    common::Status read(int64_t offset, void* bytes, size_t size) const;
    int64_t size() const;

private:
    OutputFile(std::string path, int descriptor);
    static int writeCallback(void* opaque, uint8_t* data, int size);
    static int64_t seekCallback(void* opaque, int64_t offset, int whence);
    void recordFailure(const std::string& action, int errnoValue);
    void discardUnfinishedFragment();

    std::string path_;
    int descriptor_;
    AVIOContext* io_ = nullptr;
    std::optional<common::Error> failure_;
    std::chrono::steady_clock::time_point lastSync_;
    // The size of the file when it last ended with a whole fragment.
    int64_t playableSize_ = 0;
};

}  // namespace recorder::linux_backend
