// The real libBrindlex.so when the port misbehaves: the far end going away,
// the far end not reading, signals during writes, and a long run of calls.
// Every byte that arrives is compared with OutputModel.
#include "fault_support.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

constexpr std::size_t COMMAND = 36;

// Appends to problems, for the scenarios that run in a child process.
void Require(std::string &problems, bool condition, const std::string &what)
{
    if (!condition) {
        problems += what + "\n";
    }
}

dev_t DeviceOf(const std::string &path)
{
    struct stat status {};
    return stat(path.c_str(), &status) == 0 ? status.st_rdev : 0;
}

std::string FirstDifference(const Bytes &received, const Bytes &expected)
{
    std::size_t at = 0;
    while (at < received.size() && at < expected.size() && received[at] == expected[at]) {
        ++at;
    }
    return "received " + std::to_string(received.size()) + " of " + std::to_string(expected.size()) +
           " bytes; first difference at byte " + std::to_string(at) + " (command " + std::to_string(at / COMMAND) +
           ")";
}

// The library loaded on a pseudo-terminal of its own, with the line's device
// number to count who holds it once its path has gone with the master.
struct LoadedOnPty {
    PtyPort pty;
    dev_t line = (LinkPortTo(pty.slavePath()), DeviceOf(pty.slavePath()));
    LoadedBrindlex library;

    // Unloads; true if that let go of the port.
    bool UnloadClosesPort()
    {
        library.Unload();
        RemovePortLink();
        return DescriptorsOpenOn(line) == 1;
    }
};

// The calls keep changing the tables after the far end has gone, and a
// whole run of them returns; the port is let go at unload.
std::string FarEndGoesAway()
{
    std::string problems;
    LoadedOnPty loaded;
    PtyPort &pty = loaded.pty;
    const LoadedBrindlex &library = loaded.library;
    Require(problems, library.AnnouncedDevices() == 8, "the library did not open the port");
    Require(problems, DescriptorsOpenOn(loaded.line) == 2, "the library does not hold the port once");

    CallMix calls(7);
    Bytes expected;
    for (int i = 0; i < 100; ++i) {
        calls.Next(library, expected);
    }
    Require(problems, pty.ReadExactly(expected.size()) == expected, "the commands before the hang-up differ");

    pty.CloseMaster();
    for (int i = 0; i < 20000; ++i) {
        calls.NextUnheard(library);
    }
    const LibraryTables tables = ReadLibraryTables(library);
    Require(problems, tables.states == calls.model.states, "the states stopped following the calls");
    Require(problems, tables.levels == calls.model.levels, "the levels stopped following the calls");
    Require(problems, library.AnnouncedDevices() == 8, "the devices went away with the far end");
    library.setNotifyEx();
    library.registerHost();
    Require(problems, loaded.UnloadClosesPort(), "unloading did not close the port");
    return problems;
}

// A write that waits on a full line returns when the far end goes away.
std::string FarEndGoesAwayWhileAWriteWaits()
{
    std::string problems;
    LoadedOnPty loaded;
    const LoadedBrindlex &library = loaded.library;

    std::atomic<int> done{0};
    std::thread host([&] {
        CallMix calls(11);
        for (int i = 0; i < 100000; ++i) {
            calls.NextUnheard(library);
            ++done;
        }
    });
    // Nobody reads: once the line's buffer is full the host waits.
    int before = -1;
    while (before != done) {
        before = done;
        std::this_thread::sleep_for(300ms);
    }
    Require(problems, done < 100000, "the calls never waited for the far end");
    loaded.pty.CloseMaster();
    host.join();
    Require(problems, done == 100000, "the calls did not all return after the hang-up");
    Require(problems, loaded.UnloadClosesPort(), "unloading did not close the port");
    return problems;
}

using Faults = PortOnPty;

} // namespace

TEST(FarEnd, GoingAwayLeavesTheHostRunningAndTheTablesChanging)
{
    EXPECT_EQ(RunInChild(FarEndGoesAway), "");
}

TEST(FarEnd, GoingAwayReleasesACallThatWaitsOnAFullLine)
{
    EXPECT_EQ(RunInChild(FarEndGoesAwayWhileAWriteWaits), "");
}

