// The line settings of the POSIX link. Kept apart because the kernel's
// termios2, the only way to ask for 256000 baud, clashes with glibc's
// <termios.h>.
#include "link/port.h"

#include <asm/termbits.h>
#include <cerrno>
#include <sys/ioctl.h>

constexpr unsigned LINK_BAUD_RATE = 256000;

PortResult PortConfigureLine(LinkHandle handle)
{
    const int fd = static_cast<int>(handle);
    struct termios2 line {};
    if (ioctl(fd, TCGETS2, &line) != 0) {
        return PortResult{PORT_STEP_READ_LINE, "ioctl(TCGETS2)", static_cast<uint32_t>(errno)};
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
        return PortResult{PORT_STEP_WRITE_LINE, "ioctl(TCSETS2)", static_cast<uint32_t>(errno)};
    }
    return PortResult{PORT_STEP_NONE, nullptr, 0};
}
