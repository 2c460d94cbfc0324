#include "report.h"

#include <nlohmann/json.hpp>

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

} // namespace

std::string ReadyJson(const std::string &port, const std::string &link, const std::string &line)
{
    return Line({{"event", "ready"}, {"port", port}, {"link", TextOrNull(link)}, {"line", TextOrNull(line)}});
}

std::string CommandJson(const Command &command, uint64_t number)
{
    return Line({{"event", "command"},
                 {"number", number},
                 {"offset", command.offset},
                 {"command", command.kind == 0x02 ? "states" : "levels"},
                 {"device", command.start / 32 + 1},
                 {"start", command.start},
                 {"data", command.data}});
}

std::string MalformedJson(const Malformed &malformed)
{
    return Line({{"event", "malformed"}, {"offset", malformed.offset}, {"reason", malformed.reason}});
}

std::string TotalsJson(uint64_t commands, uint64_t malformed)
{
    return Line({{"event", "totals"}, {"commands", commands}, {"malformed", malformed}});
}

} // namespace emulator
