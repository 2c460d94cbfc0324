// POSIX hooks, except the line settings, which need the kernel's termios2 and
// live in port_posix_line.cpp.
#include "link/port.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#ifndef BRINDLEX_PORT
#error "BRINDLEX_PORT must name the controller's port"
#endif

namespace {

PortResult Succeeded()
{
    return PortResult{PORT_STEP_NONE, nullptr, 0, {}};
}

PortResult Failed(PortStep step, const char *operation)
{
    return PortResult{step, operation, static_cast<uint32_t>(errno), {}};
}

} // namespace

const char *PortName()
{
    return BRINDLEX_PORT;
}

PortResult PortOpen(const char *name, LinkHandle *handle)
{
    // Non-blocking so that opening never waits for carrier; writes are made
    // blocking once the line is configured.
    const int fd = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return Failed(PORT_STEP_OPEN, "open");
    }
    // flock holds against root too; TIOCEXCL keeps other users' plain opens
    // out as well. Either failing means the port is not ours to use.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const PortResult result = Failed(PORT_STEP_OPEN, "flock");
        close(fd);
        return result;
    }
    if (ioctl(fd, TIOCEXCL) != 0) {
        const PortResult result = Failed(PORT_STEP_OPEN, "ioctl(TIOCEXCL)");
        close(fd);
        return result;
    }
    *handle = fd;
    return Succeeded();
}

PortResult PortConfigureTiming(LinkHandle handle)
{
    const int fd = static_cast<int>(handle);
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0) {
        return Failed(PORT_STEP_READ_TIMING, "fcntl(F_GETFL)");
    }
    // Blocking writes with no time-out, like the Windows link.
    if (fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        return Failed(PORT_STEP_WRITE_TIMING, "fcntl(F_SETFL)");
    }
    return Succeeded();
}

void PortWrite(LinkHandle handle, const uint8_t *data, std::size_t size)
{
    const int fd = static_cast<int>(handle);
    while (size > 0) {
        const ssize_t written = write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
}

void PortClose(LinkHandle handle)
{
    const int fd = static_cast<int>(handle);
    // Let the next user open the line as usual; the lock goes with the close.
    (void)ioctl(fd, TIOCNXCL);
    (void)close(fd);
}
