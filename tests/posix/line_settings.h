// Reads a terminal's line settings the way the kernel holds them (termios2),
// kept apart from <termios.h>, which clashes with the kernel's header.
#pragma once

#include <cstdint>

struct LineSettings {
    bool ok;
    uint32_t inputSpeed;
    uint32_t outputSpeed;
    bool baudIsCustom; // BOTHER: the speed is the exact number above
    bool twoStopBits;  // CSTOPB
    bool eightDataBits;
    bool parity;
    bool hardwareFlowControl;
    bool localAndReceiver; // CLOCAL | CREAD
    bool outputProcessing; // OPOST
    bool canonicalOrEcho;  // ICANON | ECHO | ISIG
    bool softwareFlowControl;
    bool translatesCarriageReturn; // ICRNL
};

// On a pseudo-terminal master this reads the slave's settings.
LineSettings ReadLineSettings(int fd);
