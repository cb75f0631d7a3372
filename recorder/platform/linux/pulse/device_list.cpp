// The questions the recorder asks the sound server before any capture: is there one, and which
// microphones does it offer.
#include <pulse/introspect.h>

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
    return std::move(listing.microphones);
}

}  // namespace recorder::linux_backend
