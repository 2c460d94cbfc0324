// A host inside the test guest: loads the real library as a host application
// does and runs one scenario against whatever serial driver its port leads to,
// printing what happened as "key value" lines for the test on the outside.
//
//   guest_host LIBRARY drive CALLS   the calls in the file CALLS, one per line:
//                                    "sba D B0 B1 B2 B3" or "pba D V0 .. V31"
//   guest_host LIBRARY hold FLAG     holds the port until the file FLAG exists
//   guest_host LIBRARY unplug NODE   keeps calling while NODE is unplugged
#include "brindlex.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <dlfcn.h>
#include <dirent.h>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

struct Library {
    void *handle = nullptr;
    decltype(&LWZ_SBA) sba = nullptr;
    decltype(&LWZ_PBA) pba = nullptr;
    decltype(&LWZ_SET_NOTIFY) setNotify = nullptr;
};

Library Load(const char *path)
{
    Library library;
    library.handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (library.handle == nullptr) {
        std::printf("error cannot load %s: %s\n", path, dlerror());
        std::exit(3);
    }
    library.sba = reinterpret_cast<decltype(library.sba)>(dlsym(library.handle, "LWZ_SBA"));
    library.pba = reinterpret_cast<decltype(library.pba)>(dlsym(library.handle, "LWZ_PBA"));
    library.setNotify = reinterpret_cast<decltype(library.setNotify)>(dlsym(library.handle, "LWZ_SET_NOTIFY"));
    if (!library.sba || !library.pba || !library.setNotify) {
        std::printf("error %s lacks an export\n", path);
        std::exit(3);
    }
    return library;
}

int callbacks = 0;

void BRINDLEX_CALL OnDevice(int32_t, int32_t)
{
    ++callbacks;
}

int Announced(const Library &library)
{
    DeviceList list{};
    callbacks = 0;
    library.setNotify(OnDevice, &list);
    return list.count == callbacks ? list.count : -1;
}

bool Exists(const std::string &path)
{
    struct stat status {};
    return stat(path.c_str(), &status) == 0;
}

// The descriptors of this process that lead to a terminal device: the
// library's port, and nothing else once it is open.
int TerminalDescriptors()
{
    int count = 0;
    DIR *folder = opendir("/proc/self/fd");
    if (folder == nullptr) {
        return -1;
    }
    while (const dirent *entry = readdir(folder)) {
        char target[256] = {};
        const std::string link = std::string("/proc/self/fd/") + entry->d_name;
        if (readlink(link.c_str(), target, sizeof target - 1) > 0 && std::string(target).rfind("/dev/tty", 0) == 0) {
            ++count;
        }
    }
    closedir(folder);
    return count;
}

int Drive(const Library &library, const char *callsFile)
{
    std::ifstream calls(callsFile);
    std::string line;
    int sent = 0;
    while (std::getline(calls, line)) {
        std::istringstream words(line);
        std::string name;
        int32_t device = 0;
        words >> name >> device;
        std::vector<int> values;
        for (int value = 0; words >> value;) {
            values.push_back(value);
        }
        if (name == "sba" && values.size() == 4) {
            library.sba(device, values[0], values[1], values[2], values[3]);
        } else if (name == "pba" && values.size() == 32) {
            uint8_t levels[32];
            for (int n = 0; n < 32; ++n) {
                levels[n] = static_cast<uint8_t>(values[n]);
            }
            library.pba(device, levels);
        } else {
            std::printf("error bad call '%s'\n", line.c_str());
            return 3;
        }
        ++sent;
    }
    std::printf("sent %d\n", sent);
    return 0;
}

int Hold(const char *flag)
{
    std::printf("holding\n");
    std::fflush(stdout);
    const auto deadline = Clock::now() + 60s;
    while (!Exists(flag) && Clock::now() < deadline) {
        std::this_thread::sleep_for(20ms);
    }
    return 0;
}

// One call of each kind, timed; the longest is what a host would feel.
double TimedCalls(const Library &library, int pairs)
{
    const uint8_t levels[32] = {0x0A, 0x0D};
    double longest = 0;
    for (int i = 0; i < pairs; ++i) {
        const auto started = Clock::now();
        library.sba(1 + i % 8, i, 0, 0, 0x80);
        library.pba(1 + i % 8, levels);
        longest = std::max(longest, std::chrono::duration<double>(Clock::now() - started).count());
    }
    return longest;
}

int Unplug(const Library &library, const char *node)
{
    std::printf("descriptors-before %d\n", TerminalDescriptors());
    TimedCalls(library, 10);
    std::printf("unplug-now\n");
    std::fflush(stdout);
    // Calls go on while the device goes away, as a host's would.
    const auto deadline = Clock::now() + 60s;
    int during = 0;
    while (Exists(node) && Clock::now() < deadline) {
        TimedCalls(library, 1);
        ++during;
        std::this_thread::sleep_for(5ms);
    }
    std::printf("gone %s\n", Exists(node) ? "no" : "yes");
    std::printf("calls-while-unplugging %d\n", during * 2);
    std::printf("longest-call-after %.3f\n", TimedCalls(library, 100));
    std::printf("calls-after 200\n");
    std::printf("announced-after %d\n", Announced(library));
    std::printf("descriptors-after %d\n", TerminalDescriptors());
    std::printf("node-back %s\n", Exists(node) ? "yes" : "no");
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 4) {
        std::printf("usage: guest_host LIBRARY drive CALLS | hold FLAG | unplug NODE\n");
        return 2;
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const Library library = Load(argv[1]);
    std::printf("announced %d\n", Announced(library));
    const std::string scenario = argv[2];
    int status = 2;
    if (scenario == "drive") {
        status = Drive(library, argv[3]);
    } else if (scenario == "hold") {
        status = Hold(argv[3]);
    } else if (scenario == "unplug") {
        status = Unplug(library, argv[3]);
    }
    dlclose(library.handle);
    std::printf("unloaded\n");
    return status;
}
