#include "pointer/platform/linux/cursor_metadata_stream.hpp"

#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace pointer::platform::linux_wayland {
namespace {

constexpr int kMaxDimension = 16384;
// The state is sampled every 50 ms: more cursor updates than that are never looked at.
constexpr int kCursorUpdatesPerSecond = 20;

const spa_pod* buildFormatOffer(spa_pod_builder& builder) {
    // The smallest picture and the lowest rate the producer will agree to: only the metadata counts.
    const spa_rectangle smallest = SPA_RECTANGLE(1, 1);
    const spa_rectangle largest = SPA_RECTANGLE(kMaxDimension, kMaxDimension);
    const spa_fraction variableRate = SPA_FRACTION(0, 1);
    const spa_fraction wantedRate = SPA_FRACTION(kCursorUpdatesPerSecond, 1);
    const spa_fraction lowestRate = SPA_FRACTION(1, 1);
    return static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &builder, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video),
        SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format,
        SPA_POD_CHOICE_ENUM_Id(5, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRA,
                               SPA_VIDEO_FORMAT_RGBx, SPA_VIDEO_FORMAT_RGBA),
        SPA_FORMAT_VIDEO_size, SPA_POD_CHOICE_RANGE_Rectangle(&smallest, &smallest, &largest),
        SPA_FORMAT_VIDEO_framerate, SPA_POD_Fraction(&variableRate), SPA_FORMAT_VIDEO_maxFramerate,
        SPA_POD_CHOICE_RANGE_Fraction(&wantedRate, &lowestRate, &wantedRate)));
}

}  // namespace

common::Result<std::unique_ptr<CursorMetadataStream>> CursorMetadataStream::connect(int fd, uint32_t nodeId,
                                                                                   ReportHandler reports,
                                                                                   EndHandler ended) {
    pw_init(nullptr, nullptr);
    std::unique_ptr<CursorMetadataStream> self(new CursorMetadataStream());
    self->reports_ = std::move(reports);
    self->ended_ = std::move(ended);
    self->loop_.reset(pw_thread_loop_new("pointer-cursor", nullptr));
    if (self->loop_) self->context_.reset(pw_context_new(pw_thread_loop_get_loop(self->loop_.get()), nullptr, 0));
    if (!self->context_ || pw_thread_loop_start(self->loop_.get()) < 0) {
        ::close(fd);
        return common::Error{"PipeWire", 1, "cannot start a PipeWire loop for the cursor"};
    }
    pw_thread_loop_lock(self->loop_.get());
    const auto fail = [&self](const std::string& message) -> common::Error {
        pw_thread_loop_unlock(self->loop_.get());
        return common::Error{"PipeWire", 2, message};
    };
    self->core_.reset(pw_context_connect_fd(self->context_.get(), fd, nullptr, 0));
    if (!self->core_) return fail(std::string("cannot connect to PipeWire: ") + std::strerror(errno));
    self->nodeId_ = nodeId;
    self->registry_.reset(pw_core_get_registry(self->core_.get(), PW_VERSION_REGISTRY, 0));
    if (!self->registry_) return fail(std::string("cannot watch the PipeWire nodes: ") + std::strerror(errno));
    self->registryEvents_.version = PW_VERSION_REGISTRY_EVENTS;
    self->registryEvents_.global_remove = onGlobalRemoved;
    pw_registry_add_listener(self->registry_.get(), &self->registryListener_, &self->registryEvents_, self.get());
    self->stream_.reset(pw_stream_new(self->core_.get(), "pointer-agent",
                                      pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY, "Capture",
                                                        PW_KEY_MEDIA_ROLE, "Screen", nullptr)));
    if (!self->stream_) return fail(std::string("cannot create a PipeWire stream: ") + std::strerror(errno));
    self->streamEvents_.version = PW_VERSION_STREAM_EVENTS;
    self->streamEvents_.state_changed = onStateChanged;
    self->streamEvents_.param_changed = onParamChanged;
    self->streamEvents_.process = onProcess;
    pw_stream_add_listener(self->stream_.get(), &self->streamListener_, &self->streamEvents_, self.get());

    uint8_t space[1024];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(space, sizeof(space));
    const spa_pod* params[] = {buildFormatOffer(builder)};
    // Without PW_STREAM_FLAG_MAP_BUFFERS the pictures stay unmapped; metadata is always mapped.
    const int connected = pw_stream_connect(self->stream_.get(), PW_DIRECTION_INPUT, nodeId,
                                            PW_STREAM_FLAG_AUTOCONNECT, params, 1);
    if (connected < 0) return fail(std::string("cannot connect the PipeWire stream: ") + std::strerror(-connected));
    pw_thread_loop_unlock(self->loop_.get());
    return self;
}

