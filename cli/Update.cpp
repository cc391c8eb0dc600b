#include "cli/Update.h"

#include "cli/InterruptScope.h"
#include "cli/ProgressPrinter.h"
#include "cli/WorkerStream.h"
#include "flash/BoardReset.h"
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

ExitStatus statusOf(UpdateOutcome outcome) {
    switch (outcome) {
    case UpdateOutcome::succeeded:
        return exitSuccess;
    case UpdateOutcome::aborted:
        return exitUpdateFailed;
    case UpdateOutcome::fatal:
        break;
    }
    return exitFatal;
}

void send(const WorkerEvent& event) {
    print(stdout, formatEvent(event));
}

void send(WorkerEvent::Kind kind, std::uint32_t number) {
    send(WorkerEvent{kind, number, {}});
}

// A worker's progress, with what the update has learnt of the board by then: the
// supervisor keeps it even if the worker ends without a word.
class WorkerProgress : public ProgressSink {
public:
    void follow(const IspFlasher* updating) { flasher = updating; }

    void setProgress(int percent) override {
        sendFacts();
        send(WorkerEvent::Kind::progress, static_cast<std::uint32_t>(percent));
    }
    void setVerifyProgress(int percent) override {
        send(WorkerEvent::Kind::verify, static_cast<std::uint32_t>(percent));
    }
    void boardAnswered() override { send(WorkerEvent{WorkerEvent::Kind::answered, 0, {}}); }

    void sendFacts() {
        if (flasher == nullptr) {
            return;
        }
        const UpdateFacts& facts = flasher->facts();
        if (facts.partId != 0 && !partSent) {
            send(WorkerEvent::Kind::part, facts.partId);
            if (facts.bootCode) {
                send(WorkerEvent{WorkerEvent::Kind::bootCode, 0, *facts.bootCode});
            }
            partSent = true;
        }
        if (facts.bytesWritten != written) {
            written = facts.bytesWritten;
            send(WorkerEvent::Kind::written, written);
        }
        if (facts.bytesVerified != 0) {
            send(WorkerEvent::Kind::verified, facts.bytesVerified);
        }
    }

private:
    const IspFlasher* flasher = nullptr;
    bool partSent = false;
    std::uint32_t written = 0;
};

// The update, noting a port that cannot reset the board: a usage error, not a failure.
void programNoting(IspFlasher& flasher, ProgressSink& progress, const std::string& portName,
                   bool highSpeed, const UpdateOptions& options, bool& noModemLines) {
    try {
        flasher.program(progress, portName, highSpeed, options);
    } catch (const ResetUnavailable&) {
        noModemLines = true;
        throw;
    }
}

} // namespace

ExitStatus runWorkerUpdate(const std::string& portName, bool highSpeed,
                           const UpdateOptions& options) {
    WorkerProgress progress;
    MessageBoxHook previous = setMessageBoxHook([](std::string_view text) {
        send(WorkerEvent{WorkerEvent::Kind::message, 0, std::string(text)});
    });
    std::optional<ReadBackRange> verified;
    bool noModemLines = false;
    const UpdateOutcome outcome = sparwick::runUpdate([&] {
        InterruptScope interrupts;
        IspFlasher flasher;
        progress.follow(&flasher);
        // However the update ends, what it learnt goes out before the flasher does.
        struct Farewell {
            WorkerProgress& progress;
            ~Farewell() {
                progress.sendFacts();
                progress.follow(nullptr);
            }
        } farewell{progress};
        programNoting(flasher, progress, portName, highSpeed, options, noModemLines);
        verified = flasher.verifiedRange();
    });
    setMessageBoxHook(std::move(previous));
    if (verified) {
        send(WorkerEvent{WorkerEvent::Kind::message, 0, verified->summary()});
    }
    return noModemLines ? exitUsage : statusOf(outcome);
}

ExitStatus runUpdate(const std::string& portName, bool highSpeed, const UpdateOptions& options) {
    ProgressPrinter progress(stdout);
    MessageBoxHook previous = setMessageBoxHook([&progress](std::string_view text) {
        progress.finishLine();
        print(text == msg::success ? stdout : stderr, text);
    });
    std::optional<ReadBackRange> verified;
    bool noModemLines = false;
    const UpdateOutcome outcome = sparwick::runUpdate([&] {
        // An interruption ends the process while the flasher lives; once it is gone the
        // port is closed and the image freed, before the outcome is known.
        InterruptScope interrupts;
        IspFlasher flasher;
        programNoting(flasher, progress, portName, highSpeed, options, noModemLines);
        verified = flasher.verifiedRange();
    });
    setMessageBoxHook(std::move(previous));
    if (verified) {
        // After the success message, so that a log shows what was checked.
        print(stdout, verified->summary());
    }
    if (noModemLines) {
        return exitUsage;
    }
    if (outcome != UpdateOutcome::succeeded && options.reset) {
        print(stderr, msg::resetRecovery);
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
