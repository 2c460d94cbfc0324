// `brindlex check`: opens and configures the port with the library's own
// code, without loading the library, and says what happened at each step.
#pragma once

#include "link/port.h"

#include <ostream>
#include <string>

// Checks port, or the library's own port when port is empty. Returns true
// when every step succeeded; the port is closed again after.
bool CheckPort(std::ostream &out, const std::string &port);

// What a failed step most likely means for a person at the cabinet, or ""
// when there is nothing to add to the system's own message.
const char *PortFailureMeaning(const PortResult &result);
