#include "recorder/engine/screen_capture_recorder.hpp"

namespace recorder {

bool ScreenCaptureRecorder::appendCroppedVideoFrame(const std::shared_ptr<platform::SampleBuffer>& sample,
                                                    const common::MediaTime& time) {
    if (!windowCropRect) return false;
    if (!videoPixelBufferAdaptor) return false;
    const auto pool = videoPixelBufferAdaptor->pixelBufferPool();
    if (!pool) return false;
    const auto& source = sample->imageBuffer();
    if (!source) return false;
    auto destination = pool->createPixelBuffer();
    if (!destination || !destination.value()) return false;

    const double sourceWidth = source->width();
    const double sourceHeight = source->height();
    const common::Rect& r = *windowCropRect;
    // Image coordinates have their origin at the bottom left, so the top-left crop turns upside down.
    const platform::ImageRect crop{r.minX() * sourceWidth, (1.0 - r.maxY()) * sourceHeight, r.width * sourceWidth,
                                   r.height * sourceHeight};
    // An empty crop has no scale factor; the frame is dropped rather than rendered from nothing.
    if (!(crop.width > 0) || !(crop.height > 0)) return false;

    imageContext->renderCrop(*source, crop, *destination.value());

    const bool appended = videoPixelBufferAdaptor->appendPixelBuffer(destination.value(), time);
    if (appended) lastCroppedPixelBuffer = destination.value();
    return appended;
}

}  // namespace recorder
