// libserialport on a pseudo-terminal, for timing sp_blocking_write() on the
// same kind of port as the library's writes.
#pragma once

#include <libserialport.h>
#include <string>

// Opens the pseudo-terminal slave at slavePath through libserialport with the
// library's line settings (256000 baud, 8 data bits, no parity, 2 stop bits,
// no flow control). Throws if it cannot.
sp_port *OpenSerialportOnPty(const std::string &slavePath);
