// Times an output call of the real library next to the bare write it makes
// and next to the same write through libserialport, each on a pseudo-terminal
// whose master a thread drains, and prints the ratios beside what the same
// command costs on a real wire. Not a test: nothing here fails on a time.
#include "harness.h"
#include "link/port.h"
#include "serialport_pty.h"
#include "wire.h"

#include <algorithm>
#include <atomic>
#include <benchmark/benchmark.h>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <map>
#include <memory>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// The three pseudo-terminals and the thread that keeps them empty, so that
// every write is taken at once, as by a UART driver with room in its buffer.
struct Ports {
    PtyPort library, bare, serialport;
    std::atomic<bool> stop{false};
    std::thread drain;

    Ports()
        : drain([this] {
              pollfd ready[3] = {{library.master(), POLLIN, 0},
                                 {bare.master(), POLLIN, 0},
                                 {serialport.master(), POLLIN, 0}};
              uint8_t sink[65536];
              while (!stop) {
                  if (poll(ready, 3, 10) <= 0) {
                      continue;
                  }
                  for (const pollfd &port : ready) {
                      if (port.revents & POLLIN) {
                          (void)!read(port.fd, sink, sizeof sink);
                      }
                  }
              }
          })
    {
    }
    ~Ports()
    {
        stop = true;
        drain.join();
    }
};

Ports *ports = nullptr;
LoadedBrindlex *brindlex = nullptr;
int bareFd = -1;
sp_port *serialPort = nullptr;

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

// What the library sends for a call: a whole bank command.
uint8_t prepared[36] = {0x00, 0x02, 0x00, 0x20};

void LibraryStates(benchmark::State &state)
{
    int32_t n = 0;
    for (auto _ : state) {
        brindlex->sba(n % 8 + 1, n, n >> 3, ~n, n * 7);
        ++n;
    }
}

void LibraryLevels(benchmark::State &state)
{
    uint8_t values[32] = {};
    int32_t n = 0;
    for (auto _ : state) {
        values[n % 32] = static_cast<uint8_t>(n);
        brindlex->pba(n % 8 + 1, values);
        ++n;
    }
}

void BareWrite(benchmark::State &state)
{
    for (auto _ : state) {
        if (write(bareFd, prepared, sizeof prepared) != static_cast<ssize_t>(sizeof prepared)) {
            state.SkipWithError("write failed");
            break;
        }
    }
}

void SerialportWrite(benchmark::State &state)
{
    for (auto _ : state) {
        if (sp_blocking_write(serialPort, prepared, sizeof prepared, 0) != static_cast<int>(sizeof prepared)) {
            state.SkipWithError("sp_blocking_write failed");
            break;
        }
    }
}

// The three writes of one iteration, each timed on its own, in an order that
// turns from one iteration to the next. Alternating call by call cancels the
// drift of a shared machine that separate runs would see as a difference.
template <bool States> void Paired(benchmark::State &state)
{
    std::vector<double> library, bare, serialport;
    uint8_t values[32] = {};
    int32_t n = 0;
    const auto timed = [](std::vector<double> &into, auto call) {
        const auto start = std::chrono::steady_clock::now();
        call();
        into.push_back(std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count());
    };
    for (auto _ : state) {
        for (int turn = 0; turn < 3; ++turn) {
            switch ((n + turn) % 3) {
            case 0:
                timed(library, [&] {
                    if constexpr (States) {
                        brindlex->sba(n % 8 + 1, n, n >> 3, ~n, n * 7);
                    } else {
                        values[n % 32] = static_cast<uint8_t>(n);
                        brindlex->pba(n % 8 + 1, values);
                    }
                });
                break;
            case 1:
                timed(bare, [] { (void)!write(bareFd, prepared, sizeof prepared); });
                break;
            default:
                timed(serialport, [] { (void)sp_blocking_write(serialPort, prepared, sizeof prepared, 0); });
            }
        }
        ++n;
    }
    const double libraryNs = Median(library), bareNs = Median(bare), serialportNs = Median(serialport);
    state.counters["library_ns"] = libraryNs;
    state.counters["write_ns"] = bareNs;
    state.counters["sp_ns"] = serialportNs;
    state.counters["lib/write"] = libraryNs / bareNs;
    state.counters["lib/sp"] = libraryNs / serialportNs;
}

