// The hooks each platform provides for the one serial link. Everything else
// about the link (when it opens, what counts as open, what is written) is
// written once in link.cpp on top of these.
//
// A platform's hooks live in one file: port_win32.cpp or port_posix.cpp. The
// unit tests replace them with a double that records every call.
#pragma once

#include <cstddef>
#include <cstdint>

// The platform's handle of the open port: a Windows HANDLE or a POSIX file
// descriptor, widened to a pointer-sized integer.
using LinkHandle = intptr_t;

// All bits set: Windows' INVALID_HANDLE_VALUE, and -1 as a descriptor.
constexpr LinkHandle INVALID_LINK_HANDLE = -1;

// The steps of opening the link, in order. A failed open names the step.
enum PortStep {
    PORT_STEP_NONE = 0,    // nothing failed
    PORT_STEP_OPEN,        // open the port exclusively
    PORT_STEP_READ_LINE,   // read the port's current line settings
    PORT_STEP_WRITE_LINE,  // apply 256000 baud, 8 data bits, no parity, stop-bit code 1
    PORT_STEP_READ_TIMING, // read the port's current time-outs / blocking mode
    PORT_STEP_WRITE_TIMING // make writes block until done, with no time-out
};

// The line as the driver reports it after the settings were applied. A driver
// may accept a request and quietly keep what it cannot do (a 16550 asked for
// more than its clock gives keeps its old rate), so where the platform lets
// the line be read back the hook compares, and fails when they differ.
struct LineReport {
    bool known;               // false where the hook reads nothing back (Windows)
    uint32_t baudRate;        // output speed
    uint8_t dataBits;         // 5 to 8
    bool parity;
    uint8_t stopBits;         // 1 or 2
    bool hardwareFlowControl; // RTS/CTS
};

// What a hook reports. The library ignores it (it never reports failures to
// the host); the check tool prints it.
struct PortResult {
    PortStep failedStep;   // PORT_STEP_NONE on success
    // The platform call that failed, e.g. "CreateFileW". Null for a line
    // step whose calls all succeeded but whose settings the driver did not
    // apply: line then says what it kept.
    const char *operation;
    uint32_t errorCode;    // GetLastError() or errno; 0 when operation is null
    LineReport line;       // from the line step on; unknown before it
};

// The compiled-in port: "\\.\COM61" on Windows, BRINDLEX_PORT on POSIX.
const char *PortName();

// Opens the port named (UTF-8; the library passes PortName()) for exclusive
// use. On success stores the handle in *handle.
// A port that another process holds must fail here. Must not leave anything
// open when it fails.
PortResult PortOpen(const char *name, LinkHandle *handle);

// Reads the current line settings and applies 256000 baud, 8 data bits, no
// parity and stop-bit code 1, leaving the rest as read. On POSIX it also makes
// the line raw with no flow control, which a Windows port is without asking,
// then reads the line back and fails unless the driver runs it within 2 % of
// 256000 baud, 8N2, without hardware flow control. On Windows SetCommState
// itself refuses what the driver cannot do. Does not close the handle on
// failure.
PortResult PortConfigureLine(LinkHandle handle);

// Makes writes block until the driver has taken every byte, with no time-out.
// Does not close the handle on failure.
PortResult PortConfigureTiming(LinkHandle handle);

// Writes all size bytes synchronously, going on after interruptions and
// partial writes until everything is taken or a real error occurs. Errors are
// not reported: the link ignores them.
void PortWrite(LinkHandle handle, const uint8_t *data, std::size_t size);

// Closes the handle. Failures are ignored.
void PortClose(LinkHandle handle);
