#pragma once

#include <string>

namespace pointer::exporting {

// The shortest decimal text that reads back to exactly `value`, never in exponent form, with ".0"
// after a whole number (1 is "1.0").
std::string shortestDecimal(double value);

}  // namespace pointer::exporting
