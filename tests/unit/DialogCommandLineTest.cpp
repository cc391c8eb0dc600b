// The dialog programs' command line and their dialog-unit arithmetic.
#include "app/DialogCommandLine.h"

#include "app/DialogUnits.h"

#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <vector>

namespace sparwick::app {
namespace {

struct LineCase {
    std::vector<std::string> arguments;
    OptionStyle style;
    UpdateOptions builtIn;
    bool fast;
    bool verify;
    std::optional<std::string> unknown;
};

TEST(DialogCommandLine, SwitchesOnWhatItNames) {
    const UpdateOptions plain;
    const UpdateOptions fastBuild{.fast = true, .verify = false};
    const LineCase cases[] = {
        {{}, OptionStyle::posix, plain, false, false, std::nullopt},
        {{}, OptionStyle::windows, fastBuild, true, false, std::nullopt},
        {{"--fast"}, OptionStyle::posix, plain, true, false, std::nullopt},
        {{"--verify", "--fast"}, OptionStyle::posix, plain, true, true, std::nullopt},
        {{"--verify"}, OptionStyle::posix, fastBuild, true, true, std::nullopt},
        {{"/fast", "/VERIFY"}, OptionStyle::windows, plain, true, true, std::nullopt},
        {{"--verify"}, OptionStyle::windows, plain, false, true, std::nullopt},
        // Slashes are paths on Linux; near misses are refused rather than guessed at.
        {{"/fast"}, OptionStyle::posix, plain, false, false, "/fast"},
        {{"--FAST"}, OptionStyle::windows, plain, false, false, "--FAST"},
        {{"--fast", "--verfy"}, OptionStyle::posix, plain, true, false, "--verfy"},
        {{"-fast"}, OptionStyle::windows, plain, false, false, "-fast"},
        {{""}, OptionStyle::posix, plain, false, false, ""},
        {{"--reset=dtr"}, OptionStyle::posix, plain, false, false, "--reset=dtr"},
    };
    for (const LineCase& c : cases) {
        const DialogCommandLine line = parseDialogCommandLine(c.arguments, c.builtIn, c.style);
        const std::string what = c.arguments.empty() ? "(none)" : c.arguments.back();
        EXPECT_EQ(line.options.fast, c.fast) << what;
        EXPECT_EQ(line.options.verify, c.verify) << what;
        EXPECT_EQ(line.unknown, c.unknown) << what;
    }
}

TEST(DialogCommandLine, ResetTakesTheDefaultWiringOrOneNamed) {
    struct ResetCase {
        std::vector<std::string> arguments;
        OptionStyle style;
        std::optional<std::string> wiring;
    };
    const ResetCase cases[] = {
        {{"--reset"}, OptionStyle::posix, "dtr-rts"},
        {{"--reset=rts-dtr,invert"}, OptionStyle::posix, "rts-dtr,invert"},
        {{"/RESET:rts-dtr"}, OptionStyle::windows, "rts-dtr"},
        {{"/reset:rts-dtr"}, OptionStyle::posix, std::nullopt},
    };
    for (const ResetCase& c : cases) {
        const DialogCommandLine line = parseDialogCommandLine(c.arguments, {}, c.style);
        EXPECT_EQ(line.options.reset ? std::optional(line.options.reset->text()) : std::nullopt,
                  c.wiring)
            << c.arguments.back();
    }
}

// Dialog units at the metrics of Windows' 8-point dialog font (average character width 6,
// height 13) and of a larger Linux font, rounded as MulDiv rounds.
TEST(DialogUnits, ConvertAsWindowsDoes) {
    const DialogUnits windows(6 * 52 - 10, 13);
    EXPECT_EQ(windows.toPixels({92, 12, 102, 16}), (DialogRect{138, 20, 153, 26}));
    const DialogUnits larger(7 * 52, 17);
    EXPECT_EQ(larger.toPixels({208, 78, 7, 1}), (DialogRect{364, 166, 12, 2}));
    EXPECT_EQ(larger.toPixels({1, 3, 0, 0}), (DialogRect{2, 6, 0, 0}));
}

} // namespace
} // namespace sparwick::app
