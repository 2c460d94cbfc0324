#include "cli.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <sstream>

namespace cli {

namespace {

// A whole word as a number in [low, high]: decimal, or hex with 0x.
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

std::vector<std::string> SplitCommas(const std::vector<std::string> &words)
{
    std::vector<std::string> parts;
    for (const std::string &word : words) {
        std::stringstream stream(word);
        std::string part;
        while (std::getline(stream, part, ',')) {
            parts.push_back(part);
        }
        if (!word.empty() && word.back() == ',') {
            parts.emplace_back();
        }
    }
    return parts;
}

Parsed Fail(std::string message)
{
    Parsed parsed;
    parsed.error = std::move(message);
    return parsed;
}

bool Device(const std::string &word, int32_t &device, std::string &error)
{
    long value = 0;
    if (!Number(word, 1, 8, value)) {
        error = "device '" + word + "' is not a device id from 1 to 8";
        return false;
    }
    device = static_cast<int32_t>(value);
    return true;
}

} // namespace

bool ParseOutputs(const std::vector<std::string> &words, uint32_t &mask, std::string &error)
{
    mask = 0;
    if (words.empty()) {
        error = "no outputs given (numbers 0 to 31, ranges such as 4-7, all or none)";
        return false;
    }
    for (const std::string &part : SplitCommas(words)) {
        if (part == "all") {
            mask = 0xFFFFFFFFU;
            continue;
        }
        if (part == "none") {
            continue;
        }
        const auto dash = part.find('-');
        long first = 0;
        long last = 0;
        const bool single = dash == std::string::npos && Number(part, 0, 31, first);
        const bool range = dash != std::string::npos && Number(part.substr(0, dash), 0, 31, first) &&
                           Number(part.substr(dash + 1), 0, 31, last) && first <= last;
        if (!single && !range) {
            error = "output '" + part + "' is not an output 0 to 31, a range such as 4-7, all or none";
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
    std::vector<std::string> words;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string &argument = arguments[i];
        if (argument == "--help" || argument == "-h") {
            parsed.ok = true;
            invocation.action = Action::Help;
            return parsed;
        }
        if (argument == "--version") {
            parsed.ok = true;
            invocation.action = Action::Version;
            return parsed;
        }
        if (argument == "--library") {
            if (i + 1 == arguments.size()) {
                return Fail("--library needs a path");
            }
            invocation.library = arguments[++i];
        } else if (argument == "--delay") {
            long delay = 0;
            if (i + 1 == arguments.size() || !Number(arguments[i + 1], 0, 60000, delay)) {
                return Fail("--delay needs a number of milliseconds from 0 to 60000" +
                            (i + 1 < arguments.size() ? ", not '" + arguments[i + 1] + "'" : std::string()));
            }
            invocation.delayMs = static_cast<int>(delay);
            ++i;
        } else if (argument.size() > 1 && argument[0] == '-' && !std::isdigit(static_cast<unsigned char>(argument[1]))) {
            return Fail("unknown option '" + argument + "'");
        } else {
            words.push_back(argument);
        }
    }
    if (words.empty()) {
        return Fail("no command given (devices, set, level, test or check)");
    }
    const std::string command = words[0];
    const std::vector<std::string> rest(words.begin() + 1, words.end());
    const bool delayGiven = std::find(arguments.begin(), arguments.end(), "--delay") != arguments.end();
    if (delayGiven && command != "test") {
        return Fail("--delay goes with test only");
    }
    if (command == "devices" || command == "check" || command == "test") {
        if (!rest.empty()) {
            return Fail("unexpected argument '" + rest[0] + "' after " + command);
        }
        invocation.action = command == "devices" ? Action::Devices
                            : command == "check" ? Action::Check
                                                 : Action::Test;
    } else if (command == "set") {
        invocation.action = Action::Set;
        if (rest.empty()) {
            return Fail("set needs a device and its outputs");
        }
        if (!Device(rest[0], invocation.device, parsed.error) ||
            !ParseOutputs({rest.begin() + 1, rest.end()}, invocation.outputs, parsed.error)) {
            return parsed;
        }
    } else if (command == "level") {
        invocation.action = Action::Level;
        if (rest.empty()) {
            return Fail("level needs a device and 1 or 32 values");
        }
        if (!Device(rest[0], invocation.device, parsed.error)) {
            return parsed;
        }
        const std::vector<std::string> values(rest.begin() + 1, rest.end());
        if (values.size() != 1 && values.size() != 32) {
            return Fail("level needs 1 value for all outputs or 32 values, not " + std::to_string(values.size()));
        }
        for (std::size_t n = 0; n < 32; ++n) {
            long level = 0;
            const std::string &word = values[values.size() == 1 ? 0 : n];
            if (!Number(word, 0, 255, level)) {
                return Fail("level '" + word + "' is not a value from 0 to 255");
            }
            invocation.levels[n] = static_cast<uint8_t>(level);
        }
    } else {
        return Fail("unknown command '" + command + "'");
    }
    parsed.ok = true;
    return parsed;
}

std::string Usage()
{
    return "Usage: brindlex [--library PATH] COMMAND\n"
           "\n"
           "Drives the output controller through the Brindlex library, loaded as a host loads it.\n"
           "\n"
           "Commands:\n"
           "  devices                 list the devices the library announces\n"
           "  set DEVICE OUTPUTS...   switch the listed outputs of DEVICE (1-8) on and the others off;\n"
           "                          outputs are 0-31, ranges such as 4-7, 'all' or 'none'\n"
           "  level DEVICE VALUE...   set the 32 levels of DEVICE: one value (0-255) for all, or 32\n"
           "  test [--delay MS]       walk every output of every device on and off, then ramp the\n"
           "                          levels, leaving everything off (default delay 100 ms)\n"
           "  check                   open and configure the port without the library and report\n"
           "                          each step\n"
           "\n"
           "Options:\n"
           "  --library PATH          load this library instead of the one beside the program\n"
           "  --help                  show this help\n"
           "  --version               show the version\n"
           "\n"
           "Exit status: 0 on success, 1 when the port could not be used, 2 for bad arguments.\n";
}

} // namespace cli
