#include "test_support.h"

#include <climits>
#include <random>

TEST(BankStart, IsTheLowByteOfTheTwosComplementStartForEveryId)
{
    const int32_t ids[] = {1, 2, 3, 8, 9, 0, -1, -7, 16, 17, 255, 256, 257,
                           INT_MAX, INT_MAX - 1, INT_MIN, INT_MIN + 1, 0x08000001, -0x08000000};
    for (const int32_t id : ids) {
        // Model in 64-bit arithmetic, reduced modulo 256 the mathematical way.
        const int64_t start = (static_cast<int64_t>(id) - 1) * 32;
        const auto expected = static_cast<uint8_t>(((start % 256) + 256) % 256);
        EXPECT_EQ(BankStart(id), expected) << "id " << id;
        EXPECT_EQ(BankStart(id) % 32, 0) << "id " << id;
    }
    EXPECT_EQ(BankStart(1), 0);
    EXPECT_EQ(BankStart(8), 224);
    EXPECT_EQ(BankStart(9), 0);
    EXPECT_EQ(BankStart(0), 224);
}

TEST(DeviceIds, OnlyOneToEightAreValid)
{
    for (int32_t id = -3; id <= 12; ++id) {
        EXPECT_EQ(IsValidDevice(id), id >= 1 && id <= 8) << "id " << id;
    }
    EXPECT_FALSE(IsValidDevice(INT_MIN));
    EXPECT_FALSE(IsValidDevice(INT_MAX));
}

TEST(Tables, BanksUnpackBitByBitIntoZeroOrOne)
{
    ResetTables();
    SetStatesFromBanks(3, 0x01, 0x00, 0x00, 0x80);
    for (int index = 0; index < OUTPUT_COUNT; ++index) {
        const bool on = index == 64 || index == 95;
        EXPECT_EQ(outputStates[index], on ? 1 : 0) << "index " << index;
    }

    // Every bit pattern lands at 8*b + k and only as 0 or 1; bits above the
    // low byte are ignored.
    std::mt19937 random(7);
    for (int round = 0; round < 200; ++round) {
        uint32_t banks[4];
        for (uint32_t &bank : banks) {
            bank = random();
        }
        const int device = 1 + round % 8;
        SetStatesFromBanks(device, banks[0], banks[1], banks[2], banks[3]);
        for (int output = 0; output < 32; ++output) {
            const uint8_t expected = (banks[output / 8] >> (output % 8)) & 1U;
            ASSERT_EQ(outputStates[(device - 1) * 32 + output], expected)
                << "device " << device << " output " << output;
        }
    }
}

TEST(Tables, LevelsAreCopiedUnchangedIntoTheirDeviceOnly)
{
    ResetTables();
    uint8_t values[32];
    for (int n = 0; n < 32; ++n) {
        values[n] = static_cast<uint8_t>(0xFF - n * 3);
    }
    SetLevels(2, values);
    for (int index = 0; index < OUTPUT_COUNT; ++index) {
        const bool inDevice = index >= 32 && index < 64;
        EXPECT_EQ(outputLevels[index], inDevice ? values[index - 32] : 0) << "index " << index;
        EXPECT_EQ(outputStates[index], 0) << "index " << index;
    }
}

TEST(BankCommand, CarriesTheNamedTableWholeAfterTheFourByteHeader)
{
    ResetTables();
    for (int index = 0; index < OUTPUT_COUNT; ++index) {
        outputLevels[index] = static_cast<uint8_t>(index ^ 0x5A);
    }
    SetStatesFromBanks(1, 0xFF, 0xFF, 0xFF, 0xFF);

    ASSERT_EQ(BuildBank(CMD_SET_STATES, 0), 36U);
    EXPECT_EQ(Bytes(txBuffer, txBuffer + 36), ExpectedCommand(0x02, 0x00, Repeat(0x01, 32)));

    ASSERT_EQ(BuildBank(CMD_SET_LEVELS, 224), 36U);
    EXPECT_EQ(Bytes(txBuffer, txBuffer + 36),
              ExpectedCommand(0x03, 0xE0, Bytes(outputLevels + 224, outputLevels + 256)));
}

TEST(BankCommand, AfterResetBothTablesSendZerosForEveryBank)
{
    for (int index = 0; index < OUTPUT_COUNT; ++index) {
        outputStates[index] = 1;
        outputLevels[index] = 0xEE;
    }
    ResetTables();
    for (int start = 0; start < OUTPUT_COUNT; start += 32) {
        for (const uint8_t command : {CMD_SET_STATES, CMD_SET_LEVELS}) {
            BuildBank(command, static_cast<uint8_t>(start));
            EXPECT_EQ(Bytes(txBuffer, txBuffer + 36),
                      ExpectedCommand(command, static_cast<uint8_t>(start), Repeat(0, 32)));
        }
    }
}
