// The wording of `brindlex ports` and of check's port lines, shared by both
// platforms: no system calls here.
#include "ports.h"

#include <algorithm>
#include <cctype>
#include <iomanip>

namespace {

bool IsDigit(char c)
{
    return std::isdigit(static_cast<unsigned char>(c)) != 0;
}

bool IsHex(const std::string &text)
{
    return text.size() == 4 &&
           std::all_of(text.begin(), text.end(), [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); });
}

// udev reads a value up to the next quote, and takes a backslash as an
// escape: a value with either, or a control character, cannot go in.
bool FitsInRule(const std::string &value)
{
    return std::none_of(value.begin(), value.end(), [](char c) {
        return c == '"' || c == '\\' || static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
    });
}

std::string Lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); });
    return text;
}

// "FTDI FT232R USB UART"; a product that already starts with its maker's
// name ("Arduino Uno") on its own.
std::string Names(const SerialPort &port)
{
    if (port.manufacturer.empty() || port.product.rfind(port.manufacturer, 0) == 0) {
        return port.product;
    }
    return port.manufacturer + (port.product.empty() ? "" : " " + port.product);
}

} // namespace

std::string Describe(const SerialPort &port)
{
    std::vector<std::string> parts;
    if (!port.driver.empty()) {
        parts.push_back("driver " + port.driver);
    }
    if (!port.device.empty()) {
        parts.push_back(port.device);
    }
    if (!port.description.empty()) {
        parts.push_back(port.description);
    }
    if (port.usb) {
        parts.push_back("USB adapter " + port.vendorId + ":" + port.productId);
        const std::string names = Names(port);
        if (!names.empty()) {
            parts.push_back(names);
        }
        if (!port.serial.empty()) {
            parts.push_back("serial " + port.serial);
        }
    }
    if (port.noUart) {
        parts.push_back("no UART behind it");
    } else if (port.maxBaud != 0) {
        parts.push_back("a UART, at most " + std::to_string(port.maxBaud) + " baud" +
                        (port.maxBaud < 256000 ? " (the controller needs 256000)" : ""));
    }
    std::string line;
    for (const std::string &part : parts) {
        line += (line.empty() ? "" : ", ") + part;
    }
    return line.empty() ? "nothing known about it" : line;
}

void PrintPorts(std::ostream &out, const std::vector<SerialPort> &ports, const std::string &summary)
{
    if (ports.empty()) {
        out << "no serial ports found\n";
    } else {
        std::size_t width = 0;
        for (const SerialPort &port : ports) {
            width = std::max(width, port.node.size());
        }
        out << "serial ports:\n";
        for (const SerialPort &port : ports) {
            out << "  " << std::left << std::setw(static_cast<int>(width + 2)) << port.node << Describe(port)
                << (port.libraryPort ? "  <- the library's port" : "") << "\n";
        }
    }
    out << summary << "\n";
}

bool UdevRule(const SerialPort &port, const std::string &libraryPort, std::string &rule, std::string &error)
{
    if (!port.usb || !IsHex(port.vendorId) || !IsHex(port.productId)) {
        error = port.node + " is not a USB adapter: a udev rule picks the controller's adapter by its USB ids, "
                            "and this port has none";
        return false;
    }
    const std::string dev = "/dev/";
    const std::string link = libraryPort.rfind(dev, 0) == 0 ? libraryPort.substr(dev.size()) : "";
    if (link.empty() || link.back() == '/' || link.find("..") != std::string::npos || !FitsInRule(link)) {
        error = "the library's port " + libraryPort +
                " is not a name under /dev, where udev makes its links: build it with "
                "-DBRINDLEX_PORT=/dev/NAME to use a rule";
        return false;
    }
    const bool serial = !port.serial.empty() && FitsInRule(port.serial);
    const std::string names = Names(port).empty() ? "the adapter" : Names(port);
    rule = "# /etc/udev/rules.d/99-brindlex.rules: links " + libraryPort + " to " + port.node + ", " + names +
           (serial ? " (serial " + port.serial + ")" : "") + ".\n";
    if (!serial) {
        rule += port.serial.empty()
                    ? "# The adapter has no serial number: the rule matches every adapter with these ids.\n"
                    : "# The adapter's serial number has characters a rule cannot hold: the rule matches every "
                      "adapter with these ids.\n";
    }
    rule += "# Put this in that file, then run: sudo udevadm control --reload && sudo udevadm trigger\n";
    rule += "SUBSYSTEM==\"tty\", ATTRS{idVendor}==\"" + Lower(port.vendorId) + "\", ATTRS{idProduct}==\"" +
            Lower(port.productId) + "\", ";
    if (serial) {
        rule += "ATTRS{serial}==\"" + port.serial + "\", ";
    }
    rule += "SYMLINK+=\"" + link + "\", MODE=\"0660\", GROUP=\"dialout\"\n";
    return true;
}

