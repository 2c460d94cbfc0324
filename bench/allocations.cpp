// Counts the heap allocations a library makes while it is loaded, while a
// host makes output calls, and while it is unloaded: malloc and its kin are
// interposed here, and every call made with a frame of the library on its
// stack is the library's, whether it allocated itself or through libc. The
// loader's own allocations around dlopen and dlclose are not.
//
//   brindlex_bench_allocations LIBRARY CALLS [--expect-allocations]
//
// Exits 1 if the library allocated (or, with --expect-allocations, if it did
// not: the check of this counter against a library that does).
#include "brindlex.h"
#include "harness.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <execinfo.h>
#include <link.h>
#include <string>

extern "C" {
void *__libc_malloc(size_t size);
void *__libc_calloc(size_t count, size_t size);
void *__libc_realloc(void *pointer, size_t size);
void *__libc_memalign(size_t alignment, size_t size);
void __libc_free(void *pointer);
}

namespace {

// The stacks of the calls made while armed, kept in fixed storage: the
// library's address range is only known once dlopen has returned.
constexpr int MAX_FRAMES = 48;
constexpr int MAX_EVENTS = 4096;
struct Event {
    void *frames[MAX_FRAMES];
    int depth;
};
Event events[MAX_EVENTS];
int eventCount = 0;
bool armed = false;
bool inside = false;

void Record()
{
    if (!armed || inside) {
        return;
    }
    inside = true;
    if (eventCount < MAX_EVENTS) {
        Event &event = events[eventCount];
        event.depth = backtrace(event.frames, MAX_FRAMES);
    }
    ++eventCount;
    inside = false;
}

} // namespace

extern "C" {
void *malloc(size_t size)
{
    Record();
    return __libc_malloc(size);
}
void *calloc(size_t count, size_t size)
{
    Record();
    return __libc_calloc(count, size);
}
void *realloc(void *pointer, size_t size)
{
    Record();
    return __libc_realloc(pointer, size);
}
void free(void *pointer)
{
    if (pointer != nullptr) {
        Record();
    }
    __libc_free(pointer);
}
void *memalign(size_t alignment, size_t size)
{
    Record();
    return __libc_memalign(alignment, size);
}
void *aligned_alloc(size_t alignment, size_t size)
{
    Record();
    return __libc_memalign(alignment, size);
}
int posix_memalign(void **pointer, size_t alignment, size_t size)
{
    Record();
    *pointer = __libc_memalign(alignment, size);
    return *pointer == nullptr ? ENOMEM : 0;
}
}

namespace {

// Where the library's code lies in memory.
struct Range {
    uintptr_t low = 0, high = 0;
};

// The PT_LOAD segments of the loaded object that holds symbol.
Range RangeOf(void *symbol)
{
    Dl_info info{};
    if (dladdr(symbol, &info) == 0) {
        return {};
    }
    struct Search {
        uintptr_t base;
        Range range;
    } search{reinterpret_cast<uintptr_t>(info.dli_fbase), {}};
    dl_iterate_phdr(
        [](dl_phdr_info *object, size_t, void *data) {
            auto *search = static_cast<Search *>(data);
            if (object->dlpi_addr != search->base) {
                return 0;
            }
            search->range.low = UINTPTR_MAX;
            for (int segment = 0; segment < object->dlpi_phnum; ++segment) {
                const ElfW(Phdr) &header = object->dlpi_phdr[segment];
                if (header.p_type == PT_LOAD) {
                    const uintptr_t start = object->dlpi_addr + header.p_vaddr;
                    search->range.low = std::min(search->range.low, start);
                    search->range.high = std::max(search->range.high, start + header.p_memsz);
                }
            }
            return 1;
        },
        &search);
    return search.range;
}

void Arm()
{
    eventCount = 0;
    armed = true;
}

// Disarms and returns how many of the recorded calls had a frame in range,
// and how many calls there were in all.
std::pair<int, int> Disarm(const Range &library)
{
    armed = false;
    int ours = 0;
    for (int index = 0; index < std::min(eventCount, MAX_EVENTS); ++index) {
        const Event &event = events[index];
        for (int frame = 0; frame < event.depth; ++frame) {
            const auto address = reinterpret_cast<uintptr_t>(event.frames[frame]);
            if (address >= library.low && address < library.high) {
                ++ours;
                break;
            }
        }
    }
    return {ours, eventCount};
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s LIBRARY CALLS [--expect-allocations]\n", argv[0]);
        return 2;
    }
    const std::string path = argv[1];
    const int calls = std::atoi(argv[2]);
    const bool expectAllocations = argc > 3 && std::strcmp(argv[3], "--expect-allocations") == 0;

    // The library's port is a pseudo-terminal, so the calls really write.
    PtyPort pty;
    LinkPortTo(pty.slavePath());
    void *warmUp[4];
    backtrace(warmUp, 4); // loads the unwinder before anything is counted

    Arm();
    void *library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    armed = false;
    if (library == nullptr) {
        std::fprintf(stderr, "dlopen %s: %s\n", path.c_str(), dlerror());
        return 2;
    }
    const auto sba = reinterpret_cast<decltype(&LWZ_SBA)>(dlsym(library, "LWZ_SBA"));
    const auto pba = reinterpret_cast<decltype(&LWZ_PBA)>(dlsym(library, "LWZ_PBA"));
    const Range range = RangeOf(reinterpret_cast<void *>(sba));
    if (range.high <= range.low) {
        std::fprintf(stderr, "cannot find where %s lies in memory\n", path.c_str());
        return 2;
    }
    const auto [atLoad, allAtLoad] = Disarm(range);

    uint8_t values[32] = {};
    int callsMade = 0;
    std::size_t written = 0;
    Arm();
    for (int n = 0; n < calls; ++n) {
        values[n % 32] = static_cast<uint8_t>(n);
        sba(n % 8 + 1, n, n >> 3, ~n, n * 7);
        pba(n % 8 + 1, values);
        callsMade += 2;
        if (n % 16 == 15) {
            armed = false;
            written += pty.ReadUntilQuiet(0).size();
            armed = true;
        }
    }
    const auto [inCalls, allInCalls] = Disarm(range);
    written += pty.ReadUntilQuiet(50).size();

    Arm();
    dlclose(library);
    const auto [atUnload, allAtUnload] = Disarm(range);
    RemovePortLink();

    std::printf("heap calls (malloc, calloc, realloc, free, memalign) made by %s:\n", path.c_str());
    std::printf("  at load:   %d (of %d in the process)\n", atLoad, allAtLoad);
    std::printf("  in %d output calls: %d (of %d in the process)\n", callsMade, inCalls, allInCalls);
    std::printf("  at unload: %d (of %d in the process)\n", atUnload, allAtUnload);
    std::printf("  the port received %zu bytes\n", written);
    if (written == 0) {
        std::fprintf(stderr, "nothing reached the port: the calls did not run against an open link\n");
        return 1;
    }
    if (expectAllocations) {
        const bool seen = atLoad > 0 && inCalls > 0 && atUnload > 0;
        std::printf(seen ? "the counter sees them\n" : "the counter MISSED allocations\n");
        return seen ? 0 : 1;
    }
    // Between load and unload nothing else in the process allocates, so every
    // heap call there counts, even one the library reached by a tail call,
    // which leaves no frame of it on the stack.
    const bool none = atLoad == 0 && allInCalls == 0 && atUnload == 0;
    std::printf(none ? "no allocations\n" : "the library ALLOCATED\n");
    return none ? 0 : 1;
}
