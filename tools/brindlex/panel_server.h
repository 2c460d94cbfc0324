// The panel's HTTP server: one thread, so that the library is called from one
// thread at a time, pulse ends included. Listens on 127.0.0.1 only.
#pragma once

#include "panel_logic.h"

#include <cstdint>
#include <memory>
#include <string>

class PanelServer {
public:
    PanelServer();
    ~PanelServer();
    // port 0: the system picks a free one. False, with the reason, when it
    // cannot listen there.
    bool Listen(uint16_t port, std::string &error);
    uint16_t port() const;
    // Serves until the page asks to quit (false) or an interrupt is asked
    // for (true).
    bool Run(panel::Panel &panel);

    struct State; // the sockets, kept out of this header

private:
    std::unique_ptr<State> state_;
};
