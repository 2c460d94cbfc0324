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

const char *const EXIT_HELP =
    "Exit status: 0 on success, 1 when the port could not be used, 2 for a mistyped\n"
    "command (nothing is sent), 3 when the library could not be loaded, 130 when a\n"
    "test was interrupted (every output is switched off first).\n";

} // namespace

bool ParseOutputs(const std::vector<std::string> &words, uint32_t &mask, std::string &error)
{
    mask = 0;
    if (words.empty()) {
        error = "no outputs given (numbers 0 to 31, ranges such as 4-7, all or none)";
        return false;
    }
    const std::vector<std::string> parts = SplitCommas(words);
    for (const std::string &part : parts) {
        if (part == "all" || part == "none") {
            // "all none" or "all 3" has no one meaning: refuse rather than guess.
            if (parts.size() != 1) {
                error = "'" + part + "' stands alone: give either all, none or a list of outputs";
                return false;
            }
            mask = part == "all" ? 0xFFFFFFFFU : 0;
            return true;
        }
        const auto dash = part.find('-');
        long first = 0;
        long last = 0;
        const bool single = dash == std::string::npos && Number(part, 0, 31, first);
        const bool range = dash != std::string::npos && Number(part.substr(0, dash), 0, 31, first) &&
                           Number(part.substr(dash + 1), 0, 31, last) && first <= last;
        if (!single && !range) {
            error = "output " + Quoted(part) + " is not an output 0 to 31, a range such as 4-7, all or none";
            return false;
        }
        if (single) {
            last = first;
        }
        for (long output = first; output <= last; ++output) {
            mask |= 1U << output;
        }
    }
    return true;
}

std::array<int32_t, 4> Banks(uint32_t outputs)
{
    return {static_cast<int32_t>(outputs & 0xFF), static_cast<int32_t>((outputs >> 8) & 0xFF),
            static_cast<int32_t>((outputs >> 16) & 0xFF), static_cast<int32_t>(outputs >> 24)};
}

Parsed Parse(const std::vector<std::string> &arguments)
{
    Parsed parsed;
    Invocation &invocation = parsed.invocation;

    CLI::App app{"Drives the output controller through the Brindlex library, loaded as a host loads it.",
                 "brindlex"};
    app.footer(std::string("\n") + OUTPUTS_HELP + "\n" + EXIT_HELP);
    app.require_subcommand(0, 1);
    bool version = false;
    app.add_option("--library", invocation.library, "load this library instead of the one beside the program")
        ->type_name("PATH");
    app.add_flag("--version", version, "show the tool's version and the library it would load");

    std::string deviceWord;
    std::vector<std::string> words;

    CLI::App *devices = app.add_subcommand("devices", "list the devices the library announces");
    CLI::App *set = app.add_subcommand("set", "switch the listed outputs of DEVICE on and the others off");
    set->add_option("device", deviceWord, "device id, 1 to 8")->required();
    set->add_option("outputs", words, "outputs to switch on (see below)")->required()->allow_extra_args();
    CLI::App *level = app.add_subcommand("level", "set the 32 levels of DEVICE: one value for all, or 32");
    level->add_option("device", deviceWord, "device id, 1 to 8")->required();
    level->add_option("values", words, "1 or 32 values, 0 to 255")->required();
    CLI::App *test = app.add_subcommand(
        "test", "walk every output on and off, ramp the levels, and leave everything off");
    test->add_option("--delay", invocation.delayMs, "milliseconds between steps, 0 to 60000 (default 100)")
        ->check(CLI::Range(0, 60000))
        ->type_name("MS");
    CLI::App *check = app.add_subcommand(
        "check", "open and configure the port as the library does, and report each step");
    check->add_option("--port", invocation.port, "check this port instead of the library's (a path, or COMn)")
        ->type_name("PORT");
    CLI::App *ports = app.add_subcommand("ports", "list the machine's serial ports and what each is");
    ports->add_option("--udev-rule", invocation.udevRulePort,
                      "print a udev rule that links the library's port path to PORT")
        ->type_name("PORT");
    for (CLI::App *command : {devices, set, level, test, check, ports}) {
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
    } else if (app.got_subcommand(check)) {
        invocation.action = Action::Check;
    } else if (app.got_subcommand(ports)) {
        invocation.action = Action::Ports;
    } else {
        parsed.error = "no command given (devices, set, level, test, check or ports)";
        return parsed;
    }
    parsed.ok = true;
    return parsed;
}

} // namespace cli
