// brindlex: switches a cabinet's outputs by hand through the real library,
// and says why the port does not open when it does not.
#include "cli.h"
#include "console.h"
#include "host_library.h"
#include "library_file.h"
#include "port_check.h"
#include "ports.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <thread>

#ifdef _WIN32
#include <io.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <unistd.h>
#endif

#ifndef BRINDLEX_VERSION
#error "BRINDLEX_VERSION must be the project's version"
#endif

namespace {

constexpr int EXIT_PORT = 1;
constexpr int EXIT_USAGE = 2;
constexpr int EXIT_LIBRARY = 3;
constexpr int EXIT_INTERRUPTED = 130;

std::vector<int32_t> announced;

void BRINDLEX_CALL OnDevice(int32_t reason, int32_t id)
{
    if (reason == BRINDLEX_REASON_DEVICE_ARRIVED) {
        announced.push_back(id);
    }
}

std::vector<int32_t> AnnouncedDevices(const HostLibrary &library)
{
    announced.clear();
    DeviceList list{};
    library.setNotify(OnDevice, &list);
    return announced;
}

// The library says nothing when its port failed; check says what went wrong.
int ExplainNoDevices()
{
    std::cout << "no device announced: the library could not open its port\n";
    CheckPort(std::cout, "");
    return EXIT_PORT;
}

class Progress {
public:
    Progress() : terminal_(isatty(fileno(stdout)) != 0) {}
    void Show(const std::string &text)
    {
        if (terminal_) {
            std::cout << "\r" << text << "\x1b[K" << std::flush;
        } else {
            std::cout << text << "\n";
        }
    }
    void Done()
    {
        if (terminal_) {
            std::cout << "\n";
        }
    }

private:
    bool terminal_;
};

// Waits delayMs in short steps; false as soon as an interrupt is asked for.
bool Pause(int delayMs)
{
    for (int waited = 0; waited < delayMs && !InterruptRequested(); waited += 10) {
        std::this_thread::sleep_for(std::chrono::milliseconds(std::min(10, delayMs - waited)));
    }
    return !InterruptRequested();
}

// The walk itself; false when interrupted, after the call under way.
bool Walk(const HostLibrary &library, int delayMs, long &commands)
{
    Progress progress;
    for (int32_t device = 1; device <= 8; ++device) {
        for (int output = 0; output < 32; ++output) {
            const auto banks = cli::Banks(1U << output);
            library.sba(device, banks[0], banks[1], banks[2], banks[3]);
            ++commands;
            progress.Show("device " + std::to_string(device) + " output " + std::to_string(output) + " on");
            if (!Pause(delayMs)) {
                progress.Done();
                return false;
            }
        }
        library.sba(device, 0, 0, 0, 0);
        ++commands;
    }
    std::array<uint8_t, 32> levels{};
    for (int32_t device = 1; device <= 8; ++device) {
        library.sba(device, -1, -1, -1, -1);
        ++commands;
        for (int step = 0; step <= 30; ++step) {
            // Up to 255 and back down to 0.
            const int level = step <= 15 ? step * 17 : (30 - step) * 17;
            levels.fill(static_cast<uint8_t>(level));
            library.pba(device, levels.data());
            ++commands;
            progress.Show("device " + std::to_string(device) + " level " + std::to_string(level));
            if (!Pause(delayMs)) {
                progress.Done();
                return false;
            }
        }
        library.sba(device, 0, 0, 0, 0);
        ++commands;
    }
    progress.Done();
    return true;
}

int RunTest(const HostLibrary &library, int delayMs)
{
    CatchInterrupts();
    long commands = 0;
    const bool completed = Walk(library, delayMs, commands);
    // Everything off, levels included, whatever the walk left behind.
    const std::array<uint8_t, 32> off{};
    for (int32_t device = 1; device <= 8; ++device) {
        library.sba(device, 0, 0, 0, 0);
        library.pba(device, off.data());
        commands += 2;
    }
    if (!completed) {
        std::cout << "test interrupted: every output and level of every device switched off (" << commands
                  << " commands sent)\n";
        InterruptHandled();
        return EXIT_INTERRUPTED;
    }
    std::cout << "test done: " << commands << " commands sent, every output off\n";
    return 0;
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
    int status = 0;
    if (devices.empty()) {
        UnloadHostLibrary(library);
        return ExplainNoDevices();
    }
    switch (invocation.action) {
    case cli::Action::Devices:
        std::cout << "devices announced:";
        for (const int32_t id : devices) {
            std::cout << " " << id;
        }
        std::cout << "\n";
        break;
    case cli::Action::Set: {
        const auto banks = cli::Banks(invocation.outputs);
        library.sba(invocation.device, banks[0], banks[1], banks[2], banks[3]);
        std::cout << "device " << invocation.device << ": outputs set\n";
        break;
    }
    case cli::Action::Level:
        library.pba(invocation.device, invocation.levels.data());
        std::cout << "device " << invocation.device << ": levels set\n";
        break;
    case cli::Action::Test:
        std::cout << "devices announced: " << devices.size() << "\n";
        status = RunTest(library, invocation.delayMs);
        break;
    default:
        break;
    }
    UnloadHostLibrary(library);
    return status;
}

// The tool's version and the library it would load, read from the file: loading
// it would open the port.
void ShowVersion(const std::string &libraryOption)
{
    std::cout << "brindlex " << BRINDLEX_VERSION << " (" << ProgramArchitecture() << ")\n";
    const std::string path = libraryOption.empty() ? LibraryBesideProgram() : libraryOption;
    const LibraryFile file = InspectLibrary(path);
    std::string about;
    if (!file.exists) {
        about = "not found";
    } else if (!file.library) {
        about = "not a shared library";
    } else {
        const std::string version = LibraryVersion(path);
        about = "version " + (version.empty() ? std::string("unknown") : version);
        if (!file.soname.empty()) {
            about += ", soname " + file.soname;
        }
        about += ", " + file.architecture;
        if (!file.runsHere) {
            about += ": not loadable by this brindlex";
        }
    }
    std::cout << "library " << path << " (" << about << ")\n";
}

} // namespace

int main(int argc, char **argv)
{
    SendWholeLines();
    const cli::Parsed parsed = cli::Parse(std::vector<std::string>(argv + 1, argv + argc));
    if (!parsed.ok) {
        std::cerr << "brindlex: " << parsed.error << " (see brindlex --help)\n";
        return EXIT_USAGE;
    }
    if (parsed.invocation.action == cli::Action::Help) {
        std::cout << parsed.help;
        return 0;
    }
    if (parsed.invocation.action == cli::Action::Version) {
        ShowVersion(parsed.invocation.library);
        return 0;
    }
    return Run(parsed.invocation);
}
