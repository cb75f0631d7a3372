#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/error.hpp"
#include "recorder/platform/linux/portal/gio_handles.hpp"

namespace recorder::linux_backend::portal {

inline constexpr const char* kErrorDomain = "ScreenCastPortal";

// Why a session could not be had; the error code of a failed start.
enum class SessionFailure : int {
    noPortal = 1,   // no portal with a ScreenCast interface answers on the session bus
    dismissed = 2,  // the user closed the desktop's dialog
    refused = 3,    // the desktop refused or failed the request
    broken = 4,     // the bus or the portal misbehaved
    noCursorMetadata = 5,  // the pointer was wanted as metadata, and the desktop cannot give that
};

struct SessionOptions {
    uint32_t sourceType = 1;  // kSourceMonitor or kSourceWindow
    std::optional<std::string> restoreToken;
    // The pointer beside the frames, not in them; without it the session is not even created.
    bool cursorAsMetadata = false;
};

// What the desktop granted.
struct GrantedCast {
    uint32_t nodeId = 0;
    uint32_t askedSourceType = 0;            // what the desktop was asked for (what it offers)
    uint32_t sourceType = 0;                 // as the portal reports it; 0 when it does not
    std::optional<std::pair<int, int>> size;  // the stream's size, when the portal tells it
    std::optional<std::pair<int, int>> position;  // a monitor's place on the desktop, when told
    std::optional<std::string> restoreToken;
    std::vector<std::string> notices;  // lines for the user about what differs from the request
};

// One ScreenCast session of the desktop portal on a private connection to the session bus,
// closed when this object goes. Signals are handled on a thread of its own.
class ScreenCastSession {
public:
    // Called once, from the session's thread, when the desktop ends the session.
    using ClosedHandler = std::function<void()>;

    // Creates the session, lets the desktop choose the source (its dialog, or the restore token)
    // and starts it. Blocks until the user has answered.
    static common::Result<std::unique_ptr<ScreenCastSession>> start(const SessionOptions& options,
                                                                    ClosedHandler closed);
    ~ScreenCastSession();
    ScreenCastSession(const ScreenCastSession&) = delete;
    ScreenCastSession& operator=(const ScreenCastSession&) = delete;

    const GrantedCast& granted() const { return granted_; }
    // A new connection to the PipeWire daemon that carries the granted stream; the caller owns it.
    common::Result<int> openPipeWireRemote();

private:
    ScreenCastSession() = default;
    struct Responses;

    static void onResponse(GDBusConnection*, const gchar*, const gchar* objectPath, const gchar*, const gchar*,
                           GVariant* parameters, gpointer data);
    static void onClosed(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GVariant*,
                         gpointer data);
    std::string nextToken();
    common::Result<VariantHandle> request(const char* method, GVariant* parameters, const std::string& token,
                                          int timeoutSeconds);
    unsigned resubscribeClosed();

    // Read by the session's thread until it is joined, so it outlives every callback.
    std::unique_ptr<Responses> responses_;
    ContextHandle context_;
    LoopHandle loop_;
    ConnectionHandle connection_;
    std::thread loopThread_;
    std::string senderPath_;  // the unique bus name as portal request paths spell it
    std::string sessionPath_;
    unsigned responseSubscription_ = 0;
    unsigned closedSubscription_ = 0;
    ClosedHandler closed_;
    GrantedCast granted_;
    uint32_t tokenCounter_ = 0;
};

}  // namespace recorder::linux_backend::portal
