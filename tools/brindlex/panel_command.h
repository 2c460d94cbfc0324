// `brindlex panel`: the cabinet's outputs as a page in the browser, served
// on the loopback interface while the tool keeps the library loaded.
#pragma once

#include "cli.h"
#include "host_library.h"

#include <cstdint>
#include <string>
#include <vector>

// devices: what the library announced. The exit status: 0 after the page's
// Quit, 130 when interrupted, 1 when it cannot listen.
int RunPanel(const HostLibrary &library, const std::vector<int32_t> &devices, const cli::Invocation &invocation,
             const std::string &tool);
