// The platform hooks for counting the library's own instructions: the port is
// /dev/null, so each write is one real trip through libc's write() wrapper
// whose kernel side callgrind does not see.
#include "link/port.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

const char *PortName()
{
    return "/dev/null";
}

PortResult PortOpen(LinkHandle *handle)
{
    const int fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        return PortResult{PORT_STEP_OPEN, "open", static_cast<uint32_t>(errno)};
    }
    *handle = fd;
    return PortResult{PORT_STEP_NONE, nullptr, 0};
}

PortResult PortConfigureLine(LinkHandle)
{
    return PortResult{PORT_STEP_NONE, nullptr, 0};
}

PortResult PortConfigureTiming(LinkHandle)
{
    return PortResult{PORT_STEP_NONE, nullptr, 0};
}

// The same loop as the real POSIX hook, so that its cost is counted too.
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
    (void)close(static_cast<int>(handle));
}
