#include "cli.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <sstream>

namespace cli {

namespace {

// A whole word as a number in [low, high]: decimal, or hex with 0x. Not
// CLI11's conversion, which reads a leading 0 as octal.
bool Number(const std::string &word, long low, long high, long &value)
{
    const char *first = word.data();
    const char *last = word.data() + word.size();
    int base = 10;
    if (word.size() > 2 && word[0] == '0' && (word[1] == 'x' || word[1] == 'X')) {
        first += 2;
        base = 16;
    }
    const auto [end, problem] = std::from_chars(first, last, value, base);
    return first != last && problem == std::errc{} && end == last && value >= low && value <= high;
}

// A word as the error quotes it: on one line, whatever control characters
// the word holds.
std::string Quoted(const std::string &word)
{
    std::string quoted = "'" + word + "'";
    std::replace_if(quoted.begin(), quoted.end(), [](char c) { return std::iscntrl(static_cast<unsigned char>(c)); },
                    ' ');
    return quoted;
}

std::vector<std::string> SplitCommas(const std::vector<std::string> &words)
{
    std::vector<std::string> parts;
    for (const std::string &word : words) {
        std::stringstream stream(word);
        std::string part;
        while (std::getline(stream, part, ',')) {
            parts.push_back(part);
        }
        if (word.empty() || word.back() == ',') {
            parts.emplace_back();
        }
    }
    return parts;
}

bool Device(const std::string &word, int32_t &device, std::string &error)
{
    long value = 0;
    if (!Number(word, 1, 8, value)) {
        error = "device " + Quoted(word) + " is not a device id from 1 to 8";
        return false;
    }
    device = static_cast<int32_t>(value);
    return true;
}

bool Levels(const std::vector<std::string> &values, std::array<uint8_t, 32> &levels, std::string &error)
{
    if (values.size() != 1 && values.size() != 32) {
        error = "level needs 1 value for all outputs or 32 values, not " + std::to_string(values.size());
        return false;
    }
    for (std::size_t n = 0; n < 32; ++n) {
        long level = 0;
        const std::string &word = values[values.size() == 1 ? 0 : n];
        if (!Number(word, 0, 255, level)) {
            error = "level " + Quoted(word) + " is not a value from 0 to 255";
            return false;
        }
        levels[n] = static_cast<uint8_t>(level);
    }
    return true;
}

const char *const OUTPUTS_HELP =
    "Outputs: numbers 0 to 31 (decimal or 0x hex), ranges such as 4-7, joined by\n"
    "commas or spaces (0 4-7 31, or 0,4-7,31); or 'all' or 'none' on their own.\n"
    "Levels: 0 to 255, decimal or 0x hex.\n";

const char *const BOARDS_HELP =
    "Boards that restart when the port opens (many microcontroller boards with a USB\n"
    "serial chip reset on DTR) ignore the line while they boot, about 0.5 to 2 s:\n"
    "give them --settle 2000. Those that also restart when it closes drop what was\n"
    "set: keep it with --hold.\n";

const char *const EXIT_HELP =
    "Exit status: 0 on success, 1 when the port could not be used, 2 for a mistyped\n"
    "command (nothing is sent), 3 when the library could not be loaded, 130 when a\n"
    "test or the panel was interrupted (every output is switched off first).\n";

} // namespace

namespace {

// Numbers low to high and ranges of them, or "all" or "none" alone; bit
// (number - low) of mask for each one named. noun names one item in errors.
bool ParseList(const std::vector<std::string> &words, long low, long high, const std::string &noun,
               const std::string &example, uint32_t &mask, std::string &error)
{
    mask = 0;
    const std::string range = std::to_string(low) + " to " + std::to_string(high);
    if (words.empty()) {
        error = "no " + noun + "s given (numbers " + range + ", ranges such as " + example + ", all or none)";
        return false;
    }
    const std::vector<std::string> parts = SplitCommas(words);
    for (const std::string &part : parts) {
        if (part == "all" || part == "none") {
            // "all none" or "all 3" has no one meaning: refuse rather than guess.
            if (parts.size() != 1) {
                error = "'" + part + "' stands alone: give either all, none or a list of " + noun + "s";
                return false;
            }
            const long count = high - low + 1;
            mask = part == "all" ? (count == 32 ? 0xFFFFFFFFU : (1U << count) - 1) : 0;
            return true;
        }
        const auto dash = part.find('-');
        long first = 0;
        long last = 0;
        const bool single = dash == std::string::npos && Number(part, low, high, first);
        const bool isRange = dash != std::string::npos && Number(part.substr(0, dash), low, high, first) &&
                             Number(part.substr(dash + 1), low, high, last) && first <= last;
        if (!single && !isRange) {
            error = noun + " " + Quoted(part) + " is not " + (noun == "output" ? "an " : "a ") + noun + " " + range +
                    ", a range such as " + example + ", all or none";
            return false;
        }
        if (single) {
            last = first;
        }
        for (long item = first; item <= last; ++item) {
            mask |= 1U << (item - low);
        }
    }
    return true;
}

} // namespace

bool ParseOutputs(const std::vector<std::string> &words, uint32_t &mask, std::string &error)
{
    return ParseList(words, 0, 31, "output", "4-7", mask, error);
}

bool ParseDevices(const std::vector<std::string> &words, uint8_t &mask, std::string &error)
{
    uint32_t devices = 0;
    const bool ok = ParseList(words, 1, 8, "device", "2-4", devices, error);
    mask = static_cast<uint8_t>(devices);
    return ok;
}

std::array<int32_t, 4> Banks(uint32_t outputs)
{
    return {static_cast<int32_t>(outputs & 0xFF), static_cast<int32_t>((outputs >> 8) & 0xFF),
            static_cast<int32_t>((outputs >> 16) & 0xFF), static_cast<int32_t>(outputs >> 24)};
}

Parsed Parse(const std::vector<std::string> &arguments, bool consoleOfItsOwn)
{
    Parsed parsed;
    Invocation &invocation = parsed.invocation;
    if (arguments.empty() && consoleOfItsOwn) {
        parsed.ok = true;
        invocation.action = Action::Welcome;
        return parsed;
    }

    CLI::App app{"Drives the output controller through the Brindlex library, loaded as a host loads it.",
                 "brindlex"};
    app.footer(std::string("\n") + OUTPUTS_HELP + "\n" + BOARDS_HELP + "\n" + EXIT_HELP);
    app.require_subcommand(0, 1);
    bool version = false;
    app.add_option("--library", invocation.library, "load this library instead of the one beside the program")
        ->type_name("PATH");
    app.add_flag("--version", version, "show the tool's version and the library it would load");

    std::string deviceWord;
    std::vector<std::string> words;
    std::vector<std::string> testDeviceWords;
    std::vector<std::string> testOutputWords;
    const auto settle = [&invocation](CLI::App *command) {
        command
            ->add_option("--settle", invocation.settleMs,
                         "wait MS milliseconds after loading the library before the first command,\n"
                         "for a board that restarts when the port opens (0 to 60000, default 0)")
            ->check(CLI::Range(0, 60000))
            ->type_name("MS");
    };
    const auto hold = [&invocation](CLI::App *command) {
        command->add_flag("--hold", invocation.hold,
                          "keep the port open and the outputs as set until Ctrl-C, SIGTERM or the\n"
                          "console closes, for a board that restarts when the port closes");
    };

    CLI::App *devices = app.add_subcommand("devices", "list the devices the library announces");
    CLI::App *set = app.add_subcommand("set", "switch the listed outputs of DEVICE on and the others off");
    set->add_option("device", deviceWord, "device id, 1 to 8")->required();
    set->add_option("outputs", words, "outputs to switch on (see below)")->required()->allow_extra_args();
    settle(set);
    hold(set);
    CLI::App *level = app.add_subcommand("level", "set the 32 levels of DEVICE: one value for all, or 32");
    level->add_option("device", deviceWord, "device id, 1 to 8")->required();
    level->add_option("values", words, "1 or 32 values, 0 to 255")->required();
    settle(level);
    hold(level);
    CLI::App *test = app.add_subcommand(
        "test", "switch each output on alone, in turn, with the levels ramping, and leave everything off");
    test->add_option("--delay", invocation.delayMs,
                     "milliseconds between steps, 0 to 60000 (default 100); an output stays\n"
                     "on for 1000 ms at most whatever the delay, as a coil made for short\n"
                     "pulses burns when held")
        ->check(CLI::Range(0, 60000))
        ->type_name("MS");
    test->add_option("--device", testDeviceWords, "test only these devices: 1 to 8, ranges such as 2-4, or all")
        ->type_name("LIST");
    test->add_option("--outputs", testOutputWords, "test only these outputs of each device (0 to 31, ranges such as\n"
                    "4-7), to leave coils out")
        ->type_name("LIST");
    settle(test);
    test->footer("At no moment is more than one output of the cabinet on.");
    CLI::App *panel = app.add_subcommand(
        "panel", "serve the outputs as a page to click, on this computer only, and open it in the browser");
    panel->add_option("--listen", invocation.listenPort, "the port on 127.0.0.1 to serve on (default: any free one)")
        ->check(CLI::Range(0, 65535))
        ->type_name("PORT");
    panel->add_option("--pulse", invocation.pulseMs,
                      "how long a click keeps an output on, 1 to 1000 (default 100): a coil\n"
                      "made for short pulses burns when held")
        ->check(CLI::Range(1, 1000))
        ->type_name("MS");
    panel->add_flag("--no-browser", invocation.noBrowser, "only print the page's address");
    settle(panel);
    CLI::App *check = app.add_subcommand(
        "check", "open and configure the port as the library does, and report each step");
    check->add_option("--port", invocation.port, "check this port instead of the library's (a path, or COMn)")
        ->type_name("PORT");
    CLI::App *ports = app.add_subcommand("ports", "list the machine's serial ports and what each is");
    ports->add_option("--udev-rule", invocation.udevRulePort,
                      "print a udev rule that links the library's port path to PORT")
        ->type_name("PORT");
    for (CLI::App *command : {devices, set, level, test, panel, check, ports}) {
        command->fallthrough();
    }

    // CLI11 takes its arguments last first.
    std::vector<std::string> reversed(arguments.rbegin(), arguments.rend());
    try {
        app.parse(reversed);
    } catch (const CLI::CallForHelp &) {
        parsed.ok = true;
        invocation.action = Action::Help;
        parsed.help = app.help();
        return parsed;
    } catch (const CLI::ParseError &problem) {
        parsed.error = problem.what();
        std::replace(parsed.error.begin(), parsed.error.end(), '\n', ' ');
        return parsed;
    }

    if (version) {
        invocation.action = Action::Version;
    } else if (app.got_subcommand(devices)) {
        invocation.action = Action::Devices;
    } else if (app.got_subcommand(set)) {
        invocation.action = Action::Set;
        if (!Device(deviceWord, invocation.device, parsed.error) ||
            !ParseOutputs(words, invocation.outputs, parsed.error)) {
            return parsed;
        }
    } else if (app.got_subcommand(level)) {
        invocation.action = Action::Level;
        if (!Device(deviceWord, invocation.device, parsed.error) ||
            !Levels(words, invocation.levels, parsed.error)) {
            return parsed;
        }
    } else if (app.got_subcommand(test)) {
        invocation.action = Action::Test;
        if ((!testDeviceWords.empty() && !ParseDevices(testDeviceWords, invocation.testDevices, parsed.error)) ||
            (!testOutputWords.empty() && !ParseOutputs(testOutputWords, invocation.testOutputs, parsed.error))) {
            return parsed;
        }
        if (invocation.testDevices == 0 || invocation.testOutputs == 0) {
            parsed.error = "nothing to test: --device or --outputs is none";
            return parsed;
        }
    } else if (app.got_subcommand(panel)) {
        invocation.action = Action::Panel;
    } else if (app.got_subcommand(check)) {
        invocation.action = Action::Check;
    } else if (app.got_subcommand(ports)) {
        invocation.action = Action::Ports;
    } else {
        parsed.error = "no command given (devices, set, level, test, panel, check or ports)";
        return parsed;
    }
    parsed.ok = true;
    return parsed;
}

} // namespace cli
