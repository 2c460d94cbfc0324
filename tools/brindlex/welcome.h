// What a double-click on the tool shows: the port checked, the devices the
// library announces and what to type next, in a window that stays open.
#pragma once

#include <string>

// The exit status: 0 when the library announced its devices.
int RunWelcome(const std::string &version);
