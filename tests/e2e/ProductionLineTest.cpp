// sparwick-cli on a production line: several boards at once, each through a worker process
// of its own; a station that waits for each board; the record of every board. Each case
// is a fault a line would meet: a board that fails, a worker that dies, Ctrl-C, the
// supervisor killed, a record that cannot be written, one port named twice.
#include "flash/IspFlasher.h"
#include "serial/DeviceNames.h"
#include "sim/SimulatedDevice.h"
#include "tests/e2e/UpdateRun.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/Eventually.h"
#include "tests/support/MessageRecorder.h"

#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <poll.h>
#include <sstream>
#include <sys/file.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace sparwick {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using test::ChildSetup;

const std::string cli = SPARWICK_CLI_PATH;
const std::string lpcsim = SPARWICK_LPCSIM_PATH;
constexpr std::size_t flashSize = 512000;

struct Scratch {
    Scratch() { fs::create_directories(dir); }
    ~Scratch() {
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    }
    fs::path dir = fs::temp_directory_path() /
                   ("sparwick-line-" + std::to_string(::getpid()) + "-" +
                    ::testing::UnitTest::GetInstance()->current_test_info()->name());
};

std::vector<std::string> lines(const std::string& path) {
    std::ifstream in(path);
    std::vector<std::string> all;
    for (std::string line; std::getline(in, line);) {
        all.push_back(line);
    }
    return all;
}

// The value of a field of a record line, as it stands in the JSON: "\"passed\"", "241092".
std::string field(const std::string& record, const std::string& name) {
    const std::string key = "\"" + name + "\":";
    const std::size_t at = record.find(key);
    if (at == std::string::npos) {
        return "<missing>";
    }
    const std::size_t start = at + key.size();
    std::size_t end = start;
    if (record[start] == '"') {
        end = record.find('"', start + 1) + 1;
    } else {
        end = record.find_first_of(",}", start);
    }
    return record.substr(start, end - start);
}

bool holdsImage(const std::vector<std::uint8_t>& flash) {
    return test::firstDifference(flash, test::expectedFlash(test::shippedImage(), flashSize)) == -1;
}

// Reads the supervisor's lines until one holds text; false when none does in time.
bool readUntil(test::ChildProcess& child, const std::string& text, std::string* seen = nullptr) {
    for (;;) {
        const std::string line = child.readLine(30s);
        if (line.empty()) {
            return false;
        }
        if (seen != nullptr) {
            *seen += line + "\n";
        }
        if (line.find(text) != std::string::npos) {
            return true;
        }
    }
}

// The worker the supervisor runs for port, by its command line.
pid_t workerOf(pid_t supervisor, const std::string& port) {
    for (const auto& entry : fs::directory_iterator("/proc")) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        std::ifstream stat(entry.path() / "stat");
        std::string text((std::istreambuf_iterator<char>(stat)), {});
        const std::size_t close = text.rfind(')');
        if (close == std::string::npos) {
            continue;
        }
        std::istringstream rest(text.substr(close + 2));
        char state = 0;
        pid_t parent = 0;
        rest >> state >> parent;
        std::ifstream cmdline(entry.path() / "cmdline");
        std::string args((std::istreambuf_iterator<char>(cmdline)), {});
        if (parent == supervisor && args.find(port) != std::string::npos) {
            return static_cast<pid_t>(std::stoi(name));
        }
    }
    return -1;
}

// The line settings of the terminal at path that an update changes, as text.
std::string lineSettings(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    termios settings{};
    ::tcgetattr(fd, &settings);
    ::close(fd);
    return std::to_string(settings.c_iflag) + " " + std::to_string(settings.c_oflag) + " " +
           std::to_string(settings.c_cflag) + " " + std::to_string(settings.c_lflag) + " " +
           std::to_string(::cfgetospeed(&settings));
}

