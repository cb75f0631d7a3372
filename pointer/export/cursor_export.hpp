#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "common/output_lines.hpp"
#include "pointer/platform/cursor_services.hpp"

namespace pointer::exporting {

// The "CURSOR_IMAGE:" line of one cursor; none when its picture has no area or cannot be encoded.
std::optional<std::string> cursorImageLineFor(std::string_view name, const platform::CursorImage& image,
                                              const platform::ImageRenderer& renderer);

// One line per exportable standard cursor, in a fixed order; the others are left out silently.
void exportCursorImages(const platform::StandardCursorLibrary& library, const platform::ImageRenderer& renderer,
                        common::LineSink& sink);

}  // namespace pointer::exporting
