// libserialport only opens ports the kernel lists under /sys/class/tty and
// asks for modem lines, which a pseudo-terminal has not got. So it is given
// /dev/ptmx to open, its descriptor is then moved onto the slave, and its
// modem-line ioctls on a pseudo-terminal are answered here. Its writes are
// left alone: those are what is timed.
#include "serialport_pty.h"

#include "link/port.h"

#include <cerrno>
#include <cstdarg>
#include <fcntl.h>
#include <stdexcept>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <unistd.h>

extern "C" int ioctl(int fd, unsigned long request, ...) noexcept
{
    va_list arguments;
    va_start(arguments, request);
    void *argument = va_arg(arguments, void *);
    va_end(arguments);
    const long result = syscall(SYS_ioctl, fd, request, argument);
    const bool modemLines = request == TIOCMGET || request == TIOCMSET || request == TIOCMBIS || request == TIOCMBIC;
    if (result != 0 && errno == ENOTTY && modemLines) {
        if (request == TIOCMGET) {
            *static_cast<int *>(argument) = TIOCM_DTR | TIOCM_RTS | TIOCM_CTS | TIOCM_DSR | TIOCM_CAR;
        }
        return 0;
    }
    return static_cast<int>(result);
}

sp_port *OpenSerialportOnPty(const std::string &slavePath)
{
    sp_port *port = nullptr;
    if (sp_get_port_by_name("/dev/ptmx", &port) != SP_OK || sp_open(port, SP_MODE_WRITE) != SP_OK) {
        throw std::runtime_error(std::string("libserialport cannot open a port: ") + sp_last_error_message());
    }
    int handle = -1;
    // The same open flags as libserialport's own, on the slave instead.
    const int slave = open(slavePath.c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (sp_get_port_handle(port, &handle) != SP_OK || slave < 0 || dup2(slave, handle) < 0) {
        throw std::runtime_error("cannot move libserialport onto " + slavePath);
    }
    close(slave);
    // sp_open made the master raw; the slave gets the library's own settings
    // before libserialport applies its own on top.
    if (PortConfigureLine(handle).failedStep != PORT_STEP_NONE) {
        throw std::runtime_error("cannot configure " + slavePath);
    }
    if (sp_set_baudrate(port, 256000) != SP_OK || sp_set_bits(port, 8) != SP_OK ||
        sp_set_parity(port, SP_PARITY_NONE) != SP_OK || sp_set_stopbits(port, 2) != SP_OK ||
        sp_set_flowcontrol(port, SP_FLOWCONTROL_NONE) != SP_OK) {
        throw std::runtime_error(std::string("libserialport cannot configure the port: ") + sp_last_error_message());
    }
    return port;
}
