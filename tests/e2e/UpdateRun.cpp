#include "tests/e2e/UpdateRun.h"

#include "flash/FlashImage.h"
#include "flash/IspFlasher.h"
#include "platform/MessageBox.h"
#include "platform/Resources.h"
#include "platform/UserAbort.h"

#include <filesystem>
#include <string>
#include <unistd.h>

namespace sparwick::test {
namespace {

class RecordingSink : public ProgressSink {
public:
    explicit RecordingSink(UpdateOutcome& into)
        : outcome(into) {}
    void setProgress(int percent) override { outcome.progress.push_back(percent); }
    void setVerifyProgress(int percent) override { outcome.verifyProgress.push_back(percent); }
    void note(std::string_view text) override { outcome.notes.emplace_back(text); }

private:
    UpdateOutcome& outcome;
};

} // namespace

UpdateOutcome runUpdate(const std::string& portName, bool highSpeed,
                        const std::vector<std::uint8_t>* image, const UpdateOptions& options) {
    if (image) {
        substituteResource(firmwareResourceId, firmwareResourceType, *image);
    }
    UpdateOutcome outcome;
    MessageBoxHook previous = setMessageBoxHook(
        [&outcome](std::string_view text) { outcome.messages.emplace_back(text); });
    RecordingSink sink(outcome);
    try {
        IspFlasher flasher;
        outcome.succeeded = flasher.program(sink, portName, highSpeed, options);
        outcome.verified = flasher.verifiedRange();
    } catch (const UserAbort&) {
    } catch (const std::exception&) {
        outcome.fatal = true;
    }
    setMessageBoxHook(std::move(previous));
    restoreResources();
    return outcome;
}

std::span<const std::uint8_t> shippedImage() {
    ResourceInfo info = findResource(firmwareResourceId, firmwareResourceType);
    ResourceHandle handle = loadResource(info);
    return {lockResource(handle), sizeofResource(info)};
}

std::vector<std::uint8_t> expectedFlash(std::span<const std::uint8_t> image,
                                        std::size_t flashSize) {
    std::vector<std::uint8_t> flash = FlashImage::patched(image);
    flash.resize(flashSize, 0xFF);
    return flash;
}

long firstDifference(const std::vector<std::uint8_t>& a, const std::vector<std::uint8_t>& b) {
    if (a.size() != b.size()) {
        return static_cast<long>(std::min(a.size(), b.size()));
    }
    auto [pa, pb] = std::mismatch(a.begin(), a.end(), b.begin());
    return pa == a.end() ? -1 : static_cast<long>(pa - a.begin());
}

std::size_t openTerminalCount() {
    std::size_t count = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        // The listing's own descriptor is among them and is no terminal.
        if (::isatty(std::stoi(entry.path().filename().string())) == 1) {
            ++count;
        }
    }
    return count;
}

} // namespace sparwick::test
