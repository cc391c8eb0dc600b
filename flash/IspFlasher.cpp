#include "flash/IspFlasher.h"

#include "flash/BoardReset.h"
#include "flash/FlashImage.h"
#include "flash/FlashLayout.h"
#include "flash/FlashReadBack.h"
#include "flash/IspProtocol.h"
#include "flash/TurboPlan.h"
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
    startRun();
    const std::uint32_t size = static_cast<std::uint32_t>(carried.bytes().size());
    FlashImage image(carried.bytes().data(), size);
    std::optional<BoardReset> board;
    UpdateContext context(openPort(portName, highSpeed, options));
    if (options.reset) {
        board.emplace(*options.reset, options.resetTimings);
        board->requireLines(portName);
    }
    const std::int32_t sectors = greet(context, progressSink, options);

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
        greet(context, progressSink, options);
        try {
            writeImage(context, image, progressSink, options, board);
        } catch (const CodeReadProtected&) {
            abortWithMessage(msg::protectionStays);
        }
    }
    showMessage(msg::success);
    return true;
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

void IspFlasher::startRun() {
    verified.reset();
    learnt = {};
    carried.load();
}

UpdateOptions IspFlasher::openPort(std::string portName, bool highSpeed,
                                   const UpdateOptions& options) {
    OsalSerialPort& port = OsalSerialPort::instance();
    port.close();
    // A port that does not open shows up at the first exchange, with the message that
    // tells the user what to check.
    const bool pausedAsHighSpeed =
        options.baudRate ? *options.baudRate > linerate::lowSpeedBaud : highSpeed;
    port.selectPort(portName, pausedAsHighSpeed, options.baudRate);
    // The turbo flasher's own W goes device-paced: its lines need no fixed pause.
    UpdateOptions contextOptions = options;
    contextOptions.fast = options.fast || options.turbo;
    return contextOptions;
}

std::int32_t IspFlasher::greet(UpdateContext& context, ProgressSink& progressSink,
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
    const std::int32_t sectors = context.readSectorCount();
    learnt.partId = context.partId();
    if (options.readBootCode) {
        learnt.bootCode = context.readBootCode();
    }
    return sectors;
}

std::vector<std::uint32_t> IspFlasher::check(ProgressSink& progressSink, std::string portName,
                                             bool highSpeed, const UpdateOptions& options) {
    FineTimerScope fineTimer;
    startRun();
    UpdateContext context(openPort(portName, highSpeed, options));
    std::optional<BoardReset> board;
    if (options.reset) {
        board.emplace(*options.reset, options.resetTimings);
        board->requireLines(portName);
    }
    std::vector<std::uint32_t> differing;
    try {
        differing = compareFlash(context, progressSink, options);
    } catch (const CodeReadProtected&) {
        // Nothing can be read or run: the check erases nothing to lift the protection.
        abortWithMessage(msg::protectionRefusesCheck);
    }
    if (board) {
        // Back to the firmware as from power-on, or into the boot loader; the read-back
        // leaves the boot loader waiting already.
        if (options.afterUpdate() == AfterUpdate::reset) {
            board->restart();
        } else if (options.turbo) {
            board->holdIntoIsp();
            board->releaseIsp();
        }
    }
    return differing;
}

std::vector<std::uint32_t> IspFlasher::compareFlash(UpdateContext& context,
                                                    ProgressSink& progressSink,
                                                    const UpdateOptions& options) {
    const std::int32_t sectors = greet(context, progressSink, options);
    const std::uint32_t size = static_cast<std::uint32_t>(carried.bytes().size());
    FlashImage image(carried.bytes().data(), size);
    const std::uint32_t blocks = (size + layout::blockSize - 1) / layout::blockSize;
    std::vector<std::uint32_t> differing;
    if (options.turbo) {
        TurboSession flasher(options.turboBaud);
        flasher.start(context, layout::flashSize(sectors));
        const std::vector<std::uint32_t> flashCrcs = flasher.sums(0, layout::blockSize, blocks);
        for (std::uint32_t i = 0; i < blocks; ++i) {
            const std::span block(image.block(i * layout::blockSize), layout::copyLength);
            if (TurboSession::crc32(block) != flashCrcs[i]) {
                differing.push_back(i * layout::blockSize);
            }
        }
        return differing;
    }
    // In ISP mode the first 64 bytes read back as the boot block's vectors: the first
    // block is compared from there on.
    FlashReadBack reader(context);
    std::vector<std::uint8_t> read(layout::copyLength);
    for (std::uint32_t i = 0; i < blocks; ++i) {
        const std::uint32_t offset = i * layout::blockSize;
        const std::uint32_t skip = i == 0 ? isp::bootVectorBytes : 0;
        if (!reader.readFromFlash(offset + skip, layout::copyLength - skip, read.data())) {
            abortWithMessage(msg::readFailed);
        }
        const std::uint8_t* expected = image.block(offset) + skip;
        if (!std::equal(read.begin(), read.begin() + (layout::copyLength - skip), expected)) {
            differing.push_back(offset);
        }
        progressSink.setVerifyProgress(percentDone(i + 1, blocks));
    }
    return differing;
}

