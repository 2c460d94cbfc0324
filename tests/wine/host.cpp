// A Windows host for the end-to-end tests: loads Brindlex.dll the way a host
// application does and runs the steps given on its command line, printing one
// line per step. The test reads what reaches the port on the Linux side.
#include <windows.h>

#include "brindlex.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

HMODULE library = nullptr;

FARPROC Resolve(const char *name)
{
    FARPROC proc = GetProcAddress(library, name);
    if (proc == nullptr) {
        std::printf("missing %s\n", name);
        std::exit(3);
    }
    return proc;
}

template <typename Function> Function As(FARPROC proc)
{
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(proc));
}

int32_t Number(const char *text)
{
    return static_cast<int32_t>(std::strtoll(text, nullptr, 0));
}

uintptr_t StackPointer()
{
    uintptr_t sp = 0;
#if defined(_WIN64)
    asm volatile("mov %%rsp, %0" : "=r"(sp));
#else
    asm volatile("mov %%esp, %0" : "=r"(sp));
#endif
    return sp;
}

DeviceList announced;
std::string notifications;
bool countCompleteAtEveryCall = true;

void BRINDLEX_CALL OnNotify(int32_t reason, int32_t id)
{
    notifications += " (" + std::to_string(reason) + "," + std::to_string(id) + ")";
    countCompleteAtEveryCall = countCompleteAtEveryCall && announced.count == 8;
}

void CheckOrdinals()
{
    const char *names[] = {"LWZ_PBA", "LWZ_REGISTER", "LWZ_SBA", "LWZ_SET_NOTIFY", "LWZ_SET_NOTIFY_EX"};
    for (int ordinal = 1; ordinal <= 5; ++ordinal) {
        FARPROC byOrdinal = GetProcAddress(library, MAKEINTRESOURCEA(ordinal));
        if (byOrdinal == nullptr || byOrdinal != Resolve(names[ordinal - 1])) {
            std::printf("ordinal %d is not %s\n", ordinal, names[ordinal - 1]);
            std::exit(3);
        }
    }
    std::printf("ordinals ok\n");
}

void Notify()
{
    for (int32_t &id : announced.ids) {
        id = -5;
    }
    announced.count = 99;
    notifications.clear();
    countCompleteAtEveryCall = true;
    As<decltype(&LWZ_SET_NOTIFY)>(Resolve("LWZ_SET_NOTIFY"))(OnNotify, &announced);
    std::printf("notify count=%d ids=", static_cast<int>(announced.count));
    for (int i = 0; i < 16; ++i) {
        std::printf("%s%d", i ? "," : "", static_cast<int>(announced.ids[i]));
    }
    std::printf(" calls=%s complete=%s\n", notifications.c_str(),
                countCompleteAtEveryCall ? "yes" : "no");
}

// Calls the two ignored exports with many different argument lists. If a
// callee removed its own arguments, a 32-bit caller's stack would drift.
void CallIgnoredExports(int rounds)
{
    using None = void(BRINDLEX_CALL *)();
    using One = void(BRINDLEX_CALL *)(int32_t);
    using Three = void(BRINDLEX_CALL *)(void *, int32_t, void *);
    using Seven = void(BRINDLEX_CALL *)(int32_t, int32_t, int32_t, int32_t, int32_t, int32_t, int32_t);
    const uintptr_t before = StackPointer();
    for (const char *name : {"LWZ_SET_NOTIFY_EX", "LWZ_REGISTER"}) {
        FARPROC proc = Resolve(name);
        for (int i = 0; i < rounds; ++i) {
            As<None>(proc)();
            As<One>(proc)(i);
            As<Three>(proc)(&announced, i, reinterpret_cast<void *>(OnNotify));
            As<Seven>(proc)(1, 2, 3, 4, 5, 6, i);
        }
    }
    const uintptr_t after = StackPointer();
    std::printf("ignored exports called %d times, stack %s\n", rounds * 8,
                before == after ? "balanced" : "unbalanced");
}

void SwitchBanks(char **argv, int arguments)
{
    FARPROC proc = Resolve("LWZ_SBA");
    const int32_t d = Number(argv[0]);
    const int32_t b0 = Number(argv[1]), b1 = Number(argv[2]), b2 = Number(argv[3]), b3 = Number(argv[4]);
    const uintptr_t before = StackPointer();
    if (arguments == 5) {
        As<decltype(&LWZ_SBA)>(proc)(d, b0, b1, b2, b3);
    } else if (arguments == 6) {
        using Six = void(BRINDLEX_CALL *)(int32_t, int32_t, int32_t, int32_t, int32_t, int32_t);
        As<Six>(proc)(d, b0, b1, b2, b3, 0x7FFFFFFF);
    } else {
        using Eight = void(BRINDLEX_CALL *)(int32_t, int32_t, int32_t, int32_t, int32_t, int32_t, int32_t,
                                            int32_t);
        As<Eight>(proc)(d, b0, b1, b2, b3, -1, 0x55, 12345);
    }
    std::printf("sba with %d arguments, stack %s\n", arguments,
                before == StackPointer() ? "balanced" : "unbalanced");
}

} // namespace

int main(int argc, char **argv)
{
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    for (int i = 1; i < argc; ++i) {
        const std::string step = argv[i];
        if (step == "load") {
            library = LoadLibraryW(L"Brindlex.dll");
            std::printf(library ? "loaded\n" : "load failed %lu\n", GetLastError());
            if (!library) {
                return 3;
            }
        } else if (step == "unload") {
            std::printf(FreeLibrary(library) ? "unloaded\n" : "unload failed\n");
            library = nullptr;
        } else if (step == "ordinals") {
            CheckOrdinals();
        } else if (step == "notify") {
            Notify();
        } else if (step == "ignored") {
            CallIgnoredExports(Number(argv[++i]));
        } else if (step == "sba" || step == "sba6" || step == "sba8") {
            SwitchBanks(&argv[i + 1], step == "sba" ? 5 : step == "sba6" ? 6 : 8);
            i += 5;
        } else if (step == "pba" || step == "pbanull") {
            uint8_t values[32];
            const int32_t d = Number(argv[++i]);
            const int32_t first = step == "pba" ? Number(argv[++i]) : 0;
            const int32_t stride = step == "pba" ? Number(argv[++i]) : 0;
            for (int n = 0; n < 32; ++n) {
                values[n] = static_cast<uint8_t>(first + n * stride);
            }
            As<decltype(&LWZ_PBA)>(Resolve("LWZ_PBA"))(d, step == "pba" ? values : nullptr);
            std::printf("pba %d\n", static_cast<int>(d));
        } else if (step == "pause") {
            // Lets the test look at the process from outside.
            std::printf("paused\n");
            char line[16];
            if (!std::fgets(line, sizeof line, stdin)) {
                return 3;
            }
        } else {
            std::printf("unknown step %s\n", step.c_str());
            return 2;
        }
    }
    std::printf("done\n");
    return 0;
}
