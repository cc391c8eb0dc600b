#pragma once

#include "flash/CarriedImage.h"
#include "flash/ProgressSink.h"
#include "flash/ReadBackRange.h"
#include "flash/UpdateOptions.h"
#include "flash/UpdateOutcome.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sparwick {

// What an update learnt of its board and did to it, as far as it got: for a record of the
// board, whether the update succeeded or not.
struct UpdateFacts {
    std::uint32_t partId = 0;              // 0 until the handshake identified the part
    std::optional<std::string> bootCode;   // "major.minor", when asked for and answered
    std::uint32_t bytesWritten = 0;        // bytes of the image copied to flash
    std::uint32_t bytesVerified = 0;       // bytes read back and found as sent
    UpdateStep step = UpdateStep::loading; // the step under way, or the last one
    TurboStep turboStep = TurboStep::none; // the same within the turbo flasher
};
class BoardReset;
class FlashImage;
class UpdateContext;

// One press of "Update Software": writes the firmware image this program carries into
// the flash of the device on portName and starts it. Ends with the success message and
// true, or with a failure's message and UserAbort (or a framework error). Destroying the
// flasher closes the serial channel and frees the image, however the update ended.
class IspFlasher {
public:
    IspFlasher() = default;
    ~IspFlasher();
    IspFlasher(const IspFlasher&) = delete;
    IspFlasher& operator=(const IspFlasher&) = delete;

    // With the default options it is the update the dialog's button runs.
    bool program(ProgressSink& progressSink, std::string portName, bool highSpeed,
                 const UpdateOptions& options = {});

    // Writes nothing: the offsets of the image's blocks that the device's flash does not
    // hold, none when it holds the image. Through the turbo flasher's CRCs with
    // options.turbo (the device is then left running the flasher until a power cycle),
    // otherwise through the boot loader's read-back (the device stays in ISP mode). With
    // options.reset the board is reset into ISP mode first and, after the check, into its
    // firmware (AfterUpdate::reset) or its boot loader (stay). A failure ends it with its
    // message and UserAbort, as an update's does.
    std::vector<std::uint32_t> check(ProgressSink& progressSink, std::string portName,
                                     bool highSpeed, const UpdateOptions& options);

    // What the last program with options.verify read back and found as sent; nothing
    // when it did not verify or did not get that far.
    const std::optional<ReadBackRange>& verifiedRange() const { return verified; }
    // What the last program learnt and did, also when it failed or was interrupted.
    const UpdateFacts& facts() const { return learnt; }

private:
    void begin(UpdateStep step, ProgressSink& progressSink);
    // Forgets the last run's results and loads the image.
    void startRun();
    // Selects the port; the options the update's exchanges run with.
    static UpdateOptions openPort(std::string portName, bool highSpeed,
                                  const UpdateOptions& options);
    // The handshake, the unlock and the part: the part's sector count.
    std::int32_t greet(UpdateContext& context, ProgressSink& progressSink,
                       const UpdateOptions& options);
    // The check after the port is open: the handshake, then the flash against the image.
    std::vector<std::uint32_t> compareFlash(UpdateContext& context, ProgressSink& progressSink,
                                            const UpdateOptions& options);
    // Everything after the handshake: the erase, the blocks, the verify and the end.
    void writeImage(UpdateContext& context, FlashImage& image, ProgressSink& progressSink,
                    const UpdateOptions& options, std::optional<BoardReset>& board);
    // The blocks, the verify and the go through the turbo flasher, after the handshake.
    void programThroughFlasher(UpdateContext& context, FlashImage& image,
                               ProgressSink& progressSink, const UpdateOptions& options,
                               std::optional<BoardReset>& board);
    // AfterUpdate::reset: a RESET pulse where the board is wired for it, else the go.
    static void restartOrGo(UpdateContext& context, std::optional<BoardReset>& board);

    CarriedImage carried;
    std::optional<ReadBackRange> verified;
    UpdateFacts learnt;
};

} // namespace sparwick
