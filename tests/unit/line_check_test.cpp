// The POSIX line check: what a driver reports back after the settings were
// applied, and which reports the link refuses.
#include "link/port_posix_line.h"

#include <asm/termbits.h>
#include <gtest/gtest.h>

namespace {

constexpr uint32_t AS_ASKED = CS8 | CSTOPB | CREAD | CLOCAL;

LineReport Custom(uint32_t speed, uint32_t flags = AS_ASKED)
{
    return DescribeLine(BOTHER | flags, speed);
}

} // namespace

TEST(LineCheck, ACustomRateIsTakenFromTheSpeedFieldAndAStandardOneFromItsCode)
{
    EXPECT_EQ(Custom(256000).baudRate, 256000U);
    // c_ospeed may still hold what was asked while the code says what was kept.
    EXPECT_EQ(DescribeLine(B9600 | AS_ASKED, 256000).baudRate, 9600U);
    EXPECT_EQ(DescribeLine(B115200 | AS_ASKED, 0).baudRate, 115200U);
    EXPECT_EQ(DescribeLine(B4000000 | AS_ASKED, 0).baudRate, 4000000U);
    EXPECT_EQ(DescribeLine(B0 | AS_ASKED, 256000).baudRate, 0U);

    const LineReport line = Custom(256000, CS7 | PARENB | CRTSCTS);
    EXPECT_TRUE(line.known);
    EXPECT_EQ(line.dataBits, 7);
    EXPECT_TRUE(line.parity);
    EXPECT_EQ(line.stopBits, 1);
    EXPECT_TRUE(line.hardwareFlowControl);
    EXPECT_EQ(DescribeLine(B9600 | CS5, 0).dataBits, 5);
    EXPECT_EQ(DescribeLine(B9600 | CS6, 0).dataBits, 6);
}

TEST(LineCheck, TheRateMayBeUpToTwoPercentOff)
{
    EXPECT_TRUE(LineIsAsAsked(Custom(256000)));
    EXPECT_TRUE(LineIsAsAsked(Custom(255319))) << "an FTDI chip's nearest divisor";
    EXPECT_TRUE(LineIsAsAsked(Custom(250880))) << "2 % below";
    EXPECT_TRUE(LineIsAsAsked(Custom(261120))) << "2 % above";
    EXPECT_FALSE(LineIsAsAsked(Custom(250879)));
    EXPECT_FALSE(LineIsAsAsked(Custom(261121)));
    EXPECT_FALSE(LineIsAsAsked(DescribeLine(B9600 | AS_ASKED, 256000))) << "a 16550 keeping its rate";
    EXPECT_FALSE(LineIsAsAsked(DescribeLine(B230400 | AS_ASKED, 0)));
    EXPECT_FALSE(LineIsAsAsked(DescribeLine(B0 | AS_ASKED, 0)));
    EXPECT_FALSE(LineIsAsAsked(Custom(0xFFFFFFFFU))) << "no overflow in the comparison";
}

TEST(LineCheck, AnyOtherFrameOrFlowControlIsRefused)
{
    EXPECT_FALSE(LineIsAsAsked(Custom(256000, CS7 | CSTOPB)));
    EXPECT_FALSE(LineIsAsAsked(Custom(256000, CS8 | CSTOPB | PARENB)));
    EXPECT_FALSE(LineIsAsAsked(Custom(256000, CS8))) << "one stop bit";
    EXPECT_FALSE(LineIsAsAsked(Custom(256000, AS_ASKED | CRTSCTS)));
    EXPECT_FALSE(LineIsAsAsked(LineReport{}));
}
