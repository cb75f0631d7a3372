#include "recorder/platform/linux/x11/composite_underlay.hpp"

#include <xcb/composite.h>
#include <xcb/shm.h>

#include <cstring>

#include "recorder/platform/linux/x11/frame_pixels.hpp"

namespace recorder::linux_backend::x11 {

std::unique_ptr<CompositeUnderlay> CompositeUnderlay::create(const X11Connection& connection) {
    if (!connection.extensions().compositePixmaps || !connection.extensions().shm) return nullptr;
    xcb_connection_t* c = connection.get();
    XcbErrorPtr error(xcb_request_check(
        c, xcb_composite_redirect_subwindows_checked(c, connection.root(), XCB_COMPOSITE_REDIRECT_AUTOMATIC)));
    if (error || connection.isBroken()) return nullptr;
    auto scratch = ShmImage::create(connection, static_cast<size_t>(connection.screenWidth()) *
                                                    connection.screenHeight() * 4);
    if (!scratch) {
        xcb_composite_unredirect_subwindows(c, connection.root(), XCB_COMPOSITE_REDIRECT_AUTOMATIC);
        return nullptr;
    }
    return std::unique_ptr<CompositeUnderlay>(new CompositeUnderlay(connection, std::move(scratch).value()));
}

CompositeUnderlay::~CompositeUnderlay() {
    if (connection_.isBroken()) return;
    for (const Shown& window : shown_) release(window.pixmap);
    xcb_composite_unredirect_subwindows(connection_.get(), connection_.root(), XCB_COMPOSITE_REDIRECT_AUTOMATIC);
    xcb_flush(connection_.get());
}

void CompositeUnderlay::release(uint32_t pixmap) {
    if (pixmap != 0) xcb_free_pixmap(connection_.get(), pixmap);
}

void CompositeUnderlay::refresh(const std::vector<TopLevelFacts>& bottomToTop,
                                const std::unordered_set<int32_t>& excludedPids) {
    std::unordered_map<uint32_t, Shown> previous;
    for (const Shown& window : shown_) previous.emplace(window.window, window);
    std::vector<Shown> current;
    current.reserve(bottomToTop.size());
    xcb_connection_t* c = connection_.get();
    for (const TopLevelFacts& facts : bottomToTop) {
        if (facts.pid && excludedPids.count(*facts.pid) != 0) continue;
        Shown window{facts.id, facts.rect, 0};
        const auto old = previous.find(facts.id);
        // A window's pixmap is replaced by the server when the window is resized or remapped;
        // a window that only moved keeps it.
        if (old != previous.end() && old->second.rect.width == facts.rect.width &&
            old->second.rect.height == facts.rect.height) {
            window.pixmap = old->second.pixmap;
            previous.erase(old);
        } else {
            window.pixmap = xcb_generate_id(c);
            xcb_composite_name_window_pixmap(c, facts.id, window.pixmap);
        }
        current.push_back(window);
    }
    for (const auto& [id, gone] : previous) release(gone.pixmap);
    shown_ = std::move(current);
}

bool CompositeUnderlay::paint(uint8_t* frame, const PixelRect& frameRect, const std::vector<PixelRect>& area) {
    const int stride = frameRect.width * 4;
    xcb_connection_t* c = connection_.get();
    for (const PixelRect& piece : area) {
        fillRect(frame, stride, frameRect.width, frameRect.height,
                 PixelRect{piece.x - frameRect.x, piece.y - frameRect.y, piece.width, piece.height}, kNeutralFillPixel);
        for (const Shown& window : shown_) {
            const PixelRect part = intersect(intersect(piece, window.rect), frameRect);
            if (part.isEmpty()) continue;
            XcbErrorPtr error;
            auto reply = takeReply<xcb_shm_get_image_reply_t>(
                c,
                xcb_shm_get_image(c, window.pixmap, static_cast<int16_t>(part.x - window.rect.x),
                                  static_cast<int16_t>(part.y - window.rect.y), static_cast<uint16_t>(part.width),
                                  static_cast<uint16_t>(part.height), ~0u, XCB_IMAGE_FORMAT_Z_PIXMAP,
                                  scratch_->segment(), 0),
                xcb_shm_get_image_reply, &error);
            if (!reply) {
                if (connection_.isBroken()) return false;
                continue;  // the window vanished or was resized since the last refresh: fill stays
            }
            copyBGRXToOpaqueBGRA(scratch_->pixels(), part.width * 4,
                                 frame + static_cast<std::ptrdiff_t>(part.y - frameRect.y) * stride +
                                     static_cast<std::ptrdiff_t>(part.x - frameRect.x) * 4,
                                 stride, part.width, part.height);
        }
    }
    return true;
}

}  // namespace recorder::linux_backend::x11
