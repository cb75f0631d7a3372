#pragma once

#include <string>

#include "common/error.hpp"

namespace recorder::linux_backend {

inline constexpr const char* kWriterErrorDomain = "MediaWriter";

// FFmpeg's description of one of its error codes ("Invalid argument", "Encoder not found").
std::string avErrorText(int code);
// The system's description of an errno value ("No space left on device").
std::string systemErrorText(int errnoValue);

// "<what>: <description of code>", as a writer error.
common::Error writerError(const std::string& what, int avCode);

}  // namespace recorder::linux_backend
