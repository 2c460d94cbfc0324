// brindlex-emulator: stands in for the output controller. Receives bank
// commands on a pseudo-terminal (or a given device), checks them and shows
// the 256 outputs they set.
#include "decoder.h"
#include "options.h"
#include "port_link.h"
#include "report.h"
#include "link/port.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <poll.h>
#include <pty.h>
#include <sstream>
#include <string>
#include <termios.h>
#include <unistd.h>

#ifndef BRINDLEX_VERSION
#error "BRINDLEX_VERSION must be the project's version"
#endif

namespace {

volatile std::sig_atomic_t stopRequested = 0;

void RequestStop(int)
{
    stopRequested = 1;
}

// Every time the emulator reports is seconds since it started.
const auto started = std::chrono::steady_clock::now();

double Elapsed()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
}

// "256000 baud, 8N2"
std::string Spelled(const LineReport &line)
{
    return std::to_string(line.baudRate) + " baud, " + std::to_string(line.dataBits) + (line.parity ? "P" : "N") +
           std::to_string(line.stopBits) + (line.hardwareFlowControl ? ", RTS/CTS" : "");
}

// The whole mirror, redrawn in place: one row per device, each output as
// its on/off state and its level as a shade.
void DrawGrid(const emulator::Outputs &outputs, uint64_t commands, uint64_t errors, const std::string &last)
{
    static const char *shades[] = {" ", "░", "▒", "▓", "█"};
    std::ostringstream out;
    out << "\x1b[H\x1b[2J";
    out << "Brindlex controller emulator   commands " << commands << "   malformed " << errors << "\n\n";
    out << "          outputs 0 .. 31 (state)              levels\n";
    for (int device = 0; device < 8; ++device) {
        out << "device " << device + 1 << "  ";
        for (int n = 0; n < 32; ++n) {
            out << (outputs.states[device * 32 + n] ? "\x1b[1;33m●\x1b[0m" : "·");
        }
        out << "  ";
        for (int n = 0; n < 32; ++n) {
            out << shades[(outputs.levels[device * 32 + n] * 4 + 127) / 255];
        }
        out << "\n";
    }
    out << "\n" << last << "\x1b[K\n";
    std::cout << out.str() << std::flush;
}

} // namespace

