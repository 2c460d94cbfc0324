// `brindlex ports` over sysfs trees built the way the kernel lays them out
// (copied from Debian 12's kernel with a 16550, an empty 8250 slot and an
// FTDI adapter, and from a newer kernel's serial core), and the wording
// shared with Windows.
#include "ports.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace {

class FakeSysfs {
public:
    FakeSysfs()
    {
        char pattern[] = "/tmp/brindlex-sysfs-XXXXXX";
        root_ = mkdtemp(pattern);
    }
    ~FakeSysfs() { fs::remove_all(root_); }
    FakeSysfs(const FakeSysfs &) = delete;
    FakeSysfs &operator=(const FakeSysfs &) = delete;

    std::string Root() const { return root_.string(); }

    void File(const std::string &path, const std::string &text) const
    {
        fs::create_directories((root_ / path).parent_path());
        std::ofstream(root_ / path) << text << "\n";
    }
    // A relative link, as sysfs has them; the target's folder is made too.
    void Link(const std::string &path, const std::string &target) const
    {
        fs::create_directories((root_ / path).parent_path());
        fs::create_directories((root_ / path).parent_path() / target);
        fs::create_symlink(target, root_ / path);
    }
    // /sys/class/tty/NAME -> the tty's folder below its device, with the
    // device link back up to that device.
    void Tty(const std::string &name, const std::string &deviceFolder, const std::string &deviceLink) const
    {
        const std::string folder = "devices/" + deviceFolder + "/tty/" + name;
        File(folder + "/uevent", "MAJOR=4\nMINOR=64\nDEVNAME=" + name);
        fs::create_symlink("../../" + folder, root_ / "class/tty" / name);
        fs::create_symlink(deviceLink, root_ / folder / "device");
    }
    void VirtualTty(const std::string &name) const
    {
        File("devices/virtual/tty/" + name + "/uevent", "MAJOR=4\nMINOR=1\nDEVNAME=" + name);
        fs::create_symlink("../../devices/virtual/tty/" + name, root_ / "class/tty" / name);
    }

private:
    fs::path root_;
};

// Debian 12's kernel: ttyS0 a 16550 found by PnP, ttyS2 a slot the 8250
// driver lists with no UART, ttyUSB0 an FTDI adapter below the xHCI root hub,
// ttyACM0 a CDC device with no serial number.
void Debian12(const FakeSysfs &sys)
{
    fs::create_directories(sys.Root() + "/class/tty");
    sys.VirtualTty("console");
    sys.VirtualTty("tty0");
    sys.VirtualTty("ptmx");

    sys.Tty("ttyS0", "pnp0/00:01", "../../../00:01");
    sys.Link("devices/pnp0/00:01/driver", "../../../bus/pnp/drivers/serial");
    sys.Link("devices/pnp0/00:01/subsystem", "../../../bus/pnp");
    sys.File("devices/pnp0/00:01/tty/ttyS0/type", "4");
    sys.File("devices/pnp0/00:01/tty/ttyS0/uartclk", "1843200");

    sys.Tty("ttyS2", "platform/serial8250", "../../../serial8250");
    sys.Link("devices/platform/serial8250/driver", "../../../bus/platform/drivers/serial8250");
    sys.Link("devices/platform/serial8250/subsystem", "../../../bus/platform");
    sys.File("devices/platform/serial8250/tty/ttyS2/type", "0");
    sys.File("devices/platform/serial8250/tty/ttyS2/uartclk", "1843200");

    const std::string hub = "devices/pci0000:00/0000:00:02.0/usb1";
    sys.File(hub + "/idVendor", "1d6b");
    sys.File(hub + "/idProduct", "0002");
    sys.File(hub + "/serial", "0000:00:02.0");
    sys.Tty("ttyUSB0", "pci0000:00/0000:00:02.0/usb1/1-1/1-1:1.0/ttyUSB0", "../../../ttyUSB0");
    sys.Link(hub + "/1-1/1-1:1.0/ttyUSB0/driver", "../../../../../../../bus/usb-serial/drivers/ftdi_sio");
    sys.Link(hub + "/1-1/1-1:1.0/ttyUSB0/subsystem", "../../../../../../../bus/usb-serial");
    sys.Link(hub + "/1-1/1-1:1.0/driver", "../../../../../../bus/usb/drivers/ftdi_sio");
    sys.File(hub + "/1-1/idVendor", "0403");
    sys.File(hub + "/1-1/idProduct", "6001");
    sys.File(hub + "/1-1/manufacturer", "FTDI");
    sys.File(hub + "/1-1/product", "FT232R USB UART");
    sys.File(hub + "/1-1/serial", "A12345");

    sys.Tty("ttyACM0", "pci0000:00/0000:00:02.0/usb1/1-2/1-2:1.0", "../../../1-2:1.0");
    sys.Link(hub + "/1-2/1-2:1.0/driver", "../../../../../../bus/usb/drivers/cdc_acm");
    sys.File(hub + "/1-2/idVendor", "2341");
    sys.File(hub + "/1-2/idProduct", "0043");
    sys.File(hub + "/1-2/manufacturer", "Arduino");
    sys.File(hub + "/1-2/product", "Arduino Uno");
}

