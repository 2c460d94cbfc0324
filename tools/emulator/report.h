// What the emulator prints: one line per event, as text for people or as a
// JSON object for programs.
#pragma once

#include "decoder.h"

#include <cstdint>
#include <string>

namespace emulator {

std::string ReadyJson(const std::string &port, const std::string &link, const std::string &line);
std::string CommandJson(const Command &command, uint64_t number);
std::string MalformedJson(const Malformed &malformed);
std::string TotalsJson(uint64_t commands, uint64_t malformed);

} // namespace emulator
