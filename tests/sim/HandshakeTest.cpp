#include "DeviceTest.h"

namespace sparwick::sim::test {
namespace {

using namespace std::chrono_literals;

class DeviceHandshakeTest : public DeviceTest {};

TEST_F(DeviceHandshakeTest, AnswersTheHandshakeWithEchoUntilEchoIsTurnedOff) {
    start();
    EXPECT_EQ(client->exchange("?", "Synchronized\r\n"), "Synchronized\r\n");
    EXPECT_EQ(client->exchange("Synchronized\r\n", "Synchronized\r\nOK\r\n"),
              "Synchronized\r\nOK\r\n");
    EXPECT_EQ(client->exchange("14746\r\n", "14746\r\nOK\r\n"), "14746\r\nOK\r\n");
    EXPECT_EQ(client->exchange("J\r\n", "J\r\n0\r\n196389\r\n"), "J\r\n0\r\n196389\r\n");
    // The echo-off line itself still comes back.
    EXPECT_EQ(client->exchange("A 0\r\n", "A 0\r\n0\r\n"), "A 0\r\n0\r\n");
    EXPECT_EQ(client->exchange("J\r\n", "0\r\n196389\r\n"), "0\r\n196389\r\n");
    EXPECT_EQ(client->exchange("A 1\r\n", "0\r\n"), "0\r\n");
    EXPECT_EQ(client->exchange("K\r\n", "K\r\n0\r\n12\r\n2\r\n"), "K\r\n0\r\n12\r\n2\r\n");
    EXPECT_EQ(client->collect(""), "");
}

TEST_F(DeviceHandshakeTest, IdentifiesTheSmallerPart) {
    DeviceOptions options;
    options.partId = 196387;
    start(options);
    client->synchronize();
    EXPECT_EQ(command("J", "0\r\n196387\r\n"), "0\r\n196387\r\n");
}

TEST_F(DeviceHandshakeTest, IgnoresNoiseBeforeTheSyncCharacter) {
    start();
    EXPECT_EQ(client->collect("\r\nxyz"), "");
    EXPECT_EQ(client->exchange("?", "Synchronized\r\n"), "Synchronized\r\n");
}

TEST_F(DeviceHandshakeTest, AWrongSyncWordStartsAutobaudOver) {
    start();
    client->exchange("?", "Synchronized\r\n");
    // Echoed, but not acknowledged: the device waits for "?" again.
    EXPECT_EQ(client->collect("Synchronised\r\n"), "Synchronised\r\n");
    EXPECT_EQ(client->collect("14746\r\n"), "");
    client->synchronize();
}

TEST_F(DeviceHandshakeTest, WaitsForAUsableCrystalFrequency) {
    start();
    client->exchange("?", "Synchronized\r\n");
    client->exchange("Synchronized\r\n", "Synchronized\r\nOK\r\n");
    EXPECT_EQ(client->collect("fast\r\n"), "fast\r\n");
    EXPECT_EQ(client->collect("0\r\n"), "0\r\n");
    EXPECT_EQ(client->collect("99999999\r\n"), "99999999\r\n");
    EXPECT_EQ(client->exchange("12000\r\n", "12000\r\nOK\r\n"), "12000\r\nOK\r\n");
    EXPECT_EQ(command("J", "J\r\n0\r\n196389\r\n"), "J\r\n0\r\n196389\r\n");
}

TEST_F(DeviceHandshakeTest, TakesLinesInAnyChunksAndWithAnyLineEnd) {
    start();
    client->send("?");
    client->read(14);
    for (const char c : std::string("Synchronized\r\n")) {
        client->send(std::string(1, c));
    }
    EXPECT_EQ(client->read(18), "Synchronized\r\nOK\r\n");
    // CR alone, then LF alone.
    EXPECT_EQ(client->exchange("14746\r", "14746\rOK\r\n"), "14746\rOK\r\n");
    EXPECT_EQ(client->exchange("J\n", "J\n0\r\n196389\r\n"), "J\n0\r\n196389\r\n");
    // Extra line ends are empty lines: echoed, not answered.
    EXPECT_EQ(client->exchange("\r\n\r\nA 0\r\n", "\r\n\r\nA 0\r\n0\r\n"), "\r\n\r\nA 0\r\n0\r\n");
}

TEST_F(DeviceHandshakeTest, EscapeDropsAHalfTypedCommand) {
    start();
    client->synchronize();
    EXPECT_EQ(command("J 1\x1bJ", "0\r\n196389\r\n"), "0\r\n196389\r\n");
}

TEST_F(DeviceHandshakeTest, ReportsUnknownAndMalformedCommands) {
    start();
    client->synchronize();
    EXPECT_EQ(command("X", "1\r\n"), "1\r\n");
    EXPECT_EQ(command("j", "1\r\n"), "1\r\n");
    EXPECT_EQ(command("JJ", "1\r\n"), "1\r\n");
    EXPECT_EQ(command("?", "1\r\n"), "1\r\n");
    EXPECT_EQ(command("J 5", "12\r\n"), "12\r\n");
    EXPECT_EQ(command("A 2", "12\r\n"), "12\r\n");
    EXPECT_EQ(command("A", "12\r\n"), "12\r\n");
    EXPECT_EQ(command("P " + std::string(200, '1'), "12\r\n"), "12\r\n");
    // Spaces between arguments may run; a line of spaces is no command.
    EXPECT_EQ(command("  P   1  2 ", "0\r\n"), "0\r\n");
    EXPECT_EQ(client->collect("   \r\n"), "");
}

TEST_F(DeviceHandshakeTest, SetsTheBaudRateAndStopBitsTheManualsList) {
    start();
    client->synchronize();
    EXPECT_EQ(command("B 14400 1", "17\r\n"), "17\r\n");
    EXPECT_EQ(command("B 115200 3", "18\r\n"), "18\r\n");
    EXPECT_EQ(command("B 115200", "12\r\n"), "12\r\n");
    EXPECT_EQ(command("B 230400 2", "0\r\n"), "0\r\n");
    EXPECT_EQ(command("B 9600 1", "0\r\n"), "0\r\n");
}

TEST_F(DeviceHandshakeTest, UnlocksOnlyWithTheUnlockCode) {
    start();
    client->synchronize();
    EXPECT_EQ(command("U 23131", "16\r\n"), "16\r\n");
    EXPECT_EQ(command("U", "12\r\n"), "12\r\n");
    EXPECT_EQ(command("U -23130", "12\r\n"), "12\r\n");
    EXPECT_FALSE(device->statistics().unlocked);
    EXPECT_EQ(command("U 23130", "0\r\n"), "0\r\n");
    EXPECT_TRUE(device->statistics().unlocked);
}

} // namespace
} // namespace sparwick::sim::test
