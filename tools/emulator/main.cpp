// brindlex-emulator: stands in for the output controller. Receives bank
// commands on a pseudo-terminal (or a given device), checks them and shows
// the 256 outputs they set.
#include "decoder.h"
#include "options.h"
#include "port_link.h"
#include "report.h"
#include "link/port.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <pty.h>
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

bool WriteAll(int fd, const std::string &text)
{
    for (std::size_t done = 0; done < text.size();) {
        const ssize_t wrote = write(fd, text.data() + done, text.size() - done);
        if (wrote < 0 && errno != EINTR) {
            return false;
        }
        done += wrote > 0 ? static_cast<std::size_t>(wrote) : 0;
    }
    return true;
}

// One line, whole, in one write and at once, whatever stdout is: a log keeps
// every line finished before a kill, and lines of programs sharing a pipe
// (the demo's tool and emulator) cannot mix, being shorter than PIPE_BUF.
void Say(const std::string &line)
{
    if (!WriteAll(STDOUT_FILENO, line + "\n")) {
        stopRequested = 1; // nobody reads us any more
    }
}

void Warn(const std::string &message)
{
    WriteAll(STDERR_FILENO, "brindlex-emulator: " + message + "\n");
}

// "256000 baud, 8N2"
std::string Spelled(const LineReport &line)
{
    return std::to_string(line.baudRate) + " baud, " + std::to_string(line.dataBits) + (line.parity ? "P" : "N") +
           std::to_string(line.stopBits) + (line.hardwareFlowControl ? ", RTS/CTS" : "");
}

// The whole mirror, redrawn in place: one row per device, each output as
// its on/off state and its level as a shade, then the last command and the
// last bad bytes.
void DrawGrid(const emulator::Decoder &decoder, const std::string &lastCommand, const std::string &lastMalformed,
              const std::string &lastRestart)
{
    static const char *shades[] = {" ", "░", "▒", "▓", "█"};
    const emulator::Outputs &outputs = decoder.outputs();
    std::string out = "\x1b[H\x1b[2JBrindlex controller emulator   commands " + std::to_string(decoder.commands()) +
                      "   malformed " + std::to_string(decoder.errors()) + "\n\n" +
                      "          outputs 0 .. 31 (state)              levels\n";
    for (int device = 0; device < 8; ++device) {
        out += "device " + std::to_string(device + 1) + "  ";
        for (int n = 0; n < 32; ++n) {
            out += outputs.states[device * 32 + n] ? "\x1b[1;33m●\x1b[0m" : "·";
        }
        out += "  ";
        for (int n = 0; n < 32; ++n) {
            out += shades[(outputs.levels[device * 32 + n] * 4 + 127) / 255];
        }
        out += "\n";
    }
    out += "\n" + lastCommand + "\x1b[K\n" + lastMalformed + "\x1b[K\n";
    if (!lastRestart.empty()) {
        out += lastRestart + "\x1b[K\n";
    }
    WriteAll(STDOUT_FILENO, out);
}

// The port to read: a new pseudo-terminal, or the given device set up as the
// library sets up its end. Returns the descriptor, or -1 after saying why.
int OpenPort(const emulator::Options &options, std::string &path, std::string &lineApplied, int &slave)
{
    if (options.device.empty()) {
        int master = -1;
        char name[256] = {};
        if (openpty(&master, &slave, name, nullptr, nullptr) != 0) {
            Warn(std::string("cannot create a pseudo-terminal: ") + std::strerror(errno));
            return -1;
        }
        path = name;
        // Raw from the start; the library sets the line again when it opens.
        termios line{};
        tcgetattr(slave, &line);
        cfmakeraw(&line);
        tcsetattr(slave, TCSANOW, &line);
        return master;
    }
    path = options.device;
    const int input = open(options.device.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (input < 0) {
        Warn("cannot open " + options.device + ": " + std::strerror(errno));
        return -1;
    }
    // The far end of a real line: the same settings the library uses.
    const PortResult line = isatty(input) ? PortConfigureLine(input) : PortResult{PORT_STEP_NONE, nullptr, 0, {}};
    if (line.failedStep != PORT_STEP_NONE && line.operation != nullptr) {
        Warn(std::string(line.operation) + " on " + options.device + ": " +
             std::strerror(static_cast<int>(line.errorCode)) + "; reading it as it is");
    } else if (line.failedStep != PORT_STEP_NONE) {
        Warn("the driver of " + options.device + " kept " + Spelled(line.line) +
             " (asked for 256000 baud, 8N2); reading it as it is");
    }
    if (line.line.known) {
        lineApplied = Spelled(line.line);
    }
    return input;
}

} // namespace

