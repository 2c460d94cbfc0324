#include "port_check_wine.h"

#include <cstdio>

namespace {

constexpr uint32_t LINK_BAUD_RATE = 256000;
constexpr uint32_t ERROR_INVALID_PARAMETER = 87;
// ftdi_sio gives every chip since the FT232BM a 48 MHz / 2 base.
constexpr uint32_t FTDI_BASE_RATE = 24000000;

uint32_t BaseRate(const WinePort &port)
{
    if (port.driver == "ftdi_sio") {
        return FTDI_BASE_RATE;
    }
    return port.uartClock / 16;
}

// "+0.8 %"
std::string Deviation(uint32_t rate)
{
    char text[32];
    std::snprintf(text, sizeof text, "%+.1f %%", (static_cast<double>(rate) / LINK_BAUD_RATE - 1.0) * 100.0);
    return text;
}

std::string Device(const WinePort &port)
{
    return port.device.empty() ? std::string("the Linux device") : port.device;
}

const char *WINELIB_ADVICE = "the Wine build of the library (brindlex.dll.so, see the Wine section of "
                             "docs/installing.md), which runs the line as the Linux library does on every start";

} // namespace

uint32_t WineRate(const WinePort &port)
{
    const uint32_t base = BaseRate(port);
    if (base == 0) {
        return 0;
    }
    const uint32_t divisor = base / LINK_BAUD_RATE;
    return base / (divisor == 0 ? 1 : divisor);
}

bool WineRateUsable(uint32_t rate)
{
    const uint32_t off = rate > LINK_BAUD_RATE ? rate - LINK_BAUD_RATE : LINK_BAUD_RATE - rate;
    return off <= LINK_BAUD_RATE / 100 * 2;
}

std::vector<std::string> DescribeWinePort(const WinePort &port)
{
    if (port.wineVersion.empty()) {
        return {};
    }
    std::vector<std::string> lines;
    if (port.device.empty()) {
        lines.push_back("under Wine " + port.wineVersion +
                        ": the Linux device behind the port is not known (the prefix's dosdevices link)");
        return lines;
    }
    lines.push_back("under Wine " + port.wineVersion + ": a link to " + port.device +
                    (port.driver.empty() ? std::string() : ", driver " + port.driver));
    const uint32_t rate = WineRate(port);
    if (rate == 0) {
        lines.push_back("Wine has no 256000 baud: it sets the driver's custom divisor, and what this driver "
                        "makes of it is not known");
    } else if (port.driver == "ftdi_sio") {
        lines.push_back("Wine has no 256000 baud: through the custom divisor ftdi_sio runs it at " +
                        std::to_string(rate) + " baud (" + Deviation(rate) +
                        "), and keeps that as a rate Wine cannot read back at the next start");
    } else {
        lines.push_back("Wine has no 256000 baud: through the custom divisor of this UART's " +
                        std::to_string(port.uartClock) + " Hz clock it runs at " + std::to_string(rate) +
                        " baud (" + Deviation(rate) + ")");
    }
    return lines;
}

std::string WineFailureMeaning(const WinePort &port, const PortResult &result)
{
    // A driver, so a serial device: not a file or pseudo-terminal that has none.
    if (port.wineVersion.empty() || port.driver.empty() || result.failedStep != PORT_STEP_READ_LINE ||
        result.errorCode != ERROR_INVALID_PARAMETER) {
        return "";
    }
    return "Wine cannot read back the rate an earlier program left on " + Device(port) +
           " (a custom rate, as Wine itself leaves there): reset the line before each start of the host, "
           "with: stty -F " + (port.device.empty() ? std::string("DEVICE") : port.device) +
           " 9600; or use " + WINELIB_ADVICE;
}

std::string WineNotReady(const WinePort &port)
{
    if (port.wineVersion.empty()) {
        return "";
    }
    const uint32_t rate = WineRate(port);
    if (rate == 0 || WineRateUsable(rate)) {
        return "";
    }
    return "Wine runs " + Device(port) + " at " + std::to_string(rate) + " baud, not 256000 (" + Deviation(rate) +
           "), whatever the driver reports: the controller cannot read it. Use a USB adapter that can run 256000 "
           "baud (an FTDI adapter) with " + WINELIB_ADVICE;
}
