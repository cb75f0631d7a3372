#include "recorder/platform/linux/pipewire/pipewire_stream.hpp"

#include <spa/buffer/meta.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>

#include <cerrno>
#include <cstring>

namespace recorder::linux_backend::pipewire {
namespace {

constexpr int kMaxDimension = 16384;
constexpr int kPreferredFramerate = 60;

const spa_pod* buildFormatOffer(spa_pod_builder& builder) {
    spa_pod_frame object;
    spa_pod_builder_push_object(&builder, &object, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat);
    spa_pod_builder_add(&builder, SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video), SPA_FORMAT_mediaSubtype,
                        SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), 0);
    spa_pod_builder_prop(&builder, SPA_FORMAT_VIDEO_format, 0);
    spa_pod_frame choice;
    spa_pod_builder_push_choice(&builder, &choice, SPA_CHOICE_Enum, 0);
    const auto formats = offeredVideoFormats();
    spa_pod_builder_id(&builder, formats.front());  // the default, then every alternative
    for (const uint32_t format : formats) spa_pod_builder_id(&builder, format);
    spa_pod_builder_pop(&builder, &choice);
    const spa_rectangle defaultSize = SPA_RECTANGLE(1920, 1080);
    const spa_rectangle minimumSize = SPA_RECTANGLE(1, 1);
    const spa_rectangle maximumSize = SPA_RECTANGLE(kMaxDimension, kMaxDimension);
    const spa_fraction variableRate = SPA_FRACTION(0, 1);
    const spa_fraction preferredRate = SPA_FRACTION(kPreferredFramerate, 1);
    const spa_fraction lowestRate = SPA_FRACTION(0, 1);
    const spa_fraction highestRate = SPA_FRACTION(1000, 1);
    spa_pod_builder_add(&builder, SPA_FORMAT_VIDEO_size,
                        SPA_POD_CHOICE_RANGE_Rectangle(&defaultSize, &minimumSize, &maximumSize),
                        SPA_FORMAT_VIDEO_framerate, SPA_POD_Fraction(&variableRate), SPA_FORMAT_VIDEO_maxFramerate,
                        SPA_POD_CHOICE_RANGE_Fraction(&preferredRate, &lowestRate, &highestRate), 0);
    return static_cast<const spa_pod*>(spa_pod_builder_pop(&builder, &object));
}

std::optional<RowBand> damagedRows(spa_buffer* buffer, const NegotiatedFormat& format) {
    spa_meta* meta = spa_buffer_find_meta(buffer, SPA_META_VideoDamage);
    if (!meta) return std::nullopt;
    std::vector<PixelArea> damage;
    spa_meta_region* region = nullptr;
    spa_meta_for_each(region, meta) {
        if (!spa_meta_region_is_valid(region)) break;
        damage.push_back(PixelArea{region->region.position.x, region->region.position.y,
                                   static_cast<int>(region->region.size.width),
                                   static_cast<int>(region->region.size.height)});
    }
    return changedRows(damage, format.width, format.height);
}

}  // namespace

common::Result<std::unique_ptr<PipeWireStream>> PipeWireStream::connect(int fd, uint32_t nodeId, FrameHandler frames,
                                                                         EndHandler ended) {
    auto opened = ConsumerConnection::open(fd, "recorder-video", kErrorDomain);
    if (!opened.ok()) return opened.error();
    std::unique_ptr<PipeWireStream> stream(new PipeWireStream());
    stream->frames_ = std::move(frames);
    stream->ended_ = std::move(ended);
    stream->nodeId_ = nodeId;
    stream->connection_ = std::move(opened).value();

    ConsumerConnection::Events events;
    events.stream.state_changed = onStateChanged;
    events.stream.param_changed = onParamChanged;
    events.stream.process = onProcess;
    events.nodeRemoved = onGlobalRemoved;
    events.coreError = onCoreError;
    uint8_t space[1024];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(space, sizeof(space));
    const auto flags = static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS);
    if (auto failed = stream->connection_->connectStream(nodeId, "recorder-agent", events, stream.get(), flags,
                                                         buildFormatOffer(builder))) {
        stream->stop();
        return *failed;
    }
    return stream;
}

