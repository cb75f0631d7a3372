#pragma once

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>

#include "common/error.hpp"
#include "common/media_time.hpp"
#include "recorder/platform/media_writer.hpp"

namespace recorder::linux_backend {

// What a writer shares with its inputs: one lock guards the status, the session bounds and
// every input's queue, so readiness and appends see one consistent state.
struct WriterCore {
    std::mutex mutex;
    std::condition_variable wake;  // the encoding thread waits here for samples or for the end
    platform::WriterStatus status = platform::WriterStatus::unknown;
    std::optional<common::Error> error;
    common::MediaTime sessionStart = common::MediaTime::zero();
    std::optional<common::MediaTime> sessionEnd;
    bool finishing = false;  // finishWriting asked the thread to drain and close
    bool abandoned = false;  // the writer is being destroyed unfinished

    // Under `mutex`: the first failure wins; later ones are consequences of it.
    void failLocked(common::Error failure) {
        if (status != platform::WriterStatus::writing) return;
        status = platform::WriterStatus::failed;
        error = std::move(failure);
    }
};

}  // namespace recorder::linux_backend
