// The host tool's command line, parsed into what to do. Pure: no I/O, so
// that every rule can be tested on its own.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace cli {

// Welcome: started without arguments in a console of its own (a double-click
// in Explorer), where a usage message would flash by unread: the panel.
enum class Action { Help, Version, Devices, Set, Level, Test, Check, Ports, Panel, Welcome };

struct Invocation {
    Action action = Action::Help;
    std::string library;              // empty: the library beside the program
    int32_t device = 0;               // set, level
    uint32_t outputs = 0;             // set: bit n is output n
    std::array<uint8_t, 32> levels{}; // level
    int delayMs = 100;                // test
    uint8_t testDevices = 0xFF;       // test: bit d-1 is device d
    uint32_t testOutputs = 0xFFFFFFFFU; // test: bit n is output n
    int settleMs = 0;                 // set, level, test: wait after loading
    bool hold = false;                // set, level: keep the port open until interrupted
    int listenPort = 0;               // panel: 0 for any free port
    int pulseMs = 100;                // panel: how long a click keeps an output on
    bool noBrowser = false;           // panel: only print the address
    std::string port;                 // check: empty for the library's own port
    std::string udevRulePort;         // ports: print a rule for this port
};

struct Parsed {
    bool ok = false;
    Invocation invocation;
    std::string error; // one line naming the bad argument
    std::string help;  // for Action::Help: the text asked for
};

// consoleOfItsOwn: no other process shares the tool's console, so nobody
// typed the command line.
Parsed Parse(const std::vector<std::string> &arguments, bool consoleOfItsOwn = false);

// The output-list grammar: numbers 0 to 31 (decimal or 0x hex), ranges such
// as 4-7, lists joined by commas or spaces, or "all" or "none" on their own.
bool ParseOutputs(const std::vector<std::string> &words, uint32_t &mask, std::string &error);
// The same grammar for device ids 1 to 8: bit d-1 is device d.
bool ParseDevices(const std::vector<std::string> &words, uint8_t &mask, std::string &error);

// The four bank bytes of a 32-bit output mask, bank 0 first.
std::array<int32_t, 4> Banks(uint32_t outputs);

} // namespace cli
