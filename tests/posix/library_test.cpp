// The real libBrindlex.so on a pseudo-terminal, loaded as a host loads it.
#include "harness.h"
#include "line_settings.h"

#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

Bytes Repeat(uint8_t value, std::size_t count)
{
    return Bytes(count, value);
}

Bytes Concat(Bytes a, const Bytes &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

using OnPty = PortOnPty;

std::vector<std::pair<int32_t, int32_t>> calls;
DeviceList *watched = nullptr;
std::vector<int32_t> countAtCall;

void Record(int32_t reason, int32_t id)
{
    calls.emplace_back(reason, id);
    countAtCall.push_back(watched->count);
}

} // namespace

TEST_F(OnPty, EachOutputCallWritesExactlyItsBankCommand)
{
    LoadedBrindlex library;
    EXPECT_TRUE(pty.ReadUntilQuiet().empty()) << "nothing is sent at load";

    library.sba(3, 0x01, 0x00, 0x00, 0x80);
    EXPECT_EQ(pty.ReadExactly(36), StateCommand(0x40, Concat(Concat(Repeat(1, 1), Repeat(0, 30)), Repeat(1, 1))));

    library.sba(1, 0x1FF, 0, 0, 0);
    EXPECT_EQ(pty.ReadExactly(36), StateCommand(0x00, Concat(Repeat(1, 8), Repeat(0, 24))));

    // Bytes that a terminal would translate go through raw.
    Bytes levels(32);
    for (int n = 0; n < 32; ++n) {
        levels[n] = static_cast<uint8_t>(n * 8 + 2);
    }
    levels[0] = 0x0A;
    levels[1] = 0x0D;
    levels[2] = 0x11; // XON
    levels[3] = 0x13; // XOFF
    levels[4] = 0x03; // interrupt
    levels[5] = 0xFF;
    library.pba(8, levels.data());
    EXPECT_EQ(pty.ReadExactly(36), LevelCommand(0xE0, levels));

    // An invalid id sends its bank as it stands, a null pointer likewise.
    library.sba(9, 0xFF, 0xFF, 0xFF, 0xFF);
    EXPECT_EQ(pty.ReadExactly(36), StateCommand(0x00, Concat(Repeat(1, 8), Repeat(0, 24))));
    library.pba(0, levels.data());
    EXPECT_EQ(pty.ReadExactly(36), LevelCommand(0xE0, levels));
    library.pba(8, nullptr);
    EXPECT_EQ(pty.ReadExactly(36), LevelCommand(0xE0, levels));

    // Hosts may pass more arguments than the five; they change nothing.
    using EightArguments = void (*)(int32_t, int32_t, int32_t, int32_t, int32_t, int32_t, int32_t, int32_t);
    reinterpret_cast<EightArguments>(library.symbol("LWZ_SBA"))(2, 0x80, 0, 0, 0, 0x7F, -1, 12345);
    EXPECT_EQ(pty.ReadExactly(36), StateCommand(0x20, Concat(Concat(Repeat(0, 7), Repeat(1, 1)), Repeat(0, 24))));

    library.Unload();
    EXPECT_TRUE(pty.ReadUntilQuiet().empty()) << "nothing is sent at unload";
}

TEST_F(OnPty, TheLineIsSetTo256000BaudRawWithStopBitCodeOne)
{
    LoadedBrindlex library;
    const LineSettings line = ReadLineSettings(pty.master());
    ASSERT_TRUE(line.ok);
    EXPECT_EQ(line.outputSpeed, 256000U);
    EXPECT_EQ(line.inputSpeed, 256000U);
    EXPECT_TRUE(line.baudIsCustom);
    EXPECT_TRUE(line.twoStopBits);
    EXPECT_TRUE(line.eightDataBits);
    EXPECT_FALSE(line.parity);
    EXPECT_TRUE(line.localAndReceiver);
    EXPECT_FALSE(line.hardwareFlowControl);
    EXPECT_FALSE(line.softwareFlowControl);
    EXPECT_FALSE(line.outputProcessing);
    EXPECT_FALSE(line.canonicalOrEcho);
    EXPECT_FALSE(line.translatesCarriageReturn);
}

TEST_F(OnPty, ThePortIsHeldWhileLoadedAndFreeAfterUnload)
{
    {
        LoadedBrindlex library;
        EXPECT_EQ(library.AnnouncedDevices(), 8);
        EXPECT_FALSE(CanLockExclusively(pty.slavePath())) << "the library holds the port";
    }
    EXPECT_TRUE(CanLockExclusively(pty.slavePath()));

    // A second load opens it again, with fresh tables.
    LoadedBrindlex again;
    EXPECT_EQ(again.AnnouncedDevices(), 8);
    again.sba(9, 0, 0, 0, 0);
    EXPECT_EQ(pty.ReadExactly(36), StateCommand(0x00, Repeat(0, 32)));
}

