#include "welcome.h"

#include "console.h"
#include "exit_status.h"
#include "host_library.h"
#include "port_check.h"

#include <iostream>

int RunWelcome(const std::string &version)
{
    std::cout << "brindlex " << version << ": checking the controller's port and the library beside this program\n\n";
    bool announced = false;
    if (CheckPort(std::cout, "")) {
        HostLibrary library;
        std::string error;
        if (!LoadHostLibrary("", library, error)) {
            std::cout << "\n" << error << "\n";
        } else {
            const std::vector<int32_t> devices = AnnouncedDevices(library);
            UnloadHostLibrary(library);
            announced = !devices.empty();
            std::cout << "\ndevices announced:";
            for (const int32_t id : devices) {
                std::cout << " " << id;
            }
            std::cout << (announced ? "\n" : " none: another program may have taken the port just now\n");
        }
    }
    std::cout << "\nWhat next: open a command prompt in this folder (type cmd in the Explorer\n"
                 "address bar) and type one of\n"
                 "  brindlex test              each output on alone, in turn (leave coils out with\n"
                 "                             --device and --outputs, see brindlex test --help)\n"
                 "  brindlex set 3 0 4-7       device 3: outputs 0 and 4 to 7 on, the rest off\n"
                 "  brindlex check             this check again\n"
                 "  brindlex --help            every command\n\n";
    WaitForEnter();
    return announced ? 0 : EXIT_PORT;
}
