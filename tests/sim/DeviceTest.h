#pragma once

#include "IspTestClient.h"
#include "IspTransfers.h"
#include "TestUuencoder.h"
#include "sim/SimulatedDevice.h"

#include <gtest/gtest.h>
#include <memory>
#include <string>

namespace sparwick::sim::test {

// A fresh device behind a link in a private directory, and a client on it.
class DeviceTest : public ::testing::Test {
protected:
    void start(DeviceOptions options = {}) {
        device = std::make_unique<SimulatedDevice>(std::move(options));
        client = std::make_unique<IspTestClient>(device->path());
    }
    void reconnect() {
        client.reset();
        client = std::make_unique<IspTestClient>(device->path());
    }
    // Handshake, echo off, unlocked.
    void startUnlocked(DeviceOptions options = {}) {
        start(std::move(options));
        client->synchronize();
        client->unlock();
    }
    // A command line with echo off: its reply, up to the length of expected.
    std::string command(const std::string& line, const std::string& expected) {
        return client->exchange(line + "\r\n", expected);
    }

    std::unique_ptr<SimulatedDevice> device;
    std::unique_ptr<IspTestClient> client;
};

} // namespace sparwick::sim::test
