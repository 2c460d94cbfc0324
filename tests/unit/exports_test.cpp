#include "test_support.h"

#include "brindlex.h"

#include <climits>
#include <sys/mman.h>
#include <unistd.h>

namespace {

// A page that faults on any access: proves that a pointer is never read.
const uint8_t *UnreadablePage()
{
    static void *page = mmap(nullptr, static_cast<std::size_t>(getpagesize()), PROT_NONE,
                             MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return static_cast<const uint8_t *>(page);
}

Bytes StatesOf(int device)
{
    return Bytes(outputStates + (device - 1) * 32, outputStates + device * 32);
}

Bytes LevelsOf(int device)
{
    return Bytes(outputLevels + (device - 1) * 32, outputLevels + device * 32);
}

Bytes Ramp(uint8_t first)
{
    Bytes values(32);
    for (int n = 0; n < 32; ++n) {
        values[n] = static_cast<uint8_t>(first + n * 7);
    }
    return values;
}

} // namespace

TEST_F(LoadedLibrary, SwitchingSendsTheDevicesWholeBankOnceAfterUpdatingIt)
{
    LWZ_SBA(1, 0xFF, 0, 0, 0);
    ASSERT_EQ(fakePort.writes.size(), 1U);
    EXPECT_EQ(fakePort.writes[0], ExpectedCommand(0x02, 0x00, Concat(Repeat(1, 8), Repeat(0, 24))));

    LWZ_SBA(8, 0, 0, 0, 0x80);
    ASSERT_EQ(fakePort.writes.size(), 2U);
    EXPECT_EQ(fakePort.writes[1], ExpectedCommand(0x02, 0xE0, Concat(Repeat(0, 31), Repeat(1, 1))));

    // Outputs whose bit is 0 are switched off again.
    LWZ_SBA(1, 0x00, 0x01, 0, 0);
    EXPECT_EQ(StatesOf(1), Concat(Concat(Repeat(0, 8), Repeat(1, 1)), Repeat(0, 23)));
}

TEST_F(LoadedLibrary, OnlyTheLowByteOfEachBankArgumentCounts)
{
    LWZ_SBA(2, 0x1FF, static_cast<int32_t>(0xFFFFFF00), -1, 0x7FFFFF01);
    EXPECT_EQ(StatesOf(2), Concat(Concat(Repeat(1, 8), Repeat(0, 8)), Concat(Repeat(1, 8),
                                                                             Concat(Repeat(1, 1), Repeat(0, 7)))));
}

TEST_F(LoadedLibrary, LevelsAreStoredAndSentUnchanged)
{
    Bytes values = Ramp(0x80);
    values[5] = 0x0A; // a newline byte must not be touched
    LWZ_PBA(2, values.data());
    EXPECT_EQ(LevelsOf(2), values);
    ASSERT_EQ(fakePort.writes.size(), 1U);
    EXPECT_EQ(fakePort.writes[0], ExpectedCommand(0x03, 0x20, values));
}

TEST_F(LoadedLibrary, StatesAndLevelsNeverDisturbEachOther)
{
    LWZ_SBA(5, 0xAA, 0x55, 0xF0, 0x0F);
    const Bytes states = StatesOf(5);
    const Bytes values = Repeat(0xFF, 32);
    LWZ_PBA(5, values.data());
    EXPECT_EQ(StatesOf(5), states);

    LWZ_SBA(5, 0, 0, 0, 0);
    EXPECT_EQ(LevelsOf(5), values);
    ASSERT_EQ(fakePort.writes.size(), 3U);
    for (std::size_t i = 4; i < 36; ++i) {
        EXPECT_EQ(fakePort.writes[2][i], 0x00) << "a state command carries states only";
    }
}

TEST_F(LoadedLibrary, AnInvalidIdChangesNothingButStillSendsItsBankAsItStands)
{
    LWZ_SBA(1, 0x0F, 0, 0, 0);
    const Bytes levels = Ramp(1);
    LWZ_PBA(8, levels.data());
    fakePort.writes.clear();
    const Tables before = Snapshot();

    struct Case {
        int32_t id;
        uint8_t start;
    };
    const Case cases[] = {{9, 0},           {0, 224},      {-1, 192},       {17, 0},
                          {INT_MAX, 192},   {INT_MIN, 224}, {INT_MIN + 1, 0}, {1000000, 224}};
    const Bytes someLevels = Repeat(0x33, 32);
    for (const Case &c : cases) {
        fakePort.writes.clear();
        LWZ_SBA(c.id, 0xFF, 0xFF, 0xFF, 0xFF);
        LWZ_PBA(c.id, someLevels.data());
        EXPECT_EQ(Snapshot(), before) << "id " << c.id;
        ASSERT_EQ(fakePort.writes.size(), 2U) << "id " << c.id;
        EXPECT_EQ(fakePort.writes[0],
                  ExpectedCommand(0x02, c.start, Bytes(outputStates + c.start, outputStates + c.start + 32)))
            << "id " << c.id;
        EXPECT_EQ(fakePort.writes[1],
                  ExpectedCommand(0x03, c.start, Bytes(outputLevels + c.start, outputLevels + c.start + 32)))
            << "id " << c.id;
    }
    // Bank 0 and bank 224 carry the contents set above, not zeros.
    LWZ_SBA(9, 0, 0, 0, 0);
    EXPECT_EQ(fakePort.writes.back(), ExpectedCommand(0x02, 0, Concat(Repeat(1, 4), Repeat(0, 28))));
    LWZ_PBA(0, someLevels.data());
    EXPECT_EQ(fakePort.writes.back(), ExpectedCommand(0x03, 224, levels));
}

TEST_F(LoadedLibrary, ANullLevelPointerIsNotReadAndSendsTheBankAsItStands)
{
    const Bytes values = Ramp(9);
    LWZ_PBA(3, values.data());
    LWZ_PBA(3, nullptr);
    EXPECT_EQ(LevelsOf(3), values);
    ASSERT_EQ(fakePort.writes.size(), 2U);
    EXPECT_EQ(fakePort.writes[1], ExpectedCommand(0x03, 64, values));
}

TEST_F(LoadedLibrary, WithTheLinkClosedNothingChangesAndNothingIsSent)
{
    Load(PORT_STEP_WRITE_LINE);
    ASSERT_FALSE(IsLinkOpen());
    for (const int32_t id : {1, 4, 8, 0, 9, INT_MIN}) {
        LWZ_SBA(id, 0xFF, 0xFF, 0xFF, 0xFF);
        LWZ_PBA(id, UnreadablePage());
        LWZ_PBA(id, nullptr);
    }
    EXPECT_EQ(Snapshot(), Tables{});
    EXPECT_TRUE(fakePort.writes.empty());
}

TEST_F(LoadedLibrary, OutputCallsNeedNoAnnouncementFirst)
{
    LWZ_SBA(6, 0x01, 0, 0, 0);
    EXPECT_EQ(outputStates[160], 1);
    EXPECT_EQ(fakePort.writes.size(), 1U);
}
