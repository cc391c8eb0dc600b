#include "flash/UpdateOutcome.h"

#include "flash/BoardReset.h"
#include "flash/IspFlasher.h"
#include "flash/UpdateMessages.h"
#include "platform/MessageBox.h"
#include "platform/UserAbort.h"

#include <array>
#include <utility>

namespace sparwick {
namespace {

template <typename Value, std::size_t count>
using Words = std::array<std::pair<Value, std::string_view>, count>;

constexpr Words<UpdateEnd, 5> endWords{{
    {UpdateEnd::passed, "passed"},
    {UpdateEnd::failed, "failed"},
    {UpdateEnd::fatal, "fatal"},
    {UpdateEnd::refused, "refused"},
    {UpdateEnd::interrupted, "interrupted"},
}};

constexpr Words<UpdateStep, 7> stepWords{{
    {UpdateStep::loading, "loading"},
    {UpdateStep::synchronizing, "synchronizing"},
    {UpdateStep::identifying, "identifying"},
    {UpdateStep::erasing, "erasing"},
    {UpdateStep::writing, "writing"},
    {UpdateStep::verifying, "verifying"},
    {UpdateStep::starting, "starting"},
}};

constexpr Words<TurboStep, 6> turboWords{{
    {TurboStep::none, "none"},
    {TurboStep::loading, "loading"},
    {TurboStep::erasing, "erasing"},
    {TurboStep::writing, "writing"},
    {TurboStep::verifying, "verifying"},
    {TurboStep::starting, "starting"},
}};

template <typename Value, std::size_t count>
std::string_view wordIn(const Words<Value, count>& words, Value value) {
    for (const auto& [named, word] : words) {
        if (named == value) {
            return word;
        }
    }
    return {};
}

template <typename Value, std::size_t count>
std::optional<Value> valueIn(const Words<Value, count>& words, std::string_view word) {
    for (const auto& [named, known] : words) {
        if (known == word) {
            return named;
        }
    }
    return std::nullopt;
}

// Keeps a copy of every message shown while it lives, each still shown as before.
class MessageCopy {
public:
    explicit MessageCopy(std::string& into)
        : previous(setMessageBoxHook([this, &into](std::string_view text) {
            into += (into.empty() ? "" : "\n") + std::string(text);
            shown(text);
        }))
        , shown(previous) {}
    ~MessageCopy() { setMessageBoxHook(std::move(previous)); }
    MessageCopy(const MessageCopy&) = delete;
    MessageCopy& operator=(const MessageCopy&) = delete;

private:
    MessageBoxHook previous;
    MessageBoxHook shown;
};

} // namespace

std::string_view wordOf(UpdateEnd end) {
    return wordIn(endWords, end);
}
std::string_view wordOf(UpdateStep step) {
    return wordIn(stepWords, step);
}
std::string_view wordOf(TurboStep step) {
    return wordIn(turboWords, step);
}
std::optional<UpdateEnd> updateEndNamed(std::string_view word) {
    return valueIn(endWords, word);
}
std::optional<UpdateStep> updateStepNamed(std::string_view word) {
    return valueIn(stepWords, word);
}
std::optional<TurboStep> turboStepNamed(std::string_view word) {
    return valueIn(turboWords, word);
}

UpdateOutcome runUpdate(const std::function<void(IspFlasher& flasher)>& update) {
    UpdateOutcome outcome;
    MessageCopy messages(outcome.message);
    try {
        IspFlasher flasher;
        // However the update ends, what the flasher knows is kept before it goes.
        struct Keep {
            const IspFlasher& flasher;
            UpdateOutcome& outcome;
            ~Keep() {
                outcome.step = flasher.facts().step;
                outcome.turboStep = flasher.facts().turboStep;
                outcome.verified = flasher.verifiedRange();
            }
        } keep{flasher, outcome};
        update(flasher);
        outcome.end = UpdateEnd::passed;
    } catch (const ResetUnavailable&) {
        // A port without modem lines was given for a reset: nothing was sent.
        outcome.end = UpdateEnd::refused;
    } catch (const UserAbort&) {
        outcome.end = UpdateEnd::failed;
    } catch (...) {
        outcome.end = UpdateEnd::fatal;
        showMessage(msg::fatalError);
    }
    return outcome;
}

} // namespace sparwick
