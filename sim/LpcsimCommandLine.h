#pragma once

#include "sim/DeviceOptions.h"

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace sparwick::sim {

// lpcsim's command line:
//   lpcsim --link PATH [--part 196389|196387] [--flash-in FILE] [--flash-out FILE]
//          [--exit-after-go] [--wire[=BAUD]] [--latency MS] [--fault RULE]... [--log FILE]
//          [--boards N] [--pins WIRING] [--boot isp|user] [--crystal HZ] [--pll locks|never]
//   lpcsim --help | --version
// Options take their value as the next argument or after '='; --wire takes one only
// after '=', and the flags none.
class LpcsimCommandLine {
public:
    // Parses the arguments after the program name. Reads --flash-in and checks that
    // --flash-out can be written, so that a run is not lost at its end.
    static LpcsimCommandLine parse(const std::vector<std::string>& args);
    static std::string usage();

    bool ok() const { return error.empty(); }
    bool helpWanted() const { return help; }
    bool versionWanted() const { return version; }
    const std::string& errorMessage() const { return error; }
    const DeviceOptions& deviceOptions() const { return options; }
    const std::string& flashOutPath() const { return flashOut; }
    // How many boards come one after another, each after the last one's G.
    std::uint32_t boards() const { return boardCount; }
    // Where board (counted from 1) leaves its flash: --flash-out with %d for the number.
    std::string flashOutPath(std::uint32_t board) const;

private:
    struct Option;
    static std::span<const Option> flagOptions();
    static std::span<const Option> lineOptions();
    static std::span<const Option> partOptions();
    static std::span<const Option> fileOptions();
    static const Option* findOption(std::string_view name);
    std::string takeOption(const std::vector<std::string>& args, std::size_t& i);
    // After the options: the files they name, each checked before the device starts.
    static void checkFiles(LpcsimCommandLine& result);

    DeviceOptions options;
    std::string flashIn;
    std::string flashOut;
    std::uint32_t boardCount = 1;
    bool help = false;
    bool version = false;
    std::string error;
};

} // namespace sparwick::sim
