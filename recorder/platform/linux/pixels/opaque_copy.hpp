#pragma once

#include <cstdint>

namespace recorder::linux_backend {

// X servers and compositors leave the fourth byte of a BGRx pixel undefined; delivered BGRA frames
// are opaque, so the copy sets it.
void copyBGRXToOpaqueBGRA(const uint8_t* source, int sourceStride, uint8_t* destination, int destinationStride,
                          int width, int height);

}  // namespace recorder::linux_backend
