// Windows hooks: the port is "\\.\COM61", opened exclusively and configured
// through the DCB and COMMTIMEOUTS of the serial driver.
#include "link/port.h"

#include <windows.h>

namespace {

constexpr DWORD LINK_BAUD_RATE = 256000;

PortResult Succeeded()
{
    return PortResult{PORT_STEP_NONE, nullptr, 0, {}};
}

PortResult Failed(PortStep step, const char *operation)
{
    return PortResult{step, operation, GetLastError(), {}};
}

HANDLE AsHandle(LinkHandle handle)
{
    // The link keeps handles as integers (port.h); this is the one way back.
    return reinterpret_cast<HANDLE>(handle); // NOLINT(performance-no-int-to-ptr)
}

} // namespace

const char *PortName()
{
    return "\\\\.\\COM61";
}

PortResult PortOpen(const char *name, LinkHandle *handle)
{
    // Room for any device path a person types; longer ones are refused.
    wchar_t wideName[260];
    if (MultiByteToWideChar(CP_UTF8, 0, name, -1, wideName, 260) == 0) {
        return Failed(PORT_STEP_OPEN, "MultiByteToWideChar");
    }
    // No sharing: a port that another program holds fails here as busy.
    const HANDLE port = CreateFileW(wideName, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        return Failed(PORT_STEP_OPEN, "CreateFileW");
    }
    *handle = reinterpret_cast<LinkHandle>(port);
    return Succeeded();
}

PortResult PortConfigureLine(LinkHandle handle)
{
    DCB line{};
    line.DCBlength = sizeof line;
    if (!GetCommState(AsHandle(handle), &line)) {
        return Failed(PORT_STEP_READ_LINE, "GetCommState");
    }
    line.BaudRate = LINK_BAUD_RATE;
    line.ByteSize = 8;
    line.Parity = NOPARITY;
    // Code 1 is one and a half stop bits; kept as the controllers expect it.
    line.StopBits = ONE5STOPBITS;
    if (!SetCommState(AsHandle(handle), &line)) {
        return Failed(PORT_STEP_WRITE_LINE, "SetCommState");
    }
    return Succeeded();
}

PortResult PortConfigureTiming(LinkHandle handle)
{
    COMMTIMEOUTS timing{};
    if (!GetCommTimeouts(AsHandle(handle), &timing)) {
        return Failed(PORT_STEP_READ_TIMING, "GetCommTimeouts");
    }
    // Reads return at once (nothing is ever read); writes have no time-out,
    // so each write returns only when the driver has taken every byte.
    timing.ReadIntervalTimeout = MAXDWORD;
    timing.ReadTotalTimeoutMultiplier = MAXDWORD;
    timing.ReadTotalTimeoutConstant = 1;
    timing.WriteTotalTimeoutMultiplier = 0;
    timing.WriteTotalTimeoutConstant = 0;
    if (!SetCommTimeouts(AsHandle(handle), &timing)) {
        return Failed(PORT_STEP_WRITE_TIMING, "SetCommTimeouts");
    }
    return Succeeded();
}

void PortWrite(LinkHandle handle, const uint8_t *data, std::size_t size)
{
    // One synchronous write: with no write time-out it returns when the
    // driver has taken everything or failed, and a failure is ignored.
    DWORD written = 0;
    (void)WriteFile(AsHandle(handle), data, static_cast<DWORD>(size), &written, nullptr);
}

void PortClose(LinkHandle handle)
{
    (void)CloseHandle(AsHandle(handle));
}
