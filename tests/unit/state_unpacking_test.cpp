// The bank bytes are unpacked through a table rather than bit by bit; this
// holds the table to the bit-by-bit rule for every byte value in every bank
// of every device.
#include "test_support.h"

#include <random>

TEST(StateUnpacking, EveryByteValueInEveryBankMatchesABitByBitUnpacking)
{
    ResetTables();
    std::mt19937 random(11);
    for (int32_t device = 1; device <= 8; ++device) {
        for (int position = 0; position < 4; ++position) {
            for (uint32_t value = 0; value < 256; ++value) {
                // The other banks and the bits above the low byte vary too.
                uint32_t banks[4];
                for (uint32_t &bank : banks) {
                    bank = random();
                }
                banks[position] = (random() << 8) | value;
                const Tables before = Snapshot();
                SetStatesFromBanks(device, banks[0], banks[1], banks[2], banks[3]);
                const int start = (device - 1) * 32;
                for (int index = 0; index < OUTPUT_COUNT; ++index) {
                    const int output = index - start;
                    const uint8_t expected = output >= 0 && output < 32
                                                 ? (banks[output / 8] >> (output % 8)) & 1U
                                                 : before.states[index];
                    ASSERT_EQ(outputStates[index], expected)
                        << "device " << device << " bank " << position << " value " << value
                        << " index " << index;
                }
                ASSERT_EQ(Snapshot().levels, before.levels);
            }
        }
    }
}
