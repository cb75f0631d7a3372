#include "pointer/platform/linux/cairo_image_renderer.hpp"

#include <cairo.h>

#include <cstring>
#include <memory>

namespace pointer::platform::linux_x11 {
namespace {

struct SurfaceDestroyer {
    void operator()(cairo_surface_t* surface) const { cairo_surface_destroy(surface); }
};
struct ContextDestroyer {
    void operator()(cairo_t* context) const { cairo_destroy(context); }
};
using Surface = std::unique_ptr<cairo_surface_t, SurfaceDestroyer>;
using Context = std::unique_ptr<cairo_t, ContextDestroyer>;

Surface makeSurface(int width, int height) {
    Surface surface(cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width, height));
    if (cairo_surface_status(surface.get()) != CAIRO_STATUS_SUCCESS) return nullptr;
    return surface;
}

// A surface holding a copy of the image's pixels, row by row at cairo's stride.
Surface surfaceFromImage(const CursorImage& image) {
    if (image.pixelWidth <= 0 || image.pixelHeight <= 0 ||
        image.pixels.size() < size_t(image.pixelWidth) * size_t(image.pixelHeight)) {
        return nullptr;
    }
    auto surface = makeSurface(image.pixelWidth, image.pixelHeight);
    if (!surface) return nullptr;
    cairo_surface_flush(surface.get());
    auto* data = cairo_image_surface_get_data(surface.get());
    const int stride = cairo_image_surface_get_stride(surface.get());
    const size_t rowBytes = size_t(image.pixelWidth) * sizeof(uint32_t);
    for (int row = 0; row < image.pixelHeight; ++row) {
        std::memcpy(data + size_t(row) * size_t(stride), image.pixels.data() + size_t(row) * size_t(image.pixelWidth),
                    rowBytes);
    }
    cairo_surface_mark_dirty(surface.get());
    return surface;
}

cairo_status_t appendToVector(void* closure, const unsigned char* data, unsigned int length) {
    auto* bytes = static_cast<std::vector<uint8_t>*>(closure);
    bytes->insert(bytes->end(), data, data + length);
    return CAIRO_STATUS_SUCCESS;
}

}  // namespace

std::optional<std::vector<uint8_t>> CairoImageRenderer::renderAlpha(const CursorImage& image, int side,
                                                                    const common::Rect& destination) const {
    auto source = surfaceFromImage(image);
    auto target = makeSurface(side, side);  // cairo clears new image surfaces to transparent
    if (!source || !target) return std::nullopt;
    {
        Context cr(cairo_create(target.get()));
        if (cairo_status(cr.get()) != CAIRO_STATUS_SUCCESS) return std::nullopt;
        cairo_rectangle(cr.get(), destination.x, destination.y, destination.width, destination.height);
        cairo_clip(cr.get());
        cairo_translate(cr.get(), destination.x, destination.y);
        cairo_scale(cr.get(), destination.width / image.pixelWidth, destination.height / image.pixelHeight);
        cairo_set_source_surface(cr.get(), source.get(), 0, 0);
        cairo_pattern_set_filter(cairo_get_source(cr.get()), CAIRO_FILTER_BEST);
        cairo_set_operator(cr.get(), CAIRO_OPERATOR_SOURCE);
        cairo_paint(cr.get());
    }
    cairo_surface_flush(target.get());
    const auto* data = cairo_image_surface_get_data(target.get());
    const int stride = cairo_image_surface_get_stride(target.get());
    std::vector<uint8_t> alpha;
    alpha.reserve(size_t(side) * size_t(side));
    for (int row = 0; row < side; ++row) {
        const auto* pixels = reinterpret_cast<const uint32_t*>(data + size_t(row) * size_t(stride));
        for (int column = 0; column < side; ++column) alpha.push_back(static_cast<uint8_t>(pixels[column] >> 24));
    }
    return alpha;
}

std::optional<std::vector<uint8_t>> CairoImageRenderer::encodePng(const CursorImage& image) const {
    auto surface = surfaceFromImage(image);
    if (!surface) return std::nullopt;
    std::vector<uint8_t> png;
    if (cairo_surface_write_to_png_stream(surface.get(), appendToVector, &png) != CAIRO_STATUS_SUCCESS) {
        return std::nullopt;
    }
    return png;
}

}  // namespace pointer::platform::linux_x11
