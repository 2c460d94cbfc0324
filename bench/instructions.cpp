// Makes a fixed number of output calls into the library built with the
// /dev/null port hooks, loaded as a host loads it. Run under callgrind with
// --toggle-collect on the export being measured (bench/instructions.py does),
// it shows the instructions of the calls alone; without valgrind it just runs
// them.
#include "brindlex.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>

#ifndef BRINDLEX_NULL_PORT_LIBRARY
#error "BRINDLEX_NULL_PORT_LIBRARY must name the library with the /dev/null port"
#endif

int main(int argc, char **argv)
{
    if (argc != 3 || (std::strcmp(argv[1], "sba") != 0 && std::strcmp(argv[1], "pba") != 0)) {
        std::fprintf(stderr, "usage: %s sba|pba CALLS\n", argv[0]);
        return 2;
    }
    const bool states = std::strcmp(argv[1], "sba") == 0;
    const long calls = std::strtol(argv[2], nullptr, 10);
    void *library = dlopen(BRINDLEX_NULL_PORT_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        std::fprintf(stderr, "dlopen: %s\n", dlerror());
        return 1;
    }
    const auto sba = reinterpret_cast<decltype(&LWZ_SBA)>(dlsym(library, "LWZ_SBA"));
    const auto pba = reinterpret_cast<decltype(&LWZ_PBA)>(dlsym(library, "LWZ_PBA"));
    const auto setNotify = reinterpret_cast<decltype(&LWZ_SET_NOTIFY)>(dlsym(library, "LWZ_SET_NOTIFY"));
    DeviceList devices{};
    setNotify(nullptr, &devices);
    if (devices.count != 8) {
        std::fprintf(stderr, "the link to /dev/null did not open\n");
        return 1;
    }
    uint8_t values[32] = {};
    // Every device in turn, with data that changes from call to call.
    for (long call = 0; call < calls; ++call) {
        const int32_t device = static_cast<int32_t>(call % 8) + 1;
        const auto n = static_cast<int32_t>(call);
        if (states) {
            sba(device, n, n >> 3, ~n, n * 7);
        } else {
            values[call % 32] = static_cast<uint8_t>(call);
            pba(device, values);
        }
    }
    dlclose(library);
    std::printf("%ld %s calls\n", calls, argv[1]);
    return 0;
}