void IspFlasher::programThroughFlasher(UpdateContext& context, FlashImage& image,
                                       ProgressSink& progressSink, const UpdateOptions& options,
                                       std::optional<BoardReset>& board) {
    const std::int32_t sectors = context.sectorCount();
    const std::uint32_t size = image.size();
    const std::uint32_t blocks = (size + layout::blockSize - 1) / layout::blockSize;
    TurboSession flasher(options.turboBaud);
    learnt.turboStep = TurboStep::loading;
    flasher.start(context, layout::flashSize(sectors));

    // What the flash holds, block by block, through the end of the image's last sector.
    const auto sectorOf = [&](std::uint32_t block) {
        return static_cast<std::uint32_t>(
            layout::sectorOfOffset(block * layout::blockSize, sectors));
    };
    const std::uint32_t lastSector = sectorOf(blocks - 1);
    const std::uint32_t flashBlocks = (layout::sectorLastByte[lastSector] + 1) / layout::blockSize;
    std::vector<std::uint32_t> sectorOfBlock;
    for (std::uint32_t i = 0; i < flashBlocks; ++i) {
        sectorOfBlock.push_back(sectorOf(i));
    }
    std::vector<std::uint32_t> imageCrcs;
    // The CRC-32 of the image's blocks after the first, and of all of them.
    std::uint32_t restCrc = 0;
    std::uint32_t crc = 0;
    for (std::uint32_t i = 0; i < blocks; ++i) {
        const std::span block(image.block(i * layout::blockSize), layout::copyLength);
        imageCrcs.push_back(TurboSession::crc32(block));
        crc = TurboSession::crc32(block, crc);
        restCrc = i == 0 ? 0 : TurboSession::crc32(block, restCrc);
    }
    const std::vector<std::uint32_t> flashCrcs = flasher.sums(0, layout::blockSize, flashBlocks);
    const TurboPlan plan = planTurboUpdate(imageCrcs, flashCrcs, sectorOfBlock);

    if (plan.unchanged()) {
        progressSink.note(msg::alreadyCurrent);
    } else {
        begin(UpdateStep::erasing, progressSink);
        learnt.turboStep = TurboStep::erasing;
    }
    // Runs of neighbouring sectors go in one erase; sector 0 comes first on its own.
    for (std::size_t i = 0; i < plan.erase.size();) {
        std::size_t end = i + 1;
        while (plan.erase[i] != 0 && end < plan.erase.size() &&
               plan.erase[end] == plan.erase[end - 1] + 1) {
            ++end;
        }
        flasher.prepareAndErase(plan.erase[i], plan.erase[end - 1]);
        i = end;
    }
    if (!plan.write.empty()) {
        begin(UpdateStep::writing, progressSink);
        learnt.turboStep = TurboStep::writing;
    }
    std::uint32_t done = 0;
    bool vectorsChecked = false;
    for (const std::uint32_t index : plan.write) {
        const std::uint32_t offset = index * layout::blockSize;
        if (index == 0 && options.verify) {
            // The rest is checked before the vectors make the code valid: a board that
            // fails this verify has no code its boot loader would start.
            if (blocks > 1) {
                flasher.verify(layout::blockSize, (blocks - 1) * layout::blockSize, restCrc);
            }
            vectorsChecked = true;
        }
        progressSink.setProgress(percentDone(done, static_cast<std::uint32_t>(plan.write.size())));
        flasher.writeBlock(offset, std::span(image.block(offset), layout::copyLength),
                           sectorOfBlock[index]);
        ++done;
        learnt.bytesWritten += std::min(layout::blockSize, size - offset);
    }
    if (options.verify) {
        begin(UpdateStep::verifying, progressSink);
        learnt.turboStep = TurboStep::verifying;
    }
    if (vectorsChecked) {
        flasher.verify(0, layout::blockSize, imageCrcs[0]);
        learnt.bytesVerified = size;
    } else if (options.verify) {
        flasher.verify(0, blocks * layout::blockSize, crc);
        // The flash's CRC covers every block of the image, and the filling after it.
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
