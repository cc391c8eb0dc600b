#include "cli/Check.h"

#include "cli/InterruptScope.h"
#include "cli/ProgressPrinter.h"
#include "flash/IspFlasher.h"
#include "flash/UpdateOutcome.h"
#include "platform/MessageBox.h"

#include <cstdio>
#include <vector>

namespace sparwick::cli {

ExitStatus runCheck(const std::string& portName, bool highSpeed, const UpdateOptions& options) {
    ProgressPrinter progress(stdout);
    MessageBoxHook previous = setMessageBoxHook([&progress](std::string_view text) {
        progress.finishLine();
        std::fprintf(stderr, "%.*s\n", static_cast<int>(text.size()), text.data());
        std::fflush(stderr);
    });
    std::vector<std::uint32_t> differing;
    const UpdateOutcome outcome = sparwick::runUpdate([&] {
        InterruptScope interrupts;
        IspFlasher flasher;
        differing = flasher.check(progress, portName, highSpeed, options);
    });
    setMessageBoxHook(std::move(previous));
    progress.finishLine();
    if (outcome == UpdateOutcome::fatal) {
        return exitFatal;
    }
    if (outcome != UpdateOutcome::succeeded) {
        return exitUpdateFailed;
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
