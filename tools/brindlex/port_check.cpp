#include "port_check.h"

#include "link/link.h"
#include "port_check_wine.h"
#include "ports.h"
#ifndef _WIN32
#include "link/port_posix_line.h"
#endif

#include <cerrno>
#include <cstring>
#include <iomanip>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <grp.h>
#include <sys/stat.h>
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

// "8 data bits, no parity, 2 stop bits"
std::string Frame(const LineReport &line)
{
    return std::to_string(line.dataBits) + " data bits, " + (line.parity ? "parity" : "no parity") + ", " +
           std::to_string(line.stopBits) + (line.stopBits == 1 ? " stop bit" : " stop bits") +
           (line.hardwareFlowControl ? ", RTS/CTS flow control" : "");
}

// The driver took the request but runs the line otherwise (POSIX only: on
// Windows the driver refuses instead).
std::string NotApplied(const LineReport &line)
{
    std::string text = "the driver kept " + std::to_string(line.baudRate) + " baud";
#ifndef _WIN32
    const LineReport rateOnly{true, line.baudRate, 8, false, 2, false};
    if (!LineIsAsAsked(rateOnly)) {
        return text + " (asked for 256000), " + Frame(line) +
               ": this port cannot run at 256000 baud; use a USB adapter or controller that can";
    }
#endif
    return text + ", " + Frame(line) +
           " (asked for 8 data bits, no parity, 2 stop bits, no flow control): the driver cannot run this port "
           "as the controller needs";
}

#ifndef _WIN32
// What else the system can tell about a port that would not open: who may
// use it, or who holds it.
std::vector<std::string> OpenFailureDetails(const std::string &name, uint32_t error)
{
    struct stat status {};
    if (stat(name.c_str(), &status) != 0) {
        return {};
    }
    const std::string device = ResolvePort(name).resolved;
    if (error == EACCES) {
        const group *owner = getgrgid(status.st_gid);
        const std::string group = owner != nullptr ? owner->gr_name : std::to_string(status.st_gid);
        return {PermissionAdvice(device, group, status.st_mode)};
    }
    if (error != EWOULDBLOCK && error != EBUSY) {
        return {};
    }
    // The library and other careful programs lock the port: that names the
    // one in the way. Failing that, every process that has it open.
    std::vector<std::string> lines;
    for (const std::string &locker : PortLockers("/proc/locks", "/proc", status.st_dev, status.st_ino)) {
        lines.push_back("locked by process " + locker);
    }
    if (lines.empty()) {
        for (const std::string &holder : PortHolders("/proc", status.st_rdev)) {
            lines.push_back("open in process " + holder);
        }
    }
    if (lines.empty()) {
        lines.emplace_back("the system does not say which process holds it (only root sees other users' "
                           "processes)");
    }
    return lines;
}
#else
// The library only applies its settings; this reads back what the driver
// made of them, and warns of flow control, under which a write with no
// time-out waits for as long as the controller holds the line.
void ReportDriverSettings(std::ostream &out, LinkHandle handle)
{
    DCB line{};
    line.DCBlength = sizeof line;
    // The link keeps handles as integers (port.h); this is the one way back.
    if (!GetCommState(reinterpret_cast<HANDLE>(handle), &line)) { // NOLINT(performance-no-int-to-ptr)
        out << "the driver does not report its settings: GetCommState error " << GetLastError() << "\n";
        return;
    }
    CommSettings settings;
    settings.baudRate = line.BaudRate;
    settings.byteSize = line.ByteSize;
    settings.parity = line.Parity;
    settings.stopBits = line.StopBits;
    settings.outxCtsFlow = line.fOutxCtsFlow != 0;
    settings.outxDsrFlow = line.fOutxDsrFlow != 0;
    settings.outX = line.fOutX != 0;
    settings.inX = line.fInX != 0;
    settings.rtsControl = static_cast<uint8_t>(line.fRtsControl);
    settings.dtrControl = static_cast<uint8_t>(line.fDtrControl);
    for (const std::string &text : ReportSettings(settings)) {
        out << text << "\n";
    }
}
#endif

} // namespace

