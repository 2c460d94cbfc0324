// The host tool's command line, parsed into what to do. Pure: no I/O, so
// that every rule can be tested on its own.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace cli {

enum class Action { Help, Version, Devices, Set, Level, Test, Check };

struct Invocation {
    Action action = Action::Help;
    std::string library;          // empty: the library beside the program
    int32_t device = 0;           // set, level
    uint32_t outputs = 0;         // set: bit n is output n
    std::array<uint8_t, 32> levels{}; // level
    int delayMs = 100;            // test
};

struct Parsed {
    bool ok = false;
    Invocation invocation;
    std::string error; // one line naming the bad argument
};

Parsed Parse(const std::vector<std::string> &arguments);

// "4-7,9" style lists, "all" and "none", as a 32-bit mask.
bool ParseOutputs(const std::vector<std::string> &words, uint32_t &mask, std::string &error);

// The four bank bytes of a 32-bit output mask, bank 0 first.
std::array<int32_t, 4> Banks(uint32_t outputs);

std::string Usage();

} // namespace cli
