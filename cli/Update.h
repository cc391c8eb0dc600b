#pragma once

#include "flash/UpdateOptions.h"

#include <cstdint>
#include <cstdio>
#include <string>

namespace sparwick::cli {

// How a command-line run ends, as its exit status.
enum ExitStatus : int {
    exitSuccess = 0,
    exitUpdateFailed = 1, // the update ended with one of its failure messages
    exitUsage = 2,
    exitFatal = 3, // "Fatal Error. Contract Norvane for assistance."
};

// Runs one update of the device on portName, exactly as the dialog's button does: the
// engine's own messages (success on standard output, failures on standard error) and
// its progress on standard output.
ExitStatus runUpdate(const std::string& portName, bool highSpeed,
                     const UpdateOptions& options = {});

// The same update run by a supervisor's worker: nothing for a person to read, only the
// events of WorkerStream on standard output (progress, the messages, what it learnt of the
// board). Interruptions end it as they end runUpdate.
ExitStatus runWorkerUpdate(const std::string& portName, bool highSpeed,
                           const UpdateOptions& options);

// Runs the same update against a simulated device of this part in-process, then reads
// the device's flash back and says whether every byte is the image's.
ExitStatus runSimulatedUpdate(std::uint32_t partId, bool highSpeed,
                              const UpdateOptions& options = {});

// One line per COM port present: its name and the device it stands for.
void printPortList(std::FILE* out);

} // namespace sparwick::cli
