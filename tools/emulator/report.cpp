#include "report.h"

#include <nlohmann/json.hpp>

#include <cmath>
#include <cstdio>

namespace emulator {

namespace {

// Paths come from the command line and need not be UTF-8: bytes that are not
// become U+FFFD rather than an exception.
std::string Line(const nlohmann::ordered_json &object)
{
    return object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

nlohmann::ordered_json TextOrNull(const std::string &text)
{
    return text.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(text);
}

// To the microsecond, so that JSON shows 0.001234 rather than 0.0012340000000000001.
double Microseconds(double time)
{
    return std::round(time * 1e6) / 1e6;
}

std::string Seconds(double time)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.6fs", time);
    return text;
}

std::array<uint8_t, COMMAND_SIZE> Bytes(const Command &command)
{
    std::array<uint8_t, COMMAND_SIZE> bytes{0x00, command.kind, command.start, 32};
    std::copy(command.data.begin(), command.data.end(), bytes.begin() + 4);
    return bytes;
}

} // namespace

std::string Hex(const uint8_t *bytes, std::size_t size)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    for (std::size_t i = 0; i < size; ++i) {
        text += i ? " " : "";
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 15];
    }
    return text;
}

// "#4 @108 0.012345s device 1 states ...#... bytes 00 02 00 20 ..."
std::string CommandLine(const Command &command, uint64_t number)
{
    // Appended piece by piece rather than joined with +: GCC 12 at -O3 for
    // 32-bit ARM reports a false overlap (-Wrestrict) in long + chains.
    std::string text = "#";
    text += std::to_string(number);
    text += " @";
    text += std::to_string(command.offset);
    text += " ";
    text += Seconds(command.time);
    text += " device ";
    text += std::to_string(command.start / 32 + 1);
    if (command.kind == 0x02) {
        text += " states ";
        for (const uint8_t state : command.data) {
            text += state ? '#' : '.';
        }
    } else {
        text += " levels " + Hex(command.data.data(), command.data.size());
    }
    const auto bytes = Bytes(command);
    return text + " bytes " + Hex(bytes.data(), bytes.size());
}

// "malformed at offset 36 0.012345s: lead byte is not 0x00; 1 byte: 55"
std::string MalformedLine(const Malformed &malformed)
{
    const std::size_t size = malformed.bytes.size();
    return "malformed at offset " + std::to_string(malformed.offset) + " " + Seconds(malformed.time) + ": " +
           malformed.reason + "; " + std::to_string(size) + (size == 1 ? " byte: " : " bytes: ") +
           Hex(malformed.bytes.data(), size);
}

std::string RestartLine(double time, bool opened, int bootMs)
{
    std::string text = "restart ";
    text += Seconds(time);
    text += opened ? ": the far side opened the port" : ": the far side closed the port";
    text += "; every output off, the line ignored for ";
    text += std::to_string(bootMs);
    return text + " ms";
}

std::string DroppedLine(uint64_t offset, uint64_t length, double time)
{
    std::string text = "dropped ";
    text += std::to_string(length);
    text += length == 1 ? " byte at offset " : " bytes at offset ";
    text += std::to_string(offset);
    text += " ";
    text += Seconds(time);
    return text + ": the board was restarting";
}

std::string ReadyJson(const std::string &port, const std::string &link, const std::string &line, double time)
{
    return Line({{"event", "ready"},
                 {"port", port},
                 {"link", TextOrNull(link)},
                 {"line", TextOrNull(line)},
                 {"time", Microseconds(time)}});
}

std::string CommandJson(const Command &command, uint64_t number)
{
    const auto bytes = Bytes(command);
    return Line({{"event", "command"},
                 {"number", number},
                 {"offset", command.offset},
                 {"time", Microseconds(command.time)},
                 {"command", command.kind == 0x02 ? "states" : "levels"},
                 {"device", command.start / 32 + 1},
                 {"start", command.start},
                 {"data", command.data},
                 {"hex", Hex(bytes.data(), bytes.size())}});
}

std::string MalformedJson(const Malformed &malformed)
{
    return Line({{"event", "malformed"},
                 {"offset", malformed.offset},
                 {"time", Microseconds(malformed.time)},
                 {"reason", malformed.reason},
                 {"length", malformed.bytes.size()},
                 {"hex", Hex(malformed.bytes.data(), malformed.bytes.size())}});
}

std::string RestartJson(double time, bool opened, int bootMs)
{
    return Line({{"event", "restart"},
                 {"time", Microseconds(time)},
                 {"cause", opened ? "open" : "close"},
                 {"ignores", bootMs / 1000.0}});
}

std::string DroppedJson(uint64_t offset, uint64_t length, double time)
{
    return Line({{"event", "dropped"}, {"offset", offset}, {"time", Microseconds(time)}, {"length", length}});
}

std::string TotalsJson(const Totals &totals, double time)
{
    return Line({{"event", "totals"},
                 {"commands", totals.commands},
                 {"malformed", totals.malformed},
                 {"bytes", totals.bytes},
                 {"restarts", totals.restarts},
                 {"dropped", totals.dropped},
                 {"time", Microseconds(time)}});
}

} // namespace emulator
