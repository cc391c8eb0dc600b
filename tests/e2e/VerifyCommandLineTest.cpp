// sparwick-cli --verify against lpcsim, as a production line would run it: a flash that
// differs from the image stops the update before the firmware starts, and after a power
// cycle the next update succeeds and says what it checked.
#include "flash/UpdateMessages.h"
#include "tests/e2e/UpdateRun.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/Eventually.h"

#include <csignal>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <memory>
#include <sstream>
#include <unistd.h>

namespace sparwick {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

std::string fileText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// Lines the device received, as its log shows them ("<" rows).
bool logShowsReceived(const std::string& log, const std::string& lineStart) {
    std::istringstream rows(log);
    for (std::string row; std::getline(rows, row);) {
        if (row.find(" < " + lineStart) != std::string::npos) {
            return true;
        }
    }
    return false;
}

bool waitForLog(const fs::path& log, const std::string& text, std::chrono::milliseconds limit) {
    return test::eventually([&] { return fileText(log).find(text) != std::string::npos; }, limit,
                            10ms);
}

TEST(VerifyCommandLine, CorruptBlockStopsTheUpdateBeforeTheGoAndTheNextOneIsVerified) {
    const fs::path dir =
        fs::temp_directory_path() / ("sparwick-verify-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    const fs::path link = dir / "lpc";
    const fs::path log = dir / "log";
    const fs::path dump = dir / "flash.bin";
    const std::vector<std::string> update{SPARWICK_CLI_PATH, "--port", link,
                                          "--speed",         "low",    "--verify"};
    // A loaded machine can hold lpcsim back for longer than the host's one-second wait for
    // a reply before the update has reached the corrupt copy; such a run says nothing
    // about the verify and is made again with a fresh lpcsim, three runs at most.
    std::unique_ptr<test::BackgroundProcess> lpcsim;
    test::ChildResult failed;
    for (int run = 1; run <= 3; ++run) {
        lpcsim.reset();
        // Block 30 of 59 starts at 118,784: its middle byte is at 120,832.
        lpcsim = std::make_unique<test::BackgroundProcess>(
            std::vector<std::string>{SPARWICK_LPCSIM_PATH, "--link", link, "--log", log,
                                     "--flash-out", dump, "--fault", "copy#30=corrupt"});
        ASSERT_EQ(lpcsim->readLine(10s), "ready " + link.string());
        failed = test::runChild(update, 60s);
        if (fileText(log).find("fault copy#30=corrupt") != std::string::npos) {
            break;
        }
    }
    EXPECT_EQ(failed.exitStatus, 1);
    const std::uint8_t expected = test::expectedFlash(test::shippedImage(), 512000)[120832];
    char where[96];
    std::snprintf(where, sizeof where,
                  "First difference at offset 120832 (0x1D800): found 0x%02X, expected 0x%02X.",
                  expected ^ 0x01, expected);
    EXPECT_EQ(failed.err, std::string(msg::verifyFailed) + "\n" + where + "\n");
    EXPECT_EQ(failed.out.find(std::string(msg::success)), std::string::npos);
    // The read-back ran after the writing's last report and stopped at the difference.
    EXPECT_NE(failed.out.find("progress 98%\nverify 0%\n"), std::string::npos) << failed.out;
    EXPECT_EQ(failed.out.find("verify 100%"), std::string::npos);
    EXPECT_TRUE(logShowsReceived(fileText(log), "R 64 4500"));
    EXPECT_FALSE(logShowsReceived(fileText(log), "G "));

    lpcsim->signal(SIGUSR1);
    ASSERT_TRUE(waitForLog(log, "power cycle", 5s));
    const auto retried = test::runChild(update, 60s);
    EXPECT_EQ(retried.exitStatus, 0) << retried.err;
    EXPECT_EQ(retried.err, "");
    EXPECT_NE(retried.out.find("progress 98%\nverify 0%\nverify 1%\n"), std::string::npos);
    EXPECT_TRUE(retried.out.ends_with("verify 100%\n" + std::string(msg::success) +
                                      "\nVerified 241028 bytes (offset 64 to 241092) against "
                                      "the image.\n"))
        << retried.out;
    EXPECT_TRUE(logShowsReceived(fileText(log), "G 0 A"));

    ASSERT_EQ(lpcsim->stop(10s), 0);
    const std::string flash = fileText(dump);
    const auto image = test::expectedFlash(test::shippedImage(), 512000);
    EXPECT_TRUE(flash.size() == image.size() &&
                std::equal(image.begin(), image.end(), flash.begin(),
                           [](auto a, char b) { return a == static_cast<std::uint8_t>(b); }));
    fs::remove_all(dir);
}

} // namespace
} // namespace sparwick
