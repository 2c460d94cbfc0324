#include "set_command.h"

#include "console.h"

#include <iostream>

int RunSet(const HostLibrary &library, const cli::Invocation &invocation)
{
    if (invocation.action == cli::Action::Set) {
        const auto banks = cli::Banks(invocation.outputs);
        library.sba(invocation.device, banks[0], banks[1], banks[2], banks[3]);
        std::cout << "device " << invocation.device << ": outputs set\n";
    } else {
        library.pba(invocation.device, invocation.levels.data());
        std::cout << "device " << invocation.device << ": levels set\n";
    }
    if (invocation.hold) {
        // A board that restarts when its port closes would drop what was
        // just set: keep the port open, and send nothing more.
        CatchInterrupts();
        std::cout << "holding: the port stays open and the outputs as set until Ctrl-C\n";
        while (PauseUnlessInterrupted(1000)) {
        }
        std::cout << "released: the library closes the port; nothing more was sent\n";
    }
    return 0;
}
