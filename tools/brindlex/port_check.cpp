#include "port_check.h"

#include "link/link.h"

#include <cerrno>
#include <cstring>
#include <iomanip>
#include <string>

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

const char *StepName(PortStep step)
{
    switch (step) {
    case PORT_STEP_OPEN: return "open the port for exclusive use";
    case PORT_STEP_READ_LINE: return "read the line settings";
    case PORT_STEP_WRITE_LINE: return "apply 256000 baud, 8 data bits, no parity, stop-bit code 1";
    case PORT_STEP_READ_TIMING: return "read the time-outs";
    case PORT_STEP_WRITE_TIMING: return "make writes wait until done";
    case PORT_STEP_NONE: break;
    }
    return "";
}

std::string SystemMessage(uint32_t code)
{
#ifdef _WIN32
    char text[512] = {};
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                        code, 0, text, sizeof text, nullptr);
    std::string message(text, length);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == '.')) {
        message.pop_back();
    }
    return message.empty() ? "unknown error" : message;
#else
    return std::strerror(static_cast<int>(code));
#endif
}

// What the failure most likely means for a person at the cabinet.
const char *Meaning(const PortResult &result)
{
#ifdef _WIN32
    if (result.failedStep == PORT_STEP_OPEN) {
        switch (result.errorCode) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND: return "the port does not exist: give the controller's port the number COM61";
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION: return "another program holds the port";
        default: break;
        }
    }
#else
    if (result.failedStep == PORT_STEP_OPEN) {
        switch (result.errorCode) {
        case ENOENT: return "the port does not exist: point the udev symlink at the controller";
        case EWOULDBLOCK:
        case EBUSY: return "another program holds the port";
        case EACCES: return "no permission to open the port";
        case ENOTTY: return "the port is not a serial device";
        default: break;
        }
    }
#endif
    if (result.failedStep == PORT_STEP_READ_LINE) {
        return "the port is not a serial device";
    }
    if (result.failedStep == PORT_STEP_WRITE_LINE) {
        return "the driver refused the line settings";
    }
    if (result.failedStep == PORT_STEP_READ_TIMING || result.failedStep == PORT_STEP_WRITE_TIMING) {
        return "the driver refused the time-outs";
    }
    return "";
}

} // namespace

bool CheckPort(std::ostream &out)
{
    out << "port " << PortName() << "\n";
    LinkHandle handle = INVALID_LINK_HANDLE;
    const PortResult result = OpenAndConfigurePort(&handle);
    bool failedYet = false;
    for (int step = PORT_STEP_OPEN; step <= PORT_STEP_WRITE_TIMING; ++step) {
        out << "  " << std::left << std::setw(62) << StepName(static_cast<PortStep>(step));
        if (failedYet) {
            out << "not tried\n";
        } else if (result.failedStep == step) {
            failedYet = true;
            out << "FAILED\n    " << result.operation << ": error " << result.errorCode << " ("
                << SystemMessage(result.errorCode) << ")\n";
            const std::string meaning = Meaning(result);
            if (!meaning.empty()) {
                out << "    " << meaning << "\n";
            }
        } else {
            out << "ok\n";
        }
    }
    if (result.failedStep != PORT_STEP_NONE) {
        out << "the library would stay silent and announce no devices\n";
        return false;
    }
    PortClose(handle);
    out << "the port is ready\n";
    return true;
}
