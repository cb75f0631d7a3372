#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace pointer {

// Every line pointer-agent writes, in one place.

inline constexpr std::string_view kTapUnavailableWarning =
    "Mouse interaction event tap unavailable; click telemetry disabled";

enum class InteractionKind { mouseDown, mouseUp };

std::string stateLine(std::string_view cursorType);
std::string interactionLine(InteractionKind kind, int64_t button);
// The ratios as ready-made decimal text, the PNG as base64.
std::string cursorImageLine(std::string_view name, std::string_view hotspotXRatio, std::string_view hotspotYRatio,
                            std::string_view aspectRatio, std::string_view pngBase64);

}  // namespace pointer