const SerialPort *Find(const std::vector<SerialPort> &ports, const std::string &name)
{
    for (const SerialPort &port : ports) {
        if (port.name == name) {
            return &port;
        }
    }
    return nullptr;
}

SerialPort Adapter()
{
    SerialPort port;
    port.node = "/dev/ttyUSB0";
    port.usb = true;
    port.vendorId = "0403";
    port.productId = "6001";
    port.manufacturer = "FTDI";
    port.product = "FT232R USB UART";
    port.serial = "A12345";
    return port;
}

// The rule line itself, without the comments around it.
std::string RuleLine(const std::string &text)
{
    std::istringstream lines(text);
    std::string line;
    std::string rule;
    while (std::getline(lines, line)) {
        if (!line.empty() && line[0] != '#') {
            EXPECT_TRUE(rule.empty()) << "more than one rule line in:\n" << text;
            rule = line;
        }
    }
    return rule;
}

} // namespace

TEST(Ports, EachPortWithADeviceIsListedWithItsDriverAndWhatIsBehindIt)
{
    FakeSysfs sys;
    Debian12(sys);
    const std::vector<SerialPort> ports = ListSerialPorts(sys.Root());

    std::vector<std::string> names;
    for (const SerialPort &port : ports) {
        names.push_back(port.name);
    }
    // Consoles and ptmx have no device behind them.
    EXPECT_EQ(names, (std::vector<std::string>{"ttyACM0", "ttyS0", "ttyS2", "ttyUSB0"}));

    const SerialPort *uart = Find(ports, "ttyS0");
    ASSERT_NE(uart, nullptr);
    EXPECT_EQ(uart->node, "/dev/ttyS0");
    EXPECT_EQ(uart->driver, "serial");
    EXPECT_FALSE(uart->usb);
    EXPECT_FALSE(uart->noUart);
    EXPECT_EQ(uart->maxBaud, 115200U);
    EXPECT_EQ(Describe(*uart), "driver serial, a UART, at most 115200 baud (the controller needs 256000)");

    const SerialPort *empty = Find(ports, "ttyS2");
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(empty->driver, "serial8250");
    EXPECT_TRUE(empty->noUart);
    EXPECT_EQ(Describe(*empty), "driver serial8250, no UART behind it");

    // The adapter's own ids, not those of the root hub above it.
    const SerialPort *ftdi = Find(ports, "ttyUSB0");
    ASSERT_NE(ftdi, nullptr);
    EXPECT_EQ(ftdi->node, "/dev/ttyUSB0");
    EXPECT_EQ(ftdi->driver, "ftdi_sio");
    EXPECT_TRUE(ftdi->usb);
    EXPECT_EQ(Describe(*ftdi), "driver ftdi_sio, USB adapter 0403:6001, FTDI FT232R USB UART, serial A12345");
    EXPECT_EQ(ftdi->maxBaud, 0U);

    const SerialPort *acm = Find(ports, "ttyACM0");
    ASSERT_NE(acm, nullptr);
    // The maker's name once, not twice.
    EXPECT_EQ(Describe(*acm), "driver cdc_acm, USB adapter 2341:0043, Arduino Uno");

    EXPECT_TRUE(ListSerialPorts(sys.Root() + "/nowhere").empty());
}

