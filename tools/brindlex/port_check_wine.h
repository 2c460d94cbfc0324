// What `brindlex check` adds when the Windows tool runs under Wine: which
// Linux device and driver COM61 leads to, and what Wine makes of 256000 baud
// there. Free of system calls; wine_windows.cpp gathers the facts.
#pragma once

#include "link/port.h"

#include <cstdint>
#include <string>
#include <vector>

struct WinePort {
    std::string wineVersion; // empty: not under Wine
    std::string device;      // the Linux device behind the port, /dev/ttyUSB0; empty when unknown
    std::string driver;      // its driver, from sysfs: ftdi_sio, serial8250
    uint32_t uartClock = 0;  // a UART's clock in Hz, from sysfs; 0 when it has none
};

// The rate Wine runs the port at when asked for 256000 baud: it has no such
// rate, so it sets the driver's custom divisor, base / 256000 rounded down.
// 0 when the driver's base rate is not known.
uint32_t WineRate(const WinePort &port);

// True when rate is within 2 % of 256000 baud, as a controller needs.
bool WineRateUsable(uint32_t rate);

// The lines check prints under Wine before it opens the port.
std::vector<std::string> DescribeWinePort(const WinePort &port);

// What a failed step means under Wine where that differs from Windows, or "":
// GetCommState's error 87 on a serial driver is a rate Wine cannot read back.
std::string WineFailureMeaning(const WinePort &port, const PortResult &result);

// Why the port is not ready although every step succeeded, or "" when it is.
std::string WineNotReady(const WinePort &port);

#ifdef _WIN32
// The facts for portPath, read through Wine (wine_windows.cpp). Not under
// Wine, only the empty version.
WinePort InspectWinePort(const std::string &portPath);
#endif
