#include "sim/LpcsimCommandLine.h"

#include "sim/DecimalNumber.h"
#include "sim/PartDescription.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace sparwick::sim {

namespace {

// The highest rate a pseudo-terminal's line settings can name.
constexpr std::uint32_t maxWireBaud = 4'000'000;
// The oscillator takes a crystal of 1 to 30 MHz.
constexpr std::uint32_t minCrystalHz = 1'000'000;
constexpr std::uint32_t maxCrystalHz = 30'000'000;
// A USB adapter's latency timer takes 1 to 255 ms.
constexpr std::uint32_t maxLatencyMs = 255;
// How many of a line's boards have their --flash-out name checked at the start, besides
// the last.
constexpr std::uint32_t checkedBoards = 1000;

std::optional<std::uint32_t> positiveNumber(const std::string& text) {
    const auto value = parseDecimal(text);
    return value && *value > 0 ? value : std::nullopt;
}

std::string supportedParts() {
    std::string list;
    for (const std::uint32_t id : PartDescription::supportedIds()) {
        list += (list.empty() ? "" : " or ") + std::to_string(id);
    }
    return list;
}

bool readFile(const std::string& path, std::vector<std::uint8_t>& contents) {
    std::error_code error;
    if (!std::filesystem::is_regular_file(path, error)) {
        return false;
    }
    const auto size = std::filesystem::file_size(path, error);
    std::ifstream file(path, std::ios::binary);
    if (error || !file) {
        return false;
    }
    contents.resize(size);
    file.read(reinterpret_cast<char*>(contents.data()), static_cast<std::streamsize>(size));
    return static_cast<std::uint64_t>(file.gcount()) == size;
}

// Why a file cannot be made or overwritten at path, without making it; empty when it can.
std::string whyNotWritable(const std::string& path) {
    const std::filesystem::path file(path);
    const std::filesystem::path directory =
        file.has_parent_path() ? file.parent_path() : std::filesystem::path(".");
    std::error_code ignored;
    if (std::filesystem::is_directory(file, ignored)) {
        return "it is a directory";
    }
    const long nameMax = ::pathconf(directory.c_str(), _PC_NAME_MAX);
    if (path.size() >= PATH_MAX ||
        (nameMax > 0 && file.filename().native().size() > static_cast<std::size_t>(nameMax))) {
        return std::strerror(ENAMETOOLONG);
    }
    const bool exists = std::filesystem::exists(file, ignored);
    if (access((exists ? file : directory).c_str(), W_OK) != 0) {
        return std::strerror(errno);
    }
    return {};
}

bool writable(const std::string& path) {
    return whyNotWritable(path).empty();
}

std::optional<PinWiring> pinWiring(std::string text) {
    PinWiring wiring;
    if (const std::size_t comma = text.find(','); comma != std::string::npos) {
        if (text.substr(comma + 1) != "invert") {
            return std::nullopt;
        }
        wiring.assertedIsHigh = true;
        text.resize(comma);
    }
    if (text != "dtr-rts" && text != "rts-dtr") {
        return std::nullopt;
    }
    wiring.dtrDrivesReset = text.front() == 'd';
    return wiring;
}

} // namespace

