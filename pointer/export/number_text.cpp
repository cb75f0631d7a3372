#include "pointer/export/number_text.hpp"

#include <array>
#include <charconv>
#include <cmath>

namespace pointer::exporting {

std::string shortestDecimal(double value) {
    // Fixed notation of a double needs at most 309 integer digits plus the shortest fraction.
    std::array<char, 400> buffer{};
    const auto [end, error] = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value,
                                            std::chars_format::fixed);
    if (error != std::errc{}) return "nan";
    std::string text(buffer.data(), end);
    if (std::isfinite(value) && text.find('.') == std::string::npos) text += ".0";
    return text;
}

}  // namespace pointer::exporting
