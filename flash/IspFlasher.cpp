#include "flash/IspFlasher.h"

#include "flash/FlashImage.h"
#include "flash/FlashLayout.h"
#include "flash/FlashReadBack.h"
#include "flash/UpdateContext.h"
#include "flash/UpdateMessages.h"
#include "platform/MessageBox.h"
#include "platform/Sleep.h"
#include "serial/LineRates.h"
#include "serial/OsalSerialPort.h"

#include <utility>

namespace sparwick {
namespace {

int percentDone(std::uint32_t offset, std::uint32_t size) {
    return static_cast<int>(static_cast<float>(offset * 100u) / static_cast<float>(size));
}

} // namespace

IspFlasher::~IspFlasher() {
    try {
        OsalSerialPort::instance().close();
    } catch (...) {
        // Its message has been shown; a destructor has no one to pass it on to.
    }
    carried.free();
}

bool IspFlasher::program(ProgressSink& progressSink, std::string portName, bool highSpeed) {
    return program(progressSink, std::move(portName), highSpeed, UpdateOptions{});
}

bool IspFlasher::program(ProgressSink& progressSink, std::string portName, bool highSpeed,
                         const UpdateOptions& options) {
    FineTimerScope fineTimer;
    verified.reset();
    carried.load();
    const std::uint32_t size = static_cast<std::uint32_t>(carried.bytes().size());
    FlashImage image(carried.bytes().data(), size);

    OsalSerialPort& port = OsalSerialPort::instance();
    port.close();
    // A port that does not open shows up at the first exchange, with the message that
    // tells the user what to check.
    const bool pausedAsHighSpeed =
        options.baudRate ? *options.baudRate > linerate::lowSpeedBaud : highSpeed;
    port.selectPort(portName, pausedAsHighSpeed, options.baudRate);

    UpdateContext context(options);
    context.synchronize();
    context.setEchoOff();
    context.unlock();
    context.checkPartId();
    const std::int32_t sectors = context.readSectorCount();
    const std::int32_t last = sectors - 1;

    // An image the part cannot hold is refused before the erase, so that a device that
    // cannot take it keeps the firmware it has.
    if (size > layout::flashSize(sectors)) {
        abortWithMessage(msg::invalidPrepareSector);
    }

    context.prepareSectors(0, last);
    context.eraseSectors(0, last);
    // Sector 0 is left out: in ISP mode its first 64 bytes read back as the boot block's
    // vectors, so it never checks blank.
    context.blankCheckSectors(1, last);

    for (std::uint32_t offset = 0; offset < size; offset += layout::blockSize) {
        context.writeToRam(layout::ramBufferAddress, layout::ramWriteLength, image.block(offset));
        const std::int32_t sector = layout::sectorOfOffset(offset, sectors);
        context.prepareSectors(sector, sector);
        context.copyRamToFlash(offset, layout::ramBufferAddress, layout::copyLength);
        progressSink.setProgress(percentDone(offset, size));
    }

    // The flash is checked while the device is still in ISP mode: a difference ends the
    // update with the firmware not started.
    if (options.verify) {
        verified = FlashReadBack(context).verifyFlash(image, progressSink);
    }

    context.goToAddress(layout::startAddress);
    showMessage(msg::success);
    return true;
}

} // namespace sparwick
