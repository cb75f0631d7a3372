#include <iostream>
#include <string>

#include "common/line_reader.hpp"

int main() {
    common::LineReader reader(0);
    while (auto line = reader.next()) {
        if (!line->overlong && common::lowercaseForCommandMatch(line->text) == "stop") break;
    }
    return 0;
}
