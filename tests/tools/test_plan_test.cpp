#include "test_plan.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bitset>

// Over every step of the plan, for short and long delays and for a limited
// selection: one output on at most, never for longer than the limit, and
// every chosen output lit, as time passes by the delay between steps.
TEST(TestPlan, OneOutputOnAtATimeAndNeverLongerThanTheLimit)
{
    for (const int delay : {0, 100, 1000, 1500, 60000}) {
        for (const auto &[devices, outputs] : {std::pair<uint8_t, uint32_t>{0xFF, 0xFFFFFFFFU}, {0x05, 0x80000101U}}) {
            std::array<uint32_t, 8> states{};
            std::array<uint32_t, 8> lit{};
            long onSince = 0;
            long now = 0;
            long paused = 0;
            for (const test_plan::Step &step : test_plan::Plan(devices, outputs, delay)) {
                ASSERT_TRUE(step.device >= 1 && step.device <= 8);
                const std::array<uint32_t, 8> before = states;
                if (step.levels) {
                    for (int n = 0; n < 32; ++n) {
                        EXPECT_TRUE(step.values[n] == 0 || ((outputs >> n) & 1U)) << "a level for output " << n;
                    }
                } else {
                    states[step.device - 1] = step.states;
                    lit[step.device - 1] |= step.states;
                }
                int on = 0;
                for (const uint32_t s : states) {
                    on += static_cast<int>(std::bitset<32>(s).count());
                }
                ASSERT_LE(on, 1) << "delay " << delay;
                if (states != before) {
                    onSince = now;
                }
                now += step.pauseMs;
                paused += step.pauseMs;
                if (on == 1) {
                    ASSERT_LE(now - onSince, test_plan::LONGEST_ON_MS) << "delay " << delay;
                }
            }
            for (int d = 0; d < 8; ++d) {
                EXPECT_EQ(states[d], 0U) << "the plan ends dark";
                EXPECT_EQ(lit[d], (devices >> d) & 1U ? outputs : 0U) << "device " << d + 1;
            }
            // A step per chosen output and 31 ramp steps per device, each the delay long.
            const long chosen = static_cast<long>(std::bitset<32>(outputs).count());
            EXPECT_EQ(paused, static_cast<long>(std::bitset<8>(devices).count()) * (chosen + 31) * delay);
        }
    }
}
