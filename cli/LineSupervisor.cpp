// The supervisor of a production line's run, as on every system. A worker is a process,
// so nothing it does, hangs or crashes on can reach another port's board.
#include "cli/LineSupervisor.h"

#include "cli/BoardRecord.h"
#include "cli/InterruptScope.h"
#include "cli/Sha256.h"
#include "cli/Update.h"
#include "cli/WorkerStream.h"
#include "flash/CarriedImage.h"
#include "flash/FlashImage.h"
#include "flash/FlashLayout.h"
#include "flash/UpdateMessages.h"
#include "platform/UserAbort.h"
#include "serial/DeviceNames.h"

#include <SparwickVersion.h>
#include <algorithm>
#include <csignal>
#include <system_error>

namespace sparwick::cli {
namespace {

using namespace std::chrono_literals;

// A station's port whose worker ended without a board (the adapter is gone, the port
// busy) is tried again after this long.
constexpr auto retryPause = 2s;
// How often a terminal's lines are redrawn while nothing else happens: the elapsed time.
constexpr auto redrawInterval = 250ms;
constexpr int barWidth = 20;

std::string firstLine(const std::string& text) {
    return text.substr(0, text.find('\n'));
}

std::string minutes(double seconds) {
    const long whole = static_cast<long>(seconds);
    char text[32];
    std::snprintf(text, sizeof text, "%ld:%02ld", whole / 60, whole % 60);
    return text;
}

std::string partName(std::uint32_t partId) {
    for (const auto& part : layout::supportedParts) {
        if (part.partId == partId) {
            return std::string(part.name);
        }
    }
    return {};
}

} // namespace

LineSupervisor::LineSupervisor(const SupervisedRun& choices, bool onTerminal)
    : run(choices)
    , terminal(onTerminal) {
    for (const std::string& name : run.ports) {
        Port port;
        port.name = name;
        port.device = name.find('/') == std::string::npos ? devicePath(name) : name;
        ports.push_back(std::move(port));
    }
}

std::optional<int> LineSupervisor::prepare() {
    if (run.logPath.empty()) {
        return std::nullopt;
    }
    if (const std::string why = record.open(run.logPath); !why.empty()) {
        std::fprintf(stderr, "sparwick-cli: cannot write the record %s: %s\n", run.logPath.c_str(),
                     why.c_str());
        return exitUsage;
    }
    if (!fingerprintImage()) {
        return exitFatal;
    }
    host = hostName();
    return std::nullopt;
}

void LineSupervisor::startWorkers() {
    for (Port& port : ports) {
        launch(port);
    }
}

bool LineSupervisor::fingerprintImage() {
    CarriedImage carried;
    try {
        carried.load();
    } catch (const UserAbort&) {
        return false; // its message has been shown
    }
    imageSha256 = sha256Hex(FlashImage::patched(carried.bytes()));
    return true;
}

std::vector<std::string> LineSupervisor::workerArguments(const Port& port) const {
    std::vector<std::string> args{run.program, "--worker", "--port", port.name};
    if (run.options.baudRate) {
        args.insert(args.end(), {"--baud", std::to_string(*run.options.baudRate)});
    } else {
        args.insert(args.end(), {"--speed", run.highSpeed ? "high" : "low"});
    }
    if (run.options.fast) {
        args.emplace_back("--fast");
    }
    if (run.options.verify) {
        args.emplace_back("--verify");
    }
    if (run.options.turbo) {
        args.insert(args.end(), {"--turbo", "--baud", std::to_string(run.options.turboBaud)});
    }
    if (run.options.reset) {
        args.insert(args.end(), {"--reset", run.options.reset->text(), "--reset-hold",
                                 std::to_string(run.options.resetTimings.holdMs), "--reset-wait",
                                 std::to_string(run.options.resetTimings.waitMs)});
    }
    if (run.options.after) {
        args.insert(args.end(), {"--after", std::string(afterUpdateName(*run.options.after))});
    }
    if (run.station) {
        args.emplace_back("--await-board");
    }
    if (!run.logPath.empty()) {
        args.emplace_back("--boot-code");
    }
    return args;
}

void LineSupervisor::launch(Port& port) {
    port.restartAt.reset();
    port.phase = run.station ? Phase::waiting : Phase::starting;
    port.boardOn = !run.station;
    port.percent = 0;
    port.message.clear();
    port.stray.clear();
    port.partId = 0;
    port.bootCode.reset();
    port.written = 0;
    port.verified = 0;
    port.started = Clock::now();
    port.startedWall = std::chrono::system_clock::now();
    try {
        port.worker = std::make_unique<WorkerProcess>(workerArguments(port));
    } catch (const std::system_error& error) {
        show(port, std::string("cannot start a worker: ") + error.what(), stderr);
        port.restartAt = Clock::now() + retryPause;
        port.phase = Phase::ended;
        port.result = "not started";
        worst = std::max<int>(worst, exitFatal);
    }
}

bool LineSupervisor::anyWorker() const {
    return std::any_of(ports.begin(), ports.end(),
                       [](const Port& port) { return port.worker != nullptr; });
}

bool LineSupervisor::stationGoesOn() const {
    return run.station && !stopping;
}

bool LineSupervisor::running() const {
    return anyWorker() ||
           (stationGoesOn() && std::any_of(ports.begin(), ports.end(), [](const Port& port) {
                return port.restartAt.has_value();
            }));
}

void LineSupervisor::forEachWorker(const std::function<void(const WorkerProcess&)>& visit) const {
    for (const Port& port : ports) {
        if (port.worker) {
            visit(*port.worker);
        }
    }
}

std::chrono::milliseconds LineSupervisor::waitTime() const {
    // A worker that has closed its pipes but not yet been reaped is looked at again soon.
    for (const Port& port : ports) {
        if (port.worker && !port.worker->open(WorkerProcess::Stream::output) &&
            !port.worker->open(WorkerProcess::Stream::errors)) {
            return 10ms;
        }
    }
    auto timeout = terminal ? std::chrono::milliseconds(redrawInterval) : 1000ms;
    const auto now = Clock::now();
    for (const Port& port : ports) {
        if (port.restartAt) {
            timeout = std::min(timeout, std::chrono::ceil<std::chrono::milliseconds>(
                                            std::max(*port.restartAt - now, Clock::duration{})));
        }
    }
    return timeout;
}

void LineSupervisor::interrupt(int signal) {
    if (interruptedBy == 0) {
        interruptedBy = signal;
    }
    stopping = true;
    // Each worker releases its port as a single update does; a second signal ends the
    // workers still cleaning up, as it would end a single update.
    for (Port& port : ports) {
        if (port.worker) {
            port.worker->signal(signal);
        }
        port.restartAt.reset();
    }
}

void LineSupervisor::step() {
    for (Port& port : ports) {
        serve(port);
    }
    const auto now = Clock::now();
    for (Port& port : ports) {
        if (port.restartAt && *port.restartAt <= now && stationGoesOn()) {
            launch(port);
        }
    }
    redraw(!running());
}

// The ports still waiting for a board take none: they are stopped as an interruption
// would stop them, and nothing is counted for them.
void LineSupervisor::stopWaitingPorts() {
    stopping = true;
    for (Port& other : ports) {
        if (other.worker && !other.boardOn) {
            other.worker->signal(SIGTERM);
        }
        other.restartAt.reset();
    }
}

void LineSupervisor::serve(Port& port) {
    if (!port.worker) {
        return;
    }
    drain(port, WorkerProcess::Stream::output);
    drain(port, WorkerProcess::Stream::errors);
    if (!port.worker->open(WorkerProcess::Stream::output) &&
        !port.worker->open(WorkerProcess::Stream::errors)) {
        if (const auto status = port.worker->exitStatus()) {
            const bool bySignal = port.worker->killedBySignal();
            const std::string how = port.worker->howKilled();
            port.worker.reset();
            ended(port, *status, bySignal, how);
        }
    }
}

void LineSupervisor::drain(Port& port, WorkerProcess::Stream stream) {
    if (!port.worker->open(stream)) {
        return;
    }
    const bool events = stream == WorkerProcess::Stream::output;
    std::string& pending = events ? port.outPending : port.errPending;
    const bool more = port.worker->read(stream, pending);
    for (std::size_t end = pending.find('\n'); end != std::string::npos; end = pending.find('\n')) {
        std::string text = pending.substr(0, end);
        pending.erase(0, end + 1);
        // A Windows worker's standard streams end their lines with CR LF.
        if (text.ends_with('\r')) {
            text.pop_back();
        }
        line(port, text, events);
    }
    if (!more && !pending.empty()) {
        line(port, pending, events);
        pending.clear();
    }
}

void LineSupervisor::line(Port& port, const std::string& text, bool events) {
    const auto event = events ? parseEvent(text) : std::nullopt;
    if (!event) {
        if (port.stray.empty()) {
            port.stray = text;
        }
        // A station's port without a board says why only once, when its worker ends.
        if (port.boardOn) {
            show(port, text, stderr);
        }
        return;
    }
    using Kind = WorkerEvent::Kind;
    switch (event->kind) {
    case Kind::answered:
        boardAnswered(port);
        break;
    case Kind::progress:
        port.phase = Phase::writing;
        port.percent = static_cast<int>(event->number);
        progressLine(port, "progress");
        break;
    case Kind::verify:
        port.phase = Phase::verifying;
        port.percent = static_cast<int>(event->number);
        progressLine(port, "verify");
        break;
    case Kind::message:
        if (port.message.empty() || event->text.starts_with(msg::success) ||
            event->text.starts_with("Software upgrade failed.")) {
            port.message = event->text;
        }
        if (!port.boardOn) {
            break;
        }
        show(port, event->text,
             event->text.starts_with(msg::success) || event->text.starts_with("Verified ")
                 ? stdout
                 : stderr);
        break;
    case Kind::part:
        port.partId = event->number;
        break;
    case Kind::bootCode:
        port.bootCode = event->text;
        break;
    case Kind::written:
        port.written = event->number;
        break;
    case Kind::verified:
        port.verified = event->number;
        break;
    }
}

void LineSupervisor::boardAnswered(Port& port) {
    port.boardOn = true;
    port.phase = Phase::writing;
    port.started = Clock::now();
    port.startedWall = std::chrono::system_clock::now();
    port.lostShown = false;
    show(port, "a board answered", stdout);
    ++boardsStarted;
    if (run.count && boardsStarted >= *run.count) {
        // Enough boards are under way: the ports still waiting take no more.
        stopWaitingPorts();
    }
}

void LineSupervisor::progressLine(const Port& port, const char* word) {
    if (!terminal) {
        std::printf("%s: %s %d%%\n", port.name.c_str(), word, port.percent);
        std::fflush(stdout);
    }
}

void LineSupervisor::ended(Port& port, int status, bool bySignal, const std::string& howKilled) {
    port.phase = Phase::ended;
    if (!port.boardOn) {
        // A station's port that ended without a board: the worker was told to stop, or
        // the port could not be used. Tried again later; nothing is counted.
        if (stationGoesOn()) {
            if (!port.lostShown) {
                show(port,
                     "the port cannot be used now (" +
                         firstLine(port.message.empty() ? port.stray : port.message) +
                         "); trying again",
                     stderr);
                port.lostShown = true;
            }
            port.restartAt = Clock::now() + retryPause;
        }
        port.result = interruptedBy != 0 ? "interrupted" : "no board";
        return;
    }
    port.seconds = std::chrono::duration<double>(Clock::now() - port.started).count();
    port.result = resultOf(port, status, bySignal, howKilled);
    if (port.result == "passed") {
        ++port.passed;
        ++passed;
    } else if (port.result != "interrupted") {
        ++port.failed;
        ++failed;
    }
    // The record first: a board reported as done is on the disk.
    keepRecord(port);
    if (run.station) {
        show(port,
             port.result + " (" + std::to_string(port.passed) + " passed, " +
                 std::to_string(port.failed) + " failed here; " + std::to_string(passed) +
                 " passed, " + std::to_string(failed) + " failed in all)",
             stdout);
    }
    ++boardsDone;
    if (run.count && boardsDone >= *run.count) {
        stopping = true;
    }
    if (stationGoesOn()) {
        port.restartAt = Clock::now();
    }
}

std::string LineSupervisor::resultOf(Port& port, int status, bool bySignal,
                                     const std::string& howKilled) {
    if (bySignal || status > 128) {
        if (interruptedBy != 0 && (status == 128 + interruptedBy || !bySignal)) {
            port.message = std::string(interruptedMessage);
            return "interrupted";
        }
        // Not a signal of ours: the worker crashed or was killed.
        port.message = "the worker ended " +
                       (howKilled.empty() ? "with status " + std::to_string(status) : howKilled) +
                       " in the middle of the update; put the device into software "
                       "upgrade mode and run the update again.";
        show(port, port.message, stderr);
        worst = std::max<int>(worst, exitFatal);
        return "crashed";
    }
    if (port.message.empty()) {
        port.message = port.stray;
    }
    worst = std::max(worst, status);
    switch (status) {
    case exitSuccess:
        return "passed";
    case exitUpdateFailed:
        return "failed";
    case exitUsage:
        return "refused";
    default:
        return "fatal";
    }
}

void LineSupervisor::keepRecord(const Port& port) {
    if (run.logPath.empty() || recordBroken) {
        return;
    }
    BoardRecord entry;
    entry.time = port.startedWall;
    entry.host = host;
    entry.port = port.name;
    entry.device = port.device;
    entry.partId = port.partId;
    entry.partName = partName(port.partId);
    entry.bootCode = port.bootCode;
    entry.result = port.result;
    entry.message = port.message;
    entry.bytesWritten = port.written;
    entry.bytesVerified = port.verified;
    entry.seconds = port.seconds;
    entry.version = versionText;
    if (run.options.reset) {
        entry.reset = run.options.reset->text();
    }
    entry.imageSha256 = imageSha256;
    entry.portPassed = port.passed;
    entry.portFailed = port.failed;
    entry.passed = passed;
    entry.failed = failed;
    if (const std::string why = record.append(formatRecord(entry)); !why.empty()) {
        // The boards in flight finish; no new one starts without its record.
        std::fprintf(stderr, "sparwick-cli: cannot write the record %s: %s; stopping\n",
                     run.logPath.c_str(), why.c_str());
        recordBroken = true;
        stopWaitingPorts();
        worst = std::max<int>(worst, exitFatal);
    }
}

// A message of a port's board: every line prefixed with the port.
void LineSupervisor::show(const Port& port, const std::string& text, std::FILE* stream) {
    clearLiveLines();
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t end = std::min(text.find('\n', start), text.size());
        std::fprintf(stream, "%s: %s\n", port.name.c_str(),
                     text.substr(start, end - start).c_str());
        start = end + 1;
    }
    std::fflush(stream);
    redraw(true);
}

