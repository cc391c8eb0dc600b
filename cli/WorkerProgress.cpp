#include "cli/WorkerProgress.h"

#include "flash/IspFlasher.h"

#include <cstdio>

namespace sparwick::cli {

void sendEvent(const WorkerEvent& event) {
    const std::string line = formatEvent(event) + "\n";
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
}

void sendEvent(WorkerEvent::Kind kind, std::uint32_t number, std::string text) {
    WorkerEvent event;
    event.kind = kind;
    event.number = number;
    event.text = std::move(text);
    sendEvent(event);
}

void WorkerProgress::setProgress(int percent) {
    sendFacts();
    sendEvent(WorkerEvent::Kind::progress, static_cast<std::uint32_t>(percent));
}

void WorkerProgress::setVerifyProgress(int percent) {
    sendEvent(WorkerEvent::Kind::verify, static_cast<std::uint32_t>(percent));
}

void WorkerProgress::boardAnswered() {
    sendEvent(WorkerEvent::Kind::answered, 0);
}

void WorkerProgress::stepBegun(UpdateStep step) {
    sendEvent(WorkerEvent::Kind::step, 0, std::string(wordOf(step)));
}

void WorkerProgress::sendFacts() {
    if (flasher == nullptr) {
        return;
    }
    const UpdateFacts& facts = flasher->facts();
    if (facts.partId != 0 && !partSent) {
        sendEvent(WorkerEvent::Kind::part, facts.partId);
        if (facts.bootCode) {
            sendEvent(WorkerEvent::Kind::bootCode, 0, *facts.bootCode);
        }
        partSent = true;
    }
    if (facts.bytesWritten != written) {
        written = facts.bytesWritten;
        sendEvent(WorkerEvent::Kind::written, written);
    }
    if (facts.bytesVerified != 0) {
        sendEvent(WorkerEvent::Kind::verified, facts.bytesVerified);
    }
}

} // namespace sparwick::cli
