#include "fault_support.h"

#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <dlfcn.h>
#include <elf.h>
#include <fstream>
#include <iterator>
#include <link.h>
#include <poll.h>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

MasterReader::MasterReader(int master, bool startPaused) : master_(master), paused_(startPaused)
{
    sigset_t alarm;
    sigemptyset(&alarm);
    sigaddset(&alarm, SIGALRM);
    sigset_t previous;
    // The new thread inherits the mask in force when it is created.
    pthread_sigmask(SIG_BLOCK, &alarm, &previous);
    thread_ = std::thread([this] { Run(); });
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

MasterReader::~MasterReader()
{
    stop_ = true;
    if (thread_.joinable()) {
        thread_.join();
    }
}

void MasterReader::Run()
{
    Bytes chunk(65536);
    while (!stop_) {
        if (paused_) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            continue;
        }
        pollfd ready{master_, POLLIN, 0};
        if (poll(&ready, 1, 20) <= 0) {
            continue;
        }
        const ssize_t got = read(master_, chunk.data(), std::min(chunk.size(), chunk_.load()));
        if (got > 0) {
            bytes_.insert(bytes_.end(), chunk.begin(), chunk.begin() + got);
            count_ += static_cast<std::size_t>(got);
        }
        if (pauseUs_ > 0) {
            std::this_thread::sleep_for(std::chrono::microseconds(pauseUs_));
        }
    }
}

Bytes MasterReader::Finish(std::size_t expected, int quietMs)
{
    paused_ = false;
    std::size_t seen = count_;
    auto lastProgress = std::chrono::steady_clock::now();
    while (count_ < expected &&
           std::chrono::steady_clock::now() - lastProgress < std::chrono::milliseconds(quietMs)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        if (count_ != seen) {
            seen = count_;
            lastProgress = std::chrono::steady_clock::now();
        }
    }
    stop_ = true;
    thread_.join();
    return std::move(bytes_);
}

int32_t CallMix::Device()
{
    const uint32_t choice = Word() % 16;
    if (choice < 12) {
        return static_cast<int32_t>(1 + Word() % 8);
    }
    static constexpr int32_t edges[] = {0, 9, -1, INT_MIN, INT_MAX, 4096 + 5};
    if (choice < 15) {
        return edges[Word() % std::size(edges)];
    }
    return static_cast<int32_t>(Word());
}

void CallMix::Next(const LoadedBrindlex &library, Bytes &expected)
{
    const int32_t device = Device();
    invalidIds += OutputModel::Valid(device) ? 0 : 1;
    Bytes command;
    if (Word() % 2 == 0) {
        const uint32_t banks[4] = {Word(), Word(), Word(), Word()};
        library.sba(device, static_cast<int32_t>(banks[0]), static_cast<int32_t>(banks[1]),
                    static_cast<int32_t>(banks[2]), static_cast<int32_t>(banks[3]));
        command = model.Sba(device, banks[0], banks[1], banks[2], banks[3]);
    } else {
        uint8_t values[32];
        for (uint8_t &value : values) {
            value = static_cast<uint8_t>(Word());
        }
        const uint8_t *passed = Word() % 16 == 0 ? nullptr : values;
        nullValues += passed == nullptr ? 1 : 0;
        library.pba(device, passed);
        command = model.Pba(device, passed);
    }
    expected.insert(expected.end(), command.begin(), command.end());
}

void CallMix::NextUnheard(const LoadedBrindlex &library)
{
    Bytes ignored;
    Next(library, ignored);
}

