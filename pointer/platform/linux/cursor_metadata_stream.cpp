#include "pointer/platform/linux/cursor_metadata_stream.hpp"

#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>


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
    using recorder::linux_backend::pipewire::ConsumerConnection;
    auto opened = ConsumerConnection::open(fd, "pointer-cursor", "PipeWire");
    if (!opened.ok()) return opened.error();
    std::unique_ptr<CursorMetadataStream> self(new CursorMetadataStream());
    self->reports_ = std::move(reports);
    self->ended_ = std::move(ended);
    self->nodeId_ = nodeId;
    self->connection_ = std::move(opened).value();

    ConsumerConnection::Events events;
    events.stream.state_changed = onStateChanged;
    events.stream.param_changed = onParamChanged;
    events.stream.process = onProcess;
    events.nodeRemoved = onGlobalRemoved;
    uint8_t space[1024];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(space, sizeof(space));
    // Without PW_STREAM_FLAG_MAP_BUFFERS the pictures stay unmapped; metadata is always mapped.
    if (auto failed = self->connection_->connectStream(nodeId, "pointer-agent", events, self.get(),
                                                       PW_STREAM_FLAG_AUTOCONNECT, buildFormatOffer(builder))) {
        return *failed;
    }
    return self;
}

CursorMetadataStream::~CursorMetadataStream() {
    if (connection_) connection_->close([this] { stopping_ = true; });
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
    pw_stream_update_params(self.connection_->stream(), params, 2);
}

void CursorMetadataStream::onProcess(void* data) {
    auto& self = *static_cast<CursorMetadataStream*>(data);
    // Every buffer in order: a new picture may come with one and only the position with the next.
    while (pw_buffer* buffer = pw_stream_dequeue_buffer(self.connection_->stream())) {
        const spa_meta* meta = spa_buffer_find_meta(buffer->buffer, SPA_META_Cursor);
        if (meta && meta->data && meta->size >= sizeof(spa_meta_cursor)) {
            self.reports_(readCursorMetadata(*static_cast<const spa_meta_cursor*>(meta->data), meta->size));
        }
        pw_stream_queue_buffer(self.connection_->stream(), buffer);
    }
}

}  // namespace pointer::platform::linux_wayland
