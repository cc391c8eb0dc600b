#include "IspTestClient.h"
#include "IspTransfers.h"
#include "sim/LpcsimCommandLine.h"
#include "tests/support/Eventually.h"

#include <SparwickVersion.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <limits>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace sparwick::sim::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

// lpcsim as a child process: its standard output on a pipe, its errors in a file, and a
// deadline on everything; a child that outlives its test is killed.
class Lpcsim {
public:
    Lpcsim(const std::vector<std::string>& args, const fs::path& errors) {
        int out[2];
        if (pipe(out) != 0) {
            throw std::runtime_error("pipe");
        }
        pid = fork();
        if (pid == 0) {
            dup2(out[1], STDOUT_FILENO);
            const int err = ::open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(err, STDERR_FILENO);
            ::close(out[0]);
            std::vector<char*> argv;
            std::string program = LPCSIM_PATH;
            argv.push_back(program.data());
            std::vector<std::string> copies = args;
            for (std::string& arg : copies) {
                argv.push_back(arg.data());
            }
            argv.push_back(nullptr);
            execv(program.c_str(), argv.data());
            _exit(127);
        }
        ::close(out[1]);
        output = out[0];
    }
    ~Lpcsim() {
        if (pid > 0 && !status) {
            ::kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        ::close(output);
    }

    // The first line on standard output, or empty when none comes in time.
    std::string firstLine(std::chrono::milliseconds timeout = 5000ms) {
        std::string line;
        const Clock::time_point deadline = Clock::now() + timeout;
        while (Clock::now() < deadline) {
            pollfd p{output, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) {
                continue;
            }
            char c = 0;
            if (::read(output, &c, 1) != 1) {
                break;
            }
            if (c == '\n') {
                return line;
            }
            line += c;
        }
        return line;
    }
    void signal(int number) { ::kill(pid, number); }
    // The child's resident set in kB, from /proc; 0 when it cannot be read.
    std::size_t residentKb() const {
        std::ifstream file("/proc/" + std::to_string(pid) + "/status");
        std::string key;
        while (file >> key) {
            if (key == "VmRSS:") {
                std::size_t kb = 0;
                file >> kb;
                return kb;
            }
            file.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
        }
        return 0;
    }
    // The exit status, or nothing when the child has not ended in time.
    std::optional<int> exitStatus(std::chrono::milliseconds timeout = 5000ms) {
        sparwick::test::eventually(
            [&] {
                int raw = 0;
                if (!status && waitpid(pid, &raw, WNOHANG) == pid) {
                    status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
                }
                return status.has_value();
            },
            timeout, 10ms);
        return status;
    }

private:
    pid_t pid = -1;
    int output = -1;
    std::optional<int> status;
};

class LpcsimExecutableTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "lpcsim-test-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir = pattern;
        link = (dir / "port").string();
    }
    void TearDown() override { fs::remove_all(dir); }

    std::string errors() const {
        std::ifstream file(dir / "errors");
        return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    }
    std::vector<std::uint8_t> fileBytes(const fs::path& path) const {
        std::ifstream file(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    }

    fs::path dir;
    std::string link;
};

TEST_F(LpcsimExecutableTest, ServesFromTheFlashGivenAndDumpsTheWholeFlashOnTermination) {
    std::vector<std::uint8_t> initial(5000);
    for (std::size_t i = 0; i < initial.size(); ++i) {
        initial[i] = static_cast<std::uint8_t>(i * 13);
    }
    std::ofstream(dir / "in.bin", std::ios::binary)
        .write(reinterpret_cast<const char*>(initial.data()),
               static_cast<std::streamsize>(initial.size()));
    Lpcsim sim({"--link", link, "--part", "196387", "--flash-in", (dir / "in.bin").string(),
                "--flash-out=" + (dir / "out.bin").string()},
               dir / "errors");
    ASSERT_EQ(sim.firstLine(), "ready " + link) << errors();
    ASSERT_TRUE(fs::is_symlink(link));

    std::vector<std::uint8_t> block(4096, 0x5A);
    {
        IspTestClient client(link);
        client.synchronize();
        client.unlock();
        EXPECT_EQ(client.exchange("J\r\n", "0\r\n196387\r\n"), "0\r\n196387\r\n");
        EXPECT_EQ(readMemory(client, 64, 64),
                  std::vector<std::uint8_t>(initial.begin() + 64, initial.begin() + 128));
        ASSERT_TRUE(writeToRam(client, 0x40000200, block));
        EXPECT_EQ(client.exchange("P 2 2\r\n", "0\r\n"), "0\r\n");
        EXPECT_EQ(client.exchange("C 8192 1073742336 4096\r\n", "0\r\n"), "0\r\n");
    }
    sim.signal(SIGTERM);
    ASSERT_EQ(sim.exitStatus(), 0) << errors();
    EXPECT_FALSE(fs::exists(fs::symlink_status(link)));

    std::vector<std::uint8_t> expected(262144, 0xFF);
    std::copy(initial.begin(), initial.end(), expected.begin());
    std::copy(block.begin(), block.end(), expected.begin() + 8192);
    EXPECT_EQ(fileBytes(dir / "out.bin"), expected);
}

