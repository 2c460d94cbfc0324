// The tool's exit statuses, as its help and man page give them.
#pragma once

constexpr int EXIT_PORT = 1;
constexpr int EXIT_USAGE = 2;
constexpr int EXIT_LIBRARY = 3;
constexpr int EXIT_INTERRUPTED = 130;