TEST(Ports, OnNewerKernelsTheDriverIsTheOneAboveTheSerialCore)
{
    // On newer kernels the tty's device is the serial core's port, below its
    // controller; the driver a person knows sits on the PnP device above.
    FakeSysfs sys;
    fs::create_directories(sys.Root() + "/class/tty");
    sys.Tty("ttyS0", "pnp0/00:00/00:00:0/00:00:0.0", "../../../00:00:0.0");
    sys.Link("devices/pnp0/00:00/00:00:0/00:00:0.0/driver", "../../../../../bus/serial-base/drivers/port");
    sys.Link("devices/pnp0/00:00/00:00:0/00:00:0.0/subsystem", "../../../../../bus/serial-base");
    sys.Link("devices/pnp0/00:00/00:00:0/driver", "../../../../bus/serial-base/drivers/ctrl");
    sys.Link("devices/pnp0/00:00/00:00:0/subsystem", "../../../../bus/serial-base");
    sys.Link("devices/pnp0/00:00/driver", "../../../bus/pnp/drivers/serial");
    sys.Link("devices/pnp0/00:00/subsystem", "../../../bus/pnp");
    sys.File("devices/pnp0/00:00/00:00:0/00:00:0.0/tty/ttyS0/type", "0");

    const std::vector<SerialPort> ports = ListSerialPorts(sys.Root());
    ASSERT_EQ(ports.size(), 1U);
    EXPECT_EQ(ports[0].driver, "serial");
    EXPECT_TRUE(ports[0].noUart);
}

TEST(Ports, TheLibrarysPortIsMarkedOrSaidToLeadNowhere)
{
    FakeSysfs sys;
    Debian12(sys);
    const std::string folder = sys.Root();
    std::ofstream(folder + "/node") << "";
    fs::create_symlink(folder + "/node", folder + "/first");
    fs::create_symlink("first", folder + "/second");
    fs::create_symlink("gone", folder + "/dangling");

    // Links are followed to the end, relative ones from their own folder.
    const PortTarget chain = ResolvePort(folder + "/second");
    EXPECT_TRUE(chain.exists);
    EXPECT_TRUE(chain.link);
    EXPECT_EQ(chain.resolved, folder + "/node");
    const PortTarget plain = ResolvePort(folder + "/node");
    EXPECT_TRUE(plain.exists);
    EXPECT_FALSE(plain.link);
    const PortTarget dangling = ResolvePort(folder + "/dangling");
    EXPECT_FALSE(dangling.exists);
    EXPECT_TRUE(dangling.link);
    EXPECT_EQ(dangling.resolved, folder + "/gone");
    const PortTarget missing = ResolvePort(folder + "/missing");
    EXPECT_FALSE(missing.exists);
    EXPECT_FALSE(missing.link);

    std::vector<SerialPort> ports = ListSerialPorts(sys.Root());
    PortTarget library{"/dev/brindlex", true, true, "/dev/ttyUSB0"};
    EXPECT_EQ(MarkLibraryPort(ports, library), "the library opens /dev/brindlex, a link to /dev/ttyUSB0");
    for (const SerialPort &port : ports) {
        EXPECT_EQ(port.libraryPort, port.name == "ttyUSB0") << port.name;
    }
    std::ostringstream listing;
    PrintPorts(listing, ports, MarkLibraryPort(ports, library));
    EXPECT_NE(listing.str().find("  /dev/ttyUSB0  driver ftdi_sio, USB adapter 0403:6001, FTDI FT232R USB UART, "
                                 "serial A12345  <- the library's port\n"),
              std::string::npos)
        << listing.str();
    EXPECT_NE(listing.str().find("  /dev/ttyS0    driver serial,"), std::string::npos) << listing.str();
    EXPECT_EQ(listing.str().find("<- the library's port"), listing.str().rfind("<- the library's port"));

    library.resolved = "/dev/pts/4";
    EXPECT_EQ(MarkLibraryPort(ports, library),
              "the library opens /dev/brindlex, a link to /dev/pts/4, which is not one of these ports");
    for (const SerialPort &port : ports) {
        EXPECT_FALSE(port.libraryPort) << port.name << " still marked after the link moved";
    }
    EXPECT_EQ(MarkLibraryPort(ports, PortTarget{"/dev/brindlex", false, true, "/dev/ttyUSB1"}),
              "the library opens /dev/brindlex, a link to /dev/ttyUSB1, which does not exist");
    EXPECT_NE(MarkLibraryPort(ports, PortTarget{"/dev/brindlex", false, false, ""})
                  .find("/dev/brindlex, which does not exist: link it to the controller's port with a udev rule"),
              std::string::npos);

    std::ostringstream none;
    PrintPorts(none, {}, "the library opens /dev/brindlex");
    EXPECT_EQ(none.str(), "no serial ports found\nthe library opens /dev/brindlex\n");
}