BENCHMARK(Paired<true>)->Name("paired/LWZ_SBA");
BENCHMARK(Paired<false>)->Name("paired/LWZ_PBA");
BENCHMARK(LibraryStates)->Name("LWZ_SBA")->UseRealTime();
BENCHMARK(LibraryLevels)->Name("LWZ_PBA")->UseRealTime();
BENCHMARK(BareWrite)->Name("write")->UseRealTime();
BENCHMARK(SerialportWrite)->Name("sp_blocking_write")->UseRealTime();

// Keeps, by benchmark name, every repetition's time per call in nanoseconds
// and its counters, and the medians Google Benchmark works out when only
// those are reported.
class Collector : public benchmark::ConsoleReporter {
public:
    using Figures = std::map<std::string, double>;
    std::map<std::string, std::vector<Figures>> repetitions;
    std::map<std::string, Figures> medians;

    void ReportRuns(const std::vector<Run> &runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &run : runs) {
            if (run.error_occurred || (run.run_type == Run::RT_Aggregate && run.aggregate_name != "median")) {
                continue;
            }
            Figures figures{{"time", run.GetAdjustedRealTime()}};
            for (const auto &[counter, value] : run.counters) {
                figures[counter] = value;
            }
            if (run.run_type == Run::RT_Iteration) {
                repetitions[run.run_name.function_name].push_back(figures);
            } else {
                medians[run.run_name.function_name] = figures;
            }
        }
    }

    // The median of one figure over the repetitions, 0 if it was not run.
    double Median(const std::string &name, const std::string &figure) const
    {
        if (const auto found = medians.find(name); found != medians.end()) {
            return found->second.count(figure) ? found->second.at(figure) : 0.0;
        }
        std::vector<double> values;
        if (const auto found = repetitions.find(name); found != repetitions.end()) {
            for (const Figures &figures : found->second) {
                values.push_back(figures.count(figure) ? figures.at(figure) : 0.0);
            }
        }
        return values.empty() ? 0.0 : ::Median(values);
    }
};

void OpenBare()
{
    bareFd = open(ports->bare.slavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (bareFd < 0 || PortConfigureLine(bareFd).failedStep != PORT_STEP_NONE) {
        throw std::runtime_error("cannot open the bare pseudo-terminal");
    }
}

void PrintSummary(const Collector &collector)
{
    std::printf("\nEach call timed alone, the three writes alternating call by call; medians:\n");
    std::printf("  %-8s %10s %10s %18s %12s %18s\n", "export", "library", "write()", "sp_blocking_write",
                "lib/write", "lib/sp_write");
    for (const char *exported : {"LWZ_SBA", "LWZ_PBA"}) {
        const std::string name = std::string("paired/") + exported;
        std::printf("  %-8s %7.0f ns %7.0f ns %15.0f ns %12.3f %18.3f\n", exported,
                    collector.Median(name, "library_ns"), collector.Median(name, "write_ns"),
                    collector.Median(name, "sp_ns"), collector.Median(name, "lib/write"),
                    collector.Median(name, "lib/sp"));
    }
    std::printf("  targets: lib/write at most 1.05, lib/sp_write below 1\n");
    std::printf("Google Benchmark's own loop, one kind of call at a time; time per call:\n");
    for (const char *name : {"LWZ_SBA", "LWZ_PBA", "write", "sp_blocking_write"}) {
        std::printf("  %-18s %7.0f ns\n", name, collector.Median(name, "time"));
    }
    PrintWire();
}

} // namespace

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 2;
    }
    try {
        Ports drained;
        ports = &drained;
        LinkPortTo(drained.library.slavePath());
        LoadedBrindlex loaded;
        brindlex = &loaded;
        if (loaded.AnnouncedDevices() != 8) {
            throw std::runtime_error("the library did not open its port");
        }
        OpenBare();
        serialPort = OpenSerialportOnPty(drained.serialport.slavePath());
        Collector collector;
        benchmark::RunSpecifiedBenchmarks(&collector);
        PrintSummary(collector);
        sp_close(serialPort);
        sp_free_port(serialPort);
        close(bareFd);
        loaded.Unload();
        RemovePortLink();
    } catch (const std::exception &error) {
        RemovePortLink();
        std::fprintf(stderr, "timing: %s\n", error.what());
        return 1;
    }
    benchmark::Shutdown();
    return 0;
}
