#include "tests/support/fake/fake_platform.hpp"

#include <cmath>
#include <thread>

namespace fakeplatform {

using namespace recorder::platform;

MediaTime seconds(double value) {
    return MediaTime::make(static_cast<int64_t>(std::llround(value * 1e9)), common::kHostTimescale);
}

std::shared_ptr<SampleBuffer> videoSample(double presentationSeconds, FrameStatus status, MediaTime duration, int width,
                                          int height) {
    SampleAttachments attachments{AttachmentDictionary{{kFrameInfoStatusKey, static_cast<int64_t>(status)}}};
    return SampleBuffer::makeVideo(PixelBuffer::allocate(kPixelFormat420v, width, height),
                                   SampleTimingInfo{duration, seconds(presentationSeconds), MediaTime::invalid()},
                                   std::move(attachments));
}

std::shared_ptr<SampleBuffer> videoSampleWithAttachments(double presentationSeconds,
                                                         std::optional<SampleAttachments> attachments) {
    return SampleBuffer::makeVideo(
        PixelBuffer::allocate(kPixelFormat420v, 16, 16),
        SampleTimingInfo{MediaTime::make(1, 60), seconds(presentationSeconds), MediaTime::invalid()},
        std::move(attachments));
}

std::shared_ptr<SampleBuffer> audioSample(double presentationSeconds, MediaTime duration) {
    auto audio = std::make_shared<AudioData>();
    audio->samples.assign(2048, 0.0f);
    return SampleBuffer::makeAudio(audio, SampleTimingInfo{duration, seconds(presentationSeconds), MediaTime::invalid()});
}

// ---- Capture ----

common::Status FakeCaptureStream::addStreamOutput(std::weak_ptr<StreamOutput> output, StreamOutputType type,
                                                  common::SerialQueue& queue) {
    if (addOutputError) return addOutputError;
    registrations.push_back(Registration{type, std::move(output), &queue});
    return std::nullopt;
}

common::Status FakeCaptureStream::startCapture() {
    if (startError) return startError;
    started = true;
    return std::nullopt;
}

common::Status FakeCaptureStream::updateContentFilter(const ContentFilter& newFilter) {
    std::lock_guard lock(mutex_);
    if (updateError_) return updateError_;
    filterUpdates.push_back(newFilter);
    filter = newFilter;
    return std::nullopt;
}

common::Status FakeCaptureStream::stopCapture() {
    std::unique_lock lock(mutex_);
    stopRequested_ = true;
    changed_.notify_all();
    changed_.wait(lock, [this] { return !holdStop_; });
    ++stopCount;
    return std::nullopt;
}

void FakeCaptureStream::setUpdateError(std::optional<common::Error> error) {
    std::lock_guard lock(mutex_);
    updateError_ = std::move(error);
}

void FakeCaptureStream::holdStop() {
    std::lock_guard lock(mutex_);
    holdStop_ = true;
}

void FakeCaptureStream::releaseStop() {
    std::lock_guard lock(mutex_);
    holdStop_ = false;
    changed_.notify_all();
}

bool FakeCaptureStream::waitUntilStopRequested(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [this] { return stopRequested_; });
}

void FakeCaptureStream::deliver(const std::shared_ptr<SampleBuffer>& sample, StreamOutputType type) {
    for (const auto& registration : registrations) {
        if (registration.type != type) continue;
        registration.queue->sync([&] {
            if (auto output = registration.output.lock())
                output->streamDidOutputSampleBuffer(*this, sample, static_cast<int>(type));
        });
        return;
    }
}

void FakeCaptureStream::failWith(const common::Error& error) {
    if (auto target = delegate.lock()) target->streamDidStopWithError(*this, error);
}

common::Rect FakeCaptureService::displayBounds(uint32_t displayID) {
    std::lock_guard lock(mutex_);
    for (const auto& display : content_.displays) {
        if (display.displayID == displayID) return display.frame;
    }
    return common::Rect{};
}

std::optional<DisplayMode> FakeCaptureService::displayMode(uint32_t displayID) {
    const auto it = modes.find(displayID);
    if (it == modes.end()) return std::nullopt;
    return it->second;
}

common::Result<ShareableContent> FakeCaptureService::shareableContent(bool, bool) {
    ++contentQueries_;
    std::lock_guard lock(mutex_);
    if (contentError_) return *contentError_;
    return content_;
}