TEST(ProductionLine, SeveralBoardsOfWhichOneFailsAreEachRecorded) {
    Scratch scratch;
    sim::SimulatedDevice good(sim::DeviceOptions{});
    sim::DeviceOptions failing;
    failing.faults.push_back(*sim::parseFaultRule("copy#3=status:9", nullptr));
    sim::SimulatedDevice bad(failing);
    const std::string record = (scratch.dir / "boards.jsonl").string();

    const auto run = test::runChild(
        {cli, "--port", good.path(), "--port", bad.path(), "--fast", "--log", record}, 60s);
    EXPECT_EQ(run.exitStatus, 1) << run.err;
    EXPECT_NE(run.out.find(good.path() + ": Software successfully upgraded!"), std::string::npos);
    EXPECT_NE(run.err.find(bad.path() + ": Software upgrade failed. Failed copy RAM to flash."),
              std::string::npos)
        << run.err;
    EXPECT_TRUE(holdsImage(good.flash()));
    EXPECT_TRUE(good.wentToUserCode());
    EXPECT_FALSE(bad.wentToUserCode());

    const auto entries = lines(record);
    ASSERT_EQ(entries.size(), 2u);
    for (const std::string& entry : entries) {
        const bool passed = field(entry, "port") == "\"" + good.path() + "\"";
        SCOPED_TRACE(entry);
        EXPECT_EQ(field(entry, "result"), passed ? "\"passed\"" : "\"failed\"");
        EXPECT_EQ(field(entry, "part_id"), "196389");
        EXPECT_EQ(field(entry, "part_name"), "\"LPC2138\"");
        EXPECT_EQ(field(entry, "boot_code"), "\"2.12\"");
        // Two blocks reached the flash before the third copy failed.
        EXPECT_EQ(field(entry, "bytes_written"), passed ? "241092" : "8192");
        EXPECT_EQ(field(entry, "image_sha256").size(), 66u);
    }
}

// Two boards checked at once, one holding the image and one blank: each port's line, the
// summary and the record say which, and neither board is written.
TEST(ProductionLine, ACheckOfTwoBoardsSaysWhichIsCurrentAndWhichDiffers) {
    Scratch scratch;
    sim::DeviceOptions holding;
    holding.flash = test::expectedFlash(test::shippedImage(), flashSize);
    sim::SimulatedDevice current(holding);
    sim::SimulatedDevice blank(sim::DeviceOptions{});
    const std::string record = (scratch.dir / "boards.jsonl").string();

    const auto run = test::runChild({cli, "--port", current.path(), "--port", blank.path(),
                                     "--check", "--turbo", "--log", record},
                                    60s);
    EXPECT_EQ(run.exitStatus, 1) << run.err;
    EXPECT_NE(run.out.find(current.path() + ": current: the device already holds this firmware"),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find(blank.path() + ": differs: 59 blocks of 4096 bytes at 0x00000 0x01000"),
              std::string::npos)
        << run.out;
    for (const auto* device : {&current, &blank}) {
        EXPECT_EQ(device->statistics().ramCodeCopies, 0u);
        EXPECT_EQ(device->statistics().ramCodeSectorsErased, 0u);
    }
    EXPECT_TRUE(holdsImage(current.flash()));

    const auto entries = lines(record);
    ASSERT_EQ(entries.size(), 2u);
    for (const std::string& entry : entries) {
        const bool holds = field(entry, "port") == "\"" + current.path() + "\"";
        SCOPED_TRACE(entry);
        EXPECT_EQ(field(entry, "result"), holds ? "\"current\"" : "\"differs\"");
        EXPECT_EQ(field(entry, "bytes_written"), "0");
        EXPECT_NE(entry.find(holds ? R"("differing":[]})" : R"("differing":[0,4096,8192,)"),
                  std::string::npos);
    }
    const std::string summary = run.out.substr(run.out.find("port                 result"));
    EXPECT_NE(summary.find(current.path() + " current"), std::string::npos) << summary;
    EXPECT_NE(summary.find(blank.path() + " differs"), std::string::npos) << summary;
}

TEST(ProductionLine, KilledWorkerAndCtrlCTouchNoOtherBoardAndLeaveThePortsUsable) {
    sim::SimulatedDevice first(sim::DeviceOptions{});
    sim::SimulatedDevice second(sim::DeviceOptions{});
    const std::string firstBefore = lineSettings(first.ptyPath());
    test::ChildProcess supervisor(
        {cli, "--port", first.path(), "--port", second.path(), "--speed", "low"}, ChildSetup{});
    ASSERT_TRUE(readUntil(supervisor, first.path() + ": progress 3%"));
    const pid_t worker = workerOf(supervisor.id(), first.path());
    ASSERT_GT(worker, 0);
    ::kill(worker, SIGKILL);
    ASSERT_TRUE(readUntil(supervisor, second.path() + ": progress 10%"));
    supervisor.signal(SIGINT);
    const auto run = supervisor.wait(20s);
    EXPECT_EQ(run.exitStatus, 130) << run.err;
    EXPECT_NE(run.err.find(first.path() + ": the worker ended by signal 9"), std::string::npos)
        << run.err;
    EXPECT_NE(run.err.find(second.path() + ": Update interrupted"), std::string::npos) << run.err;
    EXPECT_NE(run.out.find("Left incomplete: " + second.path()), std::string::npos) << run.out;

    // The killed worker could not put its port back; the supervisor did.
    EXPECT_EQ(lineSettings(first.ptyPath()), firstBefore);

    // Both boards, power-cycled as a technician would, take the next run.
    first.powerCycle();
    second.powerCycle();
    const auto next =
        test::runChild({cli, "--port", first.path(), "--port", second.path(), "--fast"}, 60s);
    EXPECT_EQ(next.exitStatus, 0) << next.err;
    EXPECT_TRUE(holdsImage(first.flash()));
    EXPECT_TRUE(holdsImage(second.flash()));
}

