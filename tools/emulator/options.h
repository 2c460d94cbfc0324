// The emulator's command line.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace emulator {

struct Options {
    std::string device;        // empty: a new pseudo-terminal
    std::string link;          // empty: no link
    bool json = false;
    bool lines = false;        // one line per command even on a terminal
    uint64_t count = 0;        // 0: no limit
    double timeoutSeconds = 0; // 0: no limit
    std::string totals;        // also write the totals here at the end
    int restartOnOpenMs = -1;  // >= 0: act as a board that restarts when the port opens or closes
};

struct ParsedOptions {
    std::optional<Options> options; // empty: end now with exitCode
    int exitCode = 0;
    std::string out;   // for stdout: the help or the version
    std::string error; // one line for stderr
};

ParsedOptions ParseOptions(int argc, const char *const *argv, const std::string &version);

} // namespace emulator
