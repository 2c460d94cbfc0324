// What the panel needs of the system besides sockets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Fills data from the system's cryptographic random source; false when it
// cannot.
bool RandomBytes(uint8_t *data, std::size_t size);

// Opens url in the person's browser, without waiting for it; false when there
// is no desktop to open it on or it could not be started.
bool OpenBrowser(const std::string &url);
