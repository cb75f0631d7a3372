#pragma once

#include <map>
#include <memory>
#include <string>

#include "common/error.hpp"
#include "recorder/platform/media_writer.hpp"

struct AVCodecContext;

namespace recorder::linux_backend {

// The compression our settings assistant proposes for screen recordings of this size (keys as
// below).
std::map<std::string, std::string> screenRecordingCompression(int width, int height);

// Applies a compression map to an H.264 (libx264) encoder before it is opened. Known keys:
// "preset", "tune", "profile", "crf", "bitrate" (bits per second), "keyint" (most frames between
// keyframes), "bframes", "threads", "x264-params". An unknown key or value is an error, so a
// typing mistake in settings never silently records at some other quality.
common::Status applyH264Compression(AVCodecContext* context, const std::map<std::string, std::string>& compression);

// Our stand-in for the platform's settings assistant: H.264 at the source size for the one
// preset the recorder asks for.
std::shared_ptr<platform::OutputSettingsAssistant> makeH264SettingsAssistant(const std::string& preset);

}  // namespace recorder::linux_backend