std::string LpcsimCommandLine::usage() {
    // In the layout help2man reads: the synopsis after "Usage:" and "or:", then a
    // description, then the options after "Options:".
    return "Usage: lpcsim --link PATH [OPTION]...\n"
           "  or:  lpcsim --help | --version\n"
           "\n"
           "A simulated LPC2000 ISP boot loader on a pseudo-terminal behind the link PATH.\n"
           "Its autobaud answers \"?\" only at the rates its 14.7456 MHz crystal allows\n"
           "(9600, 19200, 38400, 57600, 115200, 230400) and stays silent at any other.\n"
           "Prints 'ready PATH' once it serves. SIGUSR1 power-cycles it; SIGINT or SIGTERM\n"
           "(or answering G, with --exit-after-go) ends it, after the flash has been\n"
           "written to --flash-out. G to a RAM address runs the code written there on an\n"
           "emulated ARM7 core, with UART0, the PLL and the IAP calls of the part.\n"
           "\n"
           "Options:\n"
           "  --link PATH        where to put the link to the pseudo-terminal\n"
           "  --part ID          the part: 196389 (27 sectors, default) or 196387 (15)\n"
           "  --flash-in FILE    flash contents at power-on (default: all erased)\n"
           "  --flash-out FILE   where the whole flash goes on exit; %d in FILE stands for\n"
           "                     the board's number, %% for a percent sign\n"
           "  --boards N         a production line's N boards: a moment after each G the next\n"
           "                     board is there, fresh from reset, its flash erased\n"
           "  --exit-after-go    stop once G has been answered (G to RAM: once the code\n"
           "                     there starts the firmware)\n"
           "  --wire[=BAUD]      take a real line's byte time, at the host's rate or BAUD\n"
           "  --latency MS       a USB adapter's latency timer towards the host: bytes pass\n"
           "                     when 62 have gathered or MS ms after the first (1 to 255)\n"
           "  --fault RULE       STEP[#N]=ACTION; STEP is sync, sync-word, crystal, echo,\n"
           "                     unlock, part-id, prepare, erase, blank-check, write,\n"
           "                     data-checksum, copy, read, read-checksum or go; ACTION is\n"
           "                     silent, short, garble, extra, status:N, resend (for\n"
           "                     data-checksum), hangup or corrupt (for copy); or\n"
           "                     data-line[#N]=drop:K, K bytes of the N-th data line lost\n"
           "                     (of every data line without #N); or\n"
           "                     flasher-block[#N]=garble, the N-th block of the turbo\n"
           "                     flasher changed on its way in (every block without #N)\n"
           "  --crystal HZ       the crystal that code in RAM clocks its PLL and UART from\n"
           "                     (14745600 by default)\n"
           "  --pll locks|never  whether the PLL locks once code in RAM enables it (default:\n"
           "                     locks)\n"
           "  --pins WIRING      RESET and P0.14 driven by the host's DTR and RTS: dtr-rts\n"
           "                     (DTR drives RESET) or rts-dtr, with ,invert where an\n"
           "                     asserted line is a high pin. Prints 'preload PATH' after\n"
           "                     'ready PATH': the library that gives the host's end its\n"
           "                     modem lines (LD_PRELOAD=PATH). Reads code read protection\n"
           "                     from the word at 0x1FC at every reset\n"
           "  --boot isp|user    what the part does at power-on: its boot loader (default)\n"
           "                     or, with valid code in flash, its firmware\n"
           "  --log FILE         every line received and sent, with times\n"
           "  --help             print this text and exit\n"
           "  --version          print the version and exit\n";
}

std::string LpcsimCommandLine::flashOutPath(std::uint32_t board) const {
    // Every %d is the board's number and %% a percent sign; any other % stays as written.
    std::string path;
    for (std::size_t i = 0; i < flashOut.size(); ++i) {
        if (flashOut[i] == '%' && i + 1 < flashOut.size() && flashOut[i + 1] == 'd') {
            path += std::to_string(board);
            ++i;
        } else if (flashOut[i] == '%' && i + 1 < flashOut.size() && flashOut[i + 1] == '%') {
            path += '%';
            ++i;
        } else {
            path += flashOut[i];
        }
    }
    return path;
}

// The files that the options name, checked before the device starts: the link is given,
// the flash image is readable and fits the part, and what is written at the end can be.
void LpcsimCommandLine::checkFiles(LpcsimCommandLine& result) {
    const std::string& flashIn = result.flashIn;
    std::string& error = result.error;
    const DeviceOptions& options = result.options;
    if (options.linkPath.empty()) {
        error = "--link PATH is required";
        return;
    }
    if (!flashIn.empty()) {
        if (!readFile(flashIn, result.options.flash)) {
            error = "cannot read --flash-in " + flashIn;
            return;
        }
        const auto part = PartDescription::find(options.partId);
        if (part && options.flash.size() > part->flashSize()) {
            error = "--flash-in " + flashIn + " holds " + std::to_string(options.flash.size()) +
                    " bytes, more than the " + std::to_string(part->flashSize()) +
                    " bytes of flash of part " + std::to_string(options.partId);
            return;
        }
    }
    if (!result.flashOut.empty()) {
        // Each board's name, checked now rather than lost at the end: the first boards and
        // the last, whose number is the longest.
        for (std::uint64_t board = 1; board <= result.boardCount; ++board) {
            const std::string path = result.flashOutPath(static_cast<std::uint32_t>(board));
            if (const std::string why = whyNotWritable(path); !why.empty()) {
                error = "cannot write --flash-out " + path + ": " + why;
                return;
            }
            if (board == checkedBoards && board < result.boardCount) {
                board = result.boardCount - 1;
            }
        }
    }
    if (!options.logPath.empty() && !writable(options.logPath)) {
        error = "cannot write --log " + options.logPath;
    }
}