PipeWireStream::~PipeWireStream() { stop(); }

void PipeWireStream::stop() {
    if (!connection_) return;
    connection_->close([this] { stopping_ = true; });
    connection_.reset();
    {
        std::lock_guard lock(formatMutex_);
        if (!endMessage_) endMessage_ = "the screen-cast stream was stopped";
    }
    formatChanged_.notify_all();
}

common::Result<NegotiatedFormat> PipeWireStream::waitForFormat(std::chrono::milliseconds timeout) {
    std::unique_lock lock(formatMutex_);
    formatChanged_.wait_for(lock, timeout, [this] { return format_.has_value() || endMessage_.has_value(); });
    if (format_) return *format_;
    if (endMessage_) return common::Error{kErrorDomain, 3, *endMessage_};
    return common::Error{kErrorDomain, 4, "the screen-cast stream agreed on no video format in time"};
}

void PipeWireStream::end(const std::string& message) {
    if (stopping_ || endReported_) return;
    endReported_ = true;
    {
        std::lock_guard lock(formatMutex_);
        endMessage_ = message;
    }
    formatChanged_.notify_all();
    if (ended_) ended_(common::Error{kErrorDomain, 5, message});
}

void PipeWireStream::onCoreError(void* data, uint32_t id, int, int res, const char* message) {
    auto& self = *static_cast<PipeWireStream*>(data);
    if (id != PW_ID_CORE) return;
    self.end(std::string("PipeWire is gone: ") + (message ? message : std::strerror(-res)));
}

void PipeWireStream::onGlobalRemoved(void* data, uint32_t id) {
    auto& self = *static_cast<PipeWireStream*>(data);
    if (id == self.nodeId_) self.end("the desktop ended the screen cast");
}

void PipeWireStream::onStateChanged(void* data, pw_stream_state, pw_stream_state state, const char* error) {
    auto& self = *static_cast<PipeWireStream*>(data);
    switch (state) {
        case PW_STREAM_STATE_ERROR:
            self.end(std::string("the screen-cast stream failed: ") + (error ? error : "unknown error"));
            break;
        case PW_STREAM_STATE_UNCONNECTED:
            self.end("the screen-cast stream ended");
            break;
        case PW_STREAM_STATE_STREAMING:
            self.wasStreaming_ = true;
            break;
        default:
            break;
    }
}

void PipeWireStream::onParamChanged(void* data, uint32_t id, const spa_pod* param) {
    auto& self = *static_cast<PipeWireStream*>(data);
    if (!param || id != SPA_PARAM_Format) return;
    uint32_t mediaType = 0, mediaSubtype = 0;
    if (spa_format_parse(param, &mediaType, &mediaSubtype) < 0 || mediaType != SPA_MEDIA_TYPE_video ||
        mediaSubtype != SPA_MEDIA_SUBTYPE_raw) {
        return;
    }
    spa_video_info_raw raw{};
    if (spa_format_video_raw_parse(param, &raw) < 0) return;
    const auto order = channelOrderOf(raw.format);
    if (!order || raw.size.width == 0 || raw.size.height == 0) {
        self.end("the desktop offers the screen cast in no format this recorder reads");
        return;
    }
    self.lastFrameSkipped_ = true;  // damage never spans a change of format
    {
        std::lock_guard lock(self.formatMutex_);
        self.format_ = NegotiatedFormat{static_cast<int>(raw.size.width), static_cast<int>(raw.size.height), *order};
    }
    self.formatChanged_.notify_all();
    self.requestMetadata();
}

