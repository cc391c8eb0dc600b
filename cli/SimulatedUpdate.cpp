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
#include <system_error>
#include <unistd.h>

namespace sparwick::cli {
namespace {

// The simulated device stands for this port name within the process.
constexpr const char* simulatedPortName = "COM1";
// The device's link, in a directory of its own made for the run.
constexpr std::string_view linkName = "ttyISP";

// That directory: in TMPDIR, or in /tmp when TMPDIR is unset or empty, as the C library
// takes it. Made, or the error that kept it from being made there (missing, not a
// directory, read-only, full, a symbolic link loop, too long).
struct LinkDirectory {
    std::string parent;
    bool fromEnvironment = false;
    std::string path;
    int error = 0;

    // Why the directory, or the link in it, cannot be made, as a line for standard error.
    std::string problem(int why) const {
        const std::string where = fromEnvironment ? "TMPDIR=\"" + printable(parent) + "\"" : parent;
        return "sparwick-cli: cannot use " + where +
               " for the simulated device: " + std::strerror(why) + "\n";
    }
};

LinkDirectory makeLinkDirectory() {
    LinkDirectory made;
    const char* tmpdir = std::getenv("TMPDIR");
    made.fromEnvironment = tmpdir != nullptr && *tmpdir != '\0';
    made.parent = made.fromEnvironment ? tmpdir : "/tmp";
    made.path = (std::filesystem::path(made.parent) / "lpcsim-XXXXXX").string();
    if (made.path.size() + 1 + linkName.size() > RemovedOnInterrupt::longestPath) {
        made.error = ENAMETOOLONG;
    } else if (::mkdtemp(made.path.data()) == nullptr) {
        made.error = errno;
    }
    return made;
}

// Whether the device could not be started for want of room for its link.
bool isFull(const std::system_error& e) {
    return e.code() == std::errc::no_space_on_device || e.code().value() == EDQUOT;
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

ExitStatus notStarted(const std::exception& e) {
    std::fprintf(stderr, "sparwick-cli: the simulated device could not be started: %s\n", e.what());
    return exitFatal;
}

} // namespace

ExitStatus runSimulatedUpdate(std::uint32_t partId, bool highSpeed,
                              const UpdateOptions& updateOptions) {
    sim::DeviceOptions options;
    options.partId = partId;
    // Before anything is made in the temporary directory: removed on every way out.
    RemovedOnInterrupt leftovers;
    const LinkDirectory directory = makeLinkDirectory();
    if (directory.error != 0) {
        leftovers.name("", ""); // nothing to remove; written once interruptions act again
        std::fputs(directory.problem(directory.error).c_str(), stderr);
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
    } catch (const std::system_error& e) {
        if (isFull(e)) {
            std::fputs(directory.problem(e.code().value()).c_str(), stderr);
            return exitUsage;
        }
        return notStarted(e);
    } catch (const std::exception& e) {
        return notStarted(e);
    }
}

} // namespace sparwick::cli
