#include "recorder/platform/linux/ffmpeg/av_error.hpp"

#include <cstring>

extern "C" {
#include <libavutil/error.h>
}

namespace recorder::linux_backend {

std::string avErrorText(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

std::string systemErrorText(int errnoValue) {
    char buffer[256] = {};
    // GNU strerror_r may return a static string instead of filling the buffer.
    return strerror_r(errnoValue, buffer, sizeof buffer);
}

common::Error writerError(const std::string& what, int avCode) {
    return common::Error{kWriterErrorDomain, avCode, what + ": " + avErrorText(avCode)};
}

}  // namespace recorder::linux_backend
