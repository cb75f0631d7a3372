#include "pointer/output_lines.hpp"

namespace pointer {

std::string stateLine(std::string_view cursorType) {
    std::string line = "STATE:";
    line += cursorType;
    return line;
}

std::string interactionLine(InteractionKind kind, int64_t button) {
    std::string line = "INTERACTION:";
    line += kind == InteractionKind::mouseDown ? "mousedown" : "mouseup";
    line += ':';
    line += std::to_string(button);
    return line;
}

std::string cursorImageLine(std::string_view name, std::string_view hotspotXRatio, std::string_view hotspotYRatio,
                            std::string_view aspectRatio, std::string_view pngBase64) {
    std::string line = "CURSOR_IMAGE:";
    for (const auto field : {name, hotspotXRatio, hotspotYRatio, aspectRatio}) {
        line += field;
        line += ':';
    }
    line += pngBase64;
    return line;
}

}  // namespace pointer