// Each option with what it takes and what it sets; the set functions answer the error
// message for a value they refuse, empty when they take it.
struct LpcsimCommandLine::Option {
    enum class Takes {
        nothing,
        // The next argument, or the text after '='.
        value,
        // A value only after '=': the option means something without one.
        valueAfterEquals,
    };
    std::string_view name;
    Takes takes;
    std::string (*set)(LpcsimCommandLine& line, const std::optional<std::string>& value);
};

// The options that take no value: what to print, and when to stop.
std::span<const LpcsimCommandLine::Option> LpcsimCommandLine::flagOptions() {
    using Takes = Option::Takes;
    using Value = const std::optional<std::string>&;
    static const Option table[] = {
        {"--help", Takes::nothing,
         [](LpcsimCommandLine& line, Value) { return line.help = true, std::string(); }},
        {"-h", Takes::nothing,
         [](LpcsimCommandLine& line, Value) { return line.help = true, std::string(); }},
        {"--version", Takes::nothing,
         [](LpcsimCommandLine& line, Value) { return line.version = true, std::string(); }},
        {"--exit-after-go", Takes::nothing,
         [](LpcsimCommandLine& line, Value) {
             return line.options.exitAfterGo = true, std::string();
         }},
    };
    return table;
}

// The line between the host and the part, and the faults on it.
std::span<const LpcsimCommandLine::Option> LpcsimCommandLine::lineOptions() {
    using Takes = Option::Takes;
    using Value = const std::optional<std::string>&;
    static const Option table[] = {
        {"--wire", Takes::valueAfterEquals,
         [](LpcsimCommandLine& line, Value v) -> std::string {
             if (!v) {
                 line.options.wireBaud = 0;
             } else if (const auto baud = positiveNumber(*v); baud && *baud <= maxWireBaud) {
                 line.options.wireBaud = *baud;
             } else {
                 return "--wire=" + *v + ": the baud rate is a number from 1 to " +
                        std::to_string(maxWireBaud);
             }
             return {};
         }},
        {"--latency", Takes::value,
         [](LpcsimCommandLine& line, Value v) -> std::string {
             const auto ms = positiveNumber(*v);
             if (!ms || *ms > maxLatencyMs) {
                 return "--latency " + *v + ": the latency is a number of milliseconds from 1 to " +
                        std::to_string(maxLatencyMs);
             }
             line.options.adapterLatency = std::chrono::milliseconds{*ms};
             return {};
         }},
        {"--fault", Takes::value,
         [](LpcsimCommandLine& line, Value v) -> std::string {
             std::string why;
             const auto rule = parseFaultRule(*v, &why);
             if (rule) {
                 line.options.faults.push_back(*rule);
             }
             return why;
         }},
    };
    return table;
}