void LineSupervisor::clearLiveLines() {
    if (terminal && liveLines > 0) {
        std::printf("\x1b[%dA\r\x1b[J", liveLines);
        liveLines = 0;
        std::fflush(stdout);
    }
}

std::string LineSupervisor::liveLine(const Port& port) const {
    const char* phase = "";
    switch (port.phase) {
    case Phase::starting:
        phase = "starting";
        break;
    case Phase::waiting:
        phase = "waiting";
        break;
    case Phase::writing:
        phase = "writing";
        break;
    case Phase::verifying:
        phase = "verifying";
        break;
    case Phase::ended:
        phase = port.result.c_str();
        break;
    }
    std::string bar(static_cast<std::size_t>(std::clamp(port.percent, 0, 100) * barWidth / 100),
                    '#');
    bar.resize(barWidth, '.');
    const double seconds = port.phase == Phase::ended
                               ? port.seconds
                               : std::chrono::duration<double>(Clock::now() - port.started).count();
    char text[256];
    std::snprintf(text, sizeof text, "%-20s %-11s [%s] %3d%%  %s", port.name.c_str(), phase,
                  bar.c_str(), port.percent, minutes(seconds).c_str());
    std::string line = text;
    if (run.station) {
        line +=
            "  passed " + std::to_string(port.passed) + ", failed " + std::to_string(port.failed);
    }
    return line;
}