// A worker stopped (SIGSTOP) does not hear the first Ctrl-C; the second ends it.
TEST(ProductionLine, ASecondCtrlCEndsAStoppedWorker) {
    sim::SimulatedDevice device(sim::DeviceOptions{});
    sim::SimulatedDevice other(sim::DeviceOptions{});
    test::ChildProcess supervisor(
        {cli, "--port", device.path(), "--port", other.path(), "--speed", "low"}, ChildSetup{});
    ASSERT_TRUE(readUntil(supervisor, device.path() + ": progress 3%"));
    const pid_t worker = workerOf(supervisor.id(), device.path());
    ASSERT_GT(worker, 0);
    ::kill(worker, SIGSTOP);
    supervisor.signal(SIGINT);
    ASSERT_TRUE(test::eventually([&] { return workerOf(supervisor.id(), other.path()) < 0; }, 10s));
    supervisor.signal(SIGINT);
    const auto run = supervisor.wait(20s);
    EXPECT_EQ(run.exitStatus, 130) << run.err;
    EXPECT_NE(run.err.find("ending the workers"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find(device.path() + ": Update interrupted"), std::string::npos) << run.err;
}

// A station's board counts from its answer to "?": one that then fails at the sync word is
// a board that failed, not a port without one.
TEST(ProductionLine, ABoardThatAnswersAndThenFailsAtTheSyncWordIsOne) {
    sim::DeviceOptions options;
    options.faults.push_back(*sim::parseFaultRule("sync-word=garble", nullptr));
    sim::SimulatedDevice device(options);
    test::MessageRecorder messages;
    standFor("COM97", device.path());
    struct Answers : ProgressSink {
        bool answered = false;
        void setProgress(int) override {}
        void boardAnswered() override { answered = true; }
    } sink;
    const UpdateOutcome outcome = runUpdate([&sink](IspFlasher& flasher) {
        flasher.program(sink, "COM97", true, UpdateOptions{.awaitBoard = true});
    });
    standFor("COM97", "");
    EXPECT_TRUE(sink.answered);
    EXPECT_EQ(outcome.end, UpdateEnd::failed);
    EXPECT_EQ(outcome.step, UpdateStep::synchronizing);
}

TEST(ProductionLine, UnusableRecordOrOnePortNamedTwiceTouchesNoBoard) {
    Scratch scratch;
    sim::SimulatedDevice device(sim::DeviceOptions{});
    const fs::path link = scratch.dir / "link";
    fs::create_symlink(device.ptyPath(), link);
    struct Case {
        std::vector<std::string> args;
        std::string says;
    };
    const fs::path fifo = scratch.dir / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::vector<Case> cases{
        {{"--port", device.path(), "--log", (scratch.dir / "missing" / "x.jsonl").string()},
         "cannot write the record"},
        {{"--port", device.path(), "--log", scratch.dir.string()}, "cannot write the record"},
        // Opening a FIFO without a reader would wait for ever.
        {{"--port", device.path(), "--log", fifo.string()}, "fifo: not a regular file"},
        {{"--port", device.path(), "--port", device.path()}, "is given twice"},
        {{"--port", device.path(), "--port", link.string()}, "are the same port"},
    };
    // Another user's link in a sticky world-writable directory, to a file of root's.
    const fs::path sticky = scratch.dir / "sticky";
    fs::create_directory(sticky);
    fs::permissions(sticky, fs::perms::all | fs::perms::sticky_bit);
    const fs::path planted = sticky / "boards.jsonl";
    fs::create_symlink(scratch.dir / "roots", planted);
    if (::geteuid() == 0 && ::lchown(planted.c_str(), 65534, 65534) == 0) {
        cases.push_back({{"--port", device.path(), "--log", planted.string()},
                         "is a link that user 65534 put in the sticky world-writable"});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.says);
        std::vector<std::string> args{cli, "--fast"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const auto run = test::runChild(args, 20s);
        EXPECT_EQ(run.exitStatus, 2);
        EXPECT_NE(run.err.find(c.says), std::string::npos) << run.err;
    }
    EXPECT_FALSE(fs::exists(scratch.dir / "roots"));
    EXPECT_FALSE(device.statistics().synchronized);
    const auto commands = device.statistics().commands;
    EXPECT_TRUE(std::all_of(commands.begin(), commands.end(), [](auto n) { return n == 0; }));
}

// A record's line is on the disk whole or not at all, and a torn last line (a crash) does
// not swallow the next one.
TEST(ProductionLine, RecordLineIsWholeOrAbsentAndStartsOnALineOfItsOwn) {
    Scratch scratch;
    sim::SimulatedDevice device(sim::DeviceOptions{});
    const fs::path torn = scratch.dir / "torn.jsonl";
    std::ofstream(torn) << "{\"time\":";
    const auto first = test::runChild({cli, "--port", device.path(), "--fast", "--log", torn}, 30s);
    EXPECT_EQ(first.exitStatus, 0) << first.err;
    const auto entries = lines(torn);
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(field(entries[1], "result"), "\"passed\"");

    if (::geteuid() != 0) {
        GTEST_SKIP() << "a full disk needs a small tmpfs, which only root can mount";
    }
    const fs::path small = scratch.dir / "small";
    fs::create_directory(small);
    ASSERT_EQ(std::system(("mount -t tmpfs -o size=4k none " + small.string()).c_str()), 0);
    const fs::path full = small / "boards.jsonl";
    std::ofstream(full) << std::string(3770, 'x') << "\n";
    device.powerCycle();
    const auto second =
        test::runChild({cli, "--port", device.path(), "--fast", "--log", full}, 30s);
    const auto kept = lines(full);
    std::system(("umount " + small.string()).c_str());
    EXPECT_EQ(second.exitStatus, 3) << second.err;
    EXPECT_NE(second.err.find("No space left on device, and the file ends with the last whole"),
              std::string::npos)
        << second.err;
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(kept[0].size(), 3770u);
}

TEST(ProductionLine, WorkersThatCannotStartForWantOfProcSaySo) {
    if (::geteuid() != 0 || std::system("unshare -m true 2>/dev/null") != 0) {
        GTEST_SKIP() << "hiding /proc needs a mount namespace of root's";
    }
#ifdef __SANITIZE_ADDRESS__
    GTEST_SKIP() << "the sanitizers' runtime reads its options and checks leaks through /proc";
#endif
    Scratch scratch;
    sim::SimulatedDevice device(sim::DeviceOptions{});
    const auto run =
        test::runChild({"/usr/bin/unshare", "-m", "/bin/sh", "-c",
                        "mount -t tmpfs none /proc && exec \"$0\" \"$@\"", cli, "--port",
                        device.path(), "--log", (scratch.dir / "boards.jsonl").string()},
                       20s);
    EXPECT_EQ(run.exitStatus, 3);
    EXPECT_NE(run.err.find("is /proc mounted?"), std::string::npos) << run.err;
    EXPECT_FALSE(device.statistics().synchronized);
}

// lpcsim standing in for a line of boards on one port.
struct Line {
    Line(const Scratch& scratch, std::vector<std::string> extra)
        : link((scratch.dir / "lpc").string())
        , process([&] {
            std::vector<std::string> args{lpcsim, "--link", link, "--flash-out",
                                          (scratch.dir / "board-%d.bin").string()};
            args.insert(args.end(), extra.begin(), extra.end());
            return args;
        }()) {}
    std::string link;
    test::BackgroundProcess process;
};

std::vector<std::uint8_t> fileBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

TEST(ProductionLine, StationUpdatesEachBoardAndWaitsForAFailedOneToBePowerCycled) {
    Scratch scratch;
    Line line(scratch, {"--boards", "3", "--fault", "erase#2=status:9"});
    ASSERT_EQ(line.process.readLine(10s), "ready " + line.link);
    const std::string record = (scratch.dir / "boards.jsonl").string();
    test::ChildProcess station(
        {cli, "--port", line.link, "--station", "--count", "4", "--fast", "--log", record},
        ChildSetup{});
    std::string seen;
    ASSERT_TRUE(readUntil(station, ": failed (1 passed, 1 failed", &seen)) << seen;
    // The failed board stays synchronised and is not taken for a new one until it is
    // power-cycled into ISP mode again.
    line.process.signal(SIGUSR1);
    const auto run = station.wait(30s);
    EXPECT_EQ(run.exitStatus, 1) << run.err;
    EXPECT_NE(run.out.find("all ports                  3       1"), std::string::npos) << run.out;

    const auto entries = lines(record);
    ASSERT_EQ(entries.size(), 4u);
    const std::vector<std::string> results{"\"passed\"", "\"failed\"", "\"passed\"", "\"passed\""};
    for (std::size_t i = 0; i < entries.size(); ++i) {
        EXPECT_EQ(field(entries[i], "result"), results[i]) << entries[i];
    }
    EXPECT_EQ(field(entries[3], "passed"), "3");
    EXPECT_EQ(field(entries[3], "failed"), "1");
    EXPECT_EQ(line.process.stop(10s), 0);
    for (const char* board : {"board-1.bin", "board-2.bin", "board-3.bin"}) {
        EXPECT_TRUE(holdsImage(fileBytes(scratch.dir / board))) << board;
    }
}

// A flasher that G starts in RAM is not the firmware: no board is replaced under it, and
// every board of the line starts its own, on a paced line or not.
TEST(ProductionLine, TurboStationWritesEveryBoardOfALine) {
    for (const std::vector<std::string>& extra :
         {std::vector<std::string>{"--boards", "2", "--wire"}, {"--boards", "2"}}) {
        SCOPED_TRACE(extra.size());
        Scratch scratch;
        Line line(scratch, extra);
        ASSERT_EQ(line.process.readLine(10s), "ready " + line.link);
        const auto run = test::runChild(
            {cli, "--port", line.link, "--station", "--count", "2", "--turbo", "--verify"}, 60s);
        EXPECT_EQ(run.exitStatus, 0) << run.out << run.err;
        EXPECT_EQ(line.process.stop(10s), 0);
        for (const char* board : {"board-1.bin", "board-2.bin"}) {
            EXPECT_TRUE(holdsImage(fileBytes(scratch.dir / board))) << board;
        }
    }
}

// A station waits for a port that another program holds, and shows its name escaped.
TEST(ProductionLine, StationWaitsForABusyPortAndEscapesItsName) {
    Scratch scratch;
    Line line(scratch, {"--boards", "1"});
    ASSERT_EQ(line.process.readLine(10s), "ready " + line.link);
    const std::string odd = (scratch.dir / "lpc\x1b[2J").string();
    fs::create_symlink(line.link, odd);
    const int holder = ::open(line.link.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_EQ(::flock(holder, LOCK_EX), 0);
    int errors[2];
    ASSERT_EQ(::pipe2(errors, O_CLOEXEC), 0);
    ChildSetup setup;
    setup.err = ChildSetup::Stream::descriptor;
    setup.errFd = errors[1];
    test::ChildProcess station({cli, "--port", odd, "--station", "--count", "1", "--fast"}, setup);
    ::close(errors[1]);
    // Its first worker finds the port busy; the station says so and waits.
    std::string said;
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (said.find("trying again") == std::string::npos &&
           std::chrono::steady_clock::now() < deadline) {
        pollfd ready{errors[0], POLLIN, 0};
        char buffer[512];
        const ssize_t n =
            ::poll(&ready, 1, 1000) > 0 ? ::read(errors[0], buffer, sizeof buffer) : 0;
        said.append(buffer, static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
    }
    ::close(holder);
    const auto run = station.wait(30s);
    ::close(errors[0]);
    EXPECT_EQ(run.exitStatus, 0) << said << run.out;
    EXPECT_NE(said.find("lpc\\x1b[2J: the port cannot be used now (busy: "), std::string::npos)
        << said;
    EXPECT_EQ((run.out + said).find('\x1b'), std::string::npos);
}

TEST(ProductionLine, RecordKeepsEveryFinishedBoardWhenTheSupervisorIsKilled) {
    Scratch scratch;
    Line line(scratch, {"--boards", "5"});
    ASSERT_EQ(line.process.readLine(10s), "ready " + line.link);
    const std::string record = (scratch.dir / "boards.jsonl").string();
    test::ChildProcess station({cli, "--port", line.link, "--station", "--fast", "--log", record},
                               ChildSetup{});
    ASSERT_TRUE(readUntil(station, ": passed (2 passed"));
    station.signal(SIGKILL);
    station.wait(10s);
    const auto entries = lines(record);
    ASSERT_GE(entries.size(), 2u);
    for (const std::string& entry : entries) {
        EXPECT_TRUE(entry.starts_with("{\"time\":") && entry.ends_with("}")) << entry;
        EXPECT_EQ(field(entry, "result"), "\"passed\"");
    }
}

} // namespace
} // namespace sparwick
