#pragma once

#include "flash/ProgressSink.h"
#include "flash/UpdateOptions.h"
#include "flash/UpdateOutcome.h"

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <string_view>

namespace sparwick::cli {

// How a command-line run ends, as its exit status.
enum ExitStatus : int {
    exitSuccess = 0,
    exitUpdateFailed = 1, // the update ended with one of its failure messages
    exitUsage = 2,
    exitFatal = 3, // "Fatal Error. Contract Norvane for assistance."
};

// Who follows an update run from the command line.
enum class UpdateAudience {
    // A person: the engine's own messages (success on standard output, failures on
    // standard error) and its progress on standard output.
    person,
    // A supervisor, which runs this process as one of its workers: only the events of
    // WorkerStream on standard output (progress, what it learnt of the board, the outcome).
    supervisor,
};

class ProgressPrinter;

// Runs a job of the flasher (an update, a check) for a front end: its progress on bar for
// a person or as WorkerStream's events for a supervisor, the message boxes silenced (their
// messages are told from the outcome, once the port is closed and the image freed), and
// an interruption ending the process with interruptionMessage while the job runs.
UpdateOutcome runFlasherJob(UpdateAudience audience, ProgressPrinter& bar,
                            std::string_view interruptionMessage,
                            const std::function<void(IspFlasher&, ProgressSink&)>& job);

// Runs one update of the device on portName, exactly as the dialog's button does.
// Interruptions end it and the process, with the port released (InterruptScope).
ExitStatus runUpdate(const std::string& portName, bool highSpeed, const UpdateOptions& options = {},
                     UpdateAudience audience = UpdateAudience::person);

// Runs the same update against a simulated device of this part in-process, then reads
// the device's flash back and says whether every byte is the image's.
ExitStatus runSimulatedUpdate(std::uint32_t partId, bool highSpeed,
                              const UpdateOptions& options = {});

// One line per COM port present: its name and the device it stands for.
void printPortList(std::FILE* out);

} // namespace sparwick::cli
