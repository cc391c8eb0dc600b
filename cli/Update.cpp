#include "cli/Update.h"

#include "cli/InterruptScope.h"
#include "cli/ProgressPrinter.h"
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

} // namespace

ExitStatus runUpdate(const std::string& portName, bool highSpeed, const UpdateOptions& options) {
    ProgressPrinter progress(stdout);
    MessageBoxHook previous = setMessageBoxHook([&progress](std::string_view text) {
        progress.finishLine();
        print(text == msg::success ? stdout : stderr, text);
    });
    std::optional<ReadBackRange> verified;
    const UpdateOutcome outcome = sparwick::runUpdate([&] {
        // An interruption ends the process while the flasher lives; once it is gone the
        // port is closed and the image freed, before the outcome is known.
        InterruptScope interrupts;
        IspFlasher flasher;
        flasher.program(progress, portName, highSpeed, options);
        verified = flasher.verifiedRange();
    });
    setMessageBoxHook(std::move(previous));
    if (verified) {
        // After the success message, so that a log shows what was checked.
        print(stdout, verified->summary());
    }
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

void printPortList(std::FILE* out) {
    for (const std::string& name : ComPortList::instance().ports()) {
        std::fprintf(out, "%-7s %s\n", name.c_str(), devicePath(name).c_str());
    }
    std::fflush(out);
}

} // namespace sparwick::cli
