#include "outputs/outputs.h"

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

void SetStatesFromBanks(int32_t deviceId, uint32_t bank0, uint32_t bank1, uint32_t bank2,
                        uint32_t bank3)
{
    uint8_t *states = &outputStates[BankStart(deviceId)];
    const uint32_t banks[4] = {bank0, bank1, bank2, bank3};
    for (int bank = 0; bank < 4; ++bank) {
        for (int bit = 0; bit < 8; ++bit) {
            states[8 * bank + bit] = static_cast<uint8_t>((banks[bank] >> bit) & 1U);
        }
    }
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
