// `brindlex check` on pseudo-terminals: what a port resolves to, who holds a
// busy one, and which group may open a refused one.
#include "port_check.h"
#include "ports.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <grp.h>
#include <pty.h>
#include <sstream>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

class Pty {
public:
    Pty()
    {
        char name[128] = {};
        if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0) {
            ADD_FAILURE() << "openpty: " << std::strerror(errno);
        }
        path_ = name;
    }
    ~Pty()
    {
        close(slave_);
        close(master_);
    }
    Pty(const Pty &) = delete;
    Pty &operator=(const Pty &) = delete;

    const std::string &Path() const { return path_; }
    dev_t Device() const
    {
        struct stat status {};
        fstat(slave_, &status);
        return status.st_rdev;
    }

private:
    int master_ = -1;
    int slave_ = -1;
    std::string path_;
};

class TempFolder {
public:
    TempFolder()
    {
        char pattern[] = "/tmp/brindlex-check-XXXXXX";
        path_ = mkdtemp(pattern);
    }
    ~TempFolder() { fs::remove_all(path_); }
    TempFolder(const TempFolder &) = delete;
    TempFolder &operator=(const TempFolder &) = delete;
    std::string operator/(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

std::string Check(const std::string &port, bool *ready = nullptr)
{
    std::ostringstream out;
    const bool ok = CheckPort(out, port);
    if (ready != nullptr) {
        *ready = ok;
    }
    return out.str();
}

// Root opens every port, so a refusal is seen from a child that has given
// root up; anyone else is refused as themselves.
std::string CheckAsUnprivileged(const std::string &port)
{
    if (geteuid() != 0) {
        return Check(port);
    }
    int output[2];
    if (pipe(output) != 0) {
        return "pipe failed";
    }
    const pid_t child = fork();
    if (child == 0) {
        close(output[0]);
        const gid_t nogroup = 65534;
        if (setgroups(0, nullptr) != 0 || setgid(nogroup) != 0 || setuid(65534) != 0) {
            _exit(1);
        }
        const std::string text = Check(port);
        (void)!write(output[1], text.data(), text.size());
        _exit(0);
    }
    close(output[1]);
    std::string text;
    char buffer[4096];
    ssize_t got = 0;
    while ((got = read(output[0], buffer, sizeof buffer)) > 0) {
        text.append(buffer, static_cast<std::size_t>(got));
    }
    close(output[0]);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the unprivileged child failed";
    return text;
}

bool Contains(const std::string &text, const std::string &part)
{
    return text.find(part) != std::string::npos;
}

} // namespace

TEST(PortsCheck, ThePortIsFollowedToWhatItIs)
{
    Pty pty;
    TempFolder folder;
    fs::create_symlink(pty.Path(), folder / "port");
    bool ready = false;
    std::string text = Check(folder / "port", &ready);
    EXPECT_TRUE(ready) << text;
    EXPECT_EQ(text.rfind("port " + folder / "port" + "\n  a link to " + pty.Path() + ": a pseudo-terminal\n", 0),
              0U)
        << text;

    fs::create_symlink("unplugged", folder / "dangling");
    text = Check(folder / "dangling", &ready);
    EXPECT_FALSE(ready);
    EXPECT_TRUE(Contains(text, "\n  a link to " + folder / "unplugged" + ", which does not exist\n")) << text;

    std::ofstream(folder / "file") << "";
    text = Check(folder / "file");
    EXPECT_TRUE(Contains(text, "\n  not a device\n")) << text;

    // Nothing there: the open step alone says so, and where to look.
    text = Check(folder / "missing");
    EXPECT_EQ(text.find("port " + folder / "missing" + "\n  open the port"), 0U) << text;
    EXPECT_TRUE(Contains(text, "brindlex ports lists the serial ports")) << text;
}

TEST(PortsCheck, ABusyPortNamesTheProcessThatHoldsIt)
{
    Pty pty;
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t holder = fork();
    if (holder == 0) {
        prctl(PR_SET_NAME, "port-holder");
        const int fd = open(pty.Path().c_str(), O_RDWR | O_NOCTTY);
        if (fd < 0 || flock(fd, LOCK_EX) != 0) {
            _exit(1);
        }
        (void)!write(ready[1], "x", 1);
        pause();
        _exit(0);
    }
    char byte = 0;
    ASSERT_EQ(read(ready[0], &byte, 1), 1) << "the holder did not take the port";
    close(ready[0]);
    close(ready[1]);

    const std::string held = std::to_string(holder) + " (port-holder)";
    // This process has the pty open too, but holds no lock: only the holder
    // is named.
    bool ok = true;
    const std::string text = Check(pty.Path(), &ok);
    EXPECT_FALSE(ok);
    EXPECT_TRUE(Contains(text, "another program holds the port\n    locked by process " + held +
                                   "\n  read the line settings"))
        << text;
    EXPECT_EQ(PortHolders("/proc", pty.Device()), std::vector<std::string>{held});

    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
    EXPECT_TRUE(PortHolders("/proc", pty.Device()).empty());
    EXPECT_TRUE(Contains(Check(pty.Path()), "the port is ready")) << "the port stayed busy after its holder ended";
}

TEST(PortsCheck, APortHeldWithoutALockNamesTheProcessesThatHaveItOpen)
{
    // A terminal program's way: exclusive mode (TIOCEXCL), no lock. It keeps
    // out everyone but root, so holder and checker run as one plain user.
    Pty pty;
    ASSERT_EQ(chmod(pty.Path().c_str(), 0666), 0);
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t holder = fork();
    if (holder == 0) {
        prctl(PR_SET_NAME, "terminal");
        if (geteuid() == 0 && (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)) {
            _exit(1);
        }
        // Giving root up hides /proc/PID/fd even from the same user; a
        // program that user started is not hidden.
        prctl(PR_SET_DUMPABLE, 1);
        const int fd = open(pty.Path().c_str(), O_RDWR | O_NOCTTY);
        if (fd < 0 || ioctl(fd, TIOCEXCL) != 0) {
            _exit(1);
        }
        (void)!write(ready[1], "x", 1);
        pause();
        _exit(0);
    }
    char byte = 0;
    ASSERT_EQ(read(ready[0], &byte, 1), 1) << "the holder did not take the port";
    close(ready[0]);
    close(ready[1]);
    const std::string text = CheckAsUnprivileged(pty.Path());
    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
    EXPECT_TRUE(Contains(text, "another program holds the port\n    open in process " + std::to_string(holder) +
                                   " (terminal)\n  read the line settings"))
        << text;
}

TEST(PortsCheck, TheLockTableNamesOnlyWholeFileLocksOnThatFile)
{
    TempFolder folder;
    fs::create_directories(folder / "proc/4242");
    std::ofstream(folder / "proc/4242/comm") << "hostapp\n";
    fs::create_directories(folder / "proc/77");
    std::ofstream(folder / "proc/77/comm") << "minicom\n";
    const std::string self = std::to_string(getpid());
    std::ofstream(folder / "locks") << "1: POSIX  ADVISORY  WRITE 77 00:19:3 0 EOF\n"
                                       "2: FLOCK  ADVISORY  WRITE 4242 00:19:3 0 EOF\n"
                                       "2: -> FLOCK  ADVISORY  WRITE 77 00:19:3 0 EOF\n"
                                       "3: FLOCK  ADVISORY  WRITE 77 00:19:30 0 EOF\n"
                                       "4: FLOCK  ADVISORY  WRITE 77 00:1a:3 0 EOF\n"
                                       "5: FLOCK  ADVISORY  WRITE " +
                                           self + " 00:19:3 0 EOF\n";
    // Device 0x19 on major 0: the pty's file system in the lines above.
    EXPECT_EQ(PortLockers(folder / "locks", folder / "proc", makedev(0, 0x19), 3),
              std::vector<std::string>{"4242 (hostapp)"});
    EXPECT_EQ(PortLockers(folder / "locks", folder / "proc", makedev(0, 0x1a), 3),
              std::vector<std::string>{"77 (minicom)"});
    EXPECT_TRUE(PortLockers(folder / "locks", folder / "proc", makedev(0, 0x19), 4).empty());
    EXPECT_TRUE(PortLockers(folder / "missing", folder / "proc", makedev(0, 0x19), 3).empty());
}

TEST(PortsCheck, ARefusedPortNamesItsGroupAndHowToJoinIt)
{
    Pty pty;
    // A group that the checking user is not in (as root, the child runs as
    // nobody) but that may use the port; the owner itself may not.
    const group *dialout = getgrnam("dialout");
    const gid_t gid = geteuid() == 0 && dialout != nullptr ? dialout->gr_gid : getegid();
    const group *named = getgrgid(gid);
    ASSERT_NE(named, nullptr);
    const std::string name = named->gr_name;
    ASSERT_EQ(chown(pty.Path().c_str(), geteuid(), gid), 0) << std::strerror(errno);
    ASSERT_EQ(chmod(pty.Path().c_str(), geteuid() == 0 ? 0660 : 0060), 0);
    std::string text = CheckAsUnprivileged(pty.Path());
    EXPECT_TRUE(Contains(text, "no permission to open the port\n    " + pty.Path() + " belongs to group " + name +
                                   ": join it with `sudo usermod -aG " + name + " $USER`, then log in again\n"))
        << text;

    ASSERT_EQ(chmod(pty.Path().c_str(), geteuid() == 0 ? 0600 : 0), 0);
    text = CheckAsUnprivileged(pty.Path());
    EXPECT_TRUE(Contains(text, pty.Path() + " is for its owner only (mode 0")) << text;
    EXPECT_TRUE(Contains(text, "MODE=\"0660\", GROUP=\"dialout\"")) << text;
}

// A missing system call says nothing about the port: under a user-mode
// emulator without termios2 the port may be a perfectly good UART.
TEST(PortsCheck, EachFailureIsExplainedByWhatFailedNotOnlyByWhere)
{
    const auto meaning = [](PortStep step, uint32_t error) {
        return std::string(PortFailureMeaning(PortResult{step, "ioctl", error, {}}));
    };
    EXPECT_EQ(meaning(PORT_STEP_READ_LINE, ENOTTY), "the port is not a serial device");
    for (const PortStep step : {PORT_STEP_READ_LINE, PORT_STEP_WRITE_LINE}) {
        const std::string text = meaning(step, ENOSYS);
        EXPECT_FALSE(Contains(text, "not a serial device")) << text;
        EXPECT_TRUE(Contains(text, "termios2")) << text;
    }
    EXPECT_TRUE(Contains(meaning(PORT_STEP_OPEN, EIO), "no hardware answers")) << meaning(PORT_STEP_OPEN, EIO);
    EXPECT_EQ(meaning(PORT_STEP_WRITE_LINE, EINVAL), "the driver refused the line settings");
    EXPECT_EQ(meaning(PORT_STEP_OPEN, EBUSY), "another program holds the port");
}
