// Makes a fixed number of output calls into the library as shipped (the
// tests' copy, whose port is a pseudo-terminal), loaded as a host loads it.
// Run under callgrind with --toggle-collect on the export being measured
// (bench/instructions.py does), it shows the instructions of the calls alone:
// the library's code and libc's write() wrapper, not the kernel, which
// callgrind does not see. Without valgrind it just runs them.
#include "harness.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char **argv)
{
    if (argc != 3 || (std::strcmp(argv[1], "sba") != 0 && std::strcmp(argv[1], "pba") != 0)) {
        std::fprintf(stderr, "usage: %s sba|pba CALLS\n", argv[0]);
        return 2;
    }
    const bool states = std::strcmp(argv[1], "sba") == 0;
    const long calls = std::strtol(argv[2], nullptr, 10);
    PtyPort pty;
    LinkPortTo(pty.slavePath());
    std::size_t received = 0;
    {
        LoadedBrindlex brindlex;
        if (brindlex.AnnouncedDevices() != 8) {
            std::fprintf(stderr, "the library did not open its port\n");
            RemovePortLink();
            return 1;
        }
        uint8_t values[32] = {};
        // Every device in turn, with data that changes from call to call.
        for (long call = 0; call < calls; ++call) {
            const int32_t device = static_cast<int32_t>(call % 8) + 1;
            const auto n = static_cast<int32_t>(call);
            if (states) {
                brindlex.sba(device, n, n >> 3, ~n, n * 7);
            } else {
                values[call % 32] = static_cast<uint8_t>(call);
                brindlex.pba(device, values);
            }
            // Emptied outside the calls, long before a write could wait.
            if (call % 16 == 15) {
                received += pty.ReadUntilQuiet(0).size();
            }
        }
        received += pty.ReadUntilQuiet(20).size();
    }
    RemovePortLink();
    std::printf("%ld %s calls, %zu bytes written\n", calls, argv[1], received);
    return received == static_cast<std::size_t>(calls) * 36 ? 0 : 1;
}
