// The POSIX end-to-end harness: a pseudo-terminal standing in for the
// controller's port, and the real shared library loaded as a host loads it.
#pragma once

#include "brindlex.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

// A pseudo-terminal pair. The library opens the slave through the
// compiled-in port path; the test reads what it wrote from the master.
class PtyPort {
public:
    PtyPort();
    ~PtyPort();
    PtyPort(const PtyPort &) = delete;
    PtyPort &operator=(const PtyPort &) = delete;

    int master() const { return master_; }
    const std::string &slavePath() const { return slavePath_; }

    // Everything that arrives until nothing more has come for quietMs.
    Bytes ReadUntilQuiet(int quietMs = 100);
    // Exactly count bytes, or fewer if none arrive for timeoutMs.
    Bytes ReadExactly(std::size_t count, int timeoutMs = 5000);
    // Closes the master: the far end goes away.
    void CloseMaster();

private:
    int master_ = -1;
    int slave_ = -1; // kept open so that the line never hangs up between tests
    std::string slavePath_;
};

// Points the library's compiled-in port path at target (or removes it).
void LinkPortTo(const std::string &target);
void RemovePortLink();
std::string PortPath();

// A test whose port path leads to a fresh pseudo-terminal.
class PortOnPty : public ::testing::Test {
protected:
    PtyPort pty;
    void SetUp() override { LinkPortTo(pty.slavePath()); }
    void TearDown() override { RemovePortLink(); }
};

// The library loaded with dlopen and unloaded with dlclose.
class LoadedBrindlex {
public:
    LoadedBrindlex();
    ~LoadedBrindlex();
    LoadedBrindlex(const LoadedBrindlex &) = delete;
    LoadedBrindlex &operator=(const LoadedBrindlex &) = delete;

    void Unload();
    void *symbol(const char *name) const;

    decltype(&LWZ_SBA) sba = nullptr;
    decltype(&LWZ_PBA) pba = nullptr;
    decltype(&LWZ_SET_NOTIFY) setNotify = nullptr;
    decltype(&LWZ_SET_NOTIFY_EX) setNotifyEx = nullptr;
    decltype(&LWZ_REGISTER) registerHost = nullptr;

    // The number of devices LWZ_SET_NOTIFY announces.
    int32_t AnnouncedDevices() const;

private:
    void *handle_ = nullptr;
};

// True if an exclusive flock on path can be had right now.
bool CanLockExclusively(const std::string &path);

Bytes StateCommand(uint8_t start, const Bytes &states);
Bytes LevelCommand(uint8_t start, const Bytes &levels);
