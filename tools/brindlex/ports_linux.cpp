// The serial ports as sysfs describes them. Only sysfs and /proc are read and
// device nodes are only stat'ed, never opened: opening a port can change its
// modem lines, and on many machines one of them is the console.
#include "ports.h"

#include "link/port.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

constexpr int EXIT_USAGE = 2;

// The first line of a sysfs attribute, empty when there is none.
std::string ReadLine(const fs::path &path)
{
    std::ifstream file(path);
    std::string line;
    std::getline(file, line);
    while (!line.empty() && (line.back() == '\n' || line.back() == ' ')) {
        line.pop_back();
    }
    return line;
}

std::string LinkName(const fs::path &link)
{
    std::error_code error;
    const fs::path target = fs::read_symlink(link, error);
    return error ? std::string() : target.filename().string();
}

bool Within(const fs::path &path, const fs::path &root)
{
    const auto [rootEnd, pathAt] = std::mismatch(root.begin(), root.end(), path.begin(), path.end());
    return rootEnd == root.end() && path != root;
}

// On newer kernels a serial port hangs below the serial core's own port and
// controller devices, whose drivers are named "port" and "ctrl": the driver a
// person knows is the first one above them.
std::string DriverOf(fs::path device, const fs::path &root)
{
    while (Within(device, root)) {
        if (LinkName(device / "subsystem") != "serial-base") {
            return LinkName(device / "driver");
        }
        device = device.parent_path();
    }
    return "";
}

// A USB serial port's tty hangs below the adapter's interface, which hangs
// below the USB device that holds the ids and strings.
void ReadUsbDevice(fs::path device, const fs::path &root, SerialPort &port)
{
    for (; Within(device, root); device = device.parent_path()) {
        std::error_code error;
        if (fs::exists(device / "idVendor", error) && fs::exists(device / "idProduct", error)) {
            port.usb = true;
            port.vendorId = ReadLine(device / "idVendor");
            port.productId = ReadLine(device / "idProduct");
            port.manufacturer = ReadLine(device / "manufacturer");
            port.product = ReadLine(device / "product");
            port.serial = ReadLine(device / "serial");
            return;
        }
    }
}

std::string DevName(const fs::path &tty)
{
    std::ifstream uevent(tty / "uevent");
    std::string line;
    while (std::getline(uevent, line)) {
        if (line.rfind("DEVNAME=", 0) == 0) {
            return line.substr(8);
        }
    }
    return tty.filename().string();
}

// What a path that is not one of the listed ports is.
std::string Unlisted(const std::string &path)
{
    if (path.rfind("/dev/pts/", 0) == 0) {
        return "a pseudo-terminal";
    }
    struct stat status {};
    if (stat(path.c_str(), &status) == 0 && !S_ISCHR(status.st_mode)) {
        return "not a device";
    }
    return "a device the system does not list as a serial port";
}

} // namespace

std::vector<SerialPort> ListSerialPorts(const std::string &sysfsRoot)
{
    std::vector<SerialPort> ports;
    std::error_code error;
    const fs::path root = fs::canonical(sysfsRoot, error);
    if (error) {
        return ports;
    }
    for (const fs::directory_entry &entry : fs::directory_iterator(root / "class" / "tty", error)) {
        const fs::path &tty = entry.path();
        std::error_code missing;
        // Virtual consoles, ptmx and the like have no device behind them.
        const fs::path device = fs::canonical(tty / "device", missing);
        if (missing) {
            continue;
        }
        SerialPort port;
        port.name = tty.filename().string();
        port.node = "/dev/" + DevName(tty);
        port.driver = DriverOf(device, root);
        ReadUsbDevice(device, root, port);
        const std::string type = ReadLine(tty / "type");
        // A board's driver lists ports whether or not a UART answers there;
        // it marks the empty ones with type 0 (no UART found).
        port.noUart = type == "0";
        if (!type.empty() && !port.noUart) {
            port.maxBaud = static_cast<uint32_t>(std::strtoul(ReadLine(tty / "uartclk").c_str(), nullptr, 10) / 16);
        }
        ports.push_back(port);
    }
    std::sort(ports.begin(), ports.end(),
              [](const SerialPort &a, const SerialPort &b) { return NaturalLess(a.name, b.name); });
    return ports;
}

PortTarget ResolvePort(const std::string &path)
{
    PortTarget target;
    target.path = path;
    struct stat status {};
    if (lstat(path.c_str(), &status) != 0) {
        return target;
    }
    target.link = S_ISLNK(status.st_mode);
    std::error_code error;
    const fs::path resolved = fs::canonical(path, error);
    if (!error) {
        target.exists = true;
        target.resolved = resolved.string();
        return target;
    }
    // A link to nothing: say what it names, as an absolute path.
    fs::path named = fs::read_symlink(path, error);
    if (named.is_relative()) {
        named = fs::path(path).parent_path() / named;
    }
    target.resolved = named.lexically_normal().string();
    return target;
}

std::string MarkLibraryPort(std::vector<SerialPort> &ports, const PortTarget &target)
{
    const std::string opens = "the library opens " + target.path;
    if (!target.exists && !target.link) {
        return opens + ", which does not exist: link it to the controller's port with a udev rule "
                       "(brindlex ports --udev-rule PORT prints one)";
    }
    if (!target.exists) {
        return opens + ", a link to " + target.resolved + ", which does not exist";
    }
    bool listed = false;
    for (SerialPort &port : ports) {
        port.libraryPort = port.node == target.resolved;
        listed = listed || port.libraryPort;
    }
    return opens + (target.link ? ", a link to " + target.resolved : "") +
           (listed ? "" : ", which is not one of these ports");
}

