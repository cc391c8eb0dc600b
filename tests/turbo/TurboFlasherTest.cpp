#include "../sim/DeviceTest.h"
#include "../sim/IspTransfers.h"
#include "TurboTestClient.h"
#include "tests/support/Eventually.h"

#include <algorithm>
#include <functional>
#include <random>
#include <termios.h>
#include <vector>
#include <zlib.h>

namespace sparwick::sim::test {
namespace {

using sparwick::test::eventually;
using turbo::Command;
using turbo::Status;

// What the device does at once, given the time a loaded machine may keep it waiting.
constexpr std::chrono::milliseconds waitLimit{10000};
// Code that runs away by never touching the UART is caught after 100 million instructions:
// seconds of a free CPU, many more of a loaded one.
constexpr std::chrono::milliseconds runAwayLimit{40000};

constexpr std::uint32_t sectorSize = 4096;

// Bytes with XON, XOFF, ESC and line ends among them: the line is binary.
std::vector<std::uint8_t> image(std::size_t size) {
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<std::uint8_t>((i * 29 + i / 251) ^ 0x11);
    }
    // Valid user code: the vector table's eight words sum to 0.
    std::uint32_t sum = 0;
    for (std::size_t w = 0; w < 8; ++w) {
        if (w != 5) {
            sum += static_cast<std::uint32_t>(bytes[w * 4]) | bytes[w * 4 + 1] << 8 |
                   bytes[w * 4 + 2] << 16 | static_cast<std::uint32_t>(bytes[w * 4 + 3]) << 24;
        }
    }
    const std::uint32_t check = 0u - sum;
    for (std::size_t b = 0; b < 4; ++b) {
        bytes[20 + b] = static_cast<std::uint8_t>(check >> (8 * b));
    }
    return bytes;
}

class TurboFlasherTest : public DeviceTest {
protected:
    // The boot loader at 115200, the flasher loaded and started, the host at its rate.
    void startFlasher(DeviceOptions options = {}, unsigned hostSpeed = B921600) {
        start(std::move(options));
        client->setSpeed(B115200);
        client->synchronize();
        turbo = std::make_unique<TurboTestClient>(*client);
        ASSERT_TRUE(turbo->load());
        client->setSpeed(hostSpeed);
    }

    // ARM code into RAM at the flasher's address through the boot loader.
    bool loadCode(const std::vector<std::uint32_t>& code) {
        client->synchronize();
        client->unlock();
        std::vector<std::uint8_t> bytes;
        for (const std::uint32_t word : code) {
            for (int b = 0; b < 4; ++b) {
                bytes.push_back(static_cast<std::uint8_t>(word >> (8 * b)));
            }
        }
        return writeToRam(*client, turbo::loadAddress, bytes);
    }

