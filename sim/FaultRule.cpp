#include "sim/FaultRule.h"

#include "sim/DecimalNumber.h"

#include <array>
#include <cstdint>
#include <limits>
#include <string>
#include <utility>

namespace sparwick::sim {

namespace {

constexpr std::array<std::pair<std::string_view, FaultStep>, 17> stepNames = {{
    {"sync", FaultStep::sync},
    {"sync-word", FaultStep::syncWord},
    {"crystal", FaultStep::crystal},
    {"echo", FaultStep::echo},
    {"unlock", FaultStep::unlock},
    {"part-id", FaultStep::partId},
    {"prepare", FaultStep::prepare},
    {"erase", FaultStep::erase},
    {"blank-check", FaultStep::blankCheck},
    {"write", FaultStep::write},
    {"data-checksum", FaultStep::dataChecksum},
    {"copy", FaultStep::copy},
    {"read", FaultStep::read},
    {"read-checksum", FaultStep::readChecksum},
    {"go", FaultStep::go},
    {"data-line", FaultStep::dataLine},
    {"flasher-block", FaultStep::flasherBlock},
}};

constexpr std::array<std::pair<std::string_view, FaultAction>, 7> plainActions = {{
    {"silent", FaultAction::silent},
    {"short", FaultAction::truncate},
    {"garble", FaultAction::garble},
    {"extra", FaultAction::extra},
    {"resend", FaultAction::resend},
    {"hangup", FaultAction::hangup},
    {"corrupt", FaultAction::corrupt},
}};

constexpr std::string_view statusPrefix = "status:";
constexpr std::string_view dropPrefix = "drop:";

std::optional<FaultRule> fail(std::string* error, std::string message) {
    if (error != nullptr) {
        *error = std::move(message);
    }
    return std::nullopt;
}

// The reason a number of a rule is refused: the number named is beyond 32 bits, or it is
// not what the rule takes.
std::string numberReason(std::string_view text, std::string_view named, std::string_view usual) {
    if (decimalTooLarge(text)) {
        return std::string(named) + " is too large (at most " +
               std::to_string(std::numeric_limits<std::uint32_t>::max()) + ")";
    }
    return std::string(usual);
}

std::string stepList() {
    std::string list;
    for (const auto& [name, step] : stepNames) {
        list += list.empty() ? "" : ", ";
        list += name;
    }
    return list;
}

// STEP[#N] into the rule: why it is refused, or nothing. occurrenceGiven tells whether
// the text named an occurrence.
std::optional<std::string> parseStep(std::string_view stepText, FaultRule& rule,
                                     bool& occurrenceGiven) {
    if (const std::size_t hash = stepText.find('#'); hash != std::string_view::npos) {
        const std::string_view occurrenceText = stepText.substr(hash + 1);
        const auto occurrence = parseDecimal(occurrenceText);
        if (!occurrence || *occurrence == 0) {
            return numberReason(occurrenceText, "the occurrence after '#'",
                                "the occurrence after '#' is a number from 1");
        }
        rule.occurrence = *occurrence;
        occurrenceGiven = true;
        stepText = stepText.substr(0, hash);
    }

    bool stepKnown = false;
    for (const auto& [name, step] : stepNames) {
        if (name == stepText) {
            rule.step = step;
            stepKnown = true;
        }
    }
    if (!stepKnown) {
        return "unknown step '" + std::string(stepText) + "' (one of " + stepList() + ")";
    }
    return std::nullopt;
}

// ACTION into the rule: why it is refused, or nothing.
std::optional<std::string> parseAction(std::string_view actionText, FaultRule& rule) {
    for (const auto& [name, action] : plainActions) {
        if (name == actionText) {
            rule.action = action;
            return std::nullopt;
        }
    }
    if (actionText.starts_with(statusPrefix)) {
        const std::string_view statusText = actionText.substr(statusPrefix.size());
        const auto status = parseDecimal(statusText);
        if (!status) {
            return numberReason(statusText, "the status code of status:N",
                                "status:N takes a decimal status code");
        }
        rule.action = FaultAction::status;
        rule.status = *status;
        return std::nullopt;
    }
    if (actionText.starts_with(dropPrefix)) {
        const std::string_view bytesText = actionText.substr(dropPrefix.size());
        const auto bytes = parseDecimal(bytesText);
        if (!bytes || *bytes == 0) {
            return numberReason(bytesText, "the byte count of drop:K",
                                "drop:K takes a number of bytes from 1");
        }
        rule.action = FaultAction::drop;
        rule.dropBytes = *bytes;
        return std::nullopt;
    }
    return "unknown action '" + std::string(actionText) +
           "' (one of silent, short, garble, extra, status:N, resend, hangup, corrupt, drop:K)";
}

// Why a step and an action do not go together, or nothing.
std::optional<std::string> pairingError(const FaultRule& rule) {
    if ((rule.action == FaultAction::drop) != (rule.step == FaultStep::dataLine)) {
        return "data-line takes drop:K, and drop:K applies to data-line only";
    }
    if (rule.step == FaultStep::flasherBlock && rule.action != FaultAction::garble) {
        return "flasher-block takes garble only";
    }
    if (rule.action == FaultAction::resend && rule.step != FaultStep::dataChecksum) {
        return "resend applies to data-checksum only";
    }
    if (rule.action == FaultAction::corrupt && rule.step != FaultStep::copy) {
        return "corrupt applies to copy only";
    }
    return std::nullopt;
}

} // namespace

std::string_view faultStepName(FaultStep step) {
    for (const auto& [name, value] : stepNames) {
        if (value == step) {
            return name;
        }
    }
    return "?";
}

std::optional<FaultRule> parseFaultRule(std::string_view text, std::string* error) {
    const std::string quoted = "fault rule '" + std::string(text) + "': ";
    const std::size_t equals = text.find('=');
    if (equals == std::string_view::npos) {
        return fail(error, quoted + "expected STEP[#N]=ACTION");
    }
    FaultRule rule;
    bool occurrenceGiven = false;
    if (auto reason = parseStep(text.substr(0, equals), rule, occurrenceGiven)) {
        return fail(error, quoted + *reason);
    }
    if (auto reason = parseAction(text.substr(equals + 1), rule)) {
        return fail(error, quoted + *reason);
    }
    if (auto reason = pairingError(rule)) {
        return fail(error, quoted + *reason);
    }
    // The lines of a transfer and the flasher's blocks are many: without #N, every one.
    if ((rule.step == FaultStep::dataLine || rule.step == FaultStep::flasherBlock) &&
        !occurrenceGiven) {
        rule.occurrence = FaultRule::everyOccurrence;
    }
    return rule;
}

std::string describeFaultRule(const FaultRule& rule) {
    std::string text(faultStepName(rule.step));
    if (rule.occurrence != FaultRule::everyOccurrence) {
        text += "#" + std::to_string(rule.occurrence);
    }
    text += "=";
    switch (rule.action) {
    case FaultAction::status:
        return text + std::string(statusPrefix) + std::to_string(rule.status);
    case FaultAction::drop:
        return text + std::string(dropPrefix) + std::to_string(rule.dropBytes);
    default:
        for (const auto& [name, action] : plainActions) {
            if (action == rule.action) {
                return text + std::string(name);
            }
        }
    }
    return text;
}

} // namespace sparwick::sim