CursorMetadataStream::~CursorMetadataStream() {
    if (!loop_) return;
    pw_thread_loop_lock(loop_.get());
    stopping_ = true;
    if (stream_) pw_stream_disconnect(stream_.get());
    pw_thread_loop_unlock(loop_.get());
    pw_thread_loop_stop(loop_.get());
    if (stream_) spa_hook_remove(&streamListener_);
    stream_.reset();
    if (registry_) spa_hook_remove(&registryListener_);
    registry_.reset();
    core_.reset();
    context_.reset();
    loop_.reset();
}

void CursorMetadataStream::end(const std::string& message) {
    if (stopping_ || endReported_) return;
    endReported_ = true;
    if (ended_) ended_(message);
}

void CursorMetadataStream::onStateChanged(void* data, pw_stream_state, pw_stream_state state, const char* error) {
    auto& self = *static_cast<CursorMetadataStream*>(data);
    if (state == PW_STREAM_STATE_ERROR) self.end(std::string("the cursor stream failed: ") + (error ? error : "?"));
    if (state == PW_STREAM_STATE_UNCONNECTED) self.end("the cursor stream ended");
}

void CursorMetadataStream::onGlobalRemoved(void* data, uint32_t id) {
    auto& self = *static_cast<CursorMetadataStream*>(data);
    if (id == self.nodeId_) self.end("the desktop ended the cursor screen cast");
}

void CursorMetadataStream::onParamChanged(void* data, uint32_t id, const spa_pod* param) {
    auto& self = *static_cast<CursorMetadataStream*>(data);
    if (!param || id != SPA_PARAM_Format) return;
    uint8_t space[1024];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(space, sizeof(space));
    // The fewest buffers, in memory we never map, each with room for the largest cursor.
    const spa_pod* params[] = {
        static_cast<const spa_pod*>(spa_pod_builder_add_object(
            &builder, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_buffers,
            SPA_POD_CHOICE_RANGE_Int(2, 1, 4), SPA_PARAM_BUFFERS_dataType,
            SPA_POD_CHOICE_FLAGS_Int((1 << SPA_DATA_MemFd) | (1 << SPA_DATA_MemPtr)))),
        static_cast<const spa_pod*>(spa_pod_builder_add_object(
            &builder, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type, SPA_POD_Id(SPA_META_Cursor),
            SPA_PARAM_META_size,
            SPA_POD_CHOICE_RANGE_Int(cursorMetadataSize(64), cursorMetadataSize(1),
                                     cursorMetadataSize(kLargestCursorSide)))),
    };
    pw_stream_update_params(self.stream_.get(), params, 2);
}

void CursorMetadataStream::onProcess(void* data) {
    auto& self = *static_cast<CursorMetadataStream*>(data);
    // Every buffer in order: a new picture may come with one and only the position with the next.
    while (pw_buffer* buffer = pw_stream_dequeue_buffer(self.stream_.get())) {
        const spa_meta* meta = spa_buffer_find_meta(buffer->buffer, SPA_META_Cursor);
        if (meta && meta->data && meta->size >= sizeof(spa_meta_cursor)) {
            self.reports_(readCursorMetadata(*static_cast<const spa_meta_cursor*>(meta->data), meta->size));
        }
        pw_stream_queue_buffer(self.stream_.get(), buffer);
    }
}

}  // namespace pointer::platform::linux_wayland
