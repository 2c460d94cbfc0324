// The serial ports as Windows lists them: the kernel's map of serial devices
// to COM names, and Device Manager's names and ids for them where the system
// has them. Nothing is opened.
#include "ports.h"

#include "link/port.h"

#include <windows.h>
// initguid.h first, so that devguid.h defines the ports class GUID here.
#include <initguid.h>
#include <devguid.h>
#include <setupapi.h>

#include <algorithm>
#include <cctype>

namespace {

constexpr int EXIT_USAGE = 2;

std::string Utf8(const wchar_t *text)
{
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 1) {
        return "";
    }
    std::string result(static_cast<std::size_t>(size - 1), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, result.data(), size, nullptr, nullptr);
    return result;
}

// COM names are ASCII and Windows matches them in any case.
bool SameName(const std::string &a, const std::string &b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

// "\\.\COM61" -> "COM61"
std::string ComName(const std::string &path)
{
    const std::string prefix = "\\\\.\\";
    return path.rfind(prefix, 0) == 0 ? path.substr(prefix.size()) : path;
}

std::string Property(HDEVINFO set, SP_DEVINFO_DATA &info, DWORD property)
{
    // REG_SZ, or REG_MULTI_SZ whose first string is the one wanted.
    wchar_t text[512] = {};
    if (!SetupDiGetDeviceRegistryPropertyW(set, &info, property, nullptr, reinterpret_cast<BYTE *>(text),
                                           sizeof text - sizeof(wchar_t), nullptr)) {
        return "";
    }
    return Utf8(text);
}

// Device Manager's entry for each port: name, driver and ids.
void AddDeviceManagerDetails(std::vector<SerialPort> &ports)
{
    const HDEVINFO set = SetupDiGetClassDevsW(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE) {
        return;
    }
    SP_DEVINFO_DATA info{};
    info.cbSize = sizeof info;
    for (DWORD index = 0; SetupDiEnumDeviceInfo(set, index, &info); ++index) {
        const HKEY key = SetupDiOpenDevRegKey(set, &info, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
        if (key == INVALID_HANDLE_VALUE) {
            continue;
        }
        wchar_t portName[64] = {};
        DWORD size = sizeof portName - sizeof(wchar_t);
        DWORD type = 0;
        const LONG read =
            RegQueryValueExW(key, L"PortName", nullptr, &type, reinterpret_cast<BYTE *>(portName), &size);
        RegCloseKey(key);
        if (read != ERROR_SUCCESS || type != REG_SZ) {
            continue;
        }
        const std::string name = Utf8(portName);
        for (SerialPort &port : ports) {
            if (!SameName(port.name, name)) {
                continue;
            }
            port.description = Property(set, info, SPDRP_FRIENDLYNAME);
            port.driver = Property(set, info, SPDRP_SERVICE);
            ParseHardwareId(Property(set, info, SPDRP_HARDWAREID), port.vendorId, port.productId);
            port.usb = !port.vendorId.empty() && !port.productId.empty();
        }
    }
    SetupDiDestroyDeviceInfoList(set);
}

std::vector<SerialPort> ListWindowsPorts()
{
    std::vector<SerialPort> ports;
    HKEY map = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &map) != ERROR_SUCCESS) {
        return ports;
    }
    for (DWORD index = 0;; ++index) {
        wchar_t device[256] = {};
        DWORD deviceSize = 255;
        wchar_t com[64] = {};
        DWORD comSize = sizeof com - sizeof(wchar_t);
        DWORD type = 0;
        const LONG read =
            RegEnumValueW(map, index, device, &deviceSize, nullptr, &type, reinterpret_cast<BYTE *>(com), &comSize);
        if (read == ERROR_NO_MORE_ITEMS) {
            break;
        }
        if (read != ERROR_SUCCESS || type != REG_SZ) {
            continue;
        }
        SerialPort port;
        port.name = Utf8(com);
        port.node = "\\\\.\\" + port.name;
        port.device = Utf8(device);
        ports.push_back(port);
    }
    RegCloseKey(map);
    AddDeviceManagerDetails(ports);
    std::sort(ports.begin(), ports.end(),
              [](const SerialPort &a, const SerialPort &b) { return NaturalLess(a.name, b.name); });
    return ports;
}

} // namespace

std::vector<std::string> DescribeCheckedPort(const std::string &port)
{
    const std::string name = ComName(port);
    for (const SerialPort &listed : ListWindowsPorts()) {
        if (SameName(listed.name, name)) {
            return {name + ": " + Describe(listed)};
        }
    }
    char device[512] = {};
    if (QueryDosDeviceA(name.c_str(), device, sizeof device) != 0) {
        return {name + ": " + device + ", not in the system's list of serial ports"};
    }
    return {"the system does not list " + name + " as a serial port"};
}

int RunPorts(std::ostream &out, std::ostream &err, const std::string &udevRulePort)
{
    const std::string library = ComName(PortName());
    if (!udevRulePort.empty()) {
        err << "brindlex: udev rules are for Linux; on Windows give the controller's port the number " << library
            << " in Device Manager\n";
        return EXIT_USAGE;
    }
    std::vector<SerialPort> ports = ListWindowsPorts();
    bool listed = false;
    for (SerialPort &port : ports) {
        port.libraryPort = SameName(port.name, library);
        listed = listed || port.libraryPort;
    }
    PrintPorts(out, ports,
               "the library opens " + library +
                   (listed ? ""
                           : ", which the system does not list: give the controller's port the number " + library +
                                 " (Device Manager, the port's Port Settings, Advanced)"));
    return 0;
}