TEST_F(Faults, AFarEndThatStopsReadingMakesCallsWaitAndLosesNothing)
{
    LoadedBrindlex library;
    MasterReader reader(pty.master(), true);
    constexpr int CALLS = 20000;
    std::atomic<int> done{0};
    Bytes expected;
    std::thread host([&] {
        CallMix calls(3);
        for (int i = 0; i < CALLS; ++i) {
            calls.Next(library, expected);
            ++done;
        }
    });
    int stalledAt = -1;
    while (stalledAt != done) {
        stalledAt = done;
        std::this_thread::sleep_for(300ms);
    }
    EXPECT_LT(stalledAt, CALLS) << "the calls never waited";
    EXPECT_EQ(reader.received(), 0U);

    reader.Resume();
    host.join();
    EXPECT_EQ(done, CALLS);
    const Bytes received = reader.Finish(expected.size());
    EXPECT_TRUE(received == expected) << FirstDifference(received, expected);
}

namespace {

std::atomic<bool> inCall{false};
std::atomic<int> signalsInCalls{0};
std::atomic<int> signals{0};

void OnAlarm(int)
{
    ++signals;
    if (inCall) {
        ++signalsInCalls;
    }
}

} // namespace

class SignalsDuringWrites : public Faults, public ::testing::WithParamInterface<bool> {};

TEST_P(SignalsDuringWrites, EveryCommandStillArrivesWhole)
{
    const bool restart = GetParam();
    LoadedBrindlex library;
    // A slow reader keeps the line full, so the signals find writes waiting.
    MasterReader reader(pty.master());
    reader.Pace(512, 200);

    struct sigaction action {};
    action.sa_handler = OnAlarm;
    action.sa_flags = restart ? SA_RESTART : 0;
    sigemptyset(&action.sa_mask);
    struct sigaction previous {};
    ASSERT_EQ(sigaction(SIGALRM, &action, &previous), 0);
    signals = 0;
    signalsInCalls = 0;
    itimerval timer{{0, 300}, {0, 300}};
    ASSERT_EQ(setitimer(ITIMER_REAL, &timer, nullptr), 0);

    CallMix calls(restart ? 5 : 6);
    Bytes expected;
    for (int i = 0; i < 20000; ++i) {
        inCall = true;
        calls.Next(library, expected);
        inCall = false;
    }
    itimerval off{};
    setitimer(ITIMER_REAL, &off, nullptr);
    sigaction(SIGALRM, &previous, nullptr);

    const Bytes received = reader.Finish(expected.size());
    EXPECT_TRUE(received == expected) << FirstDifference(received, expected);
    EXPECT_GT(signalsInCalls, 100) << "only " << signalsInCalls << " of " << signals
                                   << " signals came during a call";
    std::printf("signals: %d in all, %d during a call, %s\n", signals.load(), signalsInCalls.load(),
                restart ? "SA_RESTART" : "no SA_RESTART");
}

INSTANTIATE_TEST_SUITE_P(WithAndWithoutRestart, SignalsDuringWrites, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool> &info) {
                             return info.param ? "SaRestart" : "NoSaRestart";
                         });

TEST_F(Faults, AMillionMixedCallsArriveByteForByte)
{
    constexpr int CALLS = 1000000;
    LoadedBrindlex library;
    MasterReader reader(pty.master());
    CallMix calls(1);
    Bytes expected;
    expected.reserve(CALLS * COMMAND);
    for (int i = 0; i < CALLS; ++i) {
        calls.Next(library, expected);
    }
    const Bytes received = reader.Finish(expected.size());
    EXPECT_TRUE(received == expected) << FirstDifference(received, expected);

    std::size_t whole = 0;
    while (whole < expected.size() / COMMAND && (whole + 1) * COMMAND <= received.size() &&
           std::equal(expected.begin() + static_cast<std::ptrdiff_t>(whole * COMMAND),
                      expected.begin() + static_cast<std::ptrdiff_t>((whole + 1) * COMMAND),
                      received.begin() + static_cast<std::ptrdiff_t>(whole * COMMAND))) {
        ++whole;
    }
    std::printf("load: %d calls (%zu invalid ids, %zu null level pointers), %zu commands expected, "
                "%zu bytes received, %zu commands lost\n",
                CALLS, calls.invalidIds, calls.nullValues, expected.size() / COMMAND, received.size(),
                expected.size() / COMMAND - whole);
}