int main(int argc, char **argv)
{
    const emulator::ParsedOptions parsed = emulator::ParseOptions(argc, argv, BRINDLEX_VERSION);
    if (!parsed.options) {
        std::cout << parsed.out << std::flush;
        if (!parsed.error.empty()) {
            std::cerr << parsed.error << "\n";
        }
        return parsed.exitCode;
    }
    const emulator::Options &options = *parsed.options;

    // Refuse a --link path that is not ours to replace before anything is
    // opened or changed.
    emulator::PortLink link{options.link, {}, false, {}};
    if (!options.link.empty()) {
        const std::string refused = emulator::InspectLink(link);
        if (!refused.empty()) {
            std::cerr << "brindlex-emulator: " << refused << "\n";
            return 2;
        }
    }

    int input = -1;
    int slave = -1;
    std::string lineApplied; // a real line as its driver runs it
    std::string portPath = options.device;
    if (options.device.empty()) {
        char name[256] = {};
        if (openpty(&input, &slave, name, nullptr, nullptr) != 0) {
            std::cerr << "brindlex-emulator: cannot create a pseudo-terminal: " << std::strerror(errno) << "\n";
            return 1;
        }
        portPath = name;
        // Raw from the start; the library sets the line again when it opens.
        termios line{};
        tcgetattr(slave, &line);
        cfmakeraw(&line);
        tcsetattr(slave, TCSANOW, &line);
    } else {
        input = open(options.device.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (input < 0) {
            std::cerr << "brindlex-emulator: cannot open " << options.device << ": " << std::strerror(errno) << "\n";
            return 1;
        }
        // The far end of a real line: the same settings the library uses.
        const PortResult line = isatty(input) ? PortConfigureLine(input) : PortResult{PORT_STEP_NONE, nullptr, 0, {}};
        if (line.failedStep != PORT_STEP_NONE && line.operation != nullptr) {
            std::cerr << "brindlex-emulator: " << line.operation << " on " << options.device << ": "
                      << std::strerror(static_cast<int>(line.errorCode)) << "; reading it as it is\n";
        } else if (line.failedStep != PORT_STEP_NONE) {
            std::cerr << "brindlex-emulator: the driver of " << options.device << " kept " << Spelled(line.line)
                      << " (asked for 256000 baud, 8N2); reading it as it is\n";
        }
        if (line.line.known) {
            lineApplied = Spelled(line.line);
        }
    }
    // Before the link exists, so that every way of ending puts it back.
    struct sigaction stop {};
    stop.sa_handler = RequestStop;
    sigaction(SIGINT, &stop, nullptr);
    sigaction(SIGTERM, &stop, nullptr);
    sigaction(SIGHUP, &stop, nullptr);
    signal(SIGPIPE, SIG_IGN);

    if (!options.link.empty()) {
        link.target = std::filesystem::absolute(portPath).string();
        const std::string error = emulator::PlaceLink(link);
        if (!error.empty()) {
            std::cerr << "brindlex-emulator: " << error << "\n";
            return 1;
        }
    }

    const bool grid = !options.json && !options.lines && isatty(STDOUT_FILENO);
    if (options.json) {
        std::cout << emulator::ReadyJson(portPath, options.link, lineApplied, Elapsed()) << std::endl;
    } else {
        std::cout << "emulator ready on " << portPath
                  << (options.link.empty() ? "" : " (linked from " + options.link + ")")
                  << (lineApplied.empty() ? "" : ", line " + lineApplied) << std::endl;
    }

    std::string last = "waiting for commands on " + portPath;
    emulator::Decoder decoder(
        [&](const emulator::Command &command) {
            if (options.json) {
                std::cout << emulator::CommandJson(command, decoder.commands()) << "\n";
            } else if (grid) {
                last = emulator::CommandLine(command, decoder.commands());
            } else {
                std::cout << emulator::CommandLine(command, decoder.commands()) << "\n";
            }
        },
        [&](const emulator::Malformed &malformed) {
            if (options.json) {
                std::cout << emulator::MalformedJson(malformed) << "\n";
            } else {
                std::cout << emulator::MalformedLine(malformed) << "\n";
            }
        });
    if (grid) {
        DrawGrid(decoder.outputs(), 0, 0, last);
    }

    // A command is shown once the next one's header arrives, or once the line
    // has been quiet this long after it, so the last of a burst shows too.
    constexpr auto PAUSE = std::chrono::milliseconds(50);
    auto lastDraw = std::chrono::steady_clock::now();
    auto lastBytes = lastDraw;
    bool pauseDue = false; // bytes arrived since the last pause
    while (!stopRequested && (options.count == 0 || decoder.commands() < options.count)) {
        int waitMs = 100;
        if (options.timeoutSeconds > 0) {
            const double left = options.timeoutSeconds - Elapsed();
            if (left <= 0) {
                break;
            }
            waitMs = std::min(waitMs, static_cast<int>(left * 1000) + 1);
        }
        if (pauseDue) {
            const auto untilPause = lastBytes + PAUSE - std::chrono::steady_clock::now();
            waitMs = std::min(waitMs, static_cast<int>(std::max<int64_t>(
                                          0, std::chrono::ceil<std::chrono::milliseconds>(untilPause).count())));
        }
        pollfd ready{input, POLLIN, 0};
        const int events = poll(&ready, 1, waitMs);
        if (events > 0) {
            uint8_t chunk[4096];
            const ssize_t got = read(input, chunk, sizeof chunk);
            if (got > 0) {
                decoder.Feed(chunk, static_cast<std::size_t>(got), Elapsed());
                std::cout << std::flush;
                lastBytes = std::chrono::steady_clock::now();
                pauseDue = true;
            } else if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
                break;
            }
        }
        const auto now = std::chrono::steady_clock::now();
        if (pauseDue && now - lastBytes >= PAUSE) {
            decoder.Pause();
            std::cout << std::flush;
            pauseDue = false;
        }
        if (grid && now - lastDraw > std::chrono::milliseconds(40)) {
            DrawGrid(decoder.outputs(), decoder.commands(), decoder.errors(), last);
            lastDraw = now;
        }
    }
    decoder.Finish();
    if (grid) {
        DrawGrid(decoder.outputs(), decoder.commands(), decoder.errors(), last);
    }
    bool linkRestored = true;
    if (!options.link.empty()) {
        const std::string error = emulator::RestoreLink(link);
        if (!error.empty()) {
            std::cerr << "brindlex-emulator: " << error << "\n";
            linkRestored = false;
        }
    }
    if (options.json) {
        std::cout << emulator::TotalsJson(decoder.commands(), decoder.errors(), decoder.bytes(), Elapsed()) << std::endl;
    } else {
        std::cout << "commands " << decoder.commands() << ", malformed " << decoder.errors() << ", bytes "
                  << decoder.bytes() << std::endl;
    }
    if (!options.totals.empty()) {
        std::ofstream(options.totals) << "commands " << decoder.commands() << "\nmalformed " << decoder.errors()
                                      << "\n";
    }
    close(input);
    if (slave >= 0) {
        close(slave);
    }
    return decoder.errors() == 0 && linkRestored ? 0 : 1;
}
