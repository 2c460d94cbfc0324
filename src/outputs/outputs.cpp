#include "outputs/outputs.h"

#include <array>
#include <cstring>

uint8_t outputStates[OUTPUT_COUNT];
uint8_t outputLevels[OUTPUT_COUNT];
uint8_t txBuffer[BANK_COMMAND_SIZE];

bool IsValidDevice(int32_t deviceId)
{
    return deviceId >= 1 && deviceId <= DEVICES_PER_LINK * LINK_COUNT;
}

uint8_t BankStart(int32_t deviceId)
{
    // Unsigned arithmetic wraps exactly like two's complement and, unlike
    // signed arithmetic, cannot overflow for ids near INT_MIN or INT_MAX.
    const uint32_t first = (static_cast<uint32_t>(deviceId) - 1U) * OUTPUTS_PER_DEVICE;
    return static_cast<uint8_t>(first & 0xFFU);
}

void ResetTables()
{
    std::memset(outputStates, 0, sizeof outputStates);
    std::memset(outputLevels, 0, sizeof outputLevels);
}

// The 8 states of every bank byte, bit k in byte k, worked out by the
// compiler: a bank is then stored with one 8-byte copy instead of 8 shifts,
// which keeps an output call's own work small next to its write.
using BankStates = std::array<uint8_t, 8>;

static constexpr std::array<BankStates, 256> StatesOfEveryBank()
{
    std::array<BankStates, 256> table{};
    for (std::size_t bank = 0; bank < table.size(); ++bank) {
        for (std::size_t bit = 0; bit < 8; ++bit) {
            table[bank][bit] = static_cast<uint8_t>((bank >> bit) & 1U);
        }
    }
    return table;
}

static constexpr std::array<BankStates, 256> statesOfBank = StatesOfEveryBank();

void SetStatesFromBanks(int32_t deviceId, uint32_t bank0, uint32_t bank1, uint32_t bank2,
                        uint32_t bank3)
{
    uint8_t *states = &outputStates[BankStart(deviceId)];
    std::memcpy(states, statesOfBank[bank0 & 0xFFU].data(), 8);
    std::memcpy(states + 8, statesOfBank[bank1 & 0xFFU].data(), 8);
    std::memcpy(states + 16, statesOfBank[bank2 & 0xFFU].data(), 8);
    std::memcpy(states + 24, statesOfBank[bank3 & 0xFFU].data(), 8);
}

void SetLevels(int32_t deviceId, const uint8_t *values)
{
    std::memcpy(&outputLevels[BankStart(deviceId)], values, OUTPUTS_PER_DEVICE);
}

std::size_t BuildBank(uint8_t command, uint8_t start)
{
    const uint8_t *table = command == CMD_SET_STATES ? outputStates : outputLevels;
    txBuffer[0] = 0x00;
    txBuffer[1] = command;
    txBuffer[2] = start;
    txBuffer[3] = OUTPUTS_PER_DEVICE;
    std::memcpy(&txBuffer[BANK_HEADER_SIZE], &table[start], OUTPUTS_PER_DEVICE);
    return BANK_COMMAND_SIZE;
}
