#include "recorder/platform/linux/portal/restore_token_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace recorder::linux_backend::portal {
namespace {

// Tokens are UUIDs or a few dozen characters; anything far larger is not one.
constexpr size_t kMaxTokenBytes = 4096;

common::Error fileError(int code, const std::string& path, int error) {
    return common::Error{kTokenFileErrorDomain, code, "cannot write the restore token to " + path + ": " + std::strerror(error)};
}

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }

private:
    int fd_;
};

bool isTokenText(const std::string& text) {
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x21 || byte == 0x7f) return false;  // one word: no blanks, no control characters
    }
    return !text.empty();
}

}  // namespace

std::optional<std::string> readRestoreToken(const std::string& path) {
    FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (file.get() < 0) return std::nullopt;
    struct stat status{};
    if (::fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode)) return std::nullopt;
    std::string text(kMaxTokenBytes + 1, '\0');
    size_t filled = 0;
    while (filled < text.size()) {
        const ssize_t count = ::read(file.get(), text.data() + filled, text.size() - filled);
        if (count < 0 && errno == EINTR) continue;
        if (count < 0) return std::nullopt;
        if (count == 0) break;
        filled += static_cast<size_t>(count);
    }
    if (filled > kMaxTokenBytes) return std::nullopt;
    text.resize(filled);
    const size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return std::nullopt;
    const size_t last = text.find_last_not_of(" \t\r\n");
    text = text.substr(first, last - first + 1);
    if (!isTokenText(text)) return std::nullopt;
    return text;
}

common::Status writeRestoreToken(const std::string& path, const std::string& token) {
    const std::string temporary = path + ".tmp" + std::to_string(::getpid());
    FileDescriptor file(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (file.get() < 0) return fileError(1, path, errno);
    // The mode given to open is narrowed by the umask but never widened: make it exactly 0600.
    if (::fchmod(file.get(), 0600) != 0) {
        const int error = errno;
        ::unlink(temporary.c_str());
        return fileError(2, path, error);
    }
    const std::string text = token + "\n";
    size_t written = 0;
    while (written < text.size()) {
        const ssize_t count = ::write(file.get(), text.data() + written, text.size() - written);
        if (count < 0 && errno == EINTR) continue;
        if (count < 0) {
            const int error = errno;
            ::unlink(temporary.c_str());
            return fileError(3, path, error);
        }
        written += static_cast<size_t>(count);
    }
    if (::fsync(file.get()) != 0 || ::close(file.release()) != 0) {
        const int error = errno;
        ::unlink(temporary.c_str());
        return fileError(3, path, error);
    }
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        const int error = errno;
        ::unlink(temporary.c_str());
        return fileError(4, path, error);
    }
    return std::nullopt;
}

}  // namespace recorder::linux_backend::portal
