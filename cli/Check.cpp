#include "cli/Check.h"

#include "cli/InterruptScope.h"
#include "cli/ProgressPrinter.h"
#include "cli/WorkerProgress.h"
#include "flash/IspFlasher.h"
#include "flash/UpdateOutcome.h"

#include <cstdio>

namespace sparwick::cli {

std::string checkFinding(const std::vector<std::uint32_t>& differing) {
    if (differing.empty()) {
        return "current: the device already holds this firmware";
    }
    std::string line = "differs: " + std::to_string(differing.size()) + " blocks of 4096 bytes at";
    for (const std::uint32_t offset : differing) {
        char text[16];
        std::snprintf(text, sizeof text, " 0x%05X", static_cast<unsigned>(offset));
        line += text;
    }
    return line;
}

ExitStatus runCheck(const std::string& portName, bool highSpeed, const UpdateOptions& options,
                    UpdateAudience audience) {
    const bool worker = audience == UpdateAudience::supervisor;
    ProgressPrinter bar(stdout);
    std::vector<std::uint32_t> differing;
    UpdateOutcome outcome = runFlasherJob(
        audience, bar, checkInterruptedMessage, [&](IspFlasher& flasher, ProgressSink& progress) {
            differing = flasher.check(progress, portName, highSpeed, options);
        });
    if (outcome.passed()) {
        outcome.message = checkFinding(differing);
    }
    if (worker) {
        if (outcome.passed()) {
            WorkerEvent found;
            found.kind = WorkerEvent::Kind::checked;
            found.blocks = differing;
            sendEvent(found);
        }
        sendEvent(outcomeEvent(outcome));
    } else {
        bar.finishLine();
        std::FILE* stream = outcome.passed() ? stdout : stderr;
        std::fprintf(stream, "%s\n", outcome.message.c_str());
        std::fflush(stream);
    }
    if (!outcome.passed()) {
        return outcome.end == UpdateEnd::failed ? exitUpdateFailed : exitFatal;
    }
    return differing.empty() ? exitSuccess : exitUpdateFailed;
}

} // namespace sparwick::cli
