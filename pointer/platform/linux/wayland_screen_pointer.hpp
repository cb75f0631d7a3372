#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "pointer/platform/cursor_services.hpp"

namespace pointer::platform::linux_wayland {

// The pointer as a Wayland desktop shows it, learnt from the cursor metadata of a screen cast of
// one monitor: the only way a Wayland client may see another client's cursor. The desktop's
// permission is asked in the background, so the monitor reports "arrow" until it is granted; a
// desktop without cursor metadata leaves the cursor unknown for good.
class WaylandScreenPointer final : public ScreenPointer {
public:
    using NoticeSink = std::function<void(const std::string&)>;  // one line for standard error

    // `restoreTokenPath`: the file that keeps the desktop's permission, so that it asks once.
    WaylandScreenPointer(std::optional<std::string> restoreTokenPath, NoticeSink notice);
    ~WaylandScreenPointer() override;
    WaylandScreenPointer(const WaylandScreenPointer&) = delete;
    WaylandScreenPointer& operator=(const WaylandScreenPointer&) = delete;

    std::optional<ShownCursor> currentCursor() override;
    std::optional<common::Point> location() override;

    struct Shared;  // what the background set-up and the stream's thread share with the monitor

private:
    std::shared_ptr<Shared> shared_;
    std::thread setup_;
};

}  // namespace pointer::platform::linux_wayland