TEST(Ports, UdevRuleMatchesTheAdapterAndLinksTheLibrarysPort)
{
    std::string rule;
    std::string error;
    ASSERT_TRUE(UdevRule(Adapter(), "/dev/brindlex", rule, error)) << error;
    EXPECT_EQ(RuleLine(rule), "SUBSYSTEM==\"tty\", ATTRS{idVendor}==\"0403\", ATTRS{idProduct}==\"6001\", "
                              "ATTRS{serial}==\"A12345\", SYMLINK+=\"brindlex\", MODE=\"0660\", GROUP=\"dialout\"");
    EXPECT_NE(rule.find("/etc/udev/rules.d/99-brindlex.rules"), std::string::npos) << rule;
    EXPECT_NE(rule.find("udevadm control --reload && sudo udevadm trigger"), std::string::npos) << rule;

    // Windows writes ids in capitals; udev compares them as sysfs has them.
    SerialPort anonymous = Adapter();
    anonymous.serial.clear();
    anonymous.vendorId = "1A86";
    ASSERT_TRUE(UdevRule(anonymous, "/dev/serial/brindlex", rule, error)) << error;
    EXPECT_EQ(RuleLine(rule), "SUBSYSTEM==\"tty\", ATTRS{idVendor}==\"1a86\", ATTRS{idProduct}==\"6001\", "
                              "SYMLINK+=\"serial/brindlex\", MODE=\"0660\", GROUP=\"dialout\"");
    EXPECT_NE(rule.find("matches every adapter with these ids"), std::string::npos) << rule;

    // A quote would end the value early: leave such a serial out.
    SerialPort quoted = Adapter();
    quoted.serial = "A1\"23";
    ASSERT_TRUE(UdevRule(quoted, "/dev/brindlex", rule, error)) << error;
    EXPECT_EQ(RuleLine(rule).find("serial"), std::string::npos) << rule;
    EXPECT_NE(rule.find("characters a rule cannot hold"), std::string::npos) << rule;

    SerialPort uart;
    uart.node = "/dev/ttyS0";
    uart.maxBaud = 115200;
    rule.clear();
    EXPECT_FALSE(UdevRule(uart, "/dev/brindlex", rule, error));
    EXPECT_EQ(error.rfind("/dev/ttyS0 is not a USB adapter", 0), 0U) << error;
    EXPECT_TRUE(rule.empty());
    for (const char *library : {"/tmp/brindlex", "/dev/", "/dev/../etc/brindlex", "dev/brindlex", "/dev/a\"b"}) {
        error.clear();
        EXPECT_FALSE(UdevRule(Adapter(), library, rule, error)) << library;
        EXPECT_NE(error.find("is not a name under /dev"), std::string::npos) << library << ": " << error;
    }
}

TEST(Ports, WindowsPortNamesAndHardwareIds)
{
    EXPECT_EQ(WindowsPortPath("COM61"), "\\\\.\\COM61");
    EXPECT_EQ(WindowsPortPath("com3"), "\\\\.\\com3");
    for (const char *other : {"\\\\.\\COM3", "COM", "COMX", "COM3a", "/dev/ttyUSB0", "LPT1"}) {
        EXPECT_EQ(WindowsPortPath(other), other);
    }

    std::string vendor;
    std::string product;
    ParseHardwareId("USB\\VID_0403&PID_6001&REV_0600", vendor, product);
    EXPECT_EQ(vendor + ":" + product, "0403:6001");
    // FTDI's own driver joins them with + instead.
    ParseHardwareId("FTDIBUS\\VID_1A86+PID_7523+A12345A\\0000", vendor, product);
    EXPECT_EQ(vendor + ":" + product, "1a86:7523");
    ParseHardwareId("ACPI\\PNP0501", vendor, product);
    EXPECT_TRUE(vendor.empty() && product.empty());
    ParseHardwareId("USB\\VID_04&PID_6001", vendor, product);
    EXPECT_TRUE(vendor.empty()) << vendor;

    EXPECT_TRUE(NaturalLess("COM2", "COM10"));
    EXPECT_FALSE(NaturalLess("COM10", "COM2"));
    EXPECT_FALSE(NaturalLess("COM3", "COM3"));
    EXPECT_TRUE(NaturalLess("ttyS9", "ttyS10"));
    EXPECT_TRUE(NaturalLess("ttyS1", "ttyUSB0"));
    EXPECT_TRUE(NaturalLess("COM", "COM1"));
    EXPECT_FALSE(NaturalLess("COM01", "COM1"));
    EXPECT_FALSE(NaturalLess("COM1", "COM01"));

    SerialPort port;
    port.device = "\\Device\\VCP0";
    port.description = "USB Serial Port (COM61)";
    port.driver = "FTDIBUS";
    port.usb = true;
    port.vendorId = "0403";
    port.productId = "6001";
    EXPECT_EQ(Describe(port), "driver FTDIBUS, \\Device\\VCP0, USB Serial Port (COM61), USB adapter 0403:6001");
}

