// The one serial link to the controller: opened at load, written by the
// output calls, closed at unload.
#pragma once

#include "link/port.h"
#include "outputs/outputs.h"

#include <cstdint>

// One entry per link; INVALID_LINK_HANDLE while that link is closed.
extern LinkHandle linkHandles[1];

// Opens and configures the named port step by step, closing it again if any
// step fails. Shared by the library and the check tool, which prints the
// result and may check another port than the library's.
PortResult OpenAndConfigurePort(const char *name, LinkHandle *handle);

// Load: resets the output tables, then opens the link. Silent on failure.
void OpenLink();

// Unload: closes the link if it is open.
void CloseLink();

bool IsLinkOpen();

// Builds the bank command and, only while the link is open, writes it.
// Inline so that each export gets its own copy with its command fixed.
inline void SendBank(uint8_t command, uint8_t start)
{
    const std::size_t length = BuildBank(command, start);
    if (linkHandles[0] == INVALID_LINK_HANDLE) {
        return;
    }
    PortWrite(linkHandles[0], txBuffer, length);
}