int main(int argc, char **argv)
{
    const emulator::ParsedOptions parsed = emulator::ParseOptions(argc, argv, BRINDLEX_VERSION);
    if (!parsed.options) {
        WriteAll(STDOUT_FILENO, parsed.out);
        WriteAll(STDERR_FILENO, parsed.error.empty() ? "" : parsed.error + "\n");
        return parsed.exitCode;
    }
    const emulator::Options &options = *parsed.options;

    // Refuse a --link path that is not ours to replace before anything is
    // opened or changed.
    emulator::PortLink link{options.link, {}, false, {}};
    if (!options.link.empty()) {
        const std::string refused = emulator::LookAtLink(link);
        if (!refused.empty()) {
            Warn(refused);
            return 2;
        }
    }

    std::string portPath;
    std::string lineApplied; // a real line as its driver runs it
    int slave = -1;
    const int input = OpenPort(options, portPath, lineApplied, slave);
    if (input < 0) {
        return 1;
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
            Warn(error);
            return 1;
        }
    }

    const bool grid = !options.json && !options.lines && isatty(STDOUT_FILENO);
    if (options.json) {
        Say(emulator::ReadyJson(portPath, options.link, lineApplied, Elapsed()));
    } else {
        Say("emulator ready on " + portPath + (options.link.empty() ? "" : " (linked from " + options.link + ")") +
            (lineApplied.empty() ? "" : ", line " + lineApplied));
    }

    std::string lastCommand = "waiting for commands on " + portPath;
    std::string lastMalformed;
    std::string lastRestart;
    emulator::Decoder decoder(
        [&](const emulator::Command &command) {
            if (options.json) {
                Say(emulator::CommandJson(command, decoder.commands()));
            } else if (grid) {
                lastCommand = emulator::CommandLine(command, decoder.commands());
            } else {
                Say(emulator::CommandLine(command, decoder.commands()));
            }
        },
        [&](const emulator::Malformed &malformed) {
            if (options.json) {
                Say(emulator::MalformedJson(malformed));
            } else if (grid) {
                lastMalformed = emulator::MalformedLine(malformed);
            } else {
                Say(emulator::MalformedLine(malformed));
            }
        });
    if (grid) {
        DrawGrid(decoder, lastCommand, lastMalformed, lastRestart);
    }

    // As a board that restarts when its port opens or closes: the master of
    // a pseudo-terminal shows POLLHUP exactly while no one has the slave
    // open, once the emulator lets go of its own slave descriptor.
    const bool restarting = options.restartOnOpenMs >= 0;
    if (restarting) {
        close(slave);
        slave = -1;
    }
    bool farOpen = false;
    double bootUntil = -1; // the restarted board ignores the line until then
    uint64_t restarts = 0;
    uint64_t dropOffset = 0;
    uint64_t dropLength = 0; // bytes of the run being dropped
    double dropTime = 0;
    const auto report = [&](const std::string &json, const std::string &text) {
        if (options.json) {
            Say(json);
        } else if (grid) {
            lastRestart = text;
        } else {
            Say(text);
        }
    };
    const auto endDrop = [&] {
        if (dropLength > 0) {
            report(emulator::DroppedJson(dropOffset, dropLength, dropTime),
                   emulator::DroppedLine(dropOffset, dropLength, dropTime));
            dropLength = 0;
        }
    };
    const auto restart = [&](bool opened) {
        endDrop();
        decoder.Restart();
        ++restarts;
        const double now = Elapsed();
        bootUntil = now + options.restartOnOpenMs / 1000.0;
        report(emulator::RestartJson(now, opened, options.restartOnOpenMs),
               emulator::RestartLine(now, opened, options.restartOnOpenMs));
    };

    // A command is shown once the next one's header arrives, or once the line
    // has been quiet this long after it, so the last of a burst shows too.
    constexpr double PAUSE = 0.050;
    double lastDraw = Elapsed();
    double lastBytes = 0;
    bool pauseDue = false; // bytes arrived since the last pause
    while (!stopRequested && (options.count == 0 || decoder.commands() < options.count)) {
        double wait = 0.1;
        if (options.timeoutSeconds > 0) {
            wait = std::min(wait, options.timeoutSeconds - Elapsed());
            if (wait <= 0) {
                break;
            }
        }
        if (pauseDue) {
            wait = std::max(0.0, std::min(wait, lastBytes + PAUSE - Elapsed()));
        }
        if (dropLength > 0) {
            wait = std::max(0.0, std::min(wait, bootUntil - Elapsed()));
        }
        pollfd ready{input, POLLIN, 0};
        bool nobodyThere = false;
        if (restarting && !farOpen) {
            nobodyThere = poll(&ready, 1, 0) >= 0 && (ready.revents & (POLLHUP | POLLIN)) == POLLHUP;
            if (!nobodyThere) {
                farOpen = true;
                restart(true);
            }
        }
        if (nobodyThere) {
            // poll returns at once while the master is hung up: look again shortly.
            usleep(static_cast<useconds_t>(std::min(wait, 0.005) * 1e6));
        } else if (ready.revents = 0; poll(&ready, 1, static_cast<int>(std::ceil(wait * 1000))) > 0) {
            if (ready.revents & POLLIN) {
                uint8_t chunk[4096];
                const ssize_t got = read(input, chunk, sizeof chunk);
                if (got > 0) {
                    lastBytes = Elapsed();
                    if (restarting && lastBytes < bootUntil) {
                        if (dropLength == 0) {
                            dropOffset = decoder.bytes();
                            dropTime = lastBytes;
                        }
                        dropLength += static_cast<uint64_t>(got);
                        decoder.Drop(static_cast<std::size_t>(got));
                    } else {
                        pauseDue = true;
                        decoder.Feed(chunk, static_cast<std::size_t>(got), lastBytes);
                    }
                } else if (got == 0 || (errno != EINTR && errno != EAGAIN && !(restarting && errno == EIO))) {
                    break; // the input ended
                }
            } else if (restarting && farOpen && (ready.revents & POLLHUP)) {
                farOpen = false;
                restart(false);
            } else if (!restarting && (ready.revents & (POLLHUP | POLLERR))) {
                break; // the input ended
            }
        }
        const double now = Elapsed();
        if (pauseDue && now - lastBytes >= PAUSE) {
            decoder.Pause();
            pauseDue = false;
        }
        if (dropLength > 0 && now >= bootUntil) {
            endDrop();
        }
        if (grid && now - lastDraw > 0.040) {
            DrawGrid(decoder, lastCommand, lastMalformed, lastRestart);
            lastDraw = now;
        }
    }
    endDrop();
    decoder.Finish();
    if (grid) {
        DrawGrid(decoder, lastCommand, lastMalformed, lastRestart);
    }

    bool linkRestored = true;
    if (!options.link.empty()) {
        const std::string error = emulator::RestoreLink(link);
        if (!error.empty()) {
            Warn(error);
            linkRestored = false;
        }
    }
    const std::string restartTotals =
        restarting ? ", restarts " + std::to_string(restarts) + ", dropped " + std::to_string(decoder.dropped()) : "";
    if (options.json) {
        Say(emulator::TotalsJson({decoder.commands(), decoder.errors(), decoder.bytes(), restarts, decoder.dropped()},
                                 Elapsed()));
    } else {
        Say("commands " + std::to_string(decoder.commands()) + ", malformed " + std::to_string(decoder.errors()) +
            ", bytes " + std::to_string(decoder.bytes()) + restartTotals);
    }
    if (!options.totals.empty()) {
        const int totals = open(options.totals.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (totals < 0 || !WriteAll(totals, "commands " + std::to_string(decoder.commands()) + "\nmalformed " +
                                                std::to_string(decoder.errors()) + "\nbytes " +
                                                std::to_string(decoder.bytes()) + "\n" +
                                                (restarting ? "restarts " + std::to_string(restarts) +
                                                                  "\ndropped " + std::to_string(decoder.dropped()) + "\n"
                                                            : ""))) {
            Warn("cannot write the totals to " + options.totals + ": " + std::strerror(errno));
        }
        if (totals >= 0) {
            close(totals);
        }
    }
    close(input);
    if (slave >= 0) {
        close(slave);
    }
    return decoder.errors() == 0 && linkRestored ? 0 : 1;
}
