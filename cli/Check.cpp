#include "cli/Check.h"

#include "cli/InterruptScope.h"
#include "cli/ProgressPrinter.h"
#include "flash/IspFlasher.h"
#include "flash/UpdateOutcome.h"
#include "platform/MessageBox.h"

#include <cstdio>
#include <optional>
#include <vector>

namespace sparwick::cli {

ExitStatus runCheck(const std::string& portName, bool highSpeed, const UpdateOptions& options) {
    ProgressPrinter progress(stdout);
    // The messages are told from the outcome once the port is closed.
    MessageBoxHook previous = setMessageBoxHook([](std::string_view) {});
    std::vector<std::uint32_t> differing;
    std::optional<InterruptScope> interrupts(std::in_place);
    const UpdateOutcome outcome = sparwick::runUpdate([&](IspFlasher& flasher) {
        differing = flasher.check(progress, portName, highSpeed, options);
    });
    interrupts.reset();
    setMessageBoxHook(std::move(previous));
    progress.finishLine();
    if (!outcome.passed()) {
        std::fprintf(stderr, "%s\n", outcome.message.c_str());
        std::fflush(stderr);
        return outcome.end == UpdateEnd::failed ? exitUpdateFailed : exitFatal;
    }
    if (differing.empty()) {
        std::printf("current: the device already holds this firmware\n");
        std::fflush(stdout);
        return exitSuccess;
    }
    std::printf("differs: %zu blocks of 4096 bytes at", differing.size());
    for (const std::uint32_t offset : differing) {
        std::printf(" 0x%05X", static_cast<unsigned>(offset));
    }
    std::printf("\n");
    std::fflush(stdout);
    return exitUpdateFailed;
}

} // namespace sparwick::cli
