// `brindlex test`: every chosen output on alone in turn, the levels ramped,
// and the cabinet left dark however it ends.
#pragma once

#include "host_library.h"

#include <cstdint>

// devices: bit d-1 is device d; outputs: bit n is output n. The exit status.
int RunTest(const HostLibrary &library, uint8_t devices, uint32_t outputs, int delayMs);
