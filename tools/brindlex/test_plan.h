// What `brindlex test` sends, worked out before anything is sent: pure, so
// that the rule a cabinet depends on (one output on at a time, never for
// long) can be checked over every step.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace test_plan {

// A coil made for short pulses burns when held: no output stays on longer,
// whatever the delay between steps.
constexpr int LONGEST_ON_MS = 1000;

struct Step {
    int32_t device = 0;
    bool levels = false;                // false: a states command
    uint32_t states = 0;                // bit n: output n on
    std::array<uint8_t, 32> values{};   // the levels
    int pauseMs = 0;                    // wait after sending it
    std::string shown;                  // progress to show once sent, or empty
};

// devices: bit d-1 is device d; outputs: bit n is output n of each of them.
// Every output of the cabinet off first, as a controller may still hold what
// an earlier program set; then each chosen output on alone in turn; then each
// device's levels ramped up and down while its chosen outputs take turns.
// The last step switches the last device off again.
std::vector<Step> Plan(uint8_t devices, uint32_t outputs, int delayMs);

// Every state and every level of all eight devices off.
std::vector<Step> AllOff();

} // namespace test_plan
