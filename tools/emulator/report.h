// What the emulator prints: one line per event, as text for people or as a
// JSON object for programs. Both carry each command's offset in the stream,
// the time its last byte arrived (seconds since the emulator started) and its
// bytes in hex, as the wire-protocol document writes them ("00 02 40 20 ...").
#pragma once

#include "decoder.h"

#include <cstdint>
#include <string>

namespace emulator {

// "00 03 E0 20"
std::string Hex(const uint8_t *bytes, std::size_t size);

std::string CommandLine(const Command &command, uint64_t number);
std::string MalformedLine(const Malformed &malformed);

// A restart of the emulated board: the far side opened (opened true) or
// closed the port; the board then ignores the line for bootMs.
std::string RestartLine(double time, bool opened, int bootMs);
// A run of bytes the restarting board dropped, from offset on.
std::string DroppedLine(uint64_t offset, uint64_t length, double time);

std::string ReadyJson(const std::string &port, const std::string &link, const std::string &line, double time);
std::string CommandJson(const Command &command, uint64_t number);
std::string MalformedJson(const Malformed &malformed);
std::string RestartJson(double time, bool opened, int bootMs);
std::string DroppedJson(uint64_t offset, uint64_t length, double time);
struct Totals {
    uint64_t commands, malformed, bytes, restarts, dropped;
};
std::string TotalsJson(const Totals &totals, double time);

} // namespace emulator
