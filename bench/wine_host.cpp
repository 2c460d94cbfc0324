// A Windows benchmark host: loads Brindlex.dll as a host does (its COM61 is
// one pseudo-terminal) and opens COM62 (a second one) itself with the same
// settings, then times LWZ_SBA and LWZ_PBA call by call against a bare
// WriteFile of 36 bytes, alternating, and prints the medians and ratios.
//
//   brindlex_bench_wine_host CALLS REPETITIONS
#include <windows.h>

#include "brindlex.h"
#include "wire.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

template <typename Function> Function As(FARPROC proc)
{
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(proc));
}

HANDLE OpenCom62()
{
    const HANDLE port = CreateFileW(L"\\\\.\\COM62", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                                    nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        return port;
    }
    DCB line{};
    line.DCBlength = sizeof line;
    COMMTIMEOUTS timing{};
    if (!GetCommState(port, &line) || !GetCommTimeouts(port, &timing)) {
        CloseHandle(port);
        return INVALID_HANDLE_VALUE;
    }
    line.BaudRate = 256000;
    line.ByteSize = 8;
    line.Parity = NOPARITY;
    line.StopBits = ONE5STOPBITS;
    timing.WriteTotalTimeoutMultiplier = 0;
    timing.WriteTotalTimeoutConstant = 0;
    if (!SetCommState(port, &line) || !SetCommTimeouts(port, &timing)) {
        CloseHandle(port);
        return INVALID_HANDLE_VALUE;
    }
    return port;
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

double NanosecondsPerTick()
{
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return 1e9 / static_cast<double>(frequency.QuadPart);
}

template <typename Call> double Timed(Call call)
{
    LARGE_INTEGER start, end;
    QueryPerformanceCounter(&start);
    call();
    QueryPerformanceCounter(&end);
    return static_cast<double>(end.QuadPart - start.QuadPart);
}

} // namespace

int main(int argc, char **argv)
{
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    const int calls = argc > 1 ? std::atoi(argv[1]) : 2000;
    const int repetitions = argc > 2 ? std::atoi(argv[2]) : 5;
    const HMODULE library = LoadLibraryW(L"Brindlex.dll");
    if (library == nullptr) {
        std::printf("load failed %lu\n", GetLastError());
        return 3;
    }
    const auto sba = As<decltype(&LWZ_SBA)>(GetProcAddress(library, "LWZ_SBA"));
    const auto pba = As<decltype(&LWZ_PBA)>(GetProcAddress(library, "LWZ_PBA"));
    const auto setNotify = As<decltype(&LWZ_SET_NOTIFY)>(GetProcAddress(library, "LWZ_SET_NOTIFY"));
    DeviceList devices{};
    setNotify(nullptr, &devices);
    const HANDLE bare = OpenCom62();
    if (devices.count != 8 || bare == INVALID_HANDLE_VALUE) {
        std::printf("ports not open: library announced %d devices, COM62 %s\n", static_cast<int>(devices.count),
                    bare == INVALID_HANDLE_VALUE ? "failed" : "open");
        return 3;
    }

    uint8_t prepared[36] = {0x00, 0x02, 0x00, 0x20};
    uint8_t values[32] = {};
    const double tick = NanosecondsPerTick();
    std::vector<double> sbaRuns, pbaRuns, writeRuns, sbaRatios, pbaRatios;
    for (int repetition = 0; repetition < repetitions; ++repetition) {
        std::vector<double> sbaTimes, pbaTimes, writeTimes;
        for (int32_t n = 0; n < calls; ++n) {
            // The order turns from call to call, so neither side always
            // follows the other.
            for (int turn = 0; turn < 3; ++turn) {
                switch ((n + turn) % 3) {
                case 0:
                    sbaTimes.push_back(Timed([&] { sba(n % 8 + 1, n, n >> 3, ~n, n * 7); }));
                    break;
                case 1:
                    values[n % 32] = static_cast<uint8_t>(n);
                    pbaTimes.push_back(Timed([&] { pba(n % 8 + 1, values); }));
                    break;
                default:
                    writeTimes.push_back(Timed([&] {
                        DWORD written = 0;
                        (void)WriteFile(bare, prepared, sizeof prepared, &written, nullptr);
                    }));
                }
            }
        }
        const double sbaNs = Median(sbaTimes) * tick, pbaNs = Median(pbaTimes) * tick;
        const double writeNs = Median(writeTimes) * tick;
        std::printf("repetition %d: LWZ_SBA %.0f ns, LWZ_PBA %.0f ns, WriteFile %.0f ns\n", repetition + 1, sbaNs,
                    pbaNs, writeNs);
        sbaRuns.push_back(sbaNs);
        pbaRuns.push_back(pbaNs);
        writeRuns.push_back(writeNs);
        sbaRatios.push_back(sbaNs / writeNs);
        pbaRatios.push_back(pbaNs / writeNs);
    }
    std::printf("median of %d repetitions of %d calls each (%s):\n", repetitions, calls,
                sizeof(void *) == 8 ? "64-bit" : "32-bit");
    std::printf("  LWZ_SBA %.0f ns, LWZ_PBA %.0f ns, WriteFile %.0f ns\n", Median(sbaRuns), Median(pbaRuns),
                Median(writeRuns));
    std::printf("  LWZ_SBA / WriteFile %.3f, LWZ_PBA / WriteFile %.3f (target at most 1.05)\n", Median(sbaRatios),
                Median(pbaRatios));
    PrintWire();
    CloseHandle(bare);
    FreeLibrary(library);
    std::printf("done\n");
    return 0;
}
