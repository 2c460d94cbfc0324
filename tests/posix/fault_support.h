// Helpers for the fault and load tests on top of the POSIX harness: a reader
// thread on the pseudo-terminal's master, a reproducible mix of output calls
// with the bytes OutputModel expects from them, a child process to run a
// scenario that might kill or hang its host, and a look at the loaded
// library's own tables.
#pragma once

#include "harness.h"
#include "output_model.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <sys/types.h>
#include <thread>

// Drains the master on its own thread, which keeps SIGALRM blocked so that
// timer signals land on the thread calling the library.
class MasterReader {
public:
    explicit MasterReader(int master, bool startPaused = false);
    ~MasterReader();
    MasterReader(const MasterReader &) = delete;
    MasterReader &operator=(const MasterReader &) = delete;

    void Pause() { paused_ = true; }
    void Resume() { paused_ = false; }
    // Reads at most chunk bytes at a time and sleeps pauseUs after each read.
    void Pace(std::size_t chunk, int pauseUs)
    {
        chunk_ = chunk;
        pauseUs_ = pauseUs;
    }
    std::size_t received() const { return count_; }

    // Waits until expected bytes have come or none has come for quietMs,
    // stops the thread and hands over everything read.
    Bytes Finish(std::size_t expected, int quietMs = 5000);

private:
    void Run();

    int master_;
    std::atomic<bool> paused_;
    std::atomic<bool> stop_{false};
    std::atomic<std::size_t> chunk_{65536};
    std::atomic<int> pauseUs_{0};
    std::atomic<std::size_t> count_{0};
    Bytes bytes_;
    std::thread thread_;
};

// A reproducible stream of output calls: mostly valid ids, some invalid ones
// from all over the int range, any bank words, any level bytes, now and then
// a null values pointer. Each call also goes to the model.
class CallMix {
public:
    explicit CallMix(uint32_t seed) : random_(seed) {}

    // Makes one call on the library and appends what the model expects.
    void Next(const LoadedBrindlex &library, Bytes &expected);
    // Makes one call with nobody expecting its bytes (the far end is gone).
    void NextUnheard(const LoadedBrindlex &library);

    OutputModel model;
    // What was passed so far that the library must not act on.
    std::size_t invalidIds = 0;
    std::size_t nullValues = 0;

private:
    int32_t Device();
    uint32_t Word() { return static_cast<uint32_t>(random_()); }
    std::mt19937 random_;
};

// Runs scenario in a forked child with the default signal dispositions and a
// watchdog alarm. Returns "" if the child ran to the end and reported no
// problem, otherwise what went wrong: its report, a signal or a hang.
std::string RunInChild(const std::function<std::string()> &scenario, int watchdogSeconds = 60);

// The loaded library's two tables, read from its memory by way of the
// library file's symbol table.
struct LibraryTables {
    std::array<uint8_t, 256> states{};
    std::array<uint8_t, 256> levels{};
};
LibraryTables ReadLibraryTables(const LoadedBrindlex &library);

// How many descriptors of this process are open on the terminal device rdev.
int DescriptorsOpenOn(dev_t rdev);
