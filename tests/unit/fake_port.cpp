#include "fake_port.h"

FakePort fakePort;

void ResetFakePort(PortStep failAt)
{
    fakePort = FakePort{};
    fakePort.failAt = failAt;
}

namespace {

PortResult Run(PortStep step)
{
    fakePort.stepsRun.push_back(step);
    if (fakePort.failAt == step) {
        return PortResult{step, "fake", 5, {}};
    }
    return PortResult{PORT_STEP_NONE, nullptr, 0, {}};
}

} // namespace

const char *PortName()
{
    return "fake";
}

PortResult PortOpen(const char *, LinkHandle *handle)
{
    ++fakePort.opens;
    const PortResult result = Run(PORT_STEP_OPEN);
    if (result.failedStep == PORT_STEP_NONE) {
        *handle = FAKE_HANDLE;
    }
    return result;
}

PortResult PortConfigureLine(LinkHandle handle)
{
    if (handle != FAKE_HANDLE) {
        return PortResult{PORT_STEP_READ_LINE, "wrong handle", 9, {}};
    }
    PortResult result = Run(PORT_STEP_READ_LINE);
    if (result.failedStep == PORT_STEP_NONE) {
        result = Run(PORT_STEP_WRITE_LINE);
        result.line = fakePort.applied;
    }
    return result;
}

PortResult PortConfigureTiming(LinkHandle handle)
{
    if (handle != FAKE_HANDLE) {
        return PortResult{PORT_STEP_READ_TIMING, "wrong handle", 9, {}};
    }
    PortResult result = Run(PORT_STEP_READ_TIMING);
    if (result.failedStep == PORT_STEP_NONE) {
        result = Run(PORT_STEP_WRITE_TIMING);
    }
    return result;
}

void PortWrite(LinkHandle handle, const uint8_t *data, std::size_t size)
{
    if (handle == FAKE_HANDLE) {
        fakePort.writes.emplace_back(data, data + size);
    }
}

void PortClose(LinkHandle handle)
{
    ++fakePort.closes;
    fakePort.lastClosed = handle;
}