TEST(Ports, DriverSettingsAreWordedAndFlowControlIsNamed)
{
    CommSettings settings;
    settings.baudRate = 256000;
    settings.stopBits = 1;
    EXPECT_EQ(DescribeSettings(settings), "256000 baud, 8 data bits, no parity, 1.5 stop bits");
    settings.baudRate = 38400;
    settings.parity = 2;
    settings.stopBits = 2;
    settings.byteSize = 7;
    EXPECT_EQ(DescribeSettings(settings), "38400 baud, 7 data bits, even parity, 2 stop bits");
    EXPECT_TRUE(FlowControlInUse(settings).empty());
    // DTR and RTS simply on (1) are not flow control; handshake (2) is.
    settings.rtsControl = 1;
    settings.dtrControl = 1;
    EXPECT_TRUE(FlowControlInUse(settings).empty());

    const std::pair<void (*)(CommSettings &), const char *> each[] = {
        {[](CommSettings &s) { s.outxCtsFlow = true; }, "CTS"},
        {[](CommSettings &s) { s.outxDsrFlow = true; }, "DSR"},
        {[](CommSettings &s) { s.outX = true; }, "XON/XOFF on output"},
        {[](CommSettings &s) { s.inX = true; }, "XON/XOFF on input"},
        {[](CommSettings &s) { s.rtsControl = 2; }, "RTS handshake"},
        {[](CommSettings &s) { s.dtrControl = 2; }, "DTR handshake"},
    };
    for (const auto &[turnOn, name] : each) {
        CommSettings one;
        turnOn(one);
        EXPECT_EQ(FlowControlInUse(one), std::vector<std::string>{name});
    }
    CommSettings all;
    for (const auto &[turnOn, name] : each) {
        turnOn(all);
    }
    EXPECT_EQ(FlowControlInUse(all).size(), 6U);
}

TEST(Ports, CheckReportsTheDriversSettingsAndWarnsOfFlowControl)
{
    CommSettings applied;
    applied.baudRate = 256000;
    applied.stopBits = 1;
    EXPECT_EQ(ReportSettings(applied),
              std::vector<std::string>{"the driver reports 256000 baud, 8 data bits, no parity, 1.5 stop bits"});

    // What Wine reports on a pseudo-terminal with CTS flow control on.
    CommSettings kept;
    kept.baudRate = 38400;
    kept.stopBits = 2;
    kept.outxCtsFlow = true;
    const std::vector<std::string> lines = ReportSettings(kept);
    ASSERT_EQ(lines.size(), 4U);
    EXPECT_EQ(lines[0], "the driver reports 38400 baud, 8 data bits, no parity, 2 stop bits (asked for 256000 baud, "
                        "8 data bits, no parity, 1.5 stop bits)");
    EXPECT_EQ(lines[1], "WARNING: the port has flow control on (CTS)");
    EXPECT_NE(lines[2].find("writes have no time-out"), std::string::npos);
    EXPECT_NE(lines[3].find("Flow control: None"), std::string::npos);

    for (const auto change : {+[](CommSettings &s) { s.byteSize = 7; }, +[](CommSettings &s) { s.parity = 1; },
                              +[](CommSettings &s) { s.stopBits = 0; }}) {
        CommSettings other = applied;
        change(other);
        EXPECT_NE(ReportSettings(other)[0].find("(asked for 256000 baud"), std::string::npos);
    }
}
