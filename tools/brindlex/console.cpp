#include "console.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <thread>
#include <streambuf>
#include <string>

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

// Collects a line and hands it to stdio in one piece, flushed at once.
class WholeLines : public std::streambuf {
public:
    explicit WholeLines(std::FILE *file) : file_(file) {}

protected:
    int_type overflow(int_type c) override
    {
        if (!traits_type::eq_int_type(c, traits_type::eof())) {
            line_ += traits_type::to_char_type(c);
            if (c == '\n') {
                Emit();
            }
        }
        return traits_type::not_eof(c);
    }
    std::streamsize xsputn(const char *text, std::streamsize size) override
    {
        for (std::streamsize n = 0; n < size; ++n) {
            overflow(traits_type::to_int_type(text[n]));
        }
        return size;
    }
    // A progress line ends in a carriage return rather than a newline and is
    // flushed explicitly.
    int sync() override
    {
        Emit();
        return 0;
    }

private:
    void Emit()
    {
        if (!line_.empty()) {
            std::fwrite(line_.data(), 1, line_.size(), file_);
            std::fflush(file_);
            line_.clear();
        }
    }
    std::FILE *file_;
    std::string line_;
};

volatile std::sig_atomic_t interruptRequested = 0;

#ifdef _WIN32
volatile LONG handled = 0;

BOOL WINAPI OnConsoleEvent(DWORD event)
{
    interruptRequested = 1;
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
        // Windows ends the process when this returns: give the walk time to
        // switch everything off first.
        for (int waited = 0; waited < 4500 && handled == 0; waited += 10) {
            Sleep(10);
        }
    }
    return TRUE;
}
#else
void OnSignal(int)
{
    interruptRequested = 1;
}
#endif

} // namespace

void SendWholeLines()
{
    // Large enough for any line, so that one fflush is one write.
    static char outBuffer[1 << 16];
    static char errorBuffer[1 << 16];
    std::setvbuf(stdout, outBuffer, _IOFBF, sizeof outBuffer);
    std::setvbuf(stderr, errorBuffer, _IOFBF, sizeof errorBuffer);
    // Never destroyed: std::cout still flushes through its buffer at exit,
    // after function-local statics are gone.
    std::cout.rdbuf(new WholeLines(stdout));
    std::cerr.rdbuf(new WholeLines(stderr));
}

void CatchInterrupts()
{
#ifdef _WIN32
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
#else
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    // The terminal closing: as on Windows, finish the call under way first.
    sigaction(SIGHUP, &action, nullptr);
#endif
}

bool PauseUnlessInterrupted(int ms)
{
    for (int waited = 0; waited < ms && !InterruptRequested(); waited += 10) {
        std::this_thread::sleep_for(std::chrono::milliseconds(std::min(10, ms - waited)));
    }
    return !InterruptRequested();
}

bool InterruptRequested()
{
    return interruptRequested != 0;
}

void InterruptHandled()
{
#ifdef _WIN32
    handled = 1;
#endif
}

bool ConsoleOfItsOwn()
{
#ifdef _WIN32
    DWORD processes[2] = {};
    return GetConsoleProcessList(processes, 2) == 1;
#else
    return false;
#endif
}

void WaitForEnter()
{
    std::cout << "Press Enter to close this window." << std::flush;
    std::string line;
    std::getline(std::cin, line);
}