const char *PortFailureMeaning(const PortResult &result)
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
        case ENOENT:
            return "the port does not exist: point the udev symlink at the controller (brindlex ports lists the "
                   "serial ports and prints the rule)";
        case EWOULDBLOCK:
        case EBUSY: return "another program holds the port";
        case EACCES: return "no permission to open the port";
        case ENOTTY: return "the port is not a serial device";
        default: break;
        }
    }
#endif
#ifndef _WIN32
    // The 8250 driver lists four ports whether or not a UART answers there.
    if ((result.failedStep == PORT_STEP_OPEN || result.failedStep == PORT_STEP_READ_LINE) &&
        result.errorCode == EIO) {
        return "the port exists but no hardware answers behind it: the system lists this serial port "
               "without a UART; use the port the controller is wired to";
    }
    // Seen under user-mode emulators that do not translate termios2: the
    // port may be fine, the system under this program is what lacks the call.
    if ((result.failedStep == PORT_STEP_READ_LINE || result.failedStep == PORT_STEP_WRITE_LINE) &&
        result.errorCode == ENOSYS) {
        return "this system does not provide the serial line calls (termios2): run on a real kernel, not "
               "under a user-mode emulator";
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

bool CheckPort(std::ostream &out, const std::string &port)
{
#ifdef _WIN32
    const std::string name = port.empty() ? PortName() : WindowsPortPath(port);
#else
    const std::string name = port.empty() ? PortName() : port;
#endif
    out << "port " << name << "\n";
    for (const std::string &line : DescribeCheckedPort(name)) {
        out << "  " << line << "\n";
    }
#ifdef _WIN32
    const WinePort wine = InspectWinePort(name);
#else
    const WinePort wine;
#endif
    for (const std::string &line : DescribeWinePort(wine)) {
        out << "  " << line << "\n";
    }
    LinkHandle handle = INVALID_LINK_HANDLE;
    const PortResult result = OpenAndConfigurePort(name.c_str(), &handle);
    bool failedYet = false;
    for (int step = PORT_STEP_OPEN; step <= PORT_STEP_WRITE_TIMING; ++step) {
        out << "  " << std::left << std::setw(62) << StepName(static_cast<PortStep>(step));
        if (failedYet) {
            out << "not tried\n";
        } else if (result.failedStep == step) {
            failedYet = true;
            out << "FAILED\n";
            if (result.operation == nullptr) {
                out << "    " << NotApplied(result.line) << "\n";
                continue;
            }
            out << "    " << result.operation << ": error " << result.errorCode << " ("
                << SystemMessage(result.errorCode) << ")\n";
            const std::string wineMeaning = WineFailureMeaning(wine, result);
            const std::string meaning = wineMeaning.empty() ? PortFailureMeaning(result) : wineMeaning;
            if (!meaning.empty()) {
                out << "    " << meaning << "\n";
            }
#ifndef _WIN32
            if (result.failedStep == PORT_STEP_OPEN) {
                for (const std::string &detail : OpenFailureDetails(name, result.errorCode)) {
                    out << "    " << detail << "\n";
                }
            }
#endif
        } else {
            out << "ok\n";
        }
    }
    if (result.failedStep != PORT_STEP_NONE) {
        out << "the library would stay silent and announce no devices\n";
        return false;
    }
#ifdef _WIN32
    ReportDriverSettings(out, handle);
#endif
    PortClose(handle);
    if (result.line.known) {
        out << "the driver runs the line at " << result.line.baudRate << " baud, " << int(result.line.dataBits)
            << "N" << int(result.line.stopBits) << "\n";
    }
    // What the driver reports under Wine is not what the hardware runs.
    const std::string notReady = WineNotReady(wine);
    if (!notReady.empty()) {
        out << notReady << "\n";
        return false;
    }
    out << "the port is ready\n";
    return true;
}
