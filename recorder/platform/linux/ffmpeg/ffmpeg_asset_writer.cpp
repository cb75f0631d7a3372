#include "recorder/platform/linux/ffmpeg/ffmpeg_asset_writer.hpp"

#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <limits>

#include "recorder/platform/linux/ffmpeg/audio_track.hpp"
#include "recorder/platform/linux/ffmpeg/av_error.hpp"
#include "recorder/platform/linux/ffmpeg/video_track.hpp"

namespace recorder::linux_backend {
namespace {

// Longest fragment. A killed recording loses the fragment being built, so this bounds what a
// crash costs. Each fragment costs a header of a few hundred bytes, about 1 kB/s.
constexpr const char* kFragmentMicroseconds = "500000";
// How often what was written is forced to the disk, so that a power loss costs no more than a
// crash does. One sync per second is cheap next to the encoding.
constexpr auto kSyncInterval = std::chrono::seconds(1);

const char* muxerName(platform::FileType type) {
    switch (type) {
        case platform::FileType::mpeg4: return "mp4";
        case platform::FileType::quickTimeMovie: return "mov";
        case platform::FileType::appleM4A: return "ipod";
    }
    return "mp4";
}

}  // namespace

struct FfmpegAssetWriter::Track {
    std::shared_ptr<FfmpegWriterInput> input;
    std::unique_ptr<VideoTrack> video;
    std::unique_ptr<AudioTrack> audio;
};

common::Result<std::shared_ptr<FfmpegAssetWriter>> FfmpegAssetWriter::create(const std::string& path,
                                                                             platform::FileType type) {
    auto file = OutputFile::create(path);
    if (!file) return file.error();
    return std::shared_ptr<FfmpegAssetWriter>(new FfmpegAssetWriter(std::move(file).value(), type));
}

FfmpegAssetWriter::FfmpegAssetWriter(std::unique_ptr<OutputFile> file, platform::FileType type)
    : file_(std::move(file)), type_(type) {}

FfmpegAssetWriter::~FfmpegAssetWriter() {
    {
        std::lock_guard lock(core_->mutex);
        core_->abandoned = true;
    }
    core_->wake.notify_all();
    if (thread_.joinable()) thread_.join();
    tracks_.clear();
    muxer_.reset();
}

bool FfmpegAssetWriter::canAddInput(const platform::WriterInput& input) {
    const auto* ours = dynamic_cast<const FfmpegWriterInput*>(&input);
    if (!ours) return false;
    {
        std::lock_guard lock(core_->mutex);
        if (core_->status != platform::WriterStatus::unknown) return false;
    }
    if (std::any_of(inputs_.begin(), inputs_.end(), [&](const auto& added) { return added.get() == ours; })) {
        return false;
    }
    if (input.mediaType() == platform::MediaType::video) {
        if (type_ == platform::FileType::appleM4A) return false;
        // One picture track per file.
        return std::none_of(inputs_.begin(), inputs_.end(),
                            [](const auto& added) { return added->mediaType() == platform::MediaType::video; });
    }
    return true;
}

void FfmpegAssetWriter::addInput(std::shared_ptr<platform::WriterInput> input) {
    if (!input || !canAddInput(*input)) return;
    auto ours = std::dynamic_pointer_cast<FfmpegWriterInput>(input);
    if (!ours->attach(core_)) return;
    inputs_.push_back(std::move(ours));
}

common::Status FfmpegAssetWriter::openMuxer() {
    AVFormatContext* context = nullptr;
    if (const int result = avformat_alloc_output_context2(&context, nullptr, muxerName(type_), file_->path().c_str());
        result < 0) {
        return writerError("cannot write " + file_->path(), result);
    }
    muxer_.reset(context);
    muxer_->pb = file_->io();
    muxer_->flags |= AVFMT_FLAG_CUSTOM_IO;
    // Each finished fragment goes to the kernel at once instead of waiting in a buffer.
    muxer_->flush_packets = 1;

    // Video first, so players pick the picture track as the main one.
    std::vector<std::shared_ptr<FfmpegWriterInput>> ordered = inputs_;
    std::stable_partition(ordered.begin(), ordered.end(),
                          [](const auto& input) { return input->mediaType() == platform::MediaType::video; });
    for (const auto& input : ordered) {
        Track track{input, nullptr, nullptr};
        if (const auto* video = std::get_if<platform::VideoSettings>(&input->settings())) {
            auto opened = VideoTrack::open(muxer_.get(), *video);
            if (!opened) return opened.error();
            track.video = std::move(opened).value();
        } else {
            auto opened = AudioTrack::open(muxer_.get(), std::get<platform::AudioSettings>(input->settings()));
            if (!opened) return opened.error();
            track.audio = std::move(opened).value();
        }
        tracks_.push_back(std::move(track));
    }
    if (tracks_.empty()) return common::Error{kWriterErrorDomain, 0, "cannot write " + file_->path() + ": no inputs"};

    // Fragmented: the file is playable after every fragment. The movie header goes out with the
    // first fragment (not before it), when the encoders' start offsets are known, so the audio
    // track can carry the edit that hides the AAC encoder's priming. A keyframe also starts a
    // fragment; keyframes are seconds apart (each one is a whole picture of text, most of a
    // screen recording's bytes), so fragments in between start with pictures that need earlier
    // ones, marked so in their sample flags. The fragment index the muxer would append, which
    // would call every fragment a place to start decoding, is left out: the finished file gets
    // a complete movie header with its sync samples instead (HybridMovie).
    av::Dictionary options;
    options.set("movflags", "+frag_keyframe+delay_moov+default_base_moof+skip_trailer");
    options.set("frag_duration", kFragmentMicroseconds);
    if (const int result = avformat_write_header(muxer_.get(), options.address()); result < 0) {
        if (file_->failure()) return *file_->failure();
        return writerError("cannot write " + file_->path(), result);
    }
    return std::nullopt;
}

bool FfmpegAssetWriter::startWriting() {
    {
        std::lock_guard lock(core_->mutex);
        if (core_->status != platform::WriterStatus::unknown) return false;
    }
    if (auto failed = openMuxer()) {
        std::lock_guard lock(core_->mutex);
        core_->status = platform::WriterStatus::failed;
        core_->error = std::move(*failed);
        return false;
    }
    {
        std::lock_guard lock(core_->mutex);
        core_->status = platform::WriterStatus::writing;
    }
    thread_ = std::thread([this] {
        // Named so that the encoder's own threads, which inherit the name, can be told apart.
        pthread_setname_np(pthread_self(), "media-writer");
        run();
    });
    return true;
}

void FfmpegAssetWriter::startSessionAtSourceTime(const common::MediaTime& time) {
    if (!time.isNumeric()) return;
    std::lock_guard lock(core_->mutex);
    core_->sessionStart = time;
}

void FfmpegAssetWriter::endSessionAtSourceTime(const common::MediaTime& time) {
    if (!time.isNumeric()) return;
    std::lock_guard lock(core_->mutex);
    core_->sessionEnd = time;
}

void FfmpegAssetWriter::finishWriting() {
    {
        std::lock_guard lock(core_->mutex);
        if (core_->status == platform::WriterStatus::writing) core_->finishing = true;
    }
    core_->wake.notify_all();
    if (thread_.joinable()) thread_.join();
}

platform::WriterStatus FfmpegAssetWriter::status() {
    std::lock_guard lock(core_->mutex);
    return core_->status;
}

std::optional<common::Error> FfmpegAssetWriter::error() {
    std::lock_guard lock(core_->mutex);
    return core_->error;
}

void FfmpegAssetWriter::fail(common::Error failure) {
    // A write error's own description ("No space left on device") says more than FFmpeg's.
    if (file_->failure()) failure = *file_->failure();
    std::lock_guard lock(core_->mutex);
    core_->failLocked(std::move(failure));
    for (const auto& track : tracks_) track.input->clearLocked();
}

void FfmpegAssetWriter::run() {
    std::vector<std::pair<Track*, std::shared_ptr<platform::SampleBuffer>>> batch;
    for (;;) {
        common::MediaTime sessionStart;
        std::optional<common::MediaTime> sessionEnd;
        bool finishing = false;
        batch.clear();
        {
            std::unique_lock lock(core_->mutex);
            core_->wake.wait(lock, [&] {
                return core_->abandoned || core_->finishing ||
                       std::any_of(tracks_.begin(), tracks_.end(), [](const Track& t) { return t.input->hasQueuedLocked(); });
            });
            if (core_->abandoned || core_->status != platform::WriterStatus::writing) return;
            // One frame per round, but all the sound that is queued: a frame costs an encode, sound
            // almost nothing, and sound comes in more buffers than there are frames (10 to 20 ms
            // each). Taking one of each per round would tie the sound to the encoder's pace; on a
            // machine where frames take most of a frame interval to encode, the sound would fall
            // behind until its queue overflowed and buffers were lost from the video file.
            for (auto& track : tracks_) {
                if (track.video) {
                    if (track.input->hasQueuedLocked()) batch.emplace_back(&track, track.input->popLocked());
                    continue;
                }
                while (track.input->hasQueuedLocked()) batch.emplace_back(&track, track.input->popLocked());
            }
            sessionStart = core_->sessionStart;
            sessionEnd = core_->sessionEnd;
            finishing = core_->finishing && batch.empty();
        }
        // Tracks count from the session start; so does the end.
        if (sessionEnd) sessionEnd = *sessionEnd - sessionStart;
        if (finishing) {
            if (auto failed = finishFile(sessionEnd)) {
                fail(std::move(*failed));
            } else {
                std::lock_guard lock(core_->mutex);
                core_->status = platform::WriterStatus::completed;
            }
            return;
        }
        for (auto& [track, sample] : batch) {
            auto failed = encode(*track, *sample, sessionStart, sessionEnd);
            sample.reset();  // the pixels or samples are encoded: the source may reuse them
            if (!failed) failed = releaseAudio();
            if (!failed) {
                // The header's length follows each new fragment and reaches the disk with it.
                common::Status followed;
                file_->syncIfDue(kSyncInterval, [&] {
                    followed = movie_.follow();
                    if (!followed) followed = movie_.updateHeader();
                });
                failed = file_->failure() ? file_->failure() : followed;
            }
            if (failed) {
                fail(std::move(*failed));
                return;
            }
        }
    }
}

common::Status FfmpegAssetWriter::encode(Track& track, const platform::SampleBuffer& sample,
                                         const common::MediaTime& sessionStart,
                                         const std::optional<common::MediaTime>& sessionEnd) {
    const common::MediaTime time = sample.presentationTimeStamp() - sessionStart;
    if (track.video) return track.video->encode(sample, time, sessionEnd);
    return track.audio->append(*sample.audioData(), time, sessionEnd);
}

common::Status FfmpegAssetWriter::releaseAudio() {
    // With a picture track, the session ends no earlier than the latest frame; audio up to that
    // point is certain to stay and goes to the file now, the rest waits for the session end.
    double horizon = std::numeric_limits<double>::infinity();
    for (const auto& track : tracks_) {
        if (track.video) horizon = track.video->latestFrameSeconds().value_or(0);
    }
    for (auto& track : tracks_) {
        if (!track.audio) continue;
        if (auto failed = track.audio->release(horizon)) return failed;
    }
    return std::nullopt;
}

common::Status FfmpegAssetWriter::finishFile(const std::optional<common::MediaTime>& sessionEnd) {
    for (auto& track : tracks_) {
        auto failed = track.video ? track.video->finish(sessionEnd) : track.audio->finish(sessionEnd);
        if (failed) return failed;
    }
    // The trailer only writes the last fragment; the complete header follows it.
    if (const int result = av_write_trailer(muxer_.get()); result < 0) {
        if (file_->failure()) return *file_->failure();
        return writerError("cannot finish " + file_->path(), result);
    }
    if (auto failed = movie_.finish()) return failed;
    return file_->check();
}

}  // namespace recorder::linux_backend