void PipeWireStream::requestMetadata() {
    uint8_t space[1024];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(space, sizeof(space));
    const spa_pod* params[4];
    // Every buffer is the desktop's whole picture mapped into this process (33 MB at 3840x2160),
    // and each is handed back as soon as it is converted: one with us, one being drawn and one
    // ready keep the desktop's rate. Eight had cost 160 MB at 3840x2160 for no more frames.
    params[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &builder, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_buffers,
        SPA_POD_CHOICE_RANGE_Int(3, 2, 16), SPA_PARAM_BUFFERS_dataType,
        SPA_POD_CHOICE_FLAGS_Int(static_cast<int>(acceptedDataTypes()))));
    params[1] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &builder, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type, SPA_POD_Id(SPA_META_Header),
        SPA_PARAM_META_size, SPA_POD_Int(sizeof(spa_meta_header))));
    params[2] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &builder, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type, SPA_POD_Id(SPA_META_VideoCrop),
        SPA_PARAM_META_size, SPA_POD_Int(sizeof(spa_meta_region))));
    constexpr int kRegion = sizeof(spa_meta_region);
    params[3] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &builder, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type, SPA_POD_Id(SPA_META_VideoDamage),
        SPA_PARAM_META_size, SPA_POD_CHOICE_RANGE_Int(kRegion * 16, kRegion, kRegion * 16)));
    pw_stream_update_params(connection_->stream(), params, 4);
}

void PipeWireStream::onProcess(void* data) {
    auto& self = *static_cast<PipeWireStream*>(data);
    // Only the newest picture matters; older ones still queued go straight back.
    pw_buffer* newest = nullptr;
    bool skipped = false;
    while (pw_buffer* next = pw_stream_dequeue_buffer(self.connection_->stream())) {
        if (newest) {
            pw_stream_queue_buffer(self.connection_->stream(), newest);
            skipped = true;
        }
        newest = next;
    }
    if (!newest) return;
    std::optional<NegotiatedFormat> format;
    {
        std::lock_guard lock(self.formatMutex_);
        format = self.format_;
    }
    spa_buffer* buffer = newest->buffer;
    bool handed = false;
    if (format && buffer->n_datas > 0) {
        const spa_data& block = buffer->datas[0];
        const auto* header =
            static_cast<const spa_meta_header*>(spa_buffer_find_meta_data(buffer, SPA_META_Header, sizeof(spa_meta_header)));
        const bool corrupted = (block.chunk->flags & SPA_CHUNK_FLAG_CORRUPTED) ||
                               (header && (header->flags & SPA_META_HEADER_FLAG_CORRUPTED));
        const int stride = block.chunk->stride > 0 ? block.chunk->stride : format->width * 4;
        // An empty chunk carries no picture (some desktops send one for a pointer-only change).
        if (!corrupted && block.chunk->size > 0 &&
            bufferReadable(block.type, block.data, block.maxsize, block.chunk->offset, stride, format->height,
                           format->width)) {
            std::optional<PixelArea> crop;
            const auto* region = static_cast<const spa_meta_region*>(
                spa_buffer_find_meta_data(buffer, SPA_META_VideoCrop, sizeof(spa_meta_region)));
            if (region && spa_meta_region_is_valid(region)) {
                crop = PixelArea{region->region.position.x, region->region.position.y,
                                 static_cast<int>(region->region.size.width),
                                 static_cast<int>(region->region.size.height)};
            }
            const PixelArea area = visibleArea(format->width, format->height, crop);
            const auto* pixels = static_cast<const uint8_t*>(block.data) + block.chunk->offset +
                                 static_cast<ptrdiff_t>(area.y) * stride + static_cast<ptrdiff_t>(area.x) * 4;
            ArrivedFrame frame;
            frame.picture = SourcePicture{pixels, stride, area.width, area.height, format->order};
            if (header && header->pts >= 0) frame.presentationNs = header->pts;
            // Damage speaks of the frame before; after a skipped one, or inside a crop, it says too little.
            if (!skipped && !self.lastFrameSkipped_ && !crop) frame.changedRows = damagedRows(buffer, *format);
            if (self.frames_) self.frames_(frame);
            handed = true;
        }
    }
    self.lastFrameSkipped_ = !handed;
    pw_stream_queue_buffer(self.connection_->stream(), newest);
}

}  // namespace recorder::linux_backend::pipewire