common::Result<std::shared_ptr<CaptureStream>> FakeCaptureService::makeStream(const ContentFilter& filter,
                                                                              const StreamConfiguration& configuration,
                                                                              std::weak_ptr<StreamDelegate> delegate) {
    auto stream = std::make_shared<FakeCaptureStream>();
    stream->filter = filter;
    stream->configuration = configuration;
    stream->delegate = std::move(delegate);
    std::lock_guard lock(mutex_);
    lastStream_ = stream;
    return std::shared_ptr<CaptureStream>(stream);
}

void FakeCaptureService::setContent(ShareableContent content) {
    std::lock_guard lock(mutex_);
    content_ = std::move(content);
}

void FakeCaptureService::setContentError(std::optional<common::Error> error) {
    std::lock_guard lock(mutex_);
    contentError_ = std::move(error);
}

std::shared_ptr<FakeCaptureStream> FakeCaptureService::lastStream() {
    std::lock_guard lock(mutex_);
    return lastStream_;
}

// ---- Writers ----

bool FakeWriterInput::appendSampleBuffer(const std::shared_ptr<SampleBuffer>& sample) {
    if (!appendResult) return false;
    std::lock_guard lock(mutex_);
    appended_.push_back(sample);
    return true;
}

std::vector<MediaTime> FakeWriterInput::appendedTimes() const {
    std::lock_guard lock(mutex_);
    std::vector<MediaTime> times;
    for (const auto& sample : appended_) times.push_back(sample->presentationTimeStamp());
    return times;
}

std::vector<std::shared_ptr<SampleBuffer>> FakeWriterInput::appendedSamples() const {
    std::lock_guard lock(mutex_);
    return appended_;
}

FakePixelBufferAdaptor::FakePixelBufferAdaptor(std::shared_ptr<FakeWriterInput> videoInput,
                                               PixelBufferAttributes bufferAttributes)
    : input(std::move(videoInput)), attributes(bufferAttributes) {}

std::shared_ptr<PixelBufferPool> FakePixelBufferAdaptor::pixelBufferPool() {
    std::lock_guard lock(mutex_);
    if (!writer || writer->status() != WriterStatus::writing) return nullptr;
    if (!pool_) pool_ = PixelBufferPool::make(attributes.pixelFormatType, attributes.width, attributes.height);
    return pool_;
}

bool FakePixelBufferAdaptor::appendPixelBuffer(const std::shared_ptr<PixelBuffer>& buffer,
                                               const MediaTime& presentationTime) {
    if (!appendResult) return false;
    std::lock_guard lock(mutex_);
    appended_.emplace_back(buffer, presentationTime);
    return true;
}

std::vector<std::pair<std::shared_ptr<PixelBuffer>, MediaTime>> FakePixelBufferAdaptor::appended() const {
    std::lock_guard lock(mutex_);
    return appended_;
}

bool FakeAssetWriter::canAddInput(const WriterInput& input) {
    return input.mediaType() == MediaType::video ? acceptVideoInputs : acceptAudioInputs;
}

void FakeAssetWriter::addInput(std::shared_ptr<WriterInput> input) { inputs.push_back(std::move(input)); }

bool FakeAssetWriter::startWriting() {
    if (!startSucceeds) {
        status_ = WriterStatus::failed;
        return false;
    }
    status_ = WriterStatus::writing;
    return true;
}

void FakeAssetWriter::finishWriting() {
    ++finishCount;
    if (finishSequence) finishOrder = (*finishSequence)++;
    status_ = statusAfterFinish;
}

std::optional<common::Error> FakeAssetWriter::error() {
    std::lock_guard lock(mutex_);
    return error_;
}

void FakeAssetWriter::setError(std::optional<common::Error> error) {
    std::lock_guard lock(mutex_);
    error_ = std::move(error);
}

common::Result<std::shared_ptr<AssetWriter>> FakeMediaWriterService::makeAssetWriter(const std::string& path,
                                                                                     FileType type) {
    if (const auto it = creationErrors.find(path); it != creationErrors.end()) return it->second;
    auto writer = std::make_shared<FakeAssetWriter>(path, type);
    writer->finishSequence = &finishSequence;
    if (configureWriter) configureWriter(*writer);
    std::lock_guard lock(mutex_);
    writers_.push_back(writer);
    return std::shared_ptr<AssetWriter>(writer);
}

std::shared_ptr<OutputSettingsAssistant> FakeMediaWriterService::makeOutputSettingsAssistant(const std::string& preset) {
    if (!assistantAvailable || preset != kVideoPreset3840x2160) return nullptr;
    return assistant;
}

