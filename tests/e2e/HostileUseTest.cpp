// sparwick-cli run as a careless or hostile user runs it: standard streams closed or a
// reader that goes away, Ctrl-C or a kill in the middle of an update, ports that are busy,
// forbidden or the program's own terminal, names that cannot be a port. Every way out
// must leave the device updated or ready for the next attempt, and the port as it was.
#include "sim/SimulatedDevice.h"
#include "tests/e2e/UpdateRun.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/Eventually.h"
#include "tests/support/FarEnd.h"

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <grp.h>
#include <gtest/gtest.h>
#include <iterator>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace sparwick {
namespace {

using namespace std::chrono_literals;
using test::ChildSetup;

const std::string cli = SPARWICK_CLI_PATH;

constexpr std::string_view interrupted =
    "Update interrupted: the device's flash is incomplete; put the device into software "
    "upgrade mode and run the update again.";

// A user without privileges to run the command line as, when the test runs as root: the
// exclusive flag of a port binds every user but root.
constexpr uid_t nobodyUser = 65534;
constexpr gid_t nobodyGroup = 65534;

bool asRoot() {
    return ::geteuid() == 0;
}

std::optional<std::pair<uid_t, gid_t>> cliUser() {
    if (asRoot()) {
        return std::pair{nobodyUser, nobodyGroup};
    }
    return std::nullopt;
}

// Makes path the property of the user the command line runs as.
void giveToCliUser(const std::string& path) {
    if (asRoot()) {
        ASSERT_EQ(::chown(path.c_str(), nobodyUser, nobodyGroup), 0) << std::strerror(errno);
    }
}

// Whether the user the command line runs as can open path now, as a next run would.
bool cliUserCanOpen(const std::string& path) {
    pid_t pid = ::fork();
    if (pid == 0) {
        if (asRoot() && (::setgroups(0, nullptr) != 0 || ::setgid(nobodyGroup) != 0 ||
                         ::setuid(nobodyUser) != 0)) {
            ::_exit(2);
        }
        ::_exit(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK) >= 0 ? 0 : 1);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

termios settingsOf(const std::string& path) {
    termios tio{};
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    EXPECT_GE(fd, 0) << path;
    EXPECT_EQ(::tcgetattr(fd, &tio), 0);
    ::close(fd);
    return tio;
}

void changeSettings(const std::string& path, const termios& tio) {
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(fd, 0) << path;
    EXPECT_EQ(::tcsetattr(fd, TCSANOW, &tio), 0);
    ::close(fd);
}

bool sameSettings(const termios& a, const termios& b) {
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
           a.c_lflag == b.c_lflag && std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0 &&
           ::cfgetispeed(&a) == ::cfgetispeed(&b) && ::cfgetospeed(&a) == ::cfgetospeed(&b);
}

std::vector<std::string> update(const std::string& port) {
    return {cli, "--port", port, "--speed", "low"};
}

// The percentage of a plain progress line, or -1.
int percentOf(const std::string& line) {
    int percent = -1;
    return std::sscanf(line.c_str(), "progress %d%%", &percent) == 1 ? percent : -1;
}

// Reads progress lines until the update has reached the percentage; false if it never
// gets there.
bool waitForProgress(test::ChildProcess& child, int percent) {
    for (;;) {
        std::string line = child.readLine(30s);
        if (line.empty()) {
            return false;
        }
        if (percentOf(line) >= percent) {
            return true;
        }
    }
}

// Until the update is in its middle blocks.
bool waitForTheMiddle(test::ChildProcess& child) {
    return waitForProgress(child, 40);
}

// A simulated device whose pty the command line opens by path, owned by the user the
// command line runs as. The pty starts with line settings unlike the update's (9600 baud,
// no flow control), so that a run that leaves its own behind is seen.
struct Device {
    explicit Device(sim::DeviceOptions options = {})
        : device(std::move(options))
        , port(device.ptyPath()) {
        termios tio = settingsOf(port);
        ::cfsetspeed(&tio, B9600);
        tio.c_iflag &= ~static_cast<tcflag_t>(IXON);
        changeSettings(port, tio);
        original = settingsOf(port);
        giveToCliUser(port);
    }

    bool holdsTheImage() const {
        return test::firstDifference(device.flash(),
                                     test::expectedFlash(test::shippedImage(), 512000)) == -1;
    }
    bool settingsAsBefore() const { return sameSettings(settingsOf(port), original); }

    sim::SimulatedDevice device;
    std::string port;
    termios original{};
};

TEST(HostileUse, ClosedStandardStreamsNeverReachTheDevice) {
    for (bool bothClosed : {false, true}) {
        SCOPED_TRACE(bothClosed ? ">&- 2>&-" : ">&-");
        Device device;
        ChildSetup setup;
        setup.out = ChildSetup::Stream::closed;
        if (bothClosed) {
            setup.err = ChildSetup::Stream::closed;
        }
        auto run = test::ChildProcess(update(device.port), setup).wait(60s);
        EXPECT_EQ(run.exitStatus, 0) << run.err;
        EXPECT_EQ(run.err, "");
        EXPECT_TRUE(device.holdsTheImage());
        EXPECT_TRUE(device.device.wentToUserCode());
        // The port gets back the settings it had, after a whole update too.
        EXPECT_TRUE(device.settingsAsBefore());
    }
}

TEST(HostileUse, AnUpdateAtAnotherRateLeavesThePortAsItWas) {
    sim::DeviceOptions options;
    options.logPath = ::testing::TempDir() + "/sparwick-baud-" + std::to_string(::getpid());
    Device device(options);
    // A pseudo-terminal has no serial settings to ask for low latency: it is used as it is.
    auto run =
        test::ChildProcess({cli, "--port", device.port, "--baud", "230400", "--fast", "--verify"},
                           ChildSetup{})
            .wait(60s);
    EXPECT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_NE(run.out.find("Verified 241028 bytes"), std::string::npos) << run.out;
    EXPECT_TRUE(device.holdsTheImage());
    EXPECT_TRUE(device.settingsAsBefore());
    std::ifstream log(options.logPath);
    const std::string text{std::istreambuf_iterator<char>(log), {}};
    EXPECT_NE(text.find("autobaud locks at 230400 baud"), std::string::npos);
    std::filesystem::remove(options.logPath);
}

TEST(HostileUse, ReaderThatGoesAwayLeavesAFullyUpdatedDevice) {
    Device device;
    test::ChildProcess child(update(device.port), ChildSetup{});
    // As `| head -n 2` does.
    EXPECT_EQ(child.readLine(30s), "progress 0%");
    EXPECT_EQ(child.readLine(30s), "progress 1%");
    child.closeOutput();
    auto run = child.wait(60s);
    EXPECT_EQ(run.exitStatus, 0) << "signal " << run.signal << ": " << run.err;
    EXPECT_EQ(run.err, "");
    EXPECT_TRUE(device.holdsTheImage());
    EXPECT_TRUE(device.device.wentToUserCode());
}

struct Interruption {
    int signal;
    int exitStatus;
};

std::ostream& operator<<(std::ostream& out, const Interruption& i) {
    return out << ::sigabbrev_np(i.signal);
}

class Interrupted : public ::testing::TestWithParam<Interruption> {};

TEST_P(Interrupted, ReleasesThePortSaysWhatHappenedAndTheNextUpdateSucceeds) {
    const Interruption& interruption = GetParam();
    Device device;
    ChildSetup setup;
    setup.user = cliUser();
    test::ChildProcess child(update(device.port), setup);
    ASSERT_TRUE(waitForTheMiddle(child));
    child.signal(interruption.signal);
    auto run = child.wait(10s);
    EXPECT_EQ(run.exitStatus, interruption.exitStatus) << "signal " << run.signal;
    EXPECT_EQ(run.err, std::string(interrupted) + "\n");
    EXPECT_FALSE(device.device.wentToUserCode());

    // At once: the same user can open the port, which has its settings back.
    EXPECT_TRUE(cliUserCanOpen(device.port));
    EXPECT_TRUE(device.settingsAsBefore());

    // What the message tells the user to do.
    device.device.powerCycle();
    auto next = test::ChildProcess(update(device.port), setup).wait(60s);
    EXPECT_EQ(next.exitStatus, 0) << next.err;
    EXPECT_TRUE(device.holdsTheImage());
}

INSTANTIATE_TEST_SUITE_P(BySignal, Interrupted,
                         ::testing::Values(Interruption{SIGINT, 130}, Interruption{SIGTERM, 143},
                                           Interruption{SIGHUP, 129}, Interruption{SIGQUIT, 131}),
                         [](const auto& param) { return ::sigabbrev_np(param.param.signal); });

std::string reasonLine(const std::string& reason) {
    return "sparwick-cli: " + reason + "\n";
}

// A directory of the test's own for TMPDIR, removed with what is left in it.
struct ScratchDirectory {
    ScratchDirectory()
        : path((std::filesystem::temp_directory_path() / "sparwick-tmpdir-XXXXXX").string()) {
        EXPECT_NE(::mkdtemp(path.data()), nullptr);
    }
    ~ScratchDirectory() { std::filesystem::remove_all(path); }

    std::size_t entries() const {
        std::error_code ignored;
        auto all = std::filesystem::recursive_directory_iterator(path, ignored);
        return static_cast<std::size_t>(std::distance(all, {}));
    }

    std::string path;
};

TEST(HostileUse, InterruptedSimulatedUpdateLeavesNothingInTheTemporaryDirectory) {
    // Standard output on a terminal whose output the user has stopped (Ctrl-S): the first
    // line, after the device is made, waits there, before the update starts.
    test::FarEnd terminal;
    int stopped = ::open(terminal.devicePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(stopped, 0);
    termios tio{};
    ::tcgetattr(stopped, &tio);
    tio.c_iflag |= IXON;
    ::tcsetattr(stopped, TCSANOW, &tio);
    terminal.send("\x13");

    for (bool inTheUpdate : {true, false}) {
        SCOPED_TRACE(inTheUpdate ? "in the update" : "while its first line waits");
        ScratchDirectory scratch;
        ChildSetup setup;
        setup.environment = {"TMPDIR=" + scratch.path};
        if (!inTheUpdate) {
            setup.out = ChildSetup::Stream::descriptor;
            setup.outFd = stopped;
        }
        test::ChildProcess child({cli, "--simulate", "--speed", "low"}, setup);
        if (inTheUpdate) {
            EXPECT_TRUE(waitForProgress(child, 5)); // on to the clean-up either way
        }
        // The device's directory and its link in it, while it serves.
        EXPECT_TRUE(test::eventually([&] { return scratch.entries() == 2; }, 5000ms));
        child.signal(SIGINT);
        auto run = child.wait(10s);
        if (inTheUpdate) {
            EXPECT_EQ(run.exitStatus, 130) << "signal " << run.signal;
            EXPECT_EQ(run.err, std::string(interrupted) + "\n");
        } else {
            EXPECT_EQ(run.signal, SIGINT); // ended by it, as without a device to remove
            EXPECT_EQ(run.err, "");
        }
        EXPECT_EQ(scratch.entries(), 0u);
    }
    ::close(stopped);
}

TEST(HostileUse, UnusableTemporaryDirectorySaysWhy) {
    ScratchDirectory scratch;
    const std::string file = scratch.path + "/file";
    std::ofstream(file) << "not a directory";
    const std::string loop = scratch.path + "/loop";
    std::filesystem::create_directory_symlink(loop, loop);
    struct Case {
        std::string tmpdir;
        int error;
    };
    const std::vector<Case> cases = {
        {scratch.path + "/missing", ENOENT},
        {file, ENOTDIR},
        {loop, ELOOP},
        {"/" + std::string(5000, 'd'), ENAMETOOLONG},
        {scratch.path + "/new\nline", ENOENT},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.tmpdir.substr(0, 80));
        ChildSetup setup;
        setup.environment = {"TMPDIR=" + c.tmpdir};
        auto run = test::ChildProcess({cli, "--simulate"}, setup).wait(10s);
        EXPECT_EQ(run.exitStatus, 2);
        std::string shown = c.tmpdir;
        if (const auto newline = shown.find('\n'); newline != std::string::npos) {
            shown.replace(newline, 1, "\\n");
        }
        EXPECT_EQ(run.err, reasonLine("cannot use TMPDIR=\"" + shown +
                                      "\" for the simulated device: " + std::strerror(c.error)));
        EXPECT_EQ(run.out, "");
    }
    EXPECT_EQ(scratch.entries(), 2u); // the file and the loop, nothing made beside them
}

TEST(HostileUse, SecondInterruptDuringTheCleanUpEndsItAtOnce) {
    Device device;
    // Standard error on a terminal whose output the user has stopped (Ctrl-S): the
    // message after the first Ctrl-C cannot be written.
    test::FarEnd terminal;
    int errTerminal = ::open(terminal.devicePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(errTerminal, 0);
    termios tio{};
    ::tcgetattr(errTerminal, &tio);
    tio.c_iflag |= IXON;
    ::tcsetattr(errTerminal, TCSANOW, &tio);
    terminal.send("\x13");

    ChildSetup setup;
    setup.user = cliUser();
    setup.err = ChildSetup::Stream::descriptor;
    setup.errFd = errTerminal;
    test::ChildProcess child(update(device.port), setup);
    ASSERT_TRUE(waitForTheMiddle(child));
    child.signal(SIGINT);
    // The port is released before the message is written.
    EXPECT_TRUE(test::eventually([&] { return cliUserCanOpen(device.port); }, 5000ms));
    EXPECT_TRUE(child.running()); // held up by the stopped terminal
    child.signal(SIGINT);
    auto run = child.wait(10s);
    EXPECT_EQ(run.exitStatus, 130) << "signal " << run.signal;
    EXPECT_TRUE(device.settingsAsBefore());
    ::close(errTerminal);
}

TEST(HostileUse, BusyPortSaysSoAndIsLeftToItsHolder) {
    test::FarEnd pty;
    const std::string path = pty.devicePath();
    giveToCliUser(path);
    struct Case {
        const char* what;
        bool locked; // flock, as another update holds it; else TIOCEXCL, as a terminal does
        bool asRoot; // which TIOCEXCL does not keep out
    };
    for (const Case& c : {Case{"flock", true, false}, Case{"TIOCEXCL", false, false},
                          Case{"TIOCEXCL, run by root", false, true}}) {
        SCOPED_TRACE(c.what);
        int holder = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_GE(holder, 0);
        ASSERT_EQ(c.locked ? ::flock(holder, LOCK_EX) : ::ioctl(holder, TIOCEXCL), 0);
        // The holder is another program, with the terminal alone open: this process holds
        // the line's far end (the master) as well, which does not count as holding it.
        const pid_t other = ::fork();
        if (other == 0) {
            constexpr int kept = 100;
            ::dup2(holder, kept);
            ::close_range(3, kept - 1, 0);
            ::close_range(kept + 1, ~0U, 0);
            ::pause();
            ::_exit(0);
        }
        ASSERT_GT(other, 0);
        ChildSetup setup;
        if (!c.asRoot) {
            setup.user = cliUser();
        }
        auto run = test::ChildProcess(update(path), setup).wait(10s);
        ::kill(other, SIGKILL);
        ::waitpid(other, nullptr, 0);
        int stillExclusive = 0;
        ::ioctl(holder, TIOCGEXCL, &stillExclusive);
        ::ioctl(holder, TIOCNXCL);
        ::close(holder);
        EXPECT_EQ(run.exitStatus, 2);
        EXPECT_EQ(run.err, reasonLine("busy: " + path + " is in use by another program"));
        EXPECT_EQ(run.out, "");
        // Nothing written into the holder's conversation, and its flag kept.
        EXPECT_EQ(pty.receive(1, 20ms), "");
        EXPECT_EQ(stillExclusive, c.locked ? 0 : 1);
    }
}

TEST(HostileUse, PortWithoutPermissionSaysSo) {
    test::FarEnd pty;
    const std::string path = pty.devicePath();
    // Root's alone when the command line runs as nobody; nobody's at all otherwise.
    ASSERT_EQ(::chmod(path.c_str(), asRoot() ? 0600 : 0), 0);
    ChildSetup setup;
    setup.user = cliUser();
    auto run = test::ChildProcess(update(path), setup).wait(10s);
    EXPECT_EQ(run.exitStatus, 2);
    EXPECT_EQ(run.err,
              reasonLine("permission denied: " + path + " (is your user in the dialout group?)"));
    EXPECT_EQ(run.out, "");
}

TEST(HostileUse, OwnTerminalIsRefusedAndLeftAsItWas) {
    test::FarEnd terminal;
    const std::string path = terminal.devicePath();
    int tty = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(tty, 0);
    const termios before = settingsOf(path);

    struct Case {
        const char* what;
        std::string port;
        ChildSetup setup;
    };
    ChildSetup controlling;
    controlling.in = tty;
    controlling.inIsControllingTerminal = true;
    ChildSetup input;
    input.in = tty;
    ChildSetup output;
    output.out = ChildSetup::Stream::descriptor;
    output.outFd = tty;
    const std::vector<Case> cases = {
        {"its controlling terminal", "/dev/tty", controlling},
        {"its standard input by /proc", "/proc/self/fd/0", controlling},
        {"its controlling terminal by name", path, controlling},
        {"its standard input, no controlling terminal", path, input},
        {"its standard output", path, output},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto run = test::ChildProcess(update(c.port), c.setup).wait(10s);
        EXPECT_EQ(run.exitStatus, 2);
        EXPECT_EQ(run.err,
                  reasonLine("own terminal: " + c.port +
                             " is this program's own terminal or standard stream, not a port"));
        EXPECT_TRUE(sameSettings(settingsOf(path), before));
    }
    ::close(tty);
}

TEST(HostileUse, NamesThatCannotBeAPortAreUsageErrors) {
    // As given, and as the reason shows it: control characters escaped.
    const std::vector<std::pair<std::string, std::string>> names = {
        {"", ""},
        {"-", "-"},
        {"COM0", "COM0"},
        {"COM01", "COM01"},
        {"com33", "com33"},
        {"Com3", "Com3"},
        {"COM1 ", "COM1 "},
        {" COM1", " COM1"},
        {"COM100", "COM100"},
        {"COM256", "COM256"},
        {"COM3x", "COM3x"},
        {"XYZ9", "XYZ9"},
        {"\\\\.\\COM3", "\\\\.\\COM3"},
        {"COM1\n\x1b[2J", "COM1\\n\\x1b[2J"},
    };
    for (const auto& [name, shown] : names) {
        SCOPED_TRACE(shown);
        auto run = test::runChild({cli, "--port", name}, 10s);
        EXPECT_EQ(run.exitStatus, 2);
        EXPECT_EQ(run.out, "");
        EXPECT_TRUE(
            run.err.starts_with("sparwick-cli: not a port name: \"" + shown + "\" (COM1 to COM99"))
            << run.err;
        EXPECT_NE(run.err.find("device path"), std::string::npos) << run.err;
        EXPECT_NE(run.err.find("\nusage: sparwick-cli --port PORT"), std::string::npos);
    }
}

TEST(HostileUse, FileInTheWorkingDirectoryIsTakenAsARelativePath) {
    // A link here, with no slash in its name: it leads to no terminal, which is the reason
    // given, rather than its not being a COM name.
    const std::string name = "sparwick-port-" + std::to_string(::getpid()) + ".lnk";
    std::filesystem::create_symlink("/dev/null", name);
    auto run = test::runChild({cli, "--port", name}, 10s);
    std::filesystem::remove(name);
    EXPECT_EQ(run.exitStatus, 2);
    EXPECT_TRUE(run.err.starts_with(reasonLine("not a serial device: " + name))) << run.err;
}

} // namespace
} // namespace sparwick