std::string RunInChild(const std::function<std::string()> &scenario, int watchdogSeconds)
{
    int report[2];
    if (pipe(report) != 0) {
        return "pipe failed";
    }
    const pid_t child = fork();
    if (child < 0) {
        return "fork failed";
    }
    if (child == 0) {
        close(report[0]);
        for (int signal : {SIGPIPE, SIGHUP, SIGALRM, SIGTTOU}) {
            std::signal(signal, SIG_DFL);
        }
        alarm(static_cast<unsigned>(watchdogSeconds));
        const std::string problems = scenario();
        std::size_t sent = 0;
        while (sent < problems.size()) {
            const ssize_t n = write(report[1], problems.data() + sent, problems.size() - sent);
            if (n <= 0) {
                break;
            }
            sent += static_cast<std::size_t>(n);
        }
        _exit(problems.empty() ? 0 : 1);
    }
    close(report[1]);
    std::string problems;
    char chunk[512];
    for (;;) {
        const ssize_t n = read(report[0], chunk, sizeof chunk);
        if (n > 0) {
            problems.append(chunk, static_cast<std::size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            break;
        }
    }
    close(report[0]);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFSIGNALED(status)) {
        const int signal = WTERMSIG(status);
        problems += signal == SIGALRM ? std::string("the scenario hung until the watchdog fired")
                                      : std::string("the host was killed by signal ") + strsignal(signal);
    } else if (WEXITSTATUS(status) != 0 && problems.empty()) {
        problems = "the scenario exited with status " + std::to_string(WEXITSTATUS(status));
    }
    return problems;
}

namespace {

// The address in this process of a symbol of the loaded object map, hidden
// or not, from the symbol table of the object's file. The object is loaded
// here, so it has this process's ELF class: ElfW picks 32 or 64 bits.
uint8_t *FindInSymbolTable(const link_map *map, const char *name)
{
    std::ifstream file(map->l_name, std::ios::binary);
    const std::string image{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    if (image.size() < sizeof(ElfW(Ehdr))) {
        throw std::runtime_error("cannot read the library file");
    }
    const char *base = image.data();
    const auto *header = reinterpret_cast<const ElfW(Ehdr) *>(base);
    const auto *sections = reinterpret_cast<const ElfW(Shdr) *>(base + header->e_shoff);
    for (int s = 0; s < header->e_shnum; ++s) {
        if (sections[s].sh_type != SHT_SYMTAB) {
            continue;
        }
        const char *names = base + sections[sections[s].sh_link].sh_offset;
        const auto *symbols = reinterpret_cast<const ElfW(Sym) *>(base + sections[s].sh_offset);
        const std::size_t count = sections[s].sh_size / sizeof(ElfW(Sym));
        for (std::size_t i = 0; i < count; ++i) {
            if (std::strcmp(names + symbols[i].st_name, name) == 0) {
                return reinterpret_cast<uint8_t *>(map->l_addr + symbols[i].st_value);
            }
        }
    }
    throw std::runtime_error(std::string("no symbol ") + name + " in the library");
}

} // namespace

LibraryTables ReadLibraryTables(const LoadedBrindlex &library)
{
    Dl_info info{};
    link_map *map = nullptr;
    if (dladdr1(library.symbol("LWZ_SBA"), &info, reinterpret_cast<void **>(&map), RTLD_DL_LINKMAP) == 0) {
        throw std::runtime_error("dladdr1 failed");
    }
    LibraryTables tables;
    std::memcpy(tables.states.data(), FindInSymbolTable(map, "outputStates"), tables.states.size());
    std::memcpy(tables.levels.data(), FindInSymbolTable(map, "outputLevels"), tables.levels.size());
    return tables;
}

int DescriptorsOpenOn(dev_t rdev)
{
    int count = 0;
    DIR *fds = opendir("/proc/self/fd");
    if (fds == nullptr) {
        return -1;
    }
    while (const dirent *entry = readdir(fds)) {
        struct stat status {};
        const std::string path = std::string("/proc/self/fd/") + entry->d_name;
        if (entry->d_name[0] != '.' && stat(path.c_str(), &status) == 0 && S_ISCHR(status.st_mode) &&
            status.st_rdev == rdev) {
            ++count;
        }
    }
    closedir(fds);
    return count;
}