void LineSupervisor::redraw(bool now) {
    if (!terminal) {
        return;
    }
    const auto at = Clock::now();
    if (!now && at - lastRedraw < redrawInterval) {
        return;
    }
    lastRedraw = at;
    clearLiveLines();
    for (const Port& port : ports) {
        std::printf("%s\n", liveLine(port).c_str());
    }
    liveLines = static_cast<int>(ports.size());
    std::fflush(stdout);
}

int LineSupervisor::finish() {
    clearLiveLines();
    if (run.station) {
        std::printf("%-20s %7s %7s\n", "port", "passed", "failed");
        for (const Port& port : ports) {
            std::printf("%-20s %7u %7u\n", port.name.c_str(), port.passed, port.failed);
        }
        std::printf("%-20s %7u %7u\n", "all ports", passed, failed);
    } else {
        std::printf("%-20s %-11s %6s  %s\n", "port", "result", "time", "message");
        for (const Port& port : ports) {
            std::printf("%-20s %-11s %6s  %s\n", port.name.c_str(), port.result.c_str(),
                        minutes(port.seconds).c_str(), firstLine(port.message).c_str());
        }
    }
    std::vector<std::string> incomplete;
    for (const Port& port : ports) {
        if (port.result == "interrupted" && port.boardOn) {
            incomplete.push_back(port.name);
        }
    }
    if (!incomplete.empty()) {
        std::string list;
        for (const std::string& name : incomplete) {
            list += (list.empty() ? "" : ", ") + name;
        }
        std::printf("Left incomplete: %s\n", list.c_str());
    }
    std::fflush(stdout);
    if (interruptedBy != 0) {
        return 128 + interruptedBy;
    }
    return worst;
}

} // namespace sparwick::cli
