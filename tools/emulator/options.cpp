#include "options.h"

#include <CLI/CLI.hpp>

#include <charconv>
#include <cmath>

namespace emulator {

namespace {

// CLI11 reads "-1" as 2^64-1 and takes nan and inf for numbers, so the text
// itself is checked before it is converted.
const CLI::Validator PositiveCount(
    [](const std::string &text) -> std::string {
        uint64_t value = 0;
        const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
        if (error != std::errc() || end != text.data() + text.size() || value == 0) {
            return "needs a whole number from 1 to " + std::to_string(UINT64_MAX) + ", not '" + text + "'";
        }
        return {};
    },
    "");

const CLI::Validator PositiveSeconds(
    [](const std::string &text) -> std::string {
        double value = 0;
        const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
        if (error != std::errc() || end != text.data() + text.size() || !std::isfinite(value) || value <= 0) {
            return "needs a number of seconds above 0, not '" + text + "'";
        }
        return {};
    },
    "");

const CLI::Validator NotEmpty(
    [](const std::string &text) -> std::string { return text.empty() ? "needs a path, not ''" : ""; }, "");

} // namespace

ParsedOptions ParseOptions(int argc, const char *const *argv, const std::string &version)
{
    Options options;
    CLI::App app{"Emulates the output controller: decodes the bank commands it receives, checks each\n"
                 "against the protocol and shows the 8 devices by 32 outputs.\n",
                 "brindlex-emulator"};
    CLI::Option *device = app.add_option("--device", options.device, "read this serial device instead of a new pseudo-terminal")
        ->type_name("PATH")
        ->check(NotEmpty);
    app.add_option("--link", options.link,
                   "make PATH a symlink to the port while it runs (a Wine prefix's\n"
                   "dosdevices/com61, or the library's port); only a symlink, which is\n"
                   "put back at the end, or nothing may be at PATH")
        ->type_name("PATH")
        ->check(NotEmpty);
    CLI::Option *json = app.add_flag("--json", options.json, "one JSON object per line, for programs");
    app.add_flag("--lines", options.lines, "one line per command, also on a terminal")->excludes(json);
    app.add_option("--count", options.count, "end after N commands")->type_name("N")->check(PositiveCount);
    app.add_option("--timeout", options.timeoutSeconds, "end after S seconds")->type_name("S")->check(PositiveSeconds);
    app.add_option("--totals", options.totals, "also write the totals to FILE when it ends")
        ->type_name("FILE")
        ->check(NotEmpty);
    app.add_option("--restart-on-open", options.restartOnOpenMs,
                   "act as a board that restarts when the far side opens or closes the port:\n"
                   "all outputs off, and every byte in the next MS milliseconds dropped")
        ->type_name("MS")
        ->check(CLI::Range(0, 60000));
    app.set_version_flag("--version", "brindlex-emulator " + version);
    app.footer("Without --json it shows a live grid on a terminal and one line per command otherwise,\n"
               "and the totals when it ends. Exit status: 0, 1 if any bytes were malformed or the port\n"
               "or link could not be made or put back, 2 for a bad command line or a --link PATH that\n"
               "holds something other than a symlink.");
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp &) {
        return {std::nullopt, 0, app.help(), {}};
    } catch (const CLI::CallForVersion &request) {
        return {std::nullopt, 0, request.what() + std::string("\n"), {}};
    } catch (const CLI::ParseError &problem) {
        std::string text = problem.what();
        for (char &c : text) {
            c = c == '\n' ? ' ' : c;
        }
        return {std::nullopt, 2, {}, "brindlex-emulator: " + text + " (see --help)"};
    }
    // Only its own pseudo-terminal shows it when the far side opens and
    // closes the port; a device's far end is out of its sight.
    if (options.restartOnOpenMs >= 0 && !device->empty()) {
        return {std::nullopt, 2, {},
                "brindlex-emulator: --restart-on-open needs the emulator's own pseudo-terminal: on --device it "
                "cannot tell when the far side opens the port"};
    }
    return {options, 0, {}, {}};
}

} // namespace emulator
