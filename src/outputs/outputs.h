// The library's mirror of the controller's 256 outputs and the one message
// that carries a bank of it over the link.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr int OUTPUT_COUNT = 256;
constexpr int OUTPUTS_PER_DEVICE = 32;
constexpr int DEVICES_PER_LINK = 8;
constexpr int LINK_COUNT = 1;

constexpr uint8_t CMD_SET_STATES = 0x02;
constexpr uint8_t CMD_SET_LEVELS = 0x03;
constexpr std::size_t BANK_HEADER_SIZE = 4;
constexpr std::size_t BANK_COMMAND_SIZE = BANK_HEADER_SIZE + OUTPUTS_PER_DEVICE;

// One byte per output: 0 (off) or 1 (on).
extern uint8_t outputStates[OUTPUT_COUNT];
// One byte per output: the host's last level, unchanged.
extern uint8_t outputLevels[OUTPUT_COUNT];
// Every bank command is built here whole before it is written.
extern uint8_t txBuffer[BANK_COMMAND_SIZE];

// True for the device ids the host may address, 1 to 8.
bool IsValidDevice(int32_t deviceId);

// The first output index of a device's bank: the low 8 bits of (d-1)*32 in
// two's-complement arithmetic, so always a multiple of 32 from 0 to 224, for
// any id at all.
uint8_t BankStart(int32_t deviceId);

void ResetTables();

// The device must be valid. Bit k of bank b becomes output 8*b + k; only the
// low 8 bits of each bank count.
void SetStatesFromBanks(int32_t deviceId, uint32_t bank0, uint32_t bank1, uint32_t bank2,
                        uint32_t bank3);

// The device must be valid and values must point at 32 readable bytes.
void SetLevels(int32_t deviceId, const uint8_t *values);

// Fills txBuffer with the bank command for the 32 entries from start of the
// table that command names; start must be a multiple of 32. Returns the
// command's length, always BANK_COMMAND_SIZE.
std::size_t BuildBank(uint8_t command, uint8_t start);
