// The pieces of a production line's run that have logic of their own: the record's line,
// the image's fingerprint, the workers' event stream, and telling one port named twice
// from two ports.
#include "cli/BoardRecord.h"
#include "cli/LineRecord.h"
#include "cli/PortSet.h"
#include "cli/Sha256.h"
#include "cli/TerminalPath.h"
#include "cli/WorkerStream.h"
#include "serial/DeviceNames.h"
#include "sim/PseudoTerminal.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <unistd.h>

namespace sparwick::cli {
namespace {

namespace fs = std::filesystem;

std::span<const std::uint8_t> bytesOf(const std::string& text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

TEST(Sha256, StandardTestVectors) {
    struct Vector {
        std::string message;
        std::string digest;
    };
    const std::vector<Vector> vectors{
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        // 56 bytes: the length no longer fits the block, so the padding takes a second one.
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrl"
         "mnopqrsmnopqrstnopqrstu",
         "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
        {std::string(1000000, 'a'),
         "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const Vector& v : vectors) {
        EXPECT_EQ(sha256Hex(bytesOf(v.message)), v.digest) << v.message.size() << " bytes";
    }
}

TEST(BoardRecord, OneJsonLineWithEveryField) {
    BoardRecord r;
    r.time = std::chrono::system_clock::time_point{std::chrono::milliseconds{1796813584120}};
    r.host = "bench-2";
    r.port = "COM33";
    r.device = "/dev/ttyUSB0";
    r.partId = 196389;
    r.partName = "LPC2138";
    r.bootCode = "2.12";
    r.result = "failed";
    // What a device or a message can hold: line ends, tabs, quotes, a byte that is no text.
    r.message = "Software upgrade failed.\n\t1. \"x\" \\ \x01\xff";
    r.bytesWritten = 8192;
    r.bytesVerified = 0;
    r.seconds = 1.23456;
    r.version = "3.2.0";
    r.imageSha256 = "ab";
    r.reset = "rts-dtr,invert";
    r.portPassed = 1;
    r.portFailed = 2;
    r.passed = 3;
    r.failed = 4;
    EXPECT_EQ(
        formatRecord(r),
        R"({"time":"2026-12-09T10:53:04.120Z","host":"bench-2","port":"COM33",)"
        R"("device":"/dev/ttyUSB0","part_id":196389,"part_name":"LPC2138","boot_code":"2.12",)"
        R"("result":"failed","message":"Software upgrade failed.\n\t1. \"x\" \\ \u0001\ufffd",)"
        R"("bytes_written":8192,"bytes_verified":0,"seconds":1.235,"version":"3.2.0",)"
        R"("image_sha256":"ab","reset":"rts-dtr,invert","port_passed":1,"port_failed":2,"passed":3,"failed":4})");

    // A board that never got as far as identifying itself.
    r.partId = 0;
    r.bootCode.reset();
    const std::string line = formatRecord(r);
    EXPECT_NE(line.find(R"("part_id":null,"part_name":null,"boot_code":null)"), std::string::npos)
        << line;

    // A check's entry ends with the blocks that differ, null when it found nothing.
    r.check = true;
    r.differing = std::vector<std::uint32_t>{0x5000, 0x6000};
    EXPECT_TRUE(formatRecord(r).ends_with(R"("failed":4,"differing":[20480,24576]})"))
        << formatRecord(r);
    r.differing.reset();
    EXPECT_TRUE(formatRecord(r).ends_with(R"("failed":4,"differing":null})")) << formatRecord(r);

    // A port's name keeps bytes that are not UTF-8, and its backslashes, recoverable.
    r.port = "/tmp/a\\xff\xff\xc3\xa9";
    EXPECT_NE(formatRecord(r).find(R"("port":"/tmp/a\\\\xff\\xffé")"), std::string::npos)
        << formatRecord(r);
}

TEST(WorkerStream, EventsComeThroughAsSentAndStrayLinesAreNotEvents) {
    using Kind = WorkerEvent::Kind;
    const std::vector<WorkerEvent> events{
        {Kind::answered, 0, ""},
        {Kind::progress, 98, ""},
        {Kind::verified, 241028, ""},
        {Kind::bootCode, 0, "2.12"},
        {Kind::message, 0, "Software upgrade failed. Could not\n\t1. \\n stays\r"},
        {Kind::step, 0, "erasing"},
        {Kind::checked, 0, "", {}, {0x5000, 0x3F000}},
        {Kind::checked, 0, "", {}, {}},
    };
    WorkerEvent ended;
    ended.kind = Kind::outcome;
    ended.outcome = {UpdateEnd::failed, UpdateStep::writing, TurboStep::writing,
                     "Software upgrade failed. Turbo flasher: write\nsecond line", std::nullopt};
    const auto back = parseEvent(formatEvent(ended));
    ASSERT_TRUE(back);
    EXPECT_EQ(back->outcome.end, UpdateEnd::failed);
    EXPECT_EQ(back->outcome.step, UpdateStep::writing);
    EXPECT_EQ(back->outcome.turboStep, TurboStep::writing);
    EXPECT_EQ(back->outcome.message, ended.outcome.message);
    for (const WorkerEvent& sent : events) {
        const std::string line = formatEvent(sent);
        EXPECT_EQ(line.find('\n'), std::string::npos) << line;
        const auto got = parseEvent(line);
        ASSERT_TRUE(got) << line;
        EXPECT_EQ(got->kind, sent.kind);
        EXPECT_EQ(got->number, sent.number);
        EXPECT_EQ(got->text, sent.text);
        EXPECT_EQ(got->blocks, sent.blocks);
    }
    for (const char* stray : {"progress 5%", "@progress", "@progress 5x", "@nonsense 1", "",
                              "@outcome passed nowhere none text", "@outcome passed",
                              "@checked 20480x", "@checked  20480", "@checked -1"}) {
        EXPECT_FALSE(parseEvent(stray)) << stray;
    }
}

TEST(PortSet, FirstDuplicateByIdentity) {
    const auto byName = [](const std::string& port) { return port.substr(0, 1); };
    EXPECT_FALSE(firstDuplicate({"a", "b", "c"}, byName));
    EXPECT_EQ(firstDuplicate({"a1", "b", "a2", "b2"}, byName),
              (std::pair<std::size_t, std::size_t>{0, 2}));
}

// Devices in a directory of the test's own, standing for /dev.
struct DeviceDirectory {
    DeviceDirectory() {
        fs::create_directories(dir);
        setDeviceDirectory(dir.string());
    }
    ~DeviceDirectory() {
        setDeviceDirectory("/dev");
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    }
    fs::path link(const std::string& name, const std::string& to) {
        fs::create_symlink(to, dir / name);
        return dir / name;
    }
    fs::path dir = fs::temp_directory_path() / ("sparwick-ports-" + std::to_string(::getpid()));
};

TEST(PortSet, OneDeviceUnderTwoNamesIsRefusedAndUsbPortsComeInOrder) {
    sim::PseudoTerminal first;
    sim::PseudoTerminal second;
    DeviceDirectory devices;
    const fs::path usb0 = devices.link("ttyUSB0", first.slavePath());
    const fs::path usb10 = devices.link("ttyUSB10", second.slavePath());
    const fs::path usb2 = devices.link("ttyUSB2", second.slavePath());
    const fs::path acm0 = devices.link("ttyACM0", first.slavePath());
    devices.link("ttyUSBx", first.slavePath());

    EXPECT_EQ(usbSerialPorts(), (std::vector<std::string>{usb0.string(), usb2.string(),
                                                          usb10.string(), acm0.string()}));
    struct Case {
        std::vector<std::string> ports;
        std::string refusal;
    };
    const std::vector<Case> cases{
        {{first.slavePath(), second.slavePath()}, ""},
        {{first.slavePath(), first.slavePath()},
         "the port " + first.slavePath() + " is given twice"},
        // A COM name and its device, a link and what it points at.
        {{"COM33", first.slavePath()}, "COM33 and " + first.slavePath() + " are the same port"},
        {{second.slavePath(), usb2.string()},
         second.slavePath() + " and " + usb2.string() + " are the same port"},
        {{"usb"}, "COM33"}, // every USB port: ttyUSB0 and ttyACM0 are one device
        // A bare name is a file in the working directory.
        {{"ttyUSB2", usb2.string()}, "ttyUSB2 and " + usb2.string() + " are the same port"},
    };
    const fs::path before = fs::current_path();
    fs::current_path(devices.dir);
    // The record's device for a bare name is its absolute path.
    EXPECT_EQ(LineRecord::deviceOf("ttyUSB2"), usb2.string());
    for (const Case& c : cases) {
        const PortSet set = choosePorts(c.ports);
        SCOPED_TRACE(c.ports.front() + " " + c.ports.back());
        if (c.refusal == "COM33") {
            EXPECT_TRUE(set.fromUsb);
            EXPECT_NE(set.refusal.find("are the same port"), std::string::npos) << set.refusal;
        } else {
            EXPECT_EQ(set.refusal, c.refusal);
        }
    }
    fs::current_path(before);
}

} // namespace
} // namespace sparwick::cli
