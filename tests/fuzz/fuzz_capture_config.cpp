// Any bytes as the recording request: decoding must return a record or an error, never crash,
// and a record must read back the same way.
#include <cstdint>
#include <string>

#include "recorder/control/capture_config.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string request(reinterpret_cast<const char*>(data), size);
    const auto first = recorder::decodeCaptureConfig(request);
    const auto second = recorder::decodeCaptureConfig(request);
    if (first.ok() != second.ok()) __builtin_trap();
    if (first.ok() && !(first.value() == second.value())) __builtin_trap();
    if (!first.ok() && first.error().message.empty()) __builtin_trap();
    if (first.ok() && first->fps && *first->fps > 2147483647) __builtin_trap();
    return 0;
}
