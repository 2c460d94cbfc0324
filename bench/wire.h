// What a bank command costs on the real wire, printed beside the measured
// cost of the library so that a reader sees both.
#pragma once

#include <cstdio>

// 256000 baud, 1 start bit, 8 data bits and 1.5 stop bits: 10.5 bits a byte.
constexpr double WIRE_BAUD = 256000.0;
constexpr double WIRE_BITS_PER_BYTE = 1.0 + 8.0 + 1.5;
constexpr double WIRE_COMMAND_BYTES = 36.0;
constexpr double WIRE_SECONDS_PER_COMMAND = WIRE_COMMAND_BYTES * WIRE_BITS_PER_BYTE / WIRE_BAUD;

inline void PrintWire()
{
    std::printf("  on the wire: 36 bytes x 10.5 bits at 256000 baud = %.3f ms per command, at most %d commands a "
                "second\n",
                WIRE_SECONDS_PER_COMMAND * 1e3, static_cast<int>(1.0 / WIRE_SECONDS_PER_COMMAND));
}
