#include "pointer/platform/linux/evdev_button_events.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstring>
#include <utility>
#include <variant>

#include "pointer/platform/linux/xinput_button_events.hpp"

namespace pointer::platform::linux_evdev {

OwnedFd& OwnedFd::operator=(OwnedFd&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = other.release();
    }
    return *this;
}

OwnedFd::~OwnedFd() {
    if (fd_ >= 0) ::close(fd_);
}

int OwnedFd::release() { return std::exchange(fd_, -1); }

namespace {

bool isEventDeviceName(std::string_view name) {
    return name.starts_with("event") && name.size() > 5 &&
           std::all_of(name.begin() + 5, name.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool hasMouseButtons(int fd) {
    std::array<unsigned long, (KEY_MAX + 1 + CHAR_BIT * sizeof(unsigned long) - 1) / (CHAR_BIT * sizeof(unsigned long))>
        bits{};
    if (ioctl(fd, EVIOCGBIT(EV_KEY, sizeof bits), bits.data()) < 0) return false;
    constexpr size_t perWord = CHAR_BIT * sizeof(unsigned long);
    for (unsigned code = kFirstMouseButton; code <= kLastMouseButton; ++code) {
        if ((bits[code / perWord] >> (code % perWord) & 1UL) != 0) return true;
    }
    return false;
}

// The device when it is a readable mouse; otherwise the errno of the refusal, or 0 for no mouse.
std::variant<OwnedFd, int> openMouse(const std::string& path) {
    OwnedFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!fd) return errno;
    if (!hasMouseButtons(fd.get())) return 0;
    return fd;
}

OwnedFd makeWakeFd() { return OwnedFd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)); }

}  // namespace

