// brindlex: switches a cabinet's outputs by hand through the real library,
// and says why the port does not open when it does not.
#include "cli.h"
#include "console.h"
#include "exit_status.h"
#include "host_library.h"
#include "library_file.h"
#include "port_check.h"
#include "ports.h"
#include "set_command.h"
#include "panel_command.h"
#include "test_command.h"

#include <iostream>

#ifndef BRINDLEX_VERSION
#error "BRINDLEX_VERSION must be the project's version"
#endif

namespace {

// The library says nothing when its port failed; check says what went wrong.
int ExplainNoDevices()
{
    std::cout << "no device announced: the library could not open its port\n";
    CheckPort(std::cout, "");
    return EXIT_PORT;
}

int Run(const cli::Invocation &invocation)
{
    if (invocation.action == cli::Action::Check) {
        return CheckPort(std::cout, invocation.port) ? 0 : EXIT_PORT;
    }
    // Reads what the system lists; loading the library would open its port.
    if (invocation.action == cli::Action::Ports) {
        return RunPorts(std::cout, std::cerr, invocation.udevRulePort);
    }
    HostLibrary library;
    std::string error;
    if (!LoadHostLibrary(invocation.library, library, error)) {
        std::cerr << "brindlex: " << error << "\n";
        return EXIT_LIBRARY;
    }
    const std::vector<int32_t> devices = AnnouncedDevices(library);
    const bool panel = invocation.action == cli::Action::Panel || invocation.action == cli::Action::Welcome;
    // The panel shows why on its page.
    if (devices.empty() && !panel) {
        UnloadHostLibrary(library);
        return ExplainNoDevices();
    }
    int status = 0;
    if (invocation.settleMs > 0) {
        // A board that restarted as the port opened ignores the line while it boots.
        CatchInterrupts();
        std::cout << "waiting " << invocation.settleMs << " ms for the board to start\n";
        if (!PauseUnlessInterrupted(invocation.settleMs)) {
            UnloadHostLibrary(library);
            std::cout << "interrupted before anything was sent\n";
            InterruptHandled();
            return EXIT_INTERRUPTED;
        }
    }
    switch (invocation.action) {
    case cli::Action::Devices:
        std::cout << "devices announced:";
        for (const int32_t id : devices) {
            std::cout << " " << id;
        }
        std::cout << "\n";
        break;
    case cli::Action::Set:
    case cli::Action::Level:
        status = RunSet(library, invocation);
        break;
    case cli::Action::Test:
        std::cout << "devices announced: " << devices.size() << "\n";
        status = RunTest(library, invocation.testDevices, invocation.testOutputs, invocation.delayMs);
        break;
    case cli::Action::Panel:
    case cli::Action::Welcome:
        status = RunPanel(library, devices, invocation,
                          std::string("brindlex ") + BRINDLEX_VERSION + " (" + ProgramArchitecture() + ")");
        break;
    default:
        break;
    }
    UnloadHostLibrary(library);
    // A console closing on Windows waits for this before it ends the process.
    InterruptHandled();
    return status;
}

} // namespace

int main(int argc, char **argv)
{
    SendWholeLines();
    const cli::Parsed parsed = cli::Parse(std::vector<std::string>(argv + 1, argv + argc), ConsoleOfItsOwn());
    if (!parsed.ok) {
        std::cerr << "brindlex: " << parsed.error << " (see brindlex --help)\n";
        return EXIT_USAGE;
    }
    if (parsed.invocation.action == cli::Action::Help) {
        std::cout << parsed.help;
        return 0;
    }
    if (parsed.invocation.action == cli::Action::Version) {
        std::cout << "brindlex " << BRINDLEX_VERSION << " (" << ProgramArchitecture() << ")\n"
                  << "library " << DescribeLibrary(parsed.invocation.library) << "\n";
        return 0;
    }
    const int status = Run(parsed.invocation);
    // A window of its own closes with the tool: let the person read why first.
    if (parsed.invocation.action == cli::Action::Welcome && status != 0 && status != EXIT_INTERRUPTED) {
        WaitForEnter();
    }
    return status;
}
