#pragma once

#include "flash/UpdateOptions.h"

#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <string_view>

namespace sparwick {

// With UpdateOptions::reset: the part's code read protection refused a command. Nothing has
// been shown; the update erases the flash and resets the part to lift it.
class CodeReadProtected : public std::exception {
public:
    const char* what() const noexcept override { return "code read protection"; }
};

// One run of an update: the part's sector count once it is known, the image being
// written, and every ISP command, each one exchange on the serial channel. A command
// returns only when the device gave exactly the expected reply; any other outcome shows
// the command's own message and ends the update with UserAbort.
class UpdateContext {
public:
    explicit UpdateContext(const UpdateOptions& options = {});

    // "?" until a board answers "Synchronized" (UpdateOptions::awaitBoard), before
    // synchronize.
    void awaitBoard();
    // The handshake, in the order an update runs it. With UpdateOptions::awaitBoard the "?"
    // has been answered already.
    bool synchronize();
    bool setEchoOff();
    bool unlock();
    bool checkPartId();
    std::int32_t readSectorCount();
    // The boot code version as "major.minor" (K); nothing when the reply is out of shape.
    std::optional<std::string> readBootCode();

    // Flash sectors start to end, both within the part: nothing is sent otherwise.
    bool prepareSectors(std::int32_t start, std::int32_t end);
    bool eraseSectors(std::int32_t start, std::int32_t end);
    bool blankCheckSectors(std::int32_t start, std::int32_t end);

    // count bytes from data into device RAM at address, as uuencoded lines of 45 bytes
    // with a checksum exchange after every 20 lines and after the last. Reads exactly
    // count bytes of data. With options.fast the lines of each group go out back to back
    // and a RESEND has them sent again, paced, up to the refusal limit.
    bool writeToRam(std::uint32_t address, std::uint32_t count, const std::uint8_t* data);
    bool copyRamToFlash(std::uint32_t flashAddress, std::uint32_t ramAddress, std::uint32_t count);
    // Starts the code at address in ARM mode.
    bool goToAddress(std::uint32_t address);

    std::int32_t sectorCount() const { return N; }
    // The part's identification number once the handshake has read it, else 0.
    std::uint32_t partId() const { return identifiedPart; }

private:
    // The read-back's R exchange is made of the same routines.
    friend class FlashReadBack;

    // The exchange routines every command is made of: send a zero-terminated line; read
    // bytesWanted bytes with the reply time-out and terminate them in buffer.
    void sendLine(const char* text);
    bool readReply(char* buffer, std::uint32_t& bytesRead, std::int32_t bytesWanted);
    // Sends line, reads as many bytes as expected has and requires exactly those.
    void exchange(const char* line, std::string_view expected, std::string_view failure);
    bool sectorCommand(char letter, std::int32_t start, std::int32_t end);
    bool sendChecksum(std::uint32_t sum);
    void expectReply(std::string_view expected, std::string_view failure);
    // A reply that was not the expected one: whether it is the protection's refusal (its
    // line end is then read too), for an update that deals with it.
    bool refusedByProtection(std::string_view reply);
    std::int32_t identifyPart();
    // The board reset into ISP mode through the modem lines until it answers "?"
    // (UpdateOptions::reset), P0.14 released once it has.
    void resetIntoIsp();
    // "?" after a purge: whether the reply within timeoutMs is "Synchronized". A read the
    // port cannot make ends with readFailure's message.
    bool askForSync(std::int32_t timeoutMs, std::string_view readFailure);
    // The lines of count bytes from data, each followed by a pause of pauseMs when it is
    // not 0; returns the sum of the bytes.
    std::uint32_t sendDataLines(const std::uint8_t* data, std::uint32_t count,
                                std::uint32_t pauseMs);
    void sendGroupPacedByDevice(const std::uint8_t* data, std::uint32_t count,
                                std::uint32_t pauseMs);
    // Sends the checksum line: true for OK, false for a whole RESEND; any other reply
    // ends the update.
    bool checksumAccepted(std::uint32_t sum);

    std::int32_t N = 0;
    std::uint32_t identifiedPart = 0;
    UpdateOptions options;
};

} // namespace sparwick
