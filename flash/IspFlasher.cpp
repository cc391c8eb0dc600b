#include "flash/IspFlasher.h"

#include "flash/BoardReset.h"
#include "flash/FlashImage.h"
#include "flash/FlashLayout.h"
#include "flash/FlashReadBack.h"
#include "flash/TurboSession.h"
#include "flash/UpdateContext.h"
#include "flash/UpdateMessages.h"
#include "platform/MessageBox.h"
#include "platform/Sleep.h"
#include "serial/LineRates.h"
#include "serial/OsalSerialPort.h"

#include <algorithm>
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

void IspFlasher::begin(UpdateStep step, ProgressSink& progressSink) {
    learnt.step = step;
    progressSink.stepBegun(step);
}

bool IspFlasher::program(ProgressSink& progressSink, std::string portName, bool highSpeed,
                         const UpdateOptions& options) {
    FineTimerScope fineTimer;
    verified.reset();
    learnt = {};
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
    std::optional<BoardReset> board;
    if (options.reset) {
        board.emplace(*options.reset, options.resetTimings);
        board->requireLines(portName);
    }

    // The turbo flasher's own W goes device-paced: its lines need no fixed pause.
    UpdateOptions contextOptions = options;
    contextOptions.fast = options.fast || options.turbo;
    UpdateContext context(contextOptions);
    const std::int32_t sectors = handshake(context, progressSink, options);
    learnt.partId = context.partId();
    if (options.readBootCode) {
        learnt.bootCode = context.readBootCode();
    }

    // An image the part cannot hold is refused before the erase, so that a device that
    // cannot take it keeps the firmware it has.
    if (size > layout::flashSize(sectors)) {
        abortWithMessage(msg::invalidPrepareSector);
    }

    try {
        writeImage(context, image, progressSink, options, board);
    } catch (const CodeReadProtected&) {
        // The protection lets every sector be erased at once, its word with them; the
        // reset that follows reads it again, from blank flash, and the board stays in its
        // boot loader whatever P0.14 does, as it holds no valid code.
        context.prepareSectors(0, sectors - 1);
        context.eraseSectors(0, sectors - 1);
        handshake(context, progressSink, options);
        try {
            writeImage(context, image, progressSink, options, board);
        } catch (const CodeReadProtected&) {
            abortWithMessage(msg::protectionStays);
        }
    }
    showMessage(msg::success);
    return true;
}

std::int32_t IspFlasher::handshake(UpdateContext& context, ProgressSink& progressSink,
                                   const UpdateOptions& options) {
    begin(UpdateStep::synchronizing, progressSink);
    if (options.awaitBoard) {
        // A board that answered is one to count, whatever follows.
        context.awaitBoard();
        progressSink.boardAnswered();
    }
    context.synchronize();
    begin(UpdateStep::identifying, progressSink);
    context.setEchoOff();
    context.unlock();
    context.checkPartId();
    return context.readSectorCount();
}

void IspFlasher::writeImage(UpdateContext& context, FlashImage& image, ProgressSink& progressSink,
                            const UpdateOptions& options, std::optional<BoardReset>& board) {
    const std::int32_t sectors = context.sectorCount();
    const std::int32_t last = sectors - 1;
    const std::uint32_t size = image.size();
    if (options.turbo) {
        programThroughFlasher(context, image, progressSink, options, board);
        return;
    }

    begin(UpdateStep::erasing, progressSink);
    context.prepareSectors(0, last);
    context.eraseSectors(0, last);
    // Sector 0 is left out: in ISP mode its first 64 bytes read back as the boot block's
    // vectors, so it never checks blank.
    context.blankCheckSectors(1, last);

    begin(UpdateStep::writing, progressSink);
    for (std::uint32_t offset = 0; offset < size; offset += layout::blockSize) {
        context.writeToRam(layout::ramBufferAddress, layout::ramWriteLength, image.block(offset));
        const std::int32_t sector = layout::sectorOfOffset(offset, sectors);
        context.prepareSectors(sector, sector);
        context.copyRamToFlash(offset, layout::ramBufferAddress, layout::copyLength);
        learnt.bytesWritten = std::min(size, offset + layout::blockSize);
        progressSink.setProgress(percentDone(offset, size));
    }

    // The flash is checked while the device is still in ISP mode: a difference ends the
    // update with the firmware not started.
    if (options.verify) {
        begin(UpdateStep::verifying, progressSink);
        verified = FlashReadBack(context).verifyFlash(image, progressSink);
        learnt.bytesVerified = verified ? verified->size() : 0;
    }

    begin(UpdateStep::starting, progressSink);
    switch (options.afterUpdate()) {
    case AfterUpdate::go:
        context.goToAddress(layout::startAddress);
        break;
    case AfterUpdate::reset:
        restartOrGo(context, board);
        break;
    case AfterUpdate::stay:
        break;
    }
}

void IspFlasher::restartOrGo(UpdateContext& context, std::optional<BoardReset>& board) {
    // Only a wired board can be reset; without the wiring the go is the way to start it.
    if (board) {
        board->restart();
    } else {
        context.goToAddress(layout::startAddress);
    }
}

void IspFlasher::programThroughFlasher(UpdateContext& context, FlashImage& image,
                                       ProgressSink& progressSink, const UpdateOptions& options,
                                       std::optional<BoardReset>& board) {
    const std::int32_t sectors = context.sectorCount();
    const std::uint32_t size = image.size();
    TurboSession flasher(options.turboBaud);
    learnt.turboStep = TurboStep::loading;
    flasher.start(context);
    begin(UpdateStep::erasing, progressSink);
    learnt.turboStep = TurboStep::erasing;
    flasher.prepareAndErase(0, static_cast<std::uint32_t>(sectors - 1));
    std::uint32_t crc = 0;
    std::uint32_t offset = 0;
    begin(UpdateStep::writing, progressSink);
    learnt.turboStep = TurboStep::writing;
    for (; offset < size; offset += layout::blockSize) {
        const std::span block(image.block(offset), layout::copyLength);
        const auto sector = static_cast<std::uint32_t>(layout::sectorOfOffset(offset, sectors));
        flasher.writeBlock(offset, block, sector);
        crc = TurboSession::crc32(block, crc);
        learnt.bytesWritten = std::min(size, offset + layout::blockSize);
        progressSink.setProgress(percentDone(offset, size));
    }
    if (options.verify) {
        begin(UpdateStep::verifying, progressSink);
        learnt.turboStep = TurboStep::verifying;
        flasher.verify(offset, crc);
        // The flash's CRC covers every block written, the image and the filling after it.
        learnt.bytesVerified = size;
    }
    begin(UpdateStep::starting, progressSink);
    learnt.turboStep = TurboStep::starting;
    // The flasher runs in RAM: a reset ends it, into the firmware or into the boot loader.
    const AfterUpdate after = board ? options.afterUpdate() : AfterUpdate::go;
    if (after == AfterUpdate::go) {
        flasher.go();
    } else if (after == AfterUpdate::reset) {
        board->restart();
    } else {
        board->holdIntoIsp();
        board->releaseIsp();
    }
}

} // namespace sparwick