std::string WindowsPortPath(const std::string &port)
{
    const bool com = port.size() > 3 && Lower(port.substr(0, 3)) == "com" &&
                     std::all_of(port.begin() + 3, port.end(), IsDigit);
    return com ? "\\\\.\\" + port : port;
}

void ParseHardwareId(const std::string &hardwareId, std::string &vendorId, std::string &productId)
{
    const std::string lower = Lower(hardwareId);
    const auto idAfter = [&lower](const std::string &key) {
        const auto at = lower.find(key);
        if (at == std::string::npos) {
            return std::string();
        }
        const std::string id = lower.substr(at + key.size(), 4);
        return IsHex(id) ? id : std::string();
    };
    vendorId = idAfter("vid_");
    productId = idAfter("pid_");
}

bool NaturalLess(const std::string &a, const std::string &b)
{
    std::size_t i = 0;
    std::size_t j = 0;
    while (i < a.size() && j < b.size()) {
        if (IsDigit(a[i]) && IsDigit(b[j])) {
            const std::size_t iEnd = a.find_first_not_of("0123456789", i);
            const std::size_t jEnd = b.find_first_not_of("0123456789", j);
            std::string x = a.substr(i, iEnd == std::string::npos ? std::string::npos : iEnd - i);
            std::string y = b.substr(j, jEnd == std::string::npos ? std::string::npos : jEnd - j);
            x.erase(0, std::min(x.find_first_not_of('0'), x.size() - 1));
            y.erase(0, std::min(y.find_first_not_of('0'), y.size() - 1));
            if (x.size() != y.size()) {
                return x.size() < y.size();
            }
            if (x != y) {
                return x < y;
            }
            i = iEnd == std::string::npos ? a.size() : iEnd;
            j = jEnd == std::string::npos ? b.size() : jEnd;
            continue;
        }
        if (a[i] != b[j]) {
            return a[i] < b[j];
        }
        ++i;
        ++j;
    }
    return a.size() - i < b.size() - j;
}

std::string DescribeSettings(const CommSettings &settings)
{
    static const char *const parities[] = {"no parity", "odd parity", "even parity", "mark parity",
                                           "space parity"};
    static const char *const stops[] = {"1 stop bit", "1.5 stop bits", "2 stop bits"};
    return std::to_string(settings.baudRate) + " baud, " + std::to_string(settings.byteSize) + " data bits, " +
           (settings.parity < 5 ? parities[settings.parity] : "parity " + std::to_string(settings.parity)) +
           ", " +
           (settings.stopBits < 3 ? stops[settings.stopBits] : "stop-bit code " + std::to_string(settings.stopBits));
}

std::vector<std::string> FlowControlInUse(const CommSettings &settings)
{
    constexpr uint8_t HANDSHAKE = 2; // RTS_CONTROL_HANDSHAKE and DTR_CONTROL_HANDSHAKE
    std::vector<std::string> found;
    if (settings.outxCtsFlow) {
        found.emplace_back("CTS");
    }
    if (settings.outxDsrFlow) {
        found.emplace_back("DSR");
    }
    if (settings.outX) {
        found.emplace_back("XON/XOFF on output");
    }
    if (settings.inX) {
        found.emplace_back("XON/XOFF on input");
    }
    if (settings.rtsControl == HANDSHAKE) {
        found.emplace_back("RTS handshake");
    }
    if (settings.dtrControl == HANDSHAKE) {
        found.emplace_back("DTR handshake");
    }
    return found;
}

std::vector<std::string> ReportSettings(const CommSettings &reported)
{
    CommSettings asked;
    asked.baudRate = 256000;
    asked.stopBits = 1; // ONE5STOPBITS, the library's stop-bit code 1
    const bool same = reported.baudRate == asked.baudRate && reported.byteSize == asked.byteSize &&
                      reported.parity == asked.parity && reported.stopBits == asked.stopBits;
    std::vector<std::string> lines{"the driver reports " + DescribeSettings(reported) +
                                   (same ? "" : " (asked for " + DescribeSettings(asked) + ")")};
    const std::vector<std::string> flow = FlowControlInUse(reported);
    if (!flow.empty()) {
        std::string names;
        for (const std::string &name : flow) {
            names += (names.empty() ? "" : ", ") + name;
        }
        lines.push_back("WARNING: the port has flow control on (" + names + ")");
        lines.emplace_back("  writes have no time-out: a controller that holds the handshake (never raises CTS or "
                           "DSR, or sends XOFF and no XON) stalls the host at its next output call");
        lines.emplace_back("  turn it off in Device Manager: the port's Properties, Port Settings, Flow control: None");
    }
    return lines;
}
