// The supervisor of a production line's run, as on every system. A worker is a process,
// so nothing it does, hangs or crashes on can reach another port's board.
#include "cli/LineSupervisor.h"

#include "cli/WorkerStream.h"

#include <algorithm>
#include <csignal>
#include <system_error>

namespace sparwick::cli {
namespace {

using namespace std::chrono_literals;

// After a second interruption, the workers get this long to end before they are killed.
constexpr auto killBound = 3s;

} // namespace

LineSupervisor::LineSupervisor(const ProductionLineRun& choices, bool terminal)
    : run(choices)
    , model(choices.ports, choices.station, choices.count, choices.check)
    , printer(terminal)
    , workers(choices.ports.size()) {}

std::optional<int> LineSupervisor::prepare() {
    if (run.options.reset) {
        record.resetThrough(run.options.reset->text());
    }
    return record.open(run.logPath);
}

void LineSupervisor::startWorkers() {
    for (std::size_t i = 0; i < workers.size(); ++i) {
        launch(i);
    }
}

std::vector<std::string> LineSupervisor::workerArguments(const std::string& port) const {
    std::vector<std::string> args{run.program, "--worker", "--port", port};
    if (run.check) {
        args.emplace_back("--check");
    }
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

void LineSupervisor::launch(std::size_t index) {
    const std::string& name = model.port(index).name;
    Worker& worker = workers[index];
    worker.outPending.clear();
    worker.errPending.clear();
    worker.settings.take(LineRecord::deviceOf(name));
    try {
        worker.process = std::make_unique<WorkerProcess>(workerArguments(name));
        model.launched(index, Clock::now());
    } catch (const std::system_error& error) {
        model.launchFailed(index, Clock::now());
        printer.show(model, model.port(index),
                     std::string("cannot start a worker: ") + error.what(), stderr, Clock::now());
    }
}

bool LineSupervisor::running() const {
    return model.running();
}

void LineSupervisor::forEachWorker(const std::function<void(const WorkerProcess&)>& visit) const {
    for (const Worker& worker : workers) {
        if (worker.process) {
            visit(*worker.process);
        }
    }
}

std::chrono::milliseconds LineSupervisor::waitTime() const {
    // A worker that has closed its pipes but not yet been reaped is looked at again soon.
    for (const Worker& worker : workers) {
        if (worker.process && !worker.process->open(WorkerProcess::Stream::output) &&
            !worker.process->open(WorkerProcess::Stream::errors)) {
            return 10ms;
        }
    }
    auto timeout =
        printer.onTerminal() ? std::chrono::milliseconds(LinePrinter::redrawInterval) : 1000ms;
    const auto now = Clock::now();
    for (const auto& at : {model.nextRestart(), killAt}) {
        if (at) {
            timeout = std::min(timeout, std::chrono::ceil<std::chrono::milliseconds>(
                                            std::max(*at - now, Clock::duration{})));
        }
    }
    return timeout;
}

void LineSupervisor::interrupt(int signal) {
    const bool again = model.interrupt(signal);
    // Each worker releases its port as a single update does; a second signal ends the
    // workers still cleaning up, as it would end a single update, and wakes a stopped one,
    // which the signal then ends.
    for (Worker& worker : workers) {
        if (worker.process) {
            worker.process->signal(signal);
            if (again) {
                worker.process->resume();
            }
        }
    }
    if (again && !killAt && std::any_of(workers.begin(), workers.end(), [](const Worker& w) {
            return w.process != nullptr;
        })) {
        printer.say(model,
                    "ending the workers; those still running in " +
                        std::to_string(killBound.count()) + " s are killed",
                    Clock::now());
        killAt = Clock::now() + killBound;
    }
}

void LineSupervisor::killLeftWorkers() {
    for (std::size_t i = 0; i < workers.size(); ++i) {
        if (workers[i].process && !workers[i].process->exitStatus()) {
            printer.show(model, model.port(i), "the worker did not end; killed", stderr,
                         Clock::now());
            workers[i].process->kill();
        }
    }
}

void LineSupervisor::stop(const std::vector<std::size_t>& ports) {
    for (const std::size_t index : ports) {
        if (workers[index].process) {
            workers[index].process->signal(SIGTERM);
        }
    }
}

void LineSupervisor::step() {
    if (killAt && Clock::now() >= *killAt) {
        killLeftWorkers();
        killAt.reset();
    }
    for (std::size_t i = 0; i < workers.size(); ++i) {
        serve(i);
    }
    for (const std::size_t index : model.dueForRestart(Clock::now())) {
        launch(index);
    }
    printer.redraw(model, Clock::now(), !running());
}

void LineSupervisor::serve(std::size_t index) {
    Worker& worker = workers[index];
    if (!worker.process) {
        return;
    }
    drain(index, WorkerProcess::Stream::output);
    drain(index, WorkerProcess::Stream::errors);
    if (worker.process->open(WorkerProcess::Stream::output) ||
        worker.process->open(WorkerProcess::Stream::errors)) {
        return;
    }
    if (const auto status = worker.process->exitStatus()) {
        const LineModel::WorkerEnd end{*status, worker.process->killedBySignal(),
                                       worker.process->howKilled()};
        worker.process.reset();
        ended(index, end);
    }
}

void LineSupervisor::drain(std::size_t index, WorkerProcess::Stream stream) {
    Worker& worker = workers[index];
    if (!worker.process->open(stream)) {
        return;
    }
    const bool events = stream == WorkerProcess::Stream::output;
    std::string& pending = events ? worker.outPending : worker.errPending;
    const bool more = worker.process->read(stream, pending);
    for (std::size_t end = pending.find('\n'); end != std::string::npos; end = pending.find('\n')) {
        std::string text = pending.substr(0, end);
        pending.erase(0, end + 1);
        // A Windows worker's standard streams end their lines with CR LF.
        if (text.ends_with('\r')) {
            text.pop_back();
        }
        line(index, text, events);
    }
    if (!more && !pending.empty()) {
        line(index, pending, events);
        pending.clear();
    }
}

void LineSupervisor::line(std::size_t index, const std::string& text, bool events) {
    const auto event = events ? parseEvent(text) : std::nullopt;
    const auto now = Clock::now();
    if (!event) {
        model.strayLine(index, text);
        // A station's port without a board says why only once, when its worker ends.
        if (model.port(index).boardOn) {
            printer.show(model, model.port(index), text, stderr, now);
        }
        return;
    }
    stop(model.event(index, *event, now));
    const LineModel::Port& port = model.port(index);
    using Kind = WorkerEvent::Kind;
    if (event->kind == Kind::answered) {
        printer.show(model, port, "a board answered", stdout, now);
    } else if (event->kind == Kind::progress || event->kind == Kind::verify) {
        printer.progressLine(port, event->kind == Kind::progress ? "progress"
                                   : model.checking()            ? "check"
                                                                 : "verify");
    } else if (port.boardOn && event->kind == Kind::outcome && !event->outcome.message.empty()) {
        printer.show(model, port, event->outcome.message, event->outcome.passed() ? stdout : stderr,
                     now);
    } else if (port.boardOn && event->kind == Kind::message) {
        printer.show(model, port, event->text, stdout, now);
    }
}

void LineSupervisor::ended(std::size_t index, const LineModel::WorkerEnd& end) {
    const auto now = Clock::now();
    const LineModel::Ending ending = model.ended(index, end, now);
    const LineModel::Port& port = model.port(index);
    if (ending.settingsToRestore) {
        workers[index].settings.restore(LineRecord::deviceOf(port.name));
    }
    if (!ending.notice.empty()) {
        printer.show(model, port, ending.notice, stderr, now);
    }
    if (!ending.counted) {
        return;
    }
    // The record first: a board reported as done is on the disk.
    if (!record.write(model, port, now, std::chrono::system_clock::now()).empty()) {
        stop(model.recordFailed());
    }
    if (run.station) {
        printer.boardLine(model, port, now);
    }
}

int LineSupervisor::finish() {
    printer.summary(model);
    return model.exitStatus();
}

} // namespace sparwick::cli