common::Result<VideoFormatDescription> FakeMediaWriterService::makeVideoFormatDescription(uint32_t mediaSubtype,
                                                                                        int width, int height) {
    return VideoFormatDescription{mediaSubtype, width, height};
}

std::shared_ptr<WriterInput> FakeMediaWriterService::makeVideoInput(const VideoSettings& settings,
                                                                    const std::optional<VideoFormatDescription>&) {
    auto input = std::make_shared<FakeWriterInput>(MediaType::video);
    input->videoSettings = settings;
    return input;
}

std::shared_ptr<WriterInput> FakeMediaWriterService::makeAudioInput(const AudioSettings& settings) {
    auto input = std::make_shared<FakeWriterInput>(MediaType::audio);
    input->audioSettings = settings;
    return input;
}

std::shared_ptr<PixelBufferAdaptor> FakeMediaWriterService::makePixelBufferAdaptor(
    std::shared_ptr<WriterInput> videoInput, const PixelBufferAttributes& attributes) {
    auto adaptor = std::make_shared<FakePixelBufferAdaptor>(std::static_pointer_cast<FakeWriterInput>(videoInput),
                                                            attributes);
    // The adaptor's pool exists while the writer that owns the input writes.
    std::lock_guard lock(mutex_);
    for (const auto& writer : writers_) {
        for (const auto& input : writer->inputs) {
            if (input == videoInput) adaptor->writer = writer.get();
        }
    }
    lastAdaptor = adaptor;
    return adaptor;
}

std::shared_ptr<FakeAssetWriter> FakeMediaWriterService::writerFor(const std::string& path) const {
    std::lock_guard lock(mutex_);
    for (const auto& writer : writers_) {
        if (writer->path == path) return writer;
    }
    return nullptr;
}

std::vector<std::shared_ptr<FakeAssetWriter>> FakeMediaWriterService::writers() const {
    std::lock_guard lock(mutex_);
    return writers_;
}

// ---- Image, permissions, devices ----

void FakeImageContext::renderCrop(const PixelBuffer& source, const ImageRect& crop, PixelBuffer& destination) {
    std::lock_guard lock(mutex_);
    renders_.push_back(Render{crop, source.width(), source.height(), destination.width(), destination.height()});
}

std::vector<FakeImageContext::Render> FakeImageContext::renders() const {
    std::lock_guard lock(mutex_);
    return renders_;
}

int FakePermissionService::microphoneAuthorizationStatus() {
    ++microphoneReads;
    return microphoneStatus;
}

void FakePermissionService::requestMicrophoneAccess(std::function<void(bool)> completion) {
    ++microphoneRequests;
    microphoneStatus = statusAfterRequest;
    // Answer from another thread, as a real permission prompt would.
    std::thread([completion = std::move(completion), granted = statusAfterRequest == kAuthorizationAuthorized] {
        completion(granted);
    }).detach();
}

FakePlatform::FakePlatform() {
    ShareableContent content;
    content.displays.push_back(Display{1, common::Rect{0, 0, 1920, 1080}});
    capture->setContent(content);
}

Platform FakePlatform::platform() const {
    Platform services;
    services.capture = capture;
    services.writer = writer;
    services.imageContext = image;
    services.permissions = permissions;
    services.devices = devices;
    auto clock = hostNanoseconds;
    services.hostClock = [clock] { return common::hostTimeFromNanoseconds(clock->load()); };
    return services;
}

void FakePlatform::setHostTime(double secondsValue) { *hostNanoseconds = std::llround(secondsValue * 1e9); }

void RecordingLineSink::out(const std::string& line) {
    std::lock_guard lock(mutex_);
    out_.push_back(line);
    changed_.notify_all();
}

void RecordingLineSink::err(const std::string& line) {
    std::lock_guard lock(mutex_);
    err_.push_back(line);
    changed_.notify_all();
}

std::vector<std::string> RecordingLineSink::outLines() const {
    std::lock_guard lock(mutex_);
    return out_;
}

std::vector<std::string> RecordingLineSink::errLines() const {
    std::lock_guard lock(mutex_);
    return err_;
}

bool RecordingLineSink::waitForOutLine(const std::string& line, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] {
        for (const auto& seen : out_) {
            if (seen == line) return true;
        }
        return false;
    });
}

}  // namespace fakeplatform
