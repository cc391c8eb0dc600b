#pragma once

#include "flash/CarriedImage.h"
#include "flash/ProgressSink.h"
#include "flash/ReadBackRange.h"
#include "flash/UpdateOptions.h"

#include <cstdint>
#include <optional>
#include <string>

namespace sparwick {

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

    bool program(ProgressSink& progressSink, std::string portName, bool highSpeed);
    // The same update with the choices in options; with the default options it is the one
    // above.
    bool program(ProgressSink& progressSink, std::string portName, bool highSpeed,
                 const UpdateOptions& options);

    // What the last program with options.verify read back and found as sent; nothing
    // when it did not verify or did not get that far.
    const std::optional<ReadBackRange>& verifiedRange() const { return verified; }

private:
    // The blocks, the verify and the go through the turbo flasher, after the handshake.
    void programThroughFlasher(UpdateContext& context, FlashImage& image,
                               ProgressSink& progressSink, const UpdateOptions& options);

    CarriedImage carried;
    std::optional<ReadBackRange> verified;
};

} // namespace sparwick
