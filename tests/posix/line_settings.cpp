#include "line_settings.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

LineSettings ReadLineSettings(int fd)
{
    struct termios2 line {};
    LineSettings settings{};
    settings.ok = ioctl(fd, TCGETS2, &line) == 0;
    settings.inputSpeed = line.c_ispeed;
    settings.outputSpeed = line.c_ospeed;
    settings.baudIsCustom = (line.c_cflag & CBAUD) == BOTHER && ((line.c_cflag >> IBSHIFT) & CBAUD) == BOTHER;
    settings.twoStopBits = (line.c_cflag & CSTOPB) != 0;
    settings.eightDataBits = (line.c_cflag & CSIZE) == CS8;
    settings.parity = (line.c_cflag & PARENB) != 0;
    settings.hardwareFlowControl = (line.c_cflag & CRTSCTS) != 0;
    settings.localAndReceiver = (line.c_cflag & (CLOCAL | CREAD)) == (CLOCAL | CREAD);
    settings.outputProcessing = (line.c_oflag & OPOST) != 0;
    settings.canonicalOrEcho = (line.c_lflag & (ICANON | ECHO | ISIG)) != 0;
    settings.softwareFlowControl = (line.c_iflag & (IXON | IXOFF)) != 0;
    settings.translatesCarriageReturn = (line.c_iflag & ICRNL) != 0;
    return settings;
}
