#include "pointer/platform/linux/wayland_screen_pointer.hpp"

#include <mutex>

#include "pointer/platform/linux/cursor_metadata_stream.hpp"
#include "recorder/platform/linux/portal/restore_token_file.hpp"
#include "recorder/platform/linux/portal/screencast_session.hpp"
#include "recorder/platform/linux/portal/source_choice.hpp"

namespace pointer::platform::linux_wayland {

namespace portal = recorder::linux_backend::portal;

struct WaylandScreenPointer::Shared {
    std::mutex mutex;
    NoticeSink notice;  // cleared when the monitor goes: the set-up may outlive it
    bool setupDone = false;
    // The screen cast, kept here once set up so that the monitor can end it.
    std::unique_ptr<portal::ScreenCastSession> session;
    std::unique_ptr<CursorMetadataStream> stream;
    common::Point monitorOrigin;
    bool shown = false;
    common::Point position;  // on the desktop
    std::optional<ShownCursor> cursor;
    uint64_t serial = 0;
    bool lost = false;

    void say(const std::string& line) {
        std::lock_guard lock(mutex);
        if (notice) notice(line);
    }

    // The cast is over: what it showed last is no longer known.
    void lose(const std::string& line) {
        std::lock_guard lock(mutex);
        shown = false;
        cursor.reset();
        if (notice && !lost) notice(line);  // the session and its stream both tell; once is enough
        lost = true;
    }

    void take(const CursorReport& report) {
        std::lock_guard lock(mutex);
        shown = report.shown;
        if (!report.shown) return;
        position = {monitorOrigin.x + report.position.x, monitorOrigin.y + report.position.y};
        if (!report.hasPicture) return;
        if (report.picture) {
            cursor = ShownCursor{++serial, *report.picture};
        } else {
            cursor.reset();
        }
    }
};

namespace {

constexpr const char* kNoCursorLine =
    "Wayland: the desktop offers no cursor metadata in screen casts; cursor kinds cannot be seen, reporting the arrow";

void setUp(const std::shared_ptr<WaylandScreenPointer::Shared>& shared, const std::optional<std::string>& tokenPath) {
    portal::SessionOptions options;
    options.sourceType = portal::kSourceMonitor;
    options.cursorAsMetadata = true;
    if (tokenPath) options.restoreToken = portal::readRestoreToken(*tokenPath);
    std::weak_ptr<WaylandScreenPointer::Shared> weak = shared;
    auto session = portal::ScreenCastSession::start(options, [weak] {
        if (auto alive = weak.lock()) alive->lose("Wayland: the desktop ended the cursor screen cast; reporting the arrow");
    });
    if (!session) {
        if (session.error().code == static_cast<int>(portal::SessionFailure::noCursorMetadata)) {
            shared->say(kNoCursorLine);
        } else {
            shared->say("Wayland: no cursor screen cast (" + session.error().message + "); reporting the arrow");
        }
        return;
    }
    const auto& granted = session.value()->granted();
    if (tokenPath && granted.restoreToken && granted.restoreToken != options.restoreToken) {
        if (auto error = portal::writeRestoreToken(*tokenPath, *granted.restoreToken)) {
            shared->say("Wayland: " + error->message + "; the desktop will ask again next time");
        }
    }
    if (granted.position) {
        std::lock_guard lock(shared->mutex);
        shared->monitorOrigin = {double(granted.position->first), double(granted.position->second)};
    }
    auto fd = session.value()->openPipeWireRemote();
    if (!fd) {
        shared->say("Wayland: no cursor stream (" + fd.error().message + "); reporting the arrow");
        return;
    }
    auto stream = CursorMetadataStream::connect(
        fd.value(), granted.nodeId,
        [weak](const CursorReport& report) {
            if (auto alive = weak.lock()) alive->take(report);
        },
        [weak](const std::string& message) {
            if (auto alive = weak.lock()) alive->lose("Wayland: " + message + "; reporting the arrow");
        });
    if (!stream) {
        shared->say("Wayland: no cursor stream (" + stream.error().message + "); reporting the arrow");
        return;
    }
    std::lock_guard lock(shared->mutex);
    if (!shared->notice) return;  // the monitor is gone: the cast ends here
    shared->session = std::move(session).value();
    shared->stream = std::move(stream).value();
}

}  // namespace

WaylandScreenPointer::WaylandScreenPointer(std::optional<std::string> restoreTokenPath, NoticeSink notice)
    : shared_(std::make_shared<Shared>()) {
    shared_->notice = std::move(notice);
    setup_ = std::thread([shared = shared_, tokenPath = std::move(restoreTokenPath)] {
        setUp(shared, tokenPath);
        std::lock_guard lock(shared->mutex);
        shared->setupDone = true;
    });
}

WaylandScreenPointer::~WaylandScreenPointer() {
    std::unique_ptr<portal::ScreenCastSession> session;
    std::unique_ptr<CursorMetadataStream> stream;
    bool setupDone = false;
    {
        std::lock_guard lock(shared_->mutex);
        shared_->notice = nullptr;
        setupDone = shared_->setupDone;
        session = std::move(shared_->session);
        stream = std::move(shared_->stream);
    }
    // The stream first: its thread reports into the shared state until it is stopped.
    stream.reset();
    session.reset();
    // A set-up still waiting for the user's answer cannot be interrupted; it ends with the process
    // and touches nothing but the shared state it co-owns.
    if (setupDone) {
        setup_.join();
    } else {
        setup_.detach();
    }
}

std::optional<ShownCursor> WaylandScreenPointer::currentCursor() {
    std::lock_guard lock(shared_->mutex);
    if (!shared_->shown) return std::nullopt;
    return shared_->cursor;
}

std::optional<common::Point> WaylandScreenPointer::location() {
    std::lock_guard lock(shared_->mutex);
    if (!shared_->shown) return std::nullopt;
    return shared_->position;
}

}  // namespace pointer::platform::linux_wayland
