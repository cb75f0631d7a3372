#pragma once

#include <optional>
#include <string>

#include "common/error.hpp"

namespace recorder::linux_backend::portal {

inline constexpr const char* kTokenFileErrorDomain = "RestoreTokenFile";

// The token kept in `path`, without surrounding blanks; none when the file is missing, empty,
// unreadable, larger than any token, or not one line of printable text: the desktop then asks
// the user again, which is always safe.
std::optional<std::string> readRestoreToken(const std::string& path);

// Replaces the file with `token` and a line feed, readable by its owner only. Written beside the
// file and renamed over it, so a reader never sees half a token and a failed write leaves the old
// one. The error names the file and the reason.
common::Status writeRestoreToken(const std::string& path, const std::string& token);

}  // namespace recorder::linux_backend::portal
