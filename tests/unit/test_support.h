// Helpers shared by the unit tests: the expected bytes of a bank command and
// a library freshly loaded against the port double.
#pragma once

#include "fake_port.h"
#include "link/link.h"
#include "outputs/outputs.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <gtest/gtest.h>
#include <vector>

using Bytes = std::vector<uint8_t>;

// A bank command written out by hand from its wire format.
inline Bytes ExpectedCommand(uint8_t command, uint8_t start, const Bytes &data)
{
    // Sized first: GCC 12 warns falsely on inserting after a braced list.
    Bytes bytes(4 + data.size());
    bytes[1] = command;
    bytes[2] = start;
    bytes[3] = 0x20;
    std::copy(data.begin(), data.end(), bytes.begin() + 4);
    return bytes;
}

inline Bytes Repeat(uint8_t value, std::size_t count)
{
    return Bytes(count, value);
}

inline Bytes Concat(Bytes a, const Bytes &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

struct Tables {
    std::array<uint8_t, OUTPUT_COUNT> states;
    std::array<uint8_t, OUTPUT_COUNT> levels;
    bool operator==(const Tables &) const = default;
};

inline Tables Snapshot()
{
    Tables tables{};
    std::copy(std::begin(outputStates), std::end(outputStates), tables.states.begin());
    std::copy(std::begin(outputLevels), std::end(outputLevels), tables.levels.begin());
    return tables;
}

// Each test starts as if the library had just been loaded in a new process.
class LoadedLibrary : public ::testing::Test {
protected:
    void Load(PortStep failAt = PORT_STEP_NONE)
    {
        CloseLink();
        ResetFakePort(failAt);
        OpenLink();
    }
    void SetUp() override { Load(); }
    void TearDown() override { CloseLink(); }
};
