#include "cli/Update.h"

#include "cli/InterruptScope.h"
#include "cli/ProgressPrinter.h"
#include "cli/WorkerProgress.h"
#include "flash/IspFlasher.h"
#include "flash/UpdateMessages.h"
#include "flash/UpdateOutcome.h"
#include "platform/MessageBox.h"
#include "serial/ComPortList.h"
#include "serial/DeviceNames.h"

#include <cstdio>
#include <optional>

namespace sparwick::cli {
namespace {

// Like the progress, a message that cannot be written is let go: it never ends or changes
// the update.
void print(std::FILE* stream, std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stream);
    std::fputc('\n', stream);
    std::fflush(stream);
}

ExitStatus statusOf(const UpdateOutcome& outcome) {
    switch (outcome.end) {
    case UpdateEnd::passed:
        return exitSuccess;
    case UpdateEnd::failed:
        return exitUpdateFailed;
    case UpdateEnd::refused:
        return exitUsage;
    case UpdateEnd::fatal:
    case UpdateEnd::interrupted:
        break;
    }
    return exitFatal;
}

} // namespace

UpdateOutcome runFlasherJob(UpdateAudience audience, ProgressPrinter& bar,
                            std::string_view interruptionMessage,
                            const std::function<void(IspFlasher&, ProgressSink&)>& job) {
    const bool worker = audience == UpdateAudience::supervisor;
    WorkerProgress events;
    ProgressSink& progress = worker ? static_cast<ProgressSink&>(events) : bar;
    MessageBoxHook previous = setMessageBoxHook([](std::string_view) {});
    // An interruption ends the process while the flasher lives, and until the outcome is
    // out of its hands.
    std::optional<InterruptScope> interrupts(std::in_place, interruptionMessage);
    UpdateOutcome outcome = sparwick::runUpdate([&](IspFlasher& flasher) {
        const FactsFollowed followed(events, worker ? &flasher : nullptr);
        job(flasher, progress);
    });
    interrupts.reset();
    setMessageBoxHook(std::move(previous));
    return outcome;
}

ExitStatus runUpdate(const std::string& portName, bool highSpeed, const UpdateOptions& options,
                     UpdateAudience audience) {
    const bool worker = audience == UpdateAudience::supervisor;
    ProgressPrinter bar(stdout);
    const UpdateOutcome outcome = runFlasherJob(
        audience, bar, interruptedMessage, [&](IspFlasher& flasher, ProgressSink& progress) {
            flasher.program(progress, portName, highSpeed, options);
        });
    // After the message, so that a log shows what was checked.
    const std::string checked = outcome.verified ? outcome.verified->summary() : "";
    if (worker) {
        sendEvent(outcomeEvent(outcome));
        if (!checked.empty()) {
            sendEvent(WorkerEvent::Kind::message, 0, checked);
        }
    } else {
        bar.finishLine();
        if (!outcome.message.empty()) {
            print(outcome.passed() ? stdout : stderr, outcome.message);
        }
        // The lines were let go on the way out: the next run resets the board again.
        if (options.reset &&
            (outcome.end == UpdateEnd::failed || outcome.end == UpdateEnd::fatal)) {
            print(stderr, msg::resetRecovery);
        }
        if (!checked.empty()) {
            print(stdout, checked);
        }
    }
    return statusOf(outcome);
}

void printPortList(std::FILE* out) {
    for (const std::string& name : ComPortList::instance().ports()) {
        std::fprintf(out, "%-7s %s\n", name.c_str(), devicePath(name).c_str());
    }
    std::fflush(out);
}

} // namespace sparwick::cli
