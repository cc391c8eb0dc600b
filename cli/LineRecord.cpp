#include "cli/LineRecord.h"

#include "cli/BoardRecord.h"
#include "cli/Sha256.h"
#include "cli/Update.h"
#include "flash/CarriedImage.h"
#include "flash/FlashImage.h"
#include "flash/FlashLayout.h"
#include "platform/UserAbort.h"
#include "serial/DeviceNames.h"

#include <SparwickVersion.h>
#include <cstdio>
#include <filesystem>

namespace sparwick::cli {
namespace {

std::string partName(std::uint32_t partId) {
    for (const auto& part : layout::supportedParts) {
        if (part.partId == partId) {
            return std::string(part.name);
        }
    }
    return {};
}

} // namespace

std::optional<int> LineRecord::open(const std::string& recordPath) {
    if (recordPath.empty()) {
        return std::nullopt;
    }
    if (const std::string why = file.open(recordPath); !why.empty()) {
        std::fprintf(stderr, "sparwick-cli: cannot write the record %s: %s\n", recordPath.c_str(),
                     why.c_str());
        return exitUsage;
    }
    CarriedImage carried;
    try {
        carried.load();
    } catch (const UserAbort&) {
        return exitFatal; // its message has been shown
    }
    imageSha256 = sha256Hex(FlashImage::patched(carried.bytes()));
    host = hostName();
    path = recordPath;
    return std::nullopt;
}

std::string LineRecord::deviceOf(const std::string& name) {
    if (comPortNumber(name)) {
        return devicePath(name);
    }
    std::error_code ignored;
    const std::filesystem::path absolute = std::filesystem::absolute(name, ignored);
    return absolute.empty() ? name : absolute.lexically_normal().string();
}

std::string LineRecord::write(const LineModel& model, const LineModel::Port& port,
                              LineModel::Clock::time_point steadyNow,
                              std::chrono::system_clock::time_point wallNow) {
    if (!keeping()) {
        return {};
    }
    BoardRecord entry;
    entry.time = wallNow - std::chrono::duration_cast<std::chrono::system_clock::duration>(
                               steadyNow - port.started);
    entry.host = host;
    entry.port = port.name;
    entry.device = deviceOf(port.name);
    entry.partId = port.partId;
    entry.partName = partName(port.partId);
    entry.bootCode = port.bootCode;
    entry.result = std::string(LineModel::wordOf(port.result));
    entry.message = port.message;
    entry.bytesWritten = port.written;
    entry.bytesVerified = port.verified;
    entry.seconds = port.seconds;
    entry.version = versionText;
    entry.imageSha256 = imageSha256;
    entry.reset = resetWiring;
    entry.portPassed = port.passed;
    entry.portFailed = port.failed;
    entry.passed = model.passed();
    entry.failed = model.failed();
    entry.check = model.checking();
    entry.differing = port.differing;
    const std::string why = file.append(formatRecord(entry));
    if (!why.empty()) {
        // The boards in flight finish; no new one starts without its record.
        std::fprintf(stderr, "sparwick-cli: cannot write the record %s: %s; stopping\n",
                     path.c_str(), why.c_str());
        broken = true;
    }
    return why;
}

} // namespace sparwick::cli
