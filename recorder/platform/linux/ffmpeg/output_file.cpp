#include "recorder/platform/linux/ffmpeg/output_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "recorder/platform/linux/ffmpeg/av_error.hpp"

extern "C" {
#include <libavformat/avio.h>
#include <libavutil/mem.h>
}

namespace recorder::linux_backend {
namespace {

// Large enough that the muxer's fragment writes become few system calls.
constexpr int kIoBufferBytes = 256 * 1024;

}  // namespace

common::Result<std::unique_ptr<OutputFile>> OutputFile::create(const std::string& path) {
    // O_EXCL: a recording never replaces a file that is already there. Read access lets the
    // finished header be read back and corrected.
    const int descriptor = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (descriptor < 0) {
        const int error = errno;
        return common::Error{kWriterErrorDomain, error, "cannot create " + path + ": " + systemErrorText(error)};
    }
    std::unique_ptr<OutputFile> file(new OutputFile(path, descriptor));
    auto* buffer = static_cast<uint8_t*>(av_malloc(kIoBufferBytes));
    if (buffer) {
        file->io_ = avio_alloc_context(buffer, kIoBufferBytes, 1, file.get(), nullptr, &OutputFile::writeCallback,
                                       &OutputFile::seekCallback);
        if (!file->io_) av_free(buffer);
    }
    if (!file->io_) return common::Error{kWriterErrorDomain, ENOMEM, "cannot create " + path + ": out of memory"};
    return file;
}

OutputFile::OutputFile(std::string path, int descriptor)
    : path_(std::move(path)), descriptor_(descriptor), lastSync_(std::chrono::steady_clock::now()) {}

OutputFile::~OutputFile() {
    if (io_) {
        av_freep(&io_->buffer);
        avio_context_free(&io_);
    }
    ::close(descriptor_);
}

int OutputFile::writeCallback(void* opaque, uint8_t* data, int size) {
    auto* file = static_cast<OutputFile*>(opaque);
    if (file->failure_) return AVERROR(EIO);
    int remaining = size;
    while (remaining > 0) {
        const ssize_t written = ::write(file->descriptor_, data, static_cast<size_t>(remaining));
        if (written < 0) {
            if (errno == EINTR) continue;
            const int error = errno;
            file->recordFailure("cannot write", error);
            file->discardUnfinishedFragment();
            return AVERROR(error);
        }
        data += written;
        remaining -= static_cast<int>(written);
    }
    return size;
}

int64_t OutputFile::seekCallback(void* opaque, int64_t offset, int whence) {
    auto* file = static_cast<OutputFile*>(opaque);
    if (whence == AVSEEK_SIZE) return file->size();
    const off_t position = ::lseek(file->descriptor_, static_cast<off_t>(offset), whence & ~AVSEEK_FORCE);
    return position < 0 ? AVERROR(errno) : static_cast<int64_t>(position);
}

void OutputFile::recordFailure(const std::string& action, int errnoValue) {
    if (!failure_) {
        failure_ = common::Error{kWriterErrorDomain, errnoValue, action + " " + path_ + ": " + systemErrorText(errnoValue)};
    }
}

void OutputFile::discardUnfinishedFragment() {
    // A disk that filled or a size limit that was reached leaves part of a fragment at the end,
    // which players report as a damaged file. Cutting it off leaves what was recorded before the
    // fault readable (a shrinking truncate needs no space). Nothing more is written after this.
    if (::ftruncate(descriptor_, static_cast<off_t>(playableSize_)) == 0)
        ::lseek(descriptor_, static_cast<off_t>(playableSize_), SEEK_SET);
}

void OutputFile::syncIfDue(std::chrono::steady_clock::duration interval, const std::function<void()>& afterFlush) {
    avio_flush(io_);
    if (!failure_) {
        if (const int64_t written = size(); written >= 0) playableSize_ = written;
    }
    if (afterFlush && !failure_) afterFlush();
    const auto now = std::chrono::steady_clock::now();
    if (now - lastSync_ < interval) return;
    lastSync_ = now;
    if (::fdatasync(descriptor_) != 0) recordFailure("cannot write", errno);
}

void OutputFile::flush() { avio_flush(io_); }

common::Status OutputFile::syncAndCheck() {
    avio_flush(io_);
    if (::fsync(descriptor_) != 0) recordFailure("cannot write", errno);
    return check();
}

void OutputFile::startWriteback() {
    avio_flush(io_);
    (void)::sync_file_range(descriptor_, 0, 0, SYNC_FILE_RANGE_WRITE);
}

common::Status OutputFile::check() {
    if (failure_) return failure_;
    // Writes to a file whose directory entry is gone still succeed; what they wrote is lost.
    struct stat status {};
    if (::fstat(descriptor_, &status) == 0 && status.st_nlink == 0) {
        return common::Error{kWriterErrorDomain, ENOENT,
                             "cannot finish " + path_ + ": the file was removed while it was being written"};
    }
    return std::nullopt;
}

common::Status OutputFile::patch(int64_t offset, const void* bytes, size_t size) {
    avio_flush(io_);
    const int64_t before = this->size();
    if (::pwrite(descriptor_, bytes, size, static_cast<off_t>(offset)) != static_cast<ssize_t>(size)) {
        recordFailure("cannot write", errno);
        // What was being added at the end is cut off again: a box cut short would hide the
        // ones before it from some readers.
        if (before >= 0 && offset >= before) (void)!::ftruncate(descriptor_, static_cast<off_t>(before));
        return failure_;
    }
    return std::nullopt;
}

common::Status OutputFile::read(int64_t offset, void* bytes, size_t size) const {
    if (::pread(descriptor_, bytes, size, static_cast<off_t>(offset)) != static_cast<ssize_t>(size)) {
        return common::Error{kWriterErrorDomain, EIO, "cannot read back " + path_};
    }
    return std::nullopt;
}

int64_t OutputFile::size() const {
    struct stat status {};
    return ::fstat(descriptor_, &status) == 0 ? static_cast<int64_t>(status.st_size) : AVERROR(errno);
}

}  // namespace recorder::linux_backend
