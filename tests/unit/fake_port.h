// A double of the platform's port hooks: records every call and fails the
// open sequence at a chosen step.
#pragma once

#include "link/port.h"

#include <cstdint>
#include <vector>

struct FakePort {
    PortStep failAt = PORT_STEP_NONE;
    int opens = 0;
    int closes = 0;
    LinkHandle lastClosed = INVALID_LINK_HANDLE;
    std::vector<PortStep> stepsRun;
    std::vector<std::vector<uint8_t>> writes;
    LineReport applied{true, 256000, 8, false, 2, false}; // what the line step reports
};

constexpr LinkHandle FAKE_HANDLE = 0x5eed;

extern FakePort fakePort;

// Forgets every recorded call and lets the next open succeed.
void ResetFakePort(PortStep failAt = PORT_STEP_NONE);
