// What check says under Wine, from the facts the Windows tool gathers there.
#include "port_check_wine.h"

#include <gtest/gtest.h>

namespace {

bool Contains(const std::string &text, const std::string &part)
{
    return text.find(part) != std::string::npos;
}

WinePort Port(const std::string &driver, uint32_t uartClock)
{
    return WinePort{"8.0", "/dev/ttyX", driver, uartClock};
}

} // namespace

TEST(WineCheck, TheRateWineProgramsDecidesWhetherThePortIsReady)
{
    // As the Wine driver tier measures them: an FTDI at 24 MHz / 93, a
    // 16550 with a 1.8432 MHz clock at divisor 1.
    EXPECT_EQ(WineRate(Port("ftdi_sio", 0)), 258064U);
    EXPECT_EQ(WineRate(Port("serial8250", 1843200)), 115200U);
    EXPECT_EQ(WineRate(Port("serial8250", 48000000)), 272727U) << "rounded down: 11, not 12";
    EXPECT_EQ(WineRate(Port("cdc_acm", 0)), 0U);
    EXPECT_EQ(WineNotReady(Port("ftdi_sio", 0)), "");
    EXPECT_EQ(WineNotReady(Port("cdc_acm", 0)), "") << "an unknown rate is not known to be wrong";
    const std::string uart = WineNotReady(Port("serial8250", 1843200));
    EXPECT_TRUE(Contains(uart, "/dev/ttyX at 115200 baud, not 256000 (-55.0 %)")) << uart;
    EXPECT_EQ(WineNotReady(WinePort{"", "", "serial8250", 1843200}), "") << "only under Wine";

    EXPECT_TRUE(WineRateUsable(256000 + 5120) && WineRateUsable(256000 - 5120));
    EXPECT_FALSE(WineRateUsable(256000 + 5121) || WineRateUsable(256000 - 5121));
}

TEST(WineCheck, ErrorEightySevenOnASerialDriverNamesTheLeftRateAndTheRemedy)
{
    const PortResult unreadable{PORT_STEP_READ_LINE, "GetCommState", 87, {}};
    const std::string meaning = WineFailureMeaning(Port("ftdi_sio", 0), unreadable);
    EXPECT_TRUE(Contains(meaning, "stty -F /dev/ttyX 9600")) << meaning;
    EXPECT_TRUE(Contains(meaning, "brindlex.dll.so")) << meaning;
    // A file or pseudo-terminal has no driver: that stays "not a serial device".
    EXPECT_EQ(WineFailureMeaning(Port("", 0), unreadable), "");
    EXPECT_EQ(WineFailureMeaning(Port("ftdi_sio", 0), PortResult{PORT_STEP_WRITE_LINE, "SetCommState", 87, {}}), "");
    EXPECT_EQ(WineFailureMeaning(WinePort{"", "/dev/ttyX", "ftdi_sio", 0}, unreadable), "");

    const std::vector<std::string> lines = DescribeWinePort(Port("ftdi_sio", 0));
    ASSERT_EQ(lines.size(), 2U);
    EXPECT_EQ(lines[0], "under Wine 8.0: a link to /dev/ttyX, driver ftdi_sio");
    EXPECT_TRUE(Contains(lines[1], "258064 baud (+0.8 %)")) << lines[1];
    EXPECT_TRUE(DescribeWinePort(WinePort{}).empty());
}