common::Result<std::unique_ptr<EvdevButtonEvents>> EvdevButtonEvents::open(const std::string& directory) {
    // Watch before listing, so that a mouse arriving in between is not missed.
    OwnedFd watch(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (watch && inotify_add_watch(watch.get(), directory.c_str(), IN_CREATE | IN_ATTRIB) < 0) watch = OwnedFd();

    std::unique_ptr<DIR, int (*)(DIR*)> listing(opendir(directory.c_str()), closedir);
    if (!listing) {
        const int error = errno;
        return common::Error{"system", error,
                             "cannot list the input devices in " + directory + ": " + std::strerror(error)};
    }
    std::vector<Device> devices;
    std::string refused;
    int refusal = 0;
    while (const dirent* entry = readdir(listing.get())) {
        if (!isEventDeviceName(entry->d_name)) continue;
        const std::string path = directory + "/" + entry->d_name;
        auto opened = openMouse(path);
        if (auto* fd = std::get_if<OwnedFd>(&opened)) {
            devices.push_back(Device{path, std::move(*fd), {}});
        } else if (std::get<int>(opened) != 0 && refusal == 0) {
            refusal = std::get<int>(opened);
            refused = path;
        }
    }
    if (devices.empty()) {
        if (refusal != 0) {
            return common::Error{"system", refusal,
                                 "cannot read " + refused + ": " + std::strerror(refusal) +
                                     " (button events need read access to the input devices, e.g. the input group)"};
        }
        return common::Error{"system", ENODEV, "no mouse among the input devices in " + directory};
    }
    OwnedFd wake = makeWakeFd();
    if (!wake) {
        const int error = errno;
        return common::Error{"system", error, std::string("cannot create an eventfd for the button listener: ") +
                                                  std::strerror(error)};
    }
    return std::unique_ptr<EvdevButtonEvents>(
        new EvdevButtonEvents(std::move(devices), directory, std::move(watch), std::move(wake)));
}

std::unique_ptr<EvdevButtonEvents> EvdevButtonEvents::forDescriptors(std::vector<OwnedFd> descriptors) {
    std::vector<Device> devices;
    for (auto& fd : descriptors) {
        fcntl(fd.get(), F_SETFL, fcntl(fd.get(), F_GETFL) | O_NONBLOCK);
        devices.push_back(Device{"fd " + std::to_string(fd.get()), std::move(fd), {}});
    }
    return std::unique_ptr<EvdevButtonEvents>(new EvdevButtonEvents(std::move(devices), {}, OwnedFd(), makeWakeFd()));
}

EvdevButtonEvents::EvdevButtonEvents(std::vector<Device> devices, std::string directory, OwnedFd watch, OwnedFd wake)
    : devices_(std::move(devices)), directory_(std::move(directory)), watch_(std::move(watch)), wake_(std::move(wake)) {
    listener_ = std::thread([this] { listen(); });
}

EvdevButtonEvents::~EvdevButtonEvents() {
    const uint64_t one = 1;
    if (::write(wake_.get(), &one, sizeof one) < 0) {
        // Cannot happen for an eventfd short of overflow; the join below would then wait for input.
    }
    if (listener_.joinable()) listener_.join();
}

bool EvdevButtonEvents::installTap(uint64_t mask, Callback callback) {
    std::lock_guard lock(tapMutex_);
    tapMask_ = mask;
    tap_ = std::move(callback);
    return true;
}

uint32_t EvdevButtonEvents::counterForEventType(uint32_t type) const {
    if (type >= counters_.size()) return 0;
    return counters_[type].load(std::memory_order_relaxed);
}

void EvdevButtonEvents::deliver(const MouseEvent& event) {
    counters_[event.type].fetch_add(1, std::memory_order_relaxed);
    std::lock_guard lock(tapMutex_);
    if (tap_ && event.type < 64 && (tapMask_ >> event.type & 1) != 0) tap_(event);
}

bool EvdevButtonEvents::readDevice(Device& device) {
    std::array<std::byte, 64 * sizeof(input_event)> buffer;
    for (;;) {
        const ssize_t got = ::read(device.fd.get(), buffer.data(), buffer.size());
        if (got > 0) {
            device.stream.feed(std::span(buffer.data(), static_cast<size_t>(got)), [this](const input_event& event) {
                if (auto mouseEvent = mouseEventForInputEvent(event)) deliver(*mouseEvent);
            });
            continue;
        }
        if (got < 0 && errno == EINTR) continue;
        // EAGAIN: drained. 0 or ENODEV: the device went away.
        return got < 0 && errno == EAGAIN;
    }
}

void EvdevButtonEvents::addArrivedDevices() {
    alignas(inotify_event) std::array<char, 4096> buffer;
    for (;;) {
        const ssize_t got = ::read(watch_.get(), buffer.data(), buffer.size());
        if (got <= 0) return;
        for (ssize_t offset = 0; offset < got;) {
            const auto* change = reinterpret_cast<const inotify_event*>(buffer.data() + offset);
            offset += static_cast<ssize_t>(sizeof(inotify_event) + change->len);
            if (change->len == 0 || !isEventDeviceName(change->name)) continue;
            const std::string path = directory_ + "/" + change->name;
            // udev grants access after creating the node, so the same device may be announced twice.
            if (std::any_of(devices_.begin(), devices_.end(), [&](const Device& d) { return d.path == path; })) continue;
            if (auto opened = openMouse(path); auto* fd = std::get_if<OwnedFd>(&opened)) {
                devices_.push_back(Device{path, std::move(*fd), {}});
            }
        }
    }
}

void EvdevButtonEvents::listen() {
    std::vector<pollfd> fds;
    for (;;) {
        fds.clear();
        fds.push_back({wake_.get(), POLLIN, 0});
        fds.push_back({watch_.get(), POLLIN, 0});  // a negative descriptor is skipped by poll
        for (const auto& device : devices_) fds.push_back({device.fd.get(), POLLIN, 0});
        if (::poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[0].revents != 0) return;
        // Devices first: the list may grow below, and the descriptors above index its old entries.
        std::vector<size_t> gone;
        for (size_t i = 0; i < devices_.size(); ++i) {
            if (fds[i + 2].revents != 0 && !readDevice(devices_[i])) gone.push_back(i);
        }
        for (auto it = gone.rbegin(); it != gone.rend(); ++it) {
            devices_.erase(devices_.begin() + static_cast<std::ptrdiff_t>(*it));
        }
        if (fds[1].revents != 0) addArrivedDevices();
    }
}

std::unique_ptr<ButtonEventSource> openInputDeviceButtons(const std::string& directory) {
    if (auto events = EvdevButtonEvents::open(directory)) return std::move(events.value());
    return std::make_unique<linux_x11::AbsentButtonEvents>();
}

}  // namespace pointer::platform::linux_evdev
