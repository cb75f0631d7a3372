#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace pointer::exporting {

// Standard base64 (RFC 4648 alphabet, "=" padding), on one line.
std::string base64Encode(std::span<const uint8_t> bytes);

}  // namespace pointer::exporting
