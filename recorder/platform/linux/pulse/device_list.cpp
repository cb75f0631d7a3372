// The questions the recorder asks the sound server before any capture: is there one, and which
// microphones does it offer.
#include <pulse/introspect.h>

#include <string>

#include "recorder/platform/linux/pulse/audio_source.hpp"
#include "recorder/platform/linux/pulse/pulse_connection.hpp"

namespace recorder::linux_backend {

namespace {

// Short enough that a missing server does not hold up the start of a recording noticeably.
constexpr auto kServerCheckTimeout = std::chrono::milliseconds(1000);
// Listing needs a connection and one round trip more.
constexpr auto kDeviceListTimeout = std::chrono::milliseconds(2000);

struct SourceListing {
    std::vector<platform::AudioCaptureDevice> microphones;
    bool complete = false;
};

struct ServerDefaults {
    std::string source;
    std::string sink;
    bool answered = false;
};

void collectDefaults(pa_context*, const pa_server_info* info, void* userdata) {
    auto* defaults = static_cast<ServerDefaults*>(userdata);
    if (info != nullptr) {
        if (info->default_source_name != nullptr) defaults->source = info->default_source_name;
        if (info->default_sink_name != nullptr) defaults->sink = info->default_sink_name;
    }
    defaults->answered = true;
}

// The server's default input and output, asked on an open connection; empty names when it has none.
ServerDefaults askDefaults(pulse::BlockingConnection& connection, pulse::SteadyDeadline deadline) {
    ServerDefaults defaults;
    const pulse::OperationHandle operation(
        pa_context_get_server_info(connection.context(), collectDefaults, &defaults));
    if (!operation) return defaults;
    if (!connection.runUntil([&defaults] { return defaults.answered; }, deadline)) {
        pa_operation_cancel(operation.get());
        return ServerDefaults{};
    }
    return defaults;
}

void collectSource(pa_context*, const pa_source_info* info, int endOfList, void* userdata) {
    auto* listing = static_cast<SourceListing*>(userdata);
    if (endOfList != 0 || info == nullptr) {
        listing->complete = true;
        return;
    }
    // A monitor replays what an output plays; it is not something a person speaks into.
    if (info->monitor_of_sink != PA_INVALID_INDEX) return;
    listing->microphones.push_back({info->description != nullptr ? info->description : info->name, info->name});
}

}  // namespace

bool audioServerAnswers() {
    return pulse::BlockingConnection::open(std::chrono::steady_clock::now() + kServerCheckTimeout).ok();
}

std::vector<platform::AudioCaptureDevice> listMicrophones() {
    const auto deadline = std::chrono::steady_clock::now() + kDeviceListTimeout;
    auto connection = pulse::BlockingConnection::open(deadline);
    if (!connection) return {};
    SourceListing listing;
    const pulse::OperationHandle operation(
        pa_context_get_source_info_list(connection->context(), collectSource, &listing));
    if (!operation) return {};
    if (!connection->runUntil([&listing] { return listing.complete; }, deadline)) {
        // The callback must not run into a listing that no longer exists.
        pa_operation_cancel(operation.get());
        return {};
    }
    const ServerDefaults defaults = askDefaults(connection.value(), deadline);
    for (auto& microphone : listing.microphones) microphone.isDefault = microphone.uniqueID == defaults.source;
    return std::move(listing.microphones);
}

bool soundOutputAvailable() {
    const auto deadline = std::chrono::steady_clock::now() + kDeviceListTimeout;
    auto connection = pulse::BlockingConnection::open(deadline);
    return connection.ok() && !askDefaults(connection.value(), deadline).sink.empty();
}

}  // namespace recorder::linux_backend
