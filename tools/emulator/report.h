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

std::string ReadyJson(const std::string &port, const std::string &link, const std::string &line, double time);
std::string CommandJson(const Command &command, uint64_t number);
std::string MalformedJson(const Malformed &malformed);
std::string TotalsJson(uint64_t commands, uint64_t malformed, uint64_t bytes, double time);

} // namespace emulator
