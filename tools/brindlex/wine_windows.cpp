// Under Wine, what the Windows tool can learn of the Linux side: Wine's
// version from ntdll, the device a port leads to from the file Wine opened,
// and its driver from sysfs through Wine's Z: drive.
#include "port_check_wine.h"

#include <windows.h>

#include <cstdlib>
#include <fstream>

namespace {

std::string WineVersion()
{
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    if (ntdll == nullptr) {
        return "";
    }
    using Version = const char *(__cdecl *)();
    const auto version =
        reinterpret_cast<Version>(reinterpret_cast<void (*)()>(GetProcAddress(ntdll, "wine_get_version")));
    return version != nullptr ? version() : "";
}

// Wine names the file behind a handle by its path on Z:, the Linux root:
// \\?\Z:\dev\ttyUSB0 for a port whose dosdevices link leads there.
std::string LinuxDevice(const std::string &portPath)
{
    wchar_t wide[260];
    if (MultiByteToWideChar(CP_UTF8, 0, portPath.c_str(), -1, wide, 260) == 0) {
        return "";
    }
    // No access asked for: this only learns where the name leads.
    const HANDLE port = CreateFileW(wide, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        return "";
    }
    wchar_t path[512] = {};
    const DWORD length = GetFinalPathNameByHandleW(port, path, 511, FILE_NAME_NORMALIZED);
    CloseHandle(port);
    const std::wstring name(path, length < 512 ? length : 0);
    const std::wstring root = L"\\\\?\\Z:";
    if (name.size() <= root.size() || _wcsnicmp(name.c_str(), root.c_str(), root.size()) != 0) {
        return "";
    }
    std::string device;
    for (const wchar_t c : name.substr(root.size())) {
        if (c > 127) {
            return "";
        }
        device += c == L'\\' ? '/' : static_cast<char>(c);
    }
    return device;
}

std::string FirstLine(const std::string &path)
{
    std::ifstream file(path);
    std::string line;
    std::getline(file, line);
    return line;
}

std::string UeventValue(const std::string &path, const std::string &key)
{
    std::ifstream file(path);
    for (std::string line; std::getline(file, line);) {
        if (line.rfind(key + "=", 0) == 0) {
            return line.substr(key.size() + 1);
        }
    }
    return "";
}

} // namespace

WinePort InspectWinePort(const std::string &portPath)
{
    WinePort port;
    port.wineVersion = WineVersion();
    if (port.wineVersion.empty()) {
        return port;
    }
    port.device = LinuxDevice(portPath);
    if (port.device.rfind("/dev/", 0) != 0 || port.device.find('/', 5) != std::string::npos) {
        return port;
    }
    const std::string tty = "Z:\\sys\\class\\tty\\" + port.device.substr(5);
    port.driver = UeventValue(tty + "\\device\\uevent", "DRIVER");
    const std::string clock = FirstLine(tty + "\\uartclk");
    port.uartClock = clock.empty() ? 0 : static_cast<uint32_t>(std::strtoul(clock.c_str(), nullptr, 10));
    return port;
}
