#pragma once

#include "cli/WorkerStream.h"
#include "flash/ProgressSink.h"

#include <cstdint>
#include <string>

namespace sparwick {
class IspFlasher;
}

namespace sparwick::cli {

// One event to the supervisor, a line of its own on standard output, flushed at once. Like
// the progress, a line that cannot be written is let go.
void sendEvent(const WorkerEvent& event);
void sendEvent(WorkerEvent::Kind kind, std::uint32_t number, std::string text = {});

// A worker's progress, with what the update has learnt of the board by then: the
// supervisor keeps it even if the worker ends without a word.
class WorkerProgress : public ProgressSink {
public:
    void follow(const IspFlasher* updating) { flasher = updating; }

    void setProgress(int percent) override;
    void setVerifyProgress(int percent) override;
    void boardAnswered() override;
    void stepBegun(UpdateStep step) override;

    void sendFacts();

private:
    const IspFlasher* flasher = nullptr;
    bool partSent = false;
    std::uint32_t written = 0;
};

// While it lives, progress sends what flasher learns (nothing without a flasher); however
// the run ends, what it learnt goes out before the flasher does.
class FactsFollowed {
public:
    FactsFollowed(WorkerProgress& events, const IspFlasher* flasher)
        : progress(events) {
        progress.follow(flasher);
    }
    ~FactsFollowed() {
        progress.sendFacts();
        progress.follow(nullptr);
    }
    FactsFollowed(const FactsFollowed&) = delete;
    FactsFollowed& operator=(const FactsFollowed&) = delete;

private:
    WorkerProgress& progress;
};

} // namespace sparwick::cli