// The part: which one, its clocks and its pins.
std::span<const LpcsimCommandLine::Option> LpcsimCommandLine::partOptions() {
    using Takes = Option::Takes;
    using Value = const std::optional<std::string>&;
    static const Option table[] = {
        {"--part", Takes::value,
         [](LpcsimCommandLine& line, Value v) -> std::string {
             const auto id = positiveNumber(*v);
             if (!id || !PartDescription::find(*id)) {
                 return "unknown part '" + *v + "' (supported: " + supportedParts() + ")";
             }
             line.options.partId = *id;
             return {};
         }},
        {"--crystal", Takes::value,
         [](LpcsimCommandLine& line, Value v) -> std::string {
             const auto hz = positiveNumber(*v);
             if (!hz || *hz < minCrystalHz || *hz > maxCrystalHz) {
                 return "--crystal " + *v + ": the crystal is a number of hertz from " +
                        std::to_string(minCrystalHz) + " to " + std::to_string(maxCrystalHz);
             }
             line.options.crystalHz = *hz;
             return {};
         }},
        {"--pll", Takes::value,
         [](LpcsimCommandLine& line, Value v) -> std::string {
             if (*v != "locks" && *v != "never") {
                 return "--pll " + *v + ": the PLL locks or never";
             }
             line.options.pllLocks = *v == "locks";
             return {};
         }},
        {"--pins", Takes::value,
         [](LpcsimCommandLine& line, Value v) -> std::string {
             line.options.pins = pinWiring(*v);
             if (!line.options.pins) {
                 return "--pins " + *v +
                        ": the wiring is dtr-rts or rts-dtr, each with an optional ,invert";
             }
             return {};
         }},
        {"--boot", Takes::value,
         [](LpcsimCommandLine& line, Value v) -> std::string {
             if (*v != "user" && *v != "isp") {
                 return "--boot " + *v + ": the part boots isp or user";
             }
             line.options.bootUser = *v == "user";
             return {};
         }},
    };
    return table;
}

// Where the device appears, the files it reads and writes, and its boards.
std::span<const LpcsimCommandLine::Option> LpcsimCommandLine::fileOptions() {
    using Takes = Option::Takes;
    using Value = const std::optional<std::string>&;
    static const Option table[] = {
        {"--link", Takes::value,
         [](LpcsimCommandLine& line, Value v) {
             return line.options.linkPath = *v, std::string();
         }},
        {"--flash-in", Takes::value,
         [](LpcsimCommandLine& line, Value v) { return line.flashIn = *v, std::string(); }},
        {"--flash-out", Takes::value,
         [](LpcsimCommandLine& line, Value v) { return line.flashOut = *v, std::string(); }},
        {"--log", Takes::value,
         [](LpcsimCommandLine& line, Value v) { return line.options.logPath = *v, std::string(); }},
        {"--boards", Takes::value,
         [](LpcsimCommandLine& line, Value v) -> std::string {
             const auto n = positiveNumber(*v);
             if (!n) {
                 return "--boards " + *v + ": the number of boards is a positive number";
             }
             line.boardCount = *n;
             return {};
         }},
    };
    return table;
}

const LpcsimCommandLine::Option* LpcsimCommandLine::findOption(std::string_view name) {
    for (const auto group : {flagOptions(), lineOptions(), partOptions(), fileOptions()}) {
        for (const Option& option : group) {
            if (option.name == name) {
                return &option;
            }
        }
    }
    return nullptr;
}

// One option at args[i], with its value if it takes one (i moves past a value taken from
// the next argument); the error message, empty when it was taken.
std::string LpcsimCommandLine::takeOption(const std::vector<std::string>& args, std::size_t& i) {
    std::string name = args[i];
    std::optional<std::string> value;
    if (const std::size_t equals = name.find('=');
        name.starts_with("--") && equals != std::string::npos) {
        value = name.substr(equals + 1);
        name = name.substr(0, equals);
    }
    const Option* option = findOption(name);
    // Refused before it could take the next argument as a value of its own.
    if (option == nullptr) {
        return "unknown argument '" + args[i] + "'";
    }
    if (option->takes == Option::Takes::nothing && value) {
        return name + " takes no value";
    }
    if (option->takes == Option::Takes::value && !value) {
        if (i + 1 == args.size()) {
            return name + " needs a value";
        }
        value = args[++i];
    }
    return option->set(*this, value);
}

LpcsimCommandLine LpcsimCommandLine::parse(const std::vector<std::string>& args) {
    LpcsimCommandLine result;
    for (std::size_t i = 0; i < args.size() && result.error.empty(); ++i) {
        result.error = result.takeOption(args, i);
    }
    if (!result.error.empty() || result.help || result.version) {
        return result;
    }
    checkFiles(result);
    return result;
}

} // namespace sparwick::sim