TEST_F(OnPty, TablesStartAtZeroOnEveryLoad)
{
    {
        LoadedBrindlex library;
        library.sba(1, 0xFF, 0xFF, 0xFF, 0xFF);
        const Bytes levels(32, 0x99);
        library.pba(1, levels.data());
        pty.ReadExactly(72);
    }
    LoadedBrindlex library;
    library.sba(9, 0, 0, 0, 0);
    library.pba(9, nullptr);
    EXPECT_EQ(pty.ReadExactly(72), Concat(StateCommand(0, Repeat(0, 32)), LevelCommand(0, Repeat(0, 32))));
}

TEST_F(OnPty, AnnouncesEightDevicesInOrderAfterFillingTheList)
{
    LoadedBrindlex library;
    DeviceList list{};
    list.count = 99;
    list.ids[12] = 77;
    watched = &list;
    calls.clear();
    countAtCall.clear();
    library.setNotify(Record, &list);
    ASSERT_EQ(list.count, 8);
    for (int32_t i = 0; i < 8; ++i) {
        EXPECT_EQ(list.ids[i], i + 1);
    }
    EXPECT_EQ(list.ids[12], 77);
    ASSERT_EQ(calls.size(), 8U);
    for (int32_t i = 0; i < 8; ++i) {
        EXPECT_EQ(calls[i], std::make_pair(1, i + 1));
    }
    EXPECT_EQ(countAtCall, std::vector<int32_t>(8, 8));

    // The ignored exports, with any arguments, send and change nothing.
    using Wide = void (*)(void *, void *, int32_t, int32_t);
    for (int i = 0; i < 1000; ++i) {
        library.setNotifyEx();
        library.registerHost();
        reinterpret_cast<Wide>(library.setNotifyEx)(&list, reinterpret_cast<void *>(Record), i, -i);
        reinterpret_cast<Wide>(library.registerHost)(nullptr, &list, 1, 2);
    }
    EXPECT_EQ(calls.size(), 8U);
    EXPECT_EQ(list.count, 8);
    EXPECT_TRUE(pty.ReadUntilQuiet().empty());
}

TEST(PortUnavailable, AMissingPortLoadsSilentlyWithNoDevices)
{
    RemovePortLink();
    LoadedBrindlex library;
    EXPECT_EQ(library.AnnouncedDevices(), 0);
    library.sba(1, 0xFF, 0, 0, 0);
    library.pba(1, nullptr);
}

TEST(PortUnavailable, APortHeldByAnotherProcessIsBusy)
{
    PtyPort pty;
    LinkPortTo(pty.slavePath());
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t holder = fork();
    ASSERT_GE(holder, 0);
    if (holder == 0) {
        const int fd = open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY);
        const char ok = (fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0) ? 'y' : 'n';
        (void)write(ready[1], &ok, 1);
        pause();
        _exit(0);
    }
    char ok = 0;
    ASSERT_EQ(read(ready[0], &ok, 1), 1);
    ASSERT_EQ(ok, 'y');
    {
        LoadedBrindlex library;
        EXPECT_EQ(library.AnnouncedDevices(), 0);
        library.sba(1, 0xFF, 0xFF, 0xFF, 0xFF);
        EXPECT_TRUE(pty.ReadUntilQuiet().empty());
    }
    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
    close(ready[0]);
    close(ready[1]);

    // Once the other process lets go, the next load gets the port.
    LoadedBrindlex library;
    EXPECT_EQ(library.AnnouncedDevices(), 8);
    RemovePortLink();
}

TEST(PortUnavailable, APathThatIsNotATerminalIsClosedAgainAndNotWritten)
{
    const std::string file = PortPath() + ".plain-file";
    { std::ofstream create(file); }
    LinkPortTo(file);
    {
        LoadedBrindlex library;
        EXPECT_EQ(library.AnnouncedDevices(), 0);
        library.sba(1, 0xFF, 0xFF, 0xFF, 0xFF);
    }
    std::ifstream written(file, std::ios::binary | std::ios::ate);
    EXPECT_EQ(written.tellg(), 0);
    EXPECT_TRUE(CanLockExclusively(file)) << "the failed open let go of the file";
    RemovePortLink();
    unlink(file.c_str());
}
