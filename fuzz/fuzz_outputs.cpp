// Fuzzes the host tool's command line and its output-list grammar with any
// words. An input is a choice of what to parse, then the words, separated by
// NUL bytes (a command line cannot hold one). Whatever is accepted must mean
// the same outputs when written back in the grammar's plainest form and
// parsed again, as one word, as words of their own and on a whole command
// line; an output list the grammar accepts must mean the same on the command
// line too. A crash, an exception or a difference aborts, and libFuzzer keeps
// the input.
#include "cli.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

void Require(bool condition, const char *what)
{
    if (!condition) {
        std::fprintf(stderr, "output grammar breach: %s\n", what);
        std::abort();
    }
}

// The outputs as ranges joined by commas ("0,4-7,31"), or "none"; in hex
// when asked ("0x0,0x4-0x7").
std::string Format(uint32_t mask, bool hex)
{
    if (mask == 0) {
        return "none";
    }
    const auto number = [hex](int n) {
        char text[8];
        std::snprintf(text, sizeof text, hex ? "0x%x" : "%d", n);
        return std::string(text);
    };
    std::string text;
    for (int first = 0; first < 32; ++first) {
        if ((mask >> first & 1U) == 0) {
            continue;
        }
        int last = first;
        while (last < 31 && (mask >> (last + 1) & 1U) != 0) {
            ++last;
        }
        text += (text.empty() ? "" : ",") + number(first) + (last > first ? "-" + number(last) : "");
        first = last;
    }
    return text;
}

std::vector<std::string> SplitAt(const std::string &text, char separator)
{
    std::vector<std::string> parts;
    std::size_t begin = 0;
    for (std::size_t at = 0; at <= text.size(); ++at) {
        if (at == text.size() || text[at] == separator) {
            parts.push_back(text.substr(begin, at - begin));
            begin = at + 1;
        }
    }
    return parts;
}

cli::Parsed ParseLine(const std::vector<std::string> &head, const std::vector<std::string> &tail)
{
    std::vector<std::string> arguments = head;
    arguments.insert(arguments.end(), tail.begin(), tail.end());
    return cli::Parse(arguments);
}

uint32_t FromBanks(const std::array<int32_t, 4> &banks)
{
    uint32_t mask = 0;
    for (int b = 0; b < 4; ++b) {
        Require(banks[static_cast<std::size_t>(b)] >= 0 && banks[static_cast<std::size_t>(b)] <= 0xFF,
                "a bank is not a byte");
        mask |= static_cast<uint32_t>(banks[static_cast<std::size_t>(b)]) << (8 * b);
    }
    return mask;
}

// The outputs, written back in the grammar, mean the same: in decimal and in
// hex, as one word and one range a word.
void CheckOutputsRoundTrip(uint32_t mask)
{
    Require(FromBanks(cli::Banks(mask)) == mask, "the banks do not carry the outputs");
    for (const bool hex : {false, true}) {
        const std::string text = Format(mask, hex);
        uint32_t again = 0;
        std::string error;
        Require(cli::ParseOutputs({text}, again, error) && again == mask, "the outputs written back differ");
        Require(cli::ParseOutputs(SplitAt(text, ','), again, error) && again == mask, "the outputs as words differ");
    }
    if (mask == 0xFFFFFFFFU) {
        uint32_t again = 0;
        std::string error;
        Require(cli::ParseOutputs({"all"}, again, error) && again == mask, "all is not every output");
    }
}

void CheckLevelsRoundTrip(int32_t device, const std::array<uint8_t, 32> &levels)
{
    std::vector<std::string> words;
    for (const uint8_t level : levels) {
        words.push_back(std::to_string(level));
    }
    const cli::Parsed line = ParseLine({"level", std::to_string(device)}, words);
    Require(line.ok && line.invocation.action == cli::Action::Level && line.invocation.device == device &&
                line.invocation.levels == levels,
            "the levels written back differ");
}

void CheckAccepted(const cli::Parsed &parsed)
{
    if (!parsed.ok) {
        Require(!parsed.error.empty() && parsed.error.find('\n') == std::string::npos,
                "a refusal is not one line");
        return;
    }
    const cli::Invocation &invocation = parsed.invocation;
    if (invocation.action == cli::Action::Set || invocation.action == cli::Action::Level) {
        Require(invocation.device >= 1 && invocation.device <= 8, "a device outside 1 to 8 was accepted");
    }
    if (invocation.action == cli::Action::Set) {
        CheckOutputsRoundTrip(invocation.outputs);
        const cli::Parsed again =
            ParseLine({"set", std::to_string(invocation.device)}, {Format(invocation.outputs, false)});
        Require(again.ok && again.invocation.action == cli::Action::Set &&
                    again.invocation.device == invocation.device && again.invocation.outputs == invocation.outputs,
                "the outputs written back on a command line differ");
    } else if (invocation.action == cli::Action::Level) {
        CheckLevelsRoundTrip(invocation.device, invocation.levels);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size)
{
    if (size == 0) {
        return 0;
    }
    const uint8_t choice = data[0];
    const std::vector<std::string> words =
        SplitAt(std::string(reinterpret_cast<const char *>(data + 1), size - 1), '\0');
    switch (choice % 3) {
    case 0: { // an output list, alone and after "set 3"
        uint32_t mask = 0;
        std::string error;
        if (cli::ParseOutputs(words, mask, error)) {
            CheckOutputsRoundTrip(mask);
            const cli::Parsed line = ParseLine({"set", "3"}, words);
            Require(line.ok && line.invocation.outputs == mask, "an accepted list means otherwise on a command line");
        } else {
            Require(!error.empty() && error.find('\n') == std::string::npos, "a list was refused without one line");
        }
        break;
    }
    case 1: // levels after "level 5"
        CheckAccepted(ParseLine({"level", "5"}, words));
        break;
    default: // a whole command line
        CheckAccepted(cli::Parse(words));
        break;
    }
    return 0;
}
