// The POSIX line check, apart from the ioctls so that it can be tested
// without a serial driver.
#pragma once

#include "link/port.h"

#include <cstdint>

// What a termios2's control flags and output speed say about the line. The
// speed is c_ospeed for a custom rate (BOTHER), else the rate its Bnnn code
// stands for.
LineReport DescribeLine(uint32_t controlFlags, uint32_t outputSpeed);

// True when the line runs as the link needs it: within 2 % of 256000 baud
// (about what a UART receiver tolerates), 8 data bits, no parity, two stop
// bits and no hardware flow control.
bool LineIsAsAsked(const LineReport &line);
