#include "test_plan.h"

#include <algorithm>

namespace test_plan {

namespace {

Step States(int32_t device, uint32_t states, int pauseMs = 0, std::string shown = {})
{
    Step step;
    step.device = device;
    step.states = states;
    step.pauseMs = pauseMs;
    step.shown = std::move(shown);
    return step;
}

Step Levels(int32_t device, const std::array<uint8_t, 32> &values)
{
    Step step;
    step.device = device;
    step.levels = true;
    step.values = values;
    return step;
}

// One output on for the step's delay, but never longer than LONGEST_ON_MS:
// past that it goes off and the rest of the delay passes dark.
void LightAlone(std::vector<Step> &plan, int32_t device, int output, int delayMs, const std::string &shown)
{
    plan.push_back(States(device, 1U << output, std::min(delayMs, LONGEST_ON_MS), shown));
    if (delayMs > LONGEST_ON_MS) {
        plan.push_back(States(device, 0, delayMs - LONGEST_ON_MS));
    }
}

} // namespace

std::vector<Step> Plan(uint8_t devices, uint32_t outputs, int delayMs)
{
    std::vector<Step> plan;
    for (int32_t device = 1; device <= 8; ++device) {
        plan.push_back(States(device, 0));
    }
    std::vector<int> chosen;
    for (int output = 0; output < 32; ++output) {
        if ((outputs >> output) & 1U) {
            chosen.push_back(output);
        }
    }
    if (chosen.empty()) {
        return plan;
    }
    for (int32_t device = 1; device <= 8; ++device) {
        if ((devices >> (device - 1)) & 1U) {
            for (const int output : chosen) {
                LightAlone(plan, device, output, delayMs,
                           "device " + std::to_string(device) + " output " + std::to_string(output) + " on");
            }
            plan.push_back(States(device, 0));
        }
    }
    // Up to 255 and back down to 0 in 31 steps; at each step the device's
    // chosen outputs all take the level and the next of them lights alone.
    for (int32_t device = 1; device <= 8; ++device) {
        if ((devices >> (device - 1)) & 1U) {
            for (int step = 0; step <= 30; ++step) {
                const int level = step <= 15 ? step * 17 : (30 - step) * 17;
                std::array<uint8_t, 32> values{};
                for (const int output : chosen) {
                    values[static_cast<std::size_t>(output)] = static_cast<uint8_t>(level);
                }
                plan.push_back(Levels(device, values));
                const int output = chosen[static_cast<std::size_t>(step) % chosen.size()];
                LightAlone(plan, device, output, delayMs,
                           "device " + std::to_string(device) + " level " + std::to_string(level) + ", output " +
                               std::to_string(output) + " on");
            }
            plan.push_back(States(device, 0));
        }
    }
    return plan;
}

std::vector<Step> AllOff()
{
    std::vector<Step> steps;
    for (int32_t device = 1; device <= 8; ++device) {
        steps.push_back(States(device, 0));
        steps.push_back(Levels(device, {}));
    }
    return steps;
}

} // namespace test_plan
