#include "harness.h"

#include <algorithm>
#include <cerrno>
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <stdexcept>
#include <sys/file.h>
#include <unistd.h>

#ifndef BRINDLEX_TEST_LIBRARY
#error "BRINDLEX_TEST_LIBRARY must name the library built for the tests"
#endif

PtyPort::PtyPort()
{
    char name[256] = {};
    if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0) {
        throw std::runtime_error("openpty failed");
    }
    slavePath_ = name;
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
}

PtyPort::~PtyPort()
{
    CloseMaster();
    if (slave_ >= 0) {
        close(slave_);
    }
}

void PtyPort::CloseMaster()
{
    if (master_ >= 0) {
        close(master_);
        master_ = -1;
    }
}

Bytes PtyPort::ReadUntilQuiet(int quietMs)
{
    Bytes received;
    for (;;) {
        pollfd ready{master_, POLLIN, 0};
        if (poll(&ready, 1, quietMs) <= 0) {
            return received;
        }
        uint8_t chunk[4096];
        const ssize_t got = read(master_, chunk, sizeof chunk);
        if (got <= 0) {
            return received;
        }
        received.insert(received.end(), chunk, chunk + got);
    }
}

Bytes PtyPort::ReadExactly(std::size_t count, int timeoutMs)
{
    Bytes received;
    while (received.size() < count) {
        pollfd ready{master_, POLLIN, 0};
        if (poll(&ready, 1, timeoutMs) <= 0) {
            break;
        }
        uint8_t chunk[4096];
        const std::size_t wanted = std::min(sizeof chunk, count - received.size());
        const ssize_t got = read(master_, chunk, wanted);
        if (got <= 0) {
            break;
        }
        received.insert(received.end(), chunk, chunk + got);
    }
    return received;
}

std::string PortPath()
{
    return BRINDLEX_TEST_PORT;
}

void RemovePortLink()
{
    unlink(BRINDLEX_TEST_PORT);
}

void LinkPortTo(const std::string &target)
{
    RemovePortLink();
    if (symlink(target.c_str(), BRINDLEX_TEST_PORT) != 0) {
        throw std::runtime_error("cannot link the test port");
    }
}

LoadedBrindlex::LoadedBrindlex()
{
    handle_ = dlopen(BRINDLEX_TEST_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) {
        throw std::runtime_error(std::string("dlopen: ") + dlerror());
    }
    sba = reinterpret_cast<decltype(sba)>(symbol("LWZ_SBA"));
    pba = reinterpret_cast<decltype(pba)>(symbol("LWZ_PBA"));
    setNotify = reinterpret_cast<decltype(setNotify)>(symbol("LWZ_SET_NOTIFY"));
    setNotifyEx = reinterpret_cast<decltype(setNotifyEx)>(symbol("LWZ_SET_NOTIFY_EX"));
    registerHost = reinterpret_cast<decltype(registerHost)>(symbol("LWZ_REGISTER"));
}

LoadedBrindlex::~LoadedBrindlex()
{
    Unload();
}

void LoadedBrindlex::Unload()
{
    if (handle_ != nullptr) {
        dlclose(handle_);
        handle_ = nullptr;
        // The destructor only runs if the object really left the process.
        void *still = dlopen(BRINDLEX_TEST_LIBRARY, RTLD_NOW | RTLD_NOLOAD);
        EXPECT_EQ(still, nullptr) << "the library stayed loaded after dlclose";
        if (still != nullptr) {
            dlclose(still);
        }
    }
}

void *LoadedBrindlex::symbol(const char *name) const
{
    return dlsym(handle_, name);
}

int32_t LoadedBrindlex::AnnouncedDevices() const
{
    DeviceList list{};
    list.count = -1;
    setNotify(nullptr, &list);
    return list.count;
}

bool CanLockExclusively(const std::string &path)
{
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const bool locked = flock(fd, LOCK_EX | LOCK_NB) == 0;
    close(fd);
    return locked;
}

static Bytes Command(uint8_t command, uint8_t start, const Bytes &data)
{
    // Sized first: GCC 12 warns falsely on inserting after a braced list.
    Bytes bytes(4 + data.size());
    bytes[1] = command;
    bytes[2] = start;
    bytes[3] = 0x20;
    std::copy(data.begin(), data.end(), bytes.begin() + 4);
    return bytes;
}

Bytes StateCommand(uint8_t start, const Bytes &states)
{
    return Command(0x02, start, states);
}

Bytes LevelCommand(uint8_t start, const Bytes &levels)
{
    return Command(0x03, start, levels);
}
