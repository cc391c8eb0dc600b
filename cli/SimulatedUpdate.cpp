#include "cli/InterruptScope.h"
#include "cli/PrintableText.h"
#include "cli/Update.h"
#include "flash/CarriedImage.h"
#include "flash/FlashImage.h"
#include "platform/UserAbort.h"
#include "serial/DeviceNames.h"
#include "sim/SimulatedDevice.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <span>
#include <unistd.h>

namespace sparwick::cli {
namespace {

// The simulated device stands for this port name within the process.
constexpr const char* simulatedPortName = "COM1";
// The device's link, in a directory of its own made for the run.
constexpr std::string_view linkName = "ttyISP";

// That directory: in TMPDIR, or in /tmp when TMPDIR is unset or empty, as the C library
// takes it. Made, or the reason it cannot be made there (missing, not a directory,
// read-only, full, a symbolic link loop, too long) as a line for standard error.
struct LinkDirectory {
    std::string path;
    std::string problem;
};

LinkDirectory makeLinkDirectory() {
    const char* tmpdir = std::getenv("TMPDIR");
    const bool fromEnvironment = tmpdir != nullptr && *tmpdir != '\0';
    const std::string parent = fromEnvironment ? tmpdir : "/tmp";
    std::string directory = (std::filesystem::path(parent) / "lpcsim-XXXXXX").string();
    int error = 0;
    if (directory.size() + 1 + linkName.size() > RemovedOnInterrupt::longestPath) {
        error = ENAMETOOLONG;
    } else if (::mkdtemp(directory.data()) == nullptr) {
        error = errno;
    }
    if (error == 0) {
        return {directory, ""};
    }
    const std::string where = fromEnvironment ? "TMPDIR=\"" + printable(parent) + "\"" : parent;
    return {"", "sparwick-cli: cannot use " + where +
                    " for the simulated device: " + std::strerror(error) + "\n"};
}

// Whether the device's flash is the image with its checksum applied and erased bytes
// after it; says which on standard output or standard error.
bool verify(const sim::SimulatedDevice& device) {
    CarriedImage carried;
    try {
        carried.load();
    } catch (const UserAbort&) {
        return false; // its message has been shown
    }
    const auto image = carried.bytes();
    const auto flash = device.flash();
    auto expected = FlashImage::patched(image);
    if (expected.size() > flash.size()) {
        std::fprintf(stderr, "Verification failed: the image does not fit the device's flash.\n");
        return false;
    }
    expected.resize(flash.size(), 0xFF);
    auto [mine, theirs] = std::mismatch(flash.begin(), flash.end(), expected.begin());
    if (mine != flash.end()) {
        std::fprintf(
            stderr, "Verification failed: flash byte 0x%05zx reads 0x%02x, the image has 0x%02x.\n",
            static_cast<std::size_t>(mine - flash.begin()), *mine, *theirs);
        return false;
    }
    std::printf("Verified: the device's flash holds the %zu bytes of the image and %zu erased "
                "bytes after them; the device started the new firmware%s.\n",
                image.size(), flash.size() - image.size(),
                device.userCodeValid() ? " and found valid user code" : "");
    return true;
}

} // namespace

ExitStatus runSimulatedUpdate(std::uint32_t partId, bool highSpeed,
                              const UpdateOptions& updateOptions) {
    sim::DeviceOptions options;
    options.partId = partId;
    // Before anything is made in the temporary directory: removed on every way out.
    RemovedOnInterrupt leftovers;
    const LinkDirectory directory = makeLinkDirectory();
    if (!directory.problem.empty()) {
        leftovers.name("", ""); // nothing to remove; written once interruptions act again
        std::fputs(directory.problem.c_str(), stderr);
        return exitUsage;
    }
    options.linkPath = directory.path + "/" + std::string(linkName);
    leftovers.name(directory.path, options.linkPath);
    try {
        sim::SimulatedDevice device(options);
        standFor(simulatedPortName, device.path());
        std::printf("Simulated LPC2000 part %u on %s, standing for %s.\n", partId,
                    printable(device.path()).c_str(), simulatedPortName);
        std::fflush(stdout);
        ExitStatus status = runUpdate(simulatedPortName, highSpeed, updateOptions);
        standFor(simulatedPortName, "");
        if (status != exitSuccess) {
            return status;
        }
        return verify(device) ? exitSuccess : exitUpdateFailed;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "sparwick-cli: the simulated device could not be started: %s\n",
                     e.what());
        return exitFatal;
    }
}

} // namespace sparwick::cli