std::vector<std::string> PortLockers(const std::string &locks, const std::string &procRoot, uint64_t fileSystem,
                                     uint64_t inode)
{
    // "1: FLOCK  ADVISORY  WRITE 14568 00:19:3 0 EOF": the file as the file
    // system's major and minor in hex and the inode in decimal. Waiters are
    // listed with "->" and hold nothing.
    char file[64];
    (void)std::snprintf(file, sizeof file, "%02x:%02x:%llu", major(fileSystem), minor(fileSystem),
                        static_cast<unsigned long long>(inode));
    std::vector<long> pids;
    std::ifstream table(locks);
    std::string line;
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string number;
        std::string kind;
        std::string mode;
        std::string access;
        std::string pid;
        std::string where;
        if (line.find("->") != std::string::npos || !(fields >> number >> kind >> mode >> access >> pid >> where) ||
            kind != "FLOCK" || where != file) {
            continue;
        }
        const long id = std::strtol(pid.c_str(), nullptr, 10);
        if (id > 0 && id != static_cast<long>(getpid()) && std::find(pids.begin(), pids.end(), id) == pids.end()) {
            pids.push_back(id);
        }
    }
    std::sort(pids.begin(), pids.end());
    std::vector<std::string> lockers;
    lockers.reserve(pids.size());
    for (const long pid : pids) {
        lockers.push_back(std::to_string(pid) + " (" + ReadLine(fs::path(procRoot) / std::to_string(pid) / "comm") +
                          ")");
    }
    return lockers;
}

std::vector<std::string> PortHolders(const std::string &procRoot, uint64_t rdev)
{
    std::vector<std::pair<long, std::string>> found;
    std::error_code error;
    for (const fs::directory_entry &process : fs::directory_iterator(procRoot, error)) {
        const std::string pid = process.path().filename().string();
        if (pid.empty() || !std::all_of(pid.begin(), pid.end(), [](char c) { return c >= '0' && c <= '9'; }) ||
            std::stol(pid) == static_cast<long>(getpid())) {
            continue;
        }
        std::error_code unreadable; // another user's process, or one that just ended
        for (const fs::directory_entry &fd : fs::directory_iterator(process.path() / "fd", unreadable)) {
            // stat follows the descriptor to the device without opening it.
            struct stat status {};
            if (stat(fd.path().c_str(), &status) == 0 && S_ISCHR(status.st_mode) && status.st_rdev == rdev) {
                found.emplace_back(std::stol(pid), ReadLine(process.path() / "comm"));
                break;
            }
        }
    }
    std::sort(found.begin(), found.end());
    std::vector<std::string> holders;
    holders.reserve(found.size());
    for (const auto &[pid, command] : found) {
        holders.push_back(std::to_string(pid) + " (" + command + ")");
    }
    return holders;
}

std::string PermissionAdvice(const std::string &path, const std::string &group, uint32_t mode)
{
    char octal[8];
    (void)std::snprintf(octal, sizeof octal, "%04o", mode & 07777U);
    if ((mode & 060U) != 060U) {
        return path + " is for its owner only (mode " + octal + "): have the udev rule set MODE=\"0660\", " +
               "GROUP=\"dialout\", then join that group";
    }
    return path + " belongs to group " + group + ": join it with `sudo usermod -aG " + group +
           " $USER`, then log in again";
}

std::vector<std::string> DescribeCheckedPort(const std::string &port)
{
    const PortTarget target = ResolvePort(port);
    if (!target.exists && !target.link) {
        return {}; // opening it says so
    }
    if (!target.exists) {
        return {"a link to " + target.resolved + ", which does not exist"};
    }
    std::string what = Unlisted(target.resolved);
    for (const SerialPort &listed : ListSerialPorts("/sys")) {
        if (listed.node == target.resolved) {
            what = Describe(listed);
        }
    }
    return {target.link ? "a link to " + target.resolved + ": " + what : what};
}

int RunPorts(std::ostream &out, std::ostream &err, const std::string &udevRulePort)
{
    std::vector<SerialPort> ports = ListSerialPorts("/sys");
    if (udevRulePort.empty()) {
        PrintPorts(out, ports, MarkLibraryPort(ports, ResolvePort(PortName())));
        return 0;
    }
    const std::string path = udevRulePort.find('/') == std::string::npos ? "/dev/" + udevRulePort : udevRulePort;
    const PortTarget wanted = ResolvePort(path);
    const auto port = std::find_if(ports.begin(), ports.end(), [&wanted](const SerialPort &listed) {
        return wanted.exists && listed.node == wanted.resolved;
    });
    if (port == ports.end()) {
        err << "brindlex: " << udevRulePort << " is not one of the machine's serial ports (brindlex ports lists them)\n";
        return EXIT_USAGE;
    }
    std::string rule;
    std::string error;
    if (!UdevRule(*port, PortName(), rule, error)) {
        err << "brindlex: " << error << "\n";
        return EXIT_USAGE;
    }
    out << rule;
    return 0;
}
