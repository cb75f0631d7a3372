#include "recorder/platform/linux/x11/composite_underlay.hpp"

#include <xcb/composite.h>
#include <xcb/damage.h>
#include <xcb/shm.h>

#include <algorithm>
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
    for (const Shown& window : shown_) release(window);
    xcb_composite_unredirect_subwindows(connection_.get(), connection_.root(), XCB_COMPOSITE_REDIRECT_AUTOMATIC);
    xcb_flush(connection_.get());
}

void CompositeUnderlay::release(const Shown& window) {
    // The server drops the damage of a destroyed window itself; destroying it again only earns an
    // error event, which nobody waits for.
    if (window.damage != 0) xcb_damage_destroy(connection_.get(), window.damage);
    if (window.pixmap != 0) xcb_free_pixmap(connection_.get(), window.pixmap);
}

void CompositeUnderlay::markStale(Shown& window, const std::vector<PixelRect>& excludedAbove) {
    for (const PixelRect& cover : excludedAbove) {
        const PixelRect covered = intersect(cover, window.rect);
        if (covered.isEmpty()) continue;
        std::vector<PixelRect> pieces{
            PixelRect{covered.x - window.rect.x, covered.y - window.rect.y, covered.width, covered.height}};
        for (const PixelRect& known : window.stale) pieces = subtract(pieces, known);
        window.stale.insert(window.stale.end(), pieces.begin(), pieces.end());
    }
    // A fresh damage object: one whose region already holds earlier repaints would not report them again.
    xcb_connection_t* c = connection_.get();
    if (window.damage != 0) xcb_damage_destroy(c, window.damage);
    window.damage = 0;
    if (window.stale.empty() || !connection_.extensions().damage) return;
    window.damage = xcb_generate_id(c);
    // Each report carries only what was not repainted before, so a window that redraws all the
    // time costs one event, not one per frame.
    // The server counts a new damage object's whole window as damaged at once. Those reports carry
    // the creation's sequence number and are ignored; emptying the region right away lets the
    // real repaints that follow be reported.
    window.damageCreatedAt = static_cast<uint16_t>(
        xcb_damage_create(c, window.damage, window.window, XCB_DAMAGE_REPORT_LEVEL_DELTA_RECTANGLES).sequence);
    xcb_damage_subtract(c, window.damage, XCB_NONE, XCB_NONE);
}

void CompositeUnderlay::refresh(const std::vector<TopLevelFacts>& bottomToTop,
                                const std::unordered_set<int32_t>& excludedPids) {
    std::unordered_map<uint32_t, Shown> previous;
    for (const Shown& window : shown_) previous.emplace(window.window, window);
    std::vector<Shown> current;
    current.reserve(bottomToTop.size());
    std::vector<PixelRect> excludedAbove;
    xcb_connection_t* c = connection_.get();
    for (auto it = bottomToTop.rbegin(); it != bottomToTop.rend(); ++it) {
        const TopLevelFacts& facts = *it;
        if (facts.pid && excludedPids.count(*facts.pid) != 0) {
            excludedAbove.push_back(facts.rect);
            continue;
        }
        Shown window{facts.id, facts.rect, facts.border, 0, {}, 0};
        const auto old = previous.find(facts.id);
        // A window's pixmap is replaced by the server when the window is resized or remapped;
        // a window that only moved keeps it.
        if (old != previous.end() && old->second.rect.width == facts.rect.width &&
            old->second.rect.height == facts.rect.height) {
            window.pixmap = old->second.pixmap;
            window.stale = std::move(old->second.stale);
            window.damage = old->second.damage;
            window.damageCreatedAt = old->second.damageCreatedAt;
            previous.erase(old);
        } else {
            if (old != previous.end()) {
                // The new pixmap takes over the old content, stale parts included.
                const PixelRect inside{0, 0, facts.rect.width, facts.rect.height};
                for (const PixelRect& piece : old->second.stale) {
                    if (const PixelRect kept = intersect(piece, inside); !kept.isEmpty()) window.stale.push_back(kept);
                }
                window.damage = old->second.damage;
                xcb_free_pixmap(c, old->second.pixmap);
                previous.erase(old);
            }
            window.pixmap = xcb_generate_id(c);
            xcb_composite_name_window_pixmap(c, facts.id, window.pixmap);
            markStale(window, excludedAbove);
        }
        current.push_back(std::move(window));
    }
    std::reverse(current.begin(), current.end());
    for (const auto& [id, gone] : previous) release(gone);
    shown_ = std::move(current);
}

bool CompositeUnderlay::handleEvent(const xcb_generic_event_t& event) {
    if (!connection_.extensions().damage) return false;
    if ((event.response_type & 0x7f) != connection_.extensions().damageFirstEvent + XCB_DAMAGE_NOTIFY) return false;
    const auto& notify = reinterpret_cast<const xcb_damage_notify_event_t&>(event);
    for (Shown& window : shown_) {
        if (window.damage == 0 || window.damage != notify.damage) continue;
        if (notify.sequence == window.damageCreatedAt) return true;
        // Reported relative to the window's inner corner; the pixmap includes the border.
        const PixelRect repainted{notify.area.x + window.border, notify.area.y + window.border, notify.area.width,
                                  notify.area.height};
        window.stale = subtract(window.stale, repainted);
        if (window.stale.empty()) {
            xcb_damage_destroy(connection_.get(), window.damage);
            window.damage = 0;
        }
        return true;
    }
    return false;
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
            for (const PixelRect& stale : window.stale) {
                const PixelRect onScreen{window.rect.x + stale.x, window.rect.y + stale.y, stale.width, stale.height};
                const PixelRect unknown = intersect(onScreen, part);
                if (unknown.isEmpty()) continue;
                fillRect(frame, stride, frameRect.width, frameRect.height,
                         PixelRect{unknown.x - frameRect.x, unknown.y - frameRect.y, unknown.width, unknown.height},
                         kNeutralFillPixel);
            }
        }
    }
    return true;
}

}  // namespace recorder::linux_backend::x11
