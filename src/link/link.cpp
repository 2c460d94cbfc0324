#include "link/link.h"

#include "outputs/outputs.h"

static_assert(LINK_COUNT == 1, "linkHandles has one entry");

LinkHandle linkHandles[1] = {INVALID_LINK_HANDLE};

PortResult OpenAndConfigurePort(const char *name, LinkHandle *handle)
{
    *handle = INVALID_LINK_HANDLE;
    LinkHandle opened = INVALID_LINK_HANDLE;
    PortResult result = PortOpen(name, &opened);
    if (result.failedStep != PORT_STEP_NONE) {
        return result;
    }
    result = PortConfigureLine(opened);
    if (result.failedStep == PORT_STEP_NONE) {
        // What the driver applied stays part of the answer.
        const LineReport line = result.line;
        result = PortConfigureTiming(opened);
        result.line = line;
    }
    if (result.failedStep != PORT_STEP_NONE) {
        PortClose(opened);
        return result;
    }
    *handle = opened;
    return result;
}

void OpenLink()
{
    ResetTables();
    linkHandles[0] = INVALID_LINK_HANDLE;
    LinkHandle handle = INVALID_LINK_HANDLE;
    // A port that cannot be opened leaves the link closed for the life of
    // the process; the host only sees that no device is announced.
    if (OpenAndConfigurePort(PortName(), &handle).failedStep == PORT_STEP_NONE) {
        linkHandles[0] = handle;
    }
}

void CloseLink()
{
    if (linkHandles[0] != INVALID_LINK_HANDLE) {
        PortClose(linkHandles[0]);
        linkHandles[0] = INVALID_LINK_HANDLE;
    }
}

bool IsLinkOpen()
{
    return linkHandles[0] != INVALID_LINK_HANDLE;
}
