#include "cli/InterruptScope.h"
#include "cli/Update.h"
#include "flash/CarriedImage.h"
#include "flash/FlashImage.h"
#include "platform/UserAbort.h"
#include "serial/DeviceNames.h"
#include "sim/SimulatedDevice.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <span>

namespace sparwick::cli {
namespace {

// The simulated device stands for this port name within the process.
constexpr const char* simulatedPortName = "COM1";

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
    try {
        sim::SimulatedDevice device(options);
        const RemovedOnInterrupt leftovers(device.path());
        standFor(simulatedPortName, device.path());
        std::printf("Simulated LPC2000 part %u on %s, standing for %s.\n", partId,
                    device.path().c_str(), simulatedPortName);
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