TEST_F(LpcsimExecutableTest, PowerCyclesOnSigusr1AndEndsAfterGoWhenAsked) {
    Lpcsim sim({"--link", link, "--exit-after-go", "--flash-out", (dir / "out.bin").string()},
               dir / "errors");
    ASSERT_EQ(sim.firstLine(), "ready " + link) << errors();
    IspTestClient client(link);
    client.synchronize();
    sim.signal(SIGUSR1);
    // Until the signal has been taken, "?" on a line is an unknown command.
    std::string reply;
    const Clock::time_point deadline = Clock::now() + 5s;
    while (reply.rfind("Synchronized", 0) != 0 && Clock::now() < deadline) {
        reply = client.collect("?\r\n", 50ms);
    }
    ASSERT_EQ(reply.rfind("Synchronized", 0), 0u) << reply;
    EXPECT_EQ(client.exchange("Synchronized\r\n", "Synchronized\r\nOK\r\n"),
              "Synchronized\r\nOK\r\n");
    EXPECT_EQ(client.exchange("14746\r\n", "14746\r\nOK\r\n"), "14746\r\nOK\r\n");
    client.exchange("A 0\r\n", "A 0\r\n0\r\n");
    client.unlock();
    EXPECT_EQ(client.exchange("G 0 A\r\n", "0\r\n"), "0\r\n");
    ASSERT_EQ(sim.exitStatus(), 0) << errors();
    EXPECT_FALSE(fs::exists(fs::symlink_status(link)));
    EXPECT_EQ(fileBytes(dir / "out.bin"), std::vector<std::uint8_t>(512000, 0xFF));
}

TEST_F(LpcsimExecutableTest, ReplacesAStaleLinkAndLeavesNoneWhenInterrupted) {
    fs::create_symlink("/dev/pts/no-such-pty", link);
    Lpcsim sim({"--link=" + link, "--wire"}, dir / "errors");
    ASSERT_EQ(sim.firstLine(), "ready " + link) << errors();
    EXPECT_TRUE(fs::read_symlink(link).string().starts_with("/dev/pts/"));
    {
        IspTestClient client(link);
        EXPECT_EQ(client.exchange("?", "Synchronized\r\n"), "Synchronized\r\n");
    }
    sim.signal(SIGINT);
    ASSERT_EQ(sim.exitStatus(), 0) << errors();
    EXPECT_FALSE(fs::exists(fs::symlink_status(link)));
}

