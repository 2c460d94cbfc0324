// `brindlex set` and `brindlex level`: one command to one device, and with
// --hold the port kept open afterwards.
#pragma once

#include "cli.h"
#include "host_library.h"

// The exit status.
int RunSet(const HostLibrary &library, const cli::Invocation &invocation);
