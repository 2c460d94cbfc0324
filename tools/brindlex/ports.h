// `brindlex ports`: the machine's serial ports and what each is, read from
// what the system already knows (sysfs on Linux, the registry on Windows)
// without opening any of them. check reuses it to say what a port resolves to.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

struct SerialPort {
    std::string node;        // what a program opens: /dev/ttyUSB0, \\.\COM3
    std::string name;        // ttyUSB0, COM3
    std::string driver;      // ftdi_sio, serial; on Windows the driver's service
    std::string device;      // Windows: the kernel's device, \Device\Serial0
    std::string description; // Windows: the name Device Manager shows
    bool usb = false;
    std::string vendorId;    // four hex digits, as udev matches them
    std::string productId;
    std::string manufacturer;
    std::string product;
    std::string serial;      // empty when the adapter has none
    bool noUart = false;     // a built-in port with no UART behind it
    uint32_t maxBaud = 0;    // a UART's clock / 16; 0 when unknown
    bool libraryPort = false;
};

// One line: driver, and for an adapter its ids and names.
std::string Describe(const SerialPort &port);

// The listing, with the library's port marked, then summary (where the
// library's port leads).
void PrintPorts(std::ostream &out, const std::vector<SerialPort> &ports, const std::string &summary);

// A udev rule that links the library's port path to port. False with error
// when udev cannot do that: port is not a USB adapter (nothing to match it
// by) or libraryPort is not under /dev.
bool UdevRule(const SerialPort &port, const std::string &libraryPort, std::string &rule, std::string &error);

// "COM3" as the path that opens it, "\\.\COM3"; anything else as it is.
std::string WindowsPortPath(const std::string &port);

// The ids in a Windows hardware id such as USB\VID_0403&PID_6001&REV_0600.
void ParseHardwareId(const std::string &hardwareId, std::string &vendorId, std::string &productId);

// "COM2" before "COM10", "ttyS2" before "ttyS10".
bool NaturalLess(const std::string &a, const std::string &b);

// The line settings as a Windows driver reports them (the DCB's fields, kept
// free of windows.h so that the wording can be tested anywhere).
struct CommSettings {
    uint32_t baudRate = 0;
    uint8_t byteSize = 8;
    uint8_t parity = 0;   // NOPARITY .. SPACEPARITY
    uint8_t stopBits = 0; // ONESTOPBIT, ONE5STOPBITS, TWOSTOPBITS
    bool outxCtsFlow = false;
    bool outxDsrFlow = false;
    bool outX = false;
    bool inX = false;
    uint8_t rtsControl = 0; // RTS_CONTROL_*; 2 is handshake
    uint8_t dtrControl = 0; // DTR_CONTROL_*; 2 is handshake
};

// "256000 baud, 8 data bits, no parity, 1.5 stop bits"
std::string DescribeSettings(const CommSettings &settings);

// The flow control the port has on, named ("CTS", "XON/XOFF", ...); empty
// when none.
std::vector<std::string> FlowControlInUse(const CommSettings &settings);

// What check prints of the settings a driver reports after the library's
// were applied: the settings, what was asked where they differ, and a
// warning when flow control is on.
std::vector<std::string> ReportSettings(const CommSettings &reported);

// `brindlex ports [--udev-rule PORT]`: returns the exit status.
int RunPorts(std::ostream &out, std::ostream &err, const std::string &udevRulePort);

// Lines that say what port resolves to (a link's target, the driver and
// ids), for check.
std::vector<std::string> DescribeCheckedPort(const std::string &port);

#ifndef _WIN32
// The sysfs side, over any root so that tests can build their own tree.

// Every tty in sysfsRoot/class/tty backed by a device (not a virtual console
// or pseudo-terminal), in natural order.
std::vector<SerialPort> ListSerialPorts(const std::string &sysfsRoot);

// Where a port path leads.
struct PortTarget {
    std::string path;     // as given
    bool exists = false;  // there is something at the end
    bool link = false;    // path is a symbolic link
    std::string resolved; // the final path; for a link to nothing, what it names
};
PortTarget ResolvePort(const std::string &path);

// The summary line of the listing, marking the port target leads to.
std::string MarkLibraryPort(std::vector<SerialPort> &ports, const PortTarget &target);

// The processes other than this one that hold a whole-file lock (flock, as
// the library takes) on the file with inode on the file system fileSystem,
// from the kernel's lock table locks; as "PID (command)" from procRoot.
std::vector<std::string> PortLockers(const std::string &locks, const std::string &procRoot, uint64_t fileSystem,
                                     uint64_t inode);

// The processes other than this one with a descriptor open on the character
// device rdev, found through procRoot/PID/fd, as "PID (command)".
std::vector<std::string> PortHolders(const std::string &procRoot, uint64_t rdev);

// For a port that refused us: which group may use it and how to join.
std::string PermissionAdvice(const std::string &path, const std::string &group, uint32_t mode);
#endif