TEST_F(LpcsimExecutableTest, ABadCommandLineEndsWithStatusTwoAndSaysWhy) {
    std::ofstream(dir / "file") << "not a link";
    std::ofstream(dir / "big.bin") << std::string(262145, 'x');
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"--part", "196389"},
        {"--link", link, "--part", "2148"},
        {"--link", link, "--part"},
        {"--link", link, "--flash-in", (dir / "missing.bin").string()},
        {"--link", link, "--flash-in", dir.string()},
        {"--link", link, "--part", "196387", "--flash-in", (dir / "big.bin").string()},
        {"--link", link, "--flash-out", (dir / "no-dir" / "out.bin").string()},
        // The tenth board's name is one byte too long for the file system.
        {"--link", link, "--boards", "10", "--flash-out",
         (dir / (std::string(249, 'x') + "-%d.bin")).string()},
        {"--link", link, "--log", (dir / "no-dir" / "log").string()},
        {"--link", link, "--fault", "sync=loud"},
        {"--link", link, "--fault", "copy=resend"},
        {"--link", link, "--wire=fast"},
        {"--link", link, "--latency", "0"},
        {"--link", link, "--latency=256"},
        {"--link", link, "--latency"},
        {"--link", link, "--crystal", "999999"},
        {"--link", link, "--fault", "data-line=garble"},
        {"--link", link, "--fault", "copy=drop:3"},
        {"--link", link, "--fault", "data-line#2=drop:0"},
        {"--link", link, "--wire", "115200"},
        {"--link", link, "--verbose"},
        {"--link", link, "--exit-after-go=no"},
        {"--link", link, "--pll", "sometimes"},
        {"--link", (dir / "file").string()},
        {"--link", (dir / "no-dir" / "port").string()},
    };
    for (const auto& args : cases) {
        std::string text;
        for (const auto& arg : args) {
            text += arg + " ";
        }
        Lpcsim sim(args, dir / "errors");
        EXPECT_EQ(sim.exitStatus(), 2) << text;
        EXPECT_NE(errors().find("lpcsim: "), std::string::npos) << text;
        EXPECT_FALSE(fs::exists(fs::symlink_status(link))) << text;
    }
    // A number beyond 32 bits is refused for that, not for its form.
    for (const std::string rule :
         {"sync#4294967296=silent", "erase=status:99999999999", "data-line=drop:4294967296"}) {
        Lpcsim sim({"--link", link, "--fault", rule}, dir / "errors");
        EXPECT_EQ(sim.exitStatus(), 2) << rule;
        EXPECT_NE(errors().find("is too large (at most 4294967295)"), std::string::npos)
            << errors();
    }
}

TEST_F(LpcsimExecutableTest, FlashOutNamesEachBoardInEveryPlaceItsPatternSays) {
    fs::create_directories(dir / "1");
    fs::create_directories(dir / "2");
    const auto line = LpcsimCommandLine::parse(
        {"--link", link, "--boards", "2", "--flash-out", (dir / "%d" / "b-%d-100%%.bin").string()});
    ASSERT_TRUE(line.ok()) << line.errorMessage();
    EXPECT_EQ(line.flashOutPath(2), (dir / "2" / "b-2-100%.bin").string());
}

TEST_F(LpcsimExecutableTest, PrintsItsUsageOnHelpAndItsVersionOnVersion) {
    Lpcsim help({"--help"}, dir / "errors");
    EXPECT_EQ(help.firstLine().rfind("Usage: lpcsim --link PATH", 0), 0u);
    EXPECT_EQ(help.exitStatus(), 0);

    Lpcsim version({"--version", "--link", (dir / "unused").string()}, dir / "errors");
    EXPECT_EQ(version.firstLine(), "lpcsim " + std::string(versionText));
    EXPECT_EQ(version.exitStatus(), 0);
    EXPECT_FALSE(fs::exists(fs::symlink_status(dir / "unused")));
}

TEST_F(LpcsimExecutableTest, AFloodUnderXoffLosesBytesButNoMemory) {
    Lpcsim sim({"--link", link, "--log", (dir / "log").string()}, dir / "errors");
    ASSERT_EQ(sim.firstLine(), "ready " + link) << errors();
    IspTestClient client(link);
    client.synchronize(false);
    const std::size_t before = sim.residentKb();
    ASSERT_GT(before, 0u);

    // The host stops the device and keeps writing, and never reads: 30 MiB of commands
    // that would each be echoed and answered, 140 MB of replies if the device kept them.
    client.send("\x13");
    std::string chunk;
    while (chunk.size() < 64 * 1024) {
        chunk += "J\r\n";
    }
    const Clock::time_point deadline = Clock::now() + 40s;
    std::size_t sent = 0;
    while (sent < 30u * 1024 * 1024 && Clock::now() < deadline) {
        client.send(chunk);
        sent += chunk.size();
    }
    ASSERT_LT(Clock::now(), deadline);
    const std::size_t after = sim.residentKb();
    EXPECT_LE(after, before + 2048) << before << " kB before, " << after << " kB after";

    // Still the boot loader: let it go, and it answers once what it kept has drained.
    client.send("\x11");
    client.readUntilQuiet(200ms, 10s);
    EXPECT_NE(client.collect("\r\nJ\r\n").find("0\r\n196389\r\n"), std::string::npos);
    sim.signal(SIGTERM);
    ASSERT_EQ(sim.exitStatus(), 0) << errors();
    std::ifstream file(dir / "log");
    const std::string log{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    EXPECT_NE(log.find("receive buffer overrun"), std::string::npos);
}

} // namespace
} // namespace sparwick::sim::test