    std::unique_ptr<TurboTestClient> turbo;
};

std::uint32_t crcOf(const std::vector<std::uint8_t>& bytes) {
    return TurboTestClient::crc32(bytes);
}

TEST_F(TurboFlasherTest, AnUpdateVerifiedByCrcStartsTheFirmware) {
    // Paced at each end's rate: the boot loader's 115200, then the flasher's 921600.
    DeviceOptions options;
    options.wireBaud = 0;
    startFlasher(options);
    const std::vector<std::uint8_t> firmware = image(3 * sectorSize);
    ASSERT_EQ(turbo->hello().status, Status::ok);
    ASSERT_EQ(turbo->request(Command::prepare, {0, 2}).status, Status::ok);
    ASSERT_EQ(turbo->request(Command::erase, {0, 2}).status, Status::ok);
    for (std::uint32_t sector = 0; sector < 3; ++sector) {
        const std::span block(firmware.data() + sector * sectorSize, sectorSize);
        const auto sent = turbo->data(block);
        ASSERT_EQ(sent.status, Status::ok);
        EXPECT_EQ(sent.value, TurboTestClient::crc32(block));
        ASSERT_EQ(turbo->request(Command::prepare, {sector, sector}).status, Status::ok);
        ASSERT_EQ(turbo->request(Command::write, {sector * sectorSize, sectorSize}).status,
                  Status::ok);
    }
    const auto verify = turbo->request(Command::crc, {0, 3 * sectorSize});
    EXPECT_EQ(verify.status, Status::ok);
    EXPECT_EQ(verify.value, crcOf(firmware));
    EXPECT_EQ(device->statistics().ramCodeBaud, 921600u);
    // Block by block, and past the image the erased flash.
    const auto sums = turbo->sums(0, sectorSize, 4);
    ASSERT_EQ(sums.size(), 4u) << device->statistics().ramCodeFault;
    for (std::uint32_t i = 0; i < 4; ++i) {
        const auto block = i < 3
                               ? std::vector<std::uint8_t>(firmware.begin() + i * sectorSize,
                                                           firmware.begin() + (i + 1) * sectorSize)
                               : std::vector<std::uint8_t>(sectorSize, 0xFF);
        EXPECT_EQ(sums[i].value, crcOf(block)) << i;
    }

    ASSERT_EQ(turbo->request(Command::go, {}).status, Status::ok);
    EXPECT_TRUE(eventually([&] { return device->statistics().firmwareStarted; }, waitLimit));
    // The firmware finds UART0 and the clocks as the boot loader left them.
    EXPECT_EQ(device->statistics().ramCodeBaud, 115200u);
    const auto flash = device->flash();
    EXPECT_TRUE(std::equal(firmware.begin(), firmware.end(), flash.begin()));
}

TEST_F(TurboFlasherTest, ACorruptCopyIsCaughtByTheCrc) {
    DeviceOptions options;
    options.faults.push_back(*parseFaultRule("copy#1=corrupt"));
    startFlasher(options);
    const std::vector<std::uint8_t> firmware = image(sectorSize);
    ASSERT_EQ(turbo->hello().status, Status::ok);
    ASSERT_EQ(turbo->request(Command::prepare, {0, 0}).status, Status::ok);
    ASSERT_EQ(turbo->request(Command::erase, {0, 0}).status, Status::ok);
    ASSERT_EQ(turbo->data(firmware).status, Status::ok);
    ASSERT_EQ(turbo->request(Command::prepare, {0, 0}).status, Status::ok);
    EXPECT_EQ(turbo->request(Command::write, {0, sectorSize}).status, Status::ok);
    const auto verify = turbo->request(Command::crc, {0, sectorSize});
    EXPECT_EQ(verify.status, Status::ok);
    EXPECT_NE(verify.value, crcOf(firmware));
}

// zlib's raw deflate of the bytes, with the level and strategy given; when flushAt is not
// 0, the first flushAt bytes at that level, flushed whole (an empty stored block after
// them), and the rest at the level after.
std::vector<std::uint8_t> deflated(const std::vector<std::uint8_t>& bytes, int level,
                                   int strategy = Z_DEFAULT_STRATEGY, std::size_t flushAt = 0,
                                   int levelAfter = 9) {
    z_stream stream{};
    EXPECT_EQ(deflateInit2(&stream, level, Z_DEFLATED, -15, 8, strategy), Z_OK);
    std::vector<std::uint8_t> out(2 * bytes.size() + 64);
    std::vector<std::uint8_t> in(bytes);
    stream.next_out = out.data();
    stream.avail_out = static_cast<uInt>(out.size());
    stream.next_in = in.data();
    if (flushAt != 0) {
        stream.avail_in = static_cast<uInt>(flushAt);
        EXPECT_EQ(deflate(&stream, Z_FULL_FLUSH), Z_OK);
        EXPECT_EQ(deflateParams(&stream, levelAfter, Z_DEFAULT_STRATEGY), Z_OK);
    }
    stream.avail_in = static_cast<uInt>(in.size() - flushAt);
    EXPECT_EQ(deflate(&stream, Z_FINISH), Z_STREAM_END);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return out;
}

// Bits for a hand-made deflate stream: fields from their lowest bit, Huffman codes from
// their highest.
struct BitWriter {
    std::vector<std::uint8_t> bytes;
    unsigned used = 0;
    BitWriter& bits(std::uint32_t value, unsigned count) {
        for (unsigned i = 0; i < count; ++i, ++used) {
            if (used % 8 == 0) {
                bytes.push_back(0);
            }
            bytes.back() |= static_cast<std::uint8_t>(((value >> i) & 1u) << (used % 8));
        }
        return *this;
    }
    BitWriter& code(std::uint32_t value, unsigned length) {
        for (unsigned i = length; i-- > 0;) {
            bits(value >> i, 1);
        }
        return *this;
    }
    // The last block, with the fixed codes.
    static BitWriter fixedBlock() { return BitWriter{}.bits(1, 1).bits(1, 2); }
};

TEST_F(TurboFlasherTest, CompressedBlocksInflateToTheBlock) {
    std::mt19937 random(26);
    std::vector<std::uint8_t> noise(sectorSize);
    for (auto& byte : noise) {
        byte = static_cast<std::uint8_t>(random());
    }
    std::vector<std::uint8_t> words;
    const std::string text = "ldr r0, [r1, #4]\nbl uart_put\nmov r2, r0\nstr r2, [sp]\n";
    for (std::size_t i = 0; words.size() < sectorSize; ++i) {
        words.push_back(static_cast<std::uint8_t>(text[(i * 7) % text.size()] ^ (i % 13 == 0)));
    }
    words.resize(sectorSize);
    // The first 300 bytes again at the end: a match as far back as a block allows.
    std::vector<std::uint8_t> far(noise);
    std::copy(noise.begin(), noise.begin() + 300, far.end() - 300);
    struct Case {
        const char* name;
        std::vector<std::uint8_t> block;
        std::vector<std::uint8_t> stream;
    };
    std::vector<Case> cases = {
        {"dynamic codes", words, deflated(words, 9)},
        {"fixed codes", words, deflated(words, 9, Z_FIXED)},
        {"stored, then dynamic codes", words, deflated(words, 0, Z_DEFAULT_STRATEGY, 1000)},
        {"all 0xFF: matches of 258", std::vector<std::uint8_t>(sectorSize, 0xFF),
         deflated(std::vector<std::uint8_t>(sectorSize, 0xFF), 9)},
        {"the farthest distance", far, deflated(far, 9)},
        {"dynamic, an empty stored block, dynamic", words,
         deflated(words, 9, Z_DEFAULT_STRATEGY, 2000)},
    };
    // Stored blocks after codes of two symbols and the end's, the end's code short: what
    // the flasher took of the stream ahead of the codes must go back to it.
    std::vector<std::uint8_t> two(600);
    for (auto& byte : two) {
        byte = "ab"[random() % 2];
    }
    for (const std::size_t at : {200, 201, 202, 203}) {
        cases.insert(cases.begin(),
                     {"codes, then stored", two, deflated(two, 9, Z_HUFFMAN_ONLY, at, 0)});
    }
    startFlasher();
    ASSERT_EQ(turbo->hello().status, Status::ok);
    for (const Case& c : cases) {
        const auto reply = turbo->compressed(c.stream, crcOf(c.block));
        EXPECT_EQ(reply.status, Status::ok) << c.name;
        EXPECT_EQ(reply.value, crcOf(c.block)) << c.name;
    }
    // The block inflated is the one a copy takes.
    ASSERT_EQ(turbo->request(Command::prepare, {1, 1}).status, Status::ok);
    ASSERT_EQ(turbo->request(Command::write, {sectorSize, sectorSize}).status, Status::ok);
    EXPECT_EQ(turbo->request(Command::crc, {sectorSize, sectorSize}).value, crcOf(words));
}

TEST_F(TurboFlasherTest, AMalformedStreamIsRefusedAndTheFlasherServesOn) {
    const std::vector<std::uint8_t> ones(sectorSize + 4, 0xFF);
    const std::vector<std::uint8_t> words = image(sectorSize);
    // Whole words: zeros after a cut stream may end it.
    std::vector<std::uint8_t> truncated = deflated(words, 9);
    truncated.resize(truncated.size() / 8 * 4);
    struct Case {
        const char* name;
        std::vector<std::uint8_t> stream;
        std::uint32_t made;
    };
    const std::vector<Case> cases = {
        {"block type 3", BitWriter{}.bits(1, 1).bits(3, 2).bytes, 0},
        {"stored lengths that do not match", {0x01, 0x04, 0x00, 0x00, 0x00, 'a', 'b', 'c', 'd'}, 0},
        // 'A', then a length and distance code 30, which no block may use.
        {"a code the table does not hold",
         BitWriter::fixedBlock().code(0x30 + 'A', 8).code(1, 7).code(30, 5).bytes, 1},
        {"length code 286", BitWriter::fixedBlock().code(0xC0 + 6, 8).bytes, 0},
        {"a distance before the start", BitWriter::fixedBlock().code(1, 7).code(0, 5).bytes, 0},
        {"output past the block", deflated(ones, 9), 0},
        {"input that ends before the last block", truncated, 0},
    };
    startFlasher();
    ASSERT_EQ(turbo->hello().status, Status::ok);
    for (const Case& c : cases) {
        const auto reply = turbo->compressed(c.stream, 0);
        EXPECT_EQ(reply.status, Status::badStream) << c.name;
        EXPECT_LE(reply.value, sectorSize) << c.name;
        if (c.made != 0) {
            EXPECT_EQ(reply.value, c.made) << c.name;
        }
        // Nothing kept for a copy; the next block is taken.
        EXPECT_EQ(turbo->request(Command::write, {0, 256}).status, Status::badLength) << c.name;
        EXPECT_EQ(turbo->data(words).status, Status::ok) << c.name;
    }
}

TEST_F(TurboFlasherTest, ABlockWhoseCrcFailsIsNotKept) {
    startFlasher();
    const std::vector<std::uint8_t> block = image(1024);
    ASSERT_EQ(turbo->hello().status, Status::ok);
    const auto refused = turbo->data(block, crcOf(block) ^ 1);
    EXPECT_EQ(refused.status, Status::badCrc);
    EXPECT_EQ(refused.value, crcOf(block));
    ASSERT_EQ(turbo->request(Command::prepare, {0, 0}).status, Status::ok);
    EXPECT_EQ(turbo->request(Command::write, {0, 1024}).status, Status::badLength);
    // Sent again, it is copied.
    ASSERT_EQ(turbo->data(block).status, Status::ok);
    EXPECT_EQ(turbo->request(Command::write, {0, 1024}).status, Status::ok);
    EXPECT_EQ(turbo->request(Command::crc, {0, 1024}).value, crcOf(block));
}

TEST_F(TurboFlasherTest, UntilItsHandshakeTheFlasherObeysNothingAndResynchronises) {
    startFlasher();
    const auto refused = turbo->hello(turbo::version + 1);
    EXPECT_EQ(refused.status, Status::wrongVersion);
    EXPECT_EQ(refused.value, turbo::version);
    EXPECT_EQ(turbo->hello(turbo::version, 0x80001).status, Status::outOfRange);
    // Ignored until a handshake: no answer, nothing erased.
    EXPECT_FALSE(turbo->request(Command::erase, {0, 0}, std::chrono::milliseconds{100}).complete);
    // A handshake that lost a byte on the line is not completed by the next one.
    // H, version 3, 512000, the check.
    const std::string hello("H\x03\x00\x00\x00\x00\xD0\x07\x00\xA6\x13\x3B\x5A", 13);
    turbo->raw(hello.substr(0, 8) + hello.substr(9));
    EXPECT_EQ(turbo->hello().status, Status::ok);
    EXPECT_EQ(turbo->request(Command::prepare, {0, 0}).status, Status::ok);
}

TEST_F(TurboFlasherTest, TheFlashersRulesAndTheIapsStatuses) {
    struct Case {
        Command command;
        std::vector<std::uint32_t> args;
        Status status;
        std::uint32_t value;
    };
    // Nothing prepared; a good block of 4096 bytes in RAM.
    const std::vector<Case> cases = {
        {Command::write, {0, 4096}, Status::iapFailed, 9},
        {Command::erase, {0, 0}, Status::iapFailed, 9},
        {Command::prepare, {3, 2}, Status::iapFailed, 7},
        {Command::prepare, {0, 27}, Status::iapFailed, 7},
        {Command::write, {128, 256}, Status::iapFailed, 3},
        {Command::write, {0, 300}, Status::iapFailed, 6},
        {Command::write, {512000, 256}, Status::iapFailed, 5},
        {Command::crc, {511999, 2}, Status::outOfRange, 512000},
        {Command::crc, {0xFFFFFFFF, 2}, Status::outOfRange, 512000},
        {Command::sums, {0, 4096, 0}, Status::outOfRange, 512000},
        {Command::sums, {4096, 0x10000, 0x10000}, Status::outOfRange, 512000},
        {static_cast<Command>('Q'), {}, Status::unknownCommand, 'Q'},
    };
    startFlasher();
    ASSERT_EQ(turbo->hello().status, Status::ok);
    ASSERT_EQ(turbo->data(image(sectorSize)).status, Status::ok);
    for (const Case& c : cases) {
        std::initializer_list<std::uint32_t> none;
        const auto reply = c.args.size() == 3
                               ? turbo->request(c.command, {c.args[0], c.args[1], c.args[2]})
                           : c.args.size() == 2 ? turbo->request(c.command, {c.args[0], c.args[1]})
                                                : turbo->request(c.command, none);
        EXPECT_TRUE(reply.complete) << static_cast<char>(c.command);
        EXPECT_EQ(reply.status, c.status) << static_cast<char>(c.command) << " " << c.args[0];
        EXPECT_EQ(reply.value, c.value) << static_cast<char>(c.command) << " " << c.args[0];
    }
}

TEST_F(TurboFlasherTest, EndsAtDifferentRatesDoNotUnderstandEachOther) {
    struct Case {
        std::uint32_t divisor;
        unsigned hostSpeed;
        bool understood;
    };
    const Case cases[] = {
        {8, B460800, true},
        {4, B115200, false},
        {8, B921600, false},
    };
    for (const Case& c : cases) {
        start();
        client->setSpeed(B115200);
        client->synchronize();
        turbo = std::make_unique<TurboTestClient>(*client);
        ASSERT_TRUE(turbo->load(c.divisor));
        client->setSpeed(c.hostSpeed);
        // An answer may be late on a loaded machine; silence is waited for a short while
        // only, since lateness cannot make a garbled handshake understood.
        const auto reply = turbo->request(
            Command::hello, {turbo::version, 512000, turbo::helloCheck(turbo::version, 512000)},
            std::chrono::milliseconds{c.understood ? 5000 : 300});
        const bool understood =
            reply.complete && reply.status == Status::ok && reply.value == turbo::version;
        EXPECT_EQ(understood, c.understood) << c.divisor;
        // A power cycle brings the boot loader back at any rate it locks to.
        device->powerCycle();
        client->setSpeed(B115200);
        client->readUntilQuiet(std::chrono::milliseconds{20});
        client->synchronize();
        EXPECT_TRUE(device->statistics().synchronized) << c.divisor;
    }
}

TEST_F(TurboFlasherTest, CodeThatRunsAwayIsLoggedAndTheDeviceLooksDead) {
    struct Case {
        std::vector<std::uint32_t> code;
        std::string fault;
    };
    const std::vector<Case> cases = {
        {{0xE7F000F0}, "undefined instruction at pc 0x40000200"},
        // ldr r0, [pc]; ldr r0, [r0]; .word 0x90000000
        {{0xE59F0000, 0xE5900000, 0x90000000},
         "outside memory at 0x90000000 in the block of code at 0x40000200"},
        // mov r0, #0; str r0, [r0]
        {{0xE3A00000, 0xE5800000},
         "write of 4 bytes to the flash at 0x00000000 in the block of code at 0x40000200"},
        // ldr r0, [pc]; bx r0; .word 0x00100000 (past the flash)
        {{0xE59F0000, 0xE12FFF10, 0x00100000}, "fetch from unmapped memory at 0x00100000"},
        // ldr r0, [pc]; bx r0; the IAP entry without its Thumb bit, then the boot ROM
        {{0xE59F0000, 0xE12FFF10, 0x7FFFFFF0}, "called the IAP entry in ARM state"},
        {{0xE59F0000, 0xE12FFF10, 0x7FFFE001}, "entered the boot ROM at 0x7FFFE000"},
        // b . : no UART access for a long time
        {{0xEAFFFFFE}, "no UART activity"},
    };
    for (const Case& c : cases) {
        start();
        ASSERT_TRUE(loadCode(c.code));
        ASSERT_EQ(command("G " + std::to_string(turbo::loadAddress) + " A", "0\r\n"), "0\r\n");
        EXPECT_TRUE(
            eventually([&] { return !device->statistics().ramCodeFault.empty(); }, runAwayLimit));
        EXPECT_NE(device->statistics().ramCodeFault.find(c.fault), std::string::npos)
            << device->statistics().ramCodeFault;
        EXPECT_EQ(client->collect("?"), "");
    }
}

// Each rule of the emulated part that a friendlier model would let a flasher rely on: a
// few instructions that do so, and what they meet on this part.
TEST_F(TurboFlasherTest, ThePartIsAsStrictAsARealOne) {
    struct Case {
        const char* rule;
        std::vector<std::uint32_t> code;
        std::vector<std::uint8_t> flash;
        // What reaches the host: the boot loader's answer to G and what the code sends;
        // or, for code that runs away, its fault.
        std::size_t bytes;
        std::function<void(const std::string& sent, const std::string& fault)> check;
    };
    const std::vector<Case> cases = {
        {"an IAP call writes five result words, the top 32 bytes of RAM and below its stack",
         // 0x5A after four result words, below the stack and at the top of RAM; part id;
         // the three bytes sent.
         {0xE59FD050, 0xE59F4050, 0xE3A01036, 0xE5841000, 0xE3A0505A, 0xE5845030, 0xE50D5004,
          0xE59F603C, 0xE5865000, 0xE1A00004, 0xE2841020, 0xE3E0C13A, 0xE1A0E00F, 0xE12FFF1C,
          0xE59F2024, 0xE5D40030, 0xE5C20000, 0xE55D0004, 0xE5C20000, 0xE5D60000, 0xE5C20000,
          0xEAFFFFFE, 0x40007EE0, 0x40000400, 0x40007FFC, 0xE000C000},
         {},
         6,
         [](const std::string& sent, const std::string&) {
             ASSERT_EQ(sent.size(), 6u);
             EXPECT_EQ(sent.substr(3).find('\x5A'), std::string::npos);
         }},
        {"MEMMAP as the boot loader left it puts the boot block's vectors at 0",
         // ldrb r1, [0]; sent.
         {0xE3A00000, 0xE5D01000, 0xE59F2004, 0xE5C21000, 0xEAFFFFFE, 0xE000C000},
         image(sectorSize),
         4,
         [](const std::string& sent, const std::string&) { EXPECT_EQ(sent, "0\r\n\x18"); }},
        {"a byte is garbled when the rate changes before it has left",
         // 'X' into the transmitter, then the divisor changed at once (what is left of the
         // answer to G may be garbled too).
         {0xE59F2020, 0xE3A00058, 0xE5C20000, 0xE3A00083, 0xE5C2000C, 0xE3A00001, 0xE5C20000,
          0xE3A00003, 0xE5C2000C, 0xEAFFFFFE, 0xE000C000},
         {},
         4,
         [](const std::string& sent, const std::string&) {
             ASSERT_EQ(sent.size(), 4u);
             EXPECT_NE(sent[3], 'X');
         }},
        {"the PLL locks after a while",
         // Enabled and connected in two feeds, without waiting for PLOCK.
         {0xE59FA030, 0xE3A00023, 0xE58A0084, 0xE3A00001, 0xE58A0080, 0xE3A010AA, 0xE3A02055,
          0xE58A108C, 0xE58A208C, 0xE3A00003, 0xE58A0080, 0xE58A108C, 0xE58A208C, 0xEAFFFFFE,
          0xE01FC000},
         {},
         0,
         [](const std::string&, const std::string& fault) {
             EXPECT_NE(fault.find("PLL connected before it locked"), std::string::npos) << fault;
         }},
    };
    for (const Case& c : cases) {
        DeviceOptions options;
        options.flash = c.flash;
        start(options);
        ASSERT_TRUE(loadCode(c.code)) << c.rule;
        // The boot loader's answer to G, then what the code sends: waited for as long as
        // a loaded machine needs, then anything more that follows at once.
        client->send("G " + std::to_string(turbo::loadAddress) + " A\r\n");
        std::string sent = client->read(c.bytes, std::chrono::milliseconds{5000});
        sent += client->readUntilQuiet(std::chrono::milliseconds{50});
        SCOPED_TRACE(c.rule);
        if (c.bytes == 0) {
            EXPECT_TRUE(
                eventually([&] { return !device->statistics().ramCodeFault.empty(); }, waitLimit));
        }
        c.check(sent, device->statistics().ramCodeFault);
    }
}

TEST_F(TurboFlasherTest, TheFlasherMeetsThePartsRules) {
    // A boot loader that left UART0's fractional divider in use.
    DeviceOptions options;
    options.bootLoaderFdr = 0x21;
    options.wireBaud = 0;
    startFlasher(options);
    ASSERT_EQ(turbo->hello().status, Status::ok);
    // Requests sent on while an erase keeps the flasher in the IAP: the UART holds 16
    // bytes of them, the rest is lost.
    ASSERT_EQ(turbo->request(Command::prepare, {0, 0}).status, Status::ok);
    std::string pipelined(1, static_cast<char>(Command::erase));
    pipelined += std::string(8, '\0');
    for (int i = 0; i < 3; ++i) {
        pipelined += std::string(1, static_cast<char>(Command::crc)) + std::string(8, '\0');
    }
    turbo->raw(pipelined);
    EXPECT_TRUE(eventually([&] { return device->statistics().bytesLost > 0; }, waitLimit));
}

} // namespace
} // namespace sparwick::sim::test
