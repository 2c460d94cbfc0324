// What the controller should be sent, worked out from the wire format alone:
// two tables of 256 entries and, per output call, the one bank command that
// call sends. Used by the fuzzer and the POSIX fault tests to check the real
// library; deliberately written without any of the library's code.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

struct OutputModel {
    using Bytes = std::vector<uint8_t>;

    std::array<uint8_t, 256> states{};
    std::array<uint8_t, 256> levels{};

    static bool Valid(int64_t device) { return device >= 1 && device <= 8; }

    // (d-1)*32 wrapped to a byte, worked out in 64 bits where nothing can
    // overflow, then reduced with a non-negative remainder.
    static int Start(int64_t device)
    {
        const int64_t first = (device - 1) * 32;
        return static_cast<int>(((first % 256) + 256) % 256);
    }

    static Bytes Command(uint8_t kind, int start, const std::array<uint8_t, 256> &table)
    {
        Bytes bytes = {0x00, kind, static_cast<uint8_t>(start), 0x20};
        for (int i = 0; i < 32; ++i) {
            bytes.push_back(table[static_cast<std::size_t>(start + i)]);
        }
        return bytes;
    }

    // LWZ_SBA: output 8b+k of the device takes bit k of bank b.
    Bytes Sba(int32_t device, uint32_t bank0, uint32_t bank1, uint32_t bank2, uint32_t bank3)
    {
        const int start = Start(device);
        if (Valid(device)) {
            const uint32_t banks[4] = {bank0, bank1, bank2, bank3};
            for (int output = 0; output < 32; ++output) {
                const uint32_t bankByte = banks[output / 8] % 256;
                states[static_cast<std::size_t>(start + output)] = (bankByte / (1U << (output % 8))) % 2 == 1 ? 1 : 0;
            }
        }
        return Command(0x02, start, states);
    }

    // LWZ_PBA: a null values pointer counts like an invalid device.
    Bytes Pba(int32_t device, const uint8_t *values)
    {
        const int start = Start(device);
        if (Valid(device) && values != nullptr) {
            for (int output = 0; output < 32; ++output) {
                levels[static_cast<std::size_t>(start + output)] = values[output];
            }
        }
        return Command(0x03, start, levels);
    }

    void Reset()
    {
        states.fill(0);
        levels.fill(0);
    }
};
