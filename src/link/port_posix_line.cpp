// The line settings of the POSIX link. Kept apart because the kernel's
// termios2, the only way to ask for 256000 baud, clashes with glibc's
// <termios.h>.
#include "link/port_posix_line.h"

#include <asm/termbits.h>
#include <cerrno>
#include <sys/ioctl.h>

namespace {

constexpr uint32_t LINK_BAUD_RATE = 256000;
constexpr uint32_t LINK_BAUD_TOLERANCE_PERCENT = 2;

uint32_t StandardRate(uint32_t code)
{
    switch (code) {
    case B50: return 50;
    case B75: return 75;
    case B110: return 110;
    case B134: return 134;
    case B150: return 150;
    case B200: return 200;
    case B300: return 300;
    case B600: return 600;
    case B1200: return 1200;
    case B1800: return 1800;
    case B2400: return 2400;
    case B4800: return 4800;
    case B9600: return 9600;
    case B19200: return 19200;
    case B38400: return 38400;
    case B57600: return 57600;
    case B115200: return 115200;
    case B230400: return 230400;
    case B460800: return 460800;
    case B500000: return 500000;
    case B576000: return 576000;
    case B921600: return 921600;
    case B1000000: return 1000000;
    case B1152000: return 1152000;
    case B1500000: return 1500000;
    case B2000000: return 2000000;
    case B2500000: return 2500000;
    case B3000000: return 3000000;
    case B3500000: return 3500000;
    case B4000000: return 4000000;
    default: return 0; // B0: hung up
    }
}

PortResult Failed(PortStep step, const char *operation)
{
    return PortResult{step, operation, static_cast<uint32_t>(errno), {}};
}

} // namespace

LineReport DescribeLine(uint32_t controlFlags, uint32_t outputSpeed)
{
    LineReport line{};
    line.known = true;
    const uint32_t code = controlFlags & CBAUD;
    line.baudRate = code == BOTHER ? outputSpeed : StandardRate(code);
    switch (controlFlags & CSIZE) {
    case CS5: line.dataBits = 5; break;
    case CS6: line.dataBits = 6; break;
    case CS7: line.dataBits = 7; break;
    default: line.dataBits = 8; break;
    }
    line.parity = (controlFlags & PARENB) != 0;
    line.stopBits = (controlFlags & CSTOPB) != 0 ? 2 : 1;
    line.hardwareFlowControl = (controlFlags & CRTSCTS) != 0;
    return line;
}

bool LineIsAsAsked(const LineReport &line)
{
    constexpr uint32_t allowedOff = LINK_BAUD_RATE / 100 * LINK_BAUD_TOLERANCE_PERCENT;
    const uint32_t off = line.baudRate > LINK_BAUD_RATE ? line.baudRate - LINK_BAUD_RATE
                                                         : LINK_BAUD_RATE - line.baudRate;
    return off <= allowedOff && line.dataBits == 8 && !line.parity && line.stopBits == 2 &&
           !line.hardwareFlowControl;
}

PortResult PortConfigureLine(LinkHandle handle)
{
    const int fd = static_cast<int>(handle);
    struct termios2 line {};
    if (ioctl(fd, TCGETS2, &line) != 0) {
        return Failed(PORT_STEP_READ_LINE, "ioctl(TCGETS2)");
    }

    // Raw bytes both ways: a level of 0x0A must not become 0x0D 0x0A.
    line.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR |
                                           ICRNL | IXON | IXOFF | IXANY);
    line.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    line.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    line.c_cc[VMIN] = 0;
    line.c_cc[VTIME] = 0;

    // POSIX has no one and a half stop bits; two (CSTOPB) is the nearest and
    // is also what Wine applies for this code.
    line.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT) | CSIZE | PARENB | PARODD |
                                           CMSPAR | CRTSCTS);
    line.c_cflag |= BOTHER | (BOTHER << IBSHIFT) | CS8 | CSTOPB | CLOCAL | CREAD;
    line.c_ispeed = LINK_BAUD_RATE;
    line.c_ospeed = LINK_BAUD_RATE;

    if (ioctl(fd, TCSETS2, &line) != 0) {
        return Failed(PORT_STEP_WRITE_LINE, "ioctl(TCSETS2)");
    }

    // TCSETS2 succeeds even when the driver keeps a rate it cannot change;
    // only what it reports afterwards tells.
    struct termios2 applied {};
    if (ioctl(fd, TCGETS2, &applied) != 0) {
        return Failed(PORT_STEP_WRITE_LINE, "ioctl(TCGETS2)");
    }
    const LineReport report = DescribeLine(applied.c_cflag, applied.c_ospeed);
    if (!LineIsAsAsked(report)) {
        return PortResult{PORT_STEP_WRITE_LINE, nullptr, 0, report};
    }
    return PortResult{PORT_STEP_NONE, nullptr, 0, report};
}
