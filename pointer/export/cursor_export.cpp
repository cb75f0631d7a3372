#include "pointer/export/cursor_export.hpp"

#include <array>
#include <utility>

#include "pointer/export/base64.hpp"
#include "pointer/export/number_text.hpp"
#include "pointer/output_lines.hpp"

namespace pointer::exporting {
namespace {

using platform::StandardCursor;

// One shape per name, the one a parent should draw for that name.
constexpr std::array<std::pair<std::string_view, StandardCursor>, 9> kExportList{{
    {"arrow", StandardCursor::arrow},
    {"text", StandardCursor::iBeam},
    {"pointer", StandardCursor::pointingHand},
    {"crosshair", StandardCursor::crosshair},
    {"open-hand", StandardCursor::openHand},
    {"closed-hand", StandardCursor::closedHand},
    {"resize-ew", StandardCursor::resizeLeftRight},
    {"resize-ns", StandardCursor::resizeUpDown},
    {"not-allowed", StandardCursor::operationNotAllowed},
}};

}  // namespace

std::optional<std::string> cursorImageLineFor(std::string_view name, const platform::CursorImage& image,
                                              const platform::ImageRenderer& renderer) {
    const double w = image.width;
    const double h = image.height;
    if (!(w > 0) || !(h > 0)) return std::nullopt;
    const auto png = renderer.encodePng(image);
    if (!png) return std::nullopt;
    return cursorImageLine(name, shortestDecimal(image.hotSpot.x / w), shortestDecimal(image.hotSpot.y / h),
                           shortestDecimal(w / h), base64Encode(*png));
}

void exportCursorImages(const platform::StandardCursorLibrary& library, const platform::ImageRenderer& renderer,
                        common::LineSink& sink) {
    for (const auto& [name, cursor] : kExportList) {
        const auto image = library.cursor(cursor);
        if (!image) continue;
        if (auto line = cursorImageLineFor(name, *image, renderer)) sink.out(*line);
    }
}

}  // namespace pointer::exporting
