#include "test_command.h"

#include "cli.h"
#include "console.h"
#include "exit_status.h"
#include "test_plan.h"

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <string>

#ifdef _WIN32
#include <io.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <unistd.h>
#endif

namespace {

// On a terminal one line redrawn in place; elsewhere a line per step.
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

void Send(const HostLibrary &library, const test_plan::Step &step)
{
    if (step.levels) {
        library.pba(step.device, step.values.data());
    } else {
        const auto banks = cli::Banks(step.states);
        library.sba(step.device, banks[0], banks[1], banks[2], banks[3]);
    }
}

} // namespace

int RunTest(const HostLibrary &library, uint8_t devices, uint32_t outputs, int delayMs)
{
    CatchInterrupts();
    std::cout << "outputs fire one at a time, none on for more than " << std::min(delayMs, test_plan::LONGEST_ON_MS)
              << " ms; leave coils out with --device and --outputs\n";
    long commands = 0;
    bool completed = true;
    Progress progress;
    for (const test_plan::Step &step : test_plan::Plan(devices, outputs, delayMs)) {
        // The call under way is finished, never one more begun.
        if (InterruptRequested()) {
            completed = false;
            break;
        }
        Send(library, step);
        ++commands;
        if (!step.shown.empty()) {
            progress.Show(step.shown);
        }
        if (!PauseUnlessInterrupted(step.pauseMs)) {
            completed = false;
            break;
        }
    }
    progress.Done();
    // Everything off, levels included, whatever the walk left behind.
    for (const test_plan::Step &step : test_plan::AllOff()) {
        Send(library, step);
        ++commands;
    }
    if (!completed) {
        std::cout << "test interrupted: every output and level of every device switched off (" << commands
                  << " commands sent)\n";
        return EXIT_INTERRUPTED;
    }
    std::cout << "test done: " << commands << " commands sent, every output off\n";
    return 0;
}
