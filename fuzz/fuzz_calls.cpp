// Fuzzes the library's logic as a host drives it: an input is a load (which
// may fail at any step of opening the port) followed by a sequence of calls to
// the five exports, unloads and reloads. After every call the library's tables
// and the bytes it wrote are compared with OutputModel; any difference aborts,
// and libFuzzer keeps the input.
#include "brindlex.h"
#include "fake_port.h"
#include "fuzz_input.h"
#include "link/link.h"
#include "outputs/outputs.h"
#include "output_model.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/mman.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

[[noreturn]] void Mismatch(const char *what, std::size_t call)
{
    std::fprintf(stderr, "brindlex mismatch after call %zu: %s\n", call, what);
    std::abort();
}

class Input : public FuzzInput {
public:
    using FuzzInput::FuzzInput;
    // Mostly ids around the valid range, sometimes any 32-bit value at all.
    int32_t Device()
    {
        const uint8_t choice = Byte();
        if (choice < 0xC0) {
            return static_cast<int32_t>(choice % 12) - 2;
        }
        return static_cast<int32_t>(Word());
    }
};

// Level bytes for the library to read: 32 bytes that end where an
// inaccessible page begins, and a pointer into that page for the calls that
// must not read at all.
struct GuardedValues {
    uint8_t *readable = nullptr;
    const uint8_t *forbidden = nullptr;
};

GuardedValues MapGuardedValues()
{
    const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    void *mapped = mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) {
        std::abort();
    }
    auto *base = static_cast<uint8_t *>(mapped);
    if (mprotect(base + page, page, PROT_NONE) != 0) {
        std::abort();
    }
    return GuardedValues{base + page - 32, base + page};
}

const GuardedValues guarded = MapGuardedValues();

using Table = std::array<uint8_t, 256>;

Table Copy(const uint8_t *table)
{
    Table copy{};
    std::memcpy(copy.data(), table, copy.size());
    return copy;
}

DeviceList *notifiedList = nullptr;
std::vector<std::pair<int32_t, int32_t>> notifications;
bool listCompleteAtEveryCall = true;

void OnNotify(int32_t reason, int32_t id)
{
    notifications.emplace_back(reason, id);
    listCompleteAtEveryCall = listCompleteAtEveryCall && notifiedList != nullptr && notifiedList->count == 8;
}

struct Harness {
    OutputModel model;
    bool open = false;
    std::size_t call = 0;
    std::size_t writesSeen = 0;

    void Check(bool condition, const char *what) const
    {
        if (!condition) {
            Mismatch(what, call);
        }
    }

    void CheckTables(int changedStart, const Table &statesBefore, const Table &levelsBefore) const
    {
        Check(std::memcmp(outputStates, model.states.data(), 256) == 0, "a state entry differs from the model");
        Check(std::memcmp(outputLevels, model.levels.data(), 256) == 0, "a level entry differs from the model");
        for (int i = 0; i < 256; ++i) {
            const auto at = static_cast<std::size_t>(i);
            Check(outputStates[at] <= 1, "a state entry is neither 0 nor 1");
            const bool addressed = changedStart >= 0 && i >= changedStart && i < changedStart + 32;
            if (!addressed) {
                Check(outputStates[at] == statesBefore[at], "a state outside the addressed device changed");
                Check(outputLevels[at] == levelsBefore[at], "a level outside the addressed device changed");
            }
        }
    }

    // Every call but an open link's output call writes nothing.
    void CheckWrites(const std::vector<uint8_t> *expected)
    {
        const std::size_t written = fakePort.writes.size() - writesSeen;
        if (expected == nullptr) {
            Check(written == 0, "bytes were written by a call that must write nothing");
        } else {
            Check(written == 1, "an output call did not write exactly one command");
            Check(fakePort.writes.back() == *expected, "the command written differs from the model");
        }
        writesSeen = fakePort.writes.size();
        Check(IsLinkOpen() == open, "the link's state differs from the model");
    }

    void Load(uint8_t failChoice)
    {
        const auto failAt = static_cast<PortStep>(failChoice % 6);
        ResetFakePort(failAt);
        writesSeen = 0;
        OpenLink();
        model.Reset();
        open = failAt == PORT_STEP_NONE;
        const int stepsExpected = open ? PORT_STEP_WRITE_TIMING : failAt;
        Check(fakePort.stepsRun.size() == static_cast<std::size_t>(stepsExpected),
              "the open did not stop at the failing step");
        for (int step = 0; step < stepsExpected; ++step) {
            Check(fakePort.stepsRun[static_cast<std::size_t>(step)] == step + 1, "the open ran its steps out of order");
        }
        Check(fakePort.closes == (failAt > PORT_STEP_OPEN ? 1 : 0), "a failed open did not close the port once");
        CheckTables(-1, Table{}, Table{});
        CheckWrites(nullptr);
    }

    void Unload()
    {
        const int closesBefore = fakePort.closes;
        CloseLink();
        Check(fakePort.closes == closesBefore + (open ? 1 : 0), "unload did not close an open port once");
        if (open) {
            Check(fakePort.lastClosed == FAKE_HANDLE, "unload closed some other handle");
        }
        open = false;
        CheckWrites(nullptr);
    }

    void SwitchBanks(Input &input)
    {
        const int32_t device = input.Device();
        const uint32_t banks[4] = {input.Word(), input.Word(), input.Word(), input.Word()};
        const Table states = Copy(outputStates);
        const Table levels = Copy(outputLevels);
        LWZ_SBA(device, static_cast<int32_t>(banks[0]), static_cast<int32_t>(banks[1]),
                static_cast<int32_t>(banks[2]), static_cast<int32_t>(banks[3]));
        if (open) {
            const std::vector<uint8_t> expected = model.Sba(device, banks[0], banks[1], banks[2], banks[3]);
            CheckTables(OutputModel::Valid(device) ? OutputModel::Start(device) : -1, states, levels);
            CheckWrites(&expected);
        } else {
            CheckTables(-1, states, levels);
            CheckWrites(nullptr);
        }
    }

    void SetLevels(Input &input)
    {
        const int32_t device = input.Device();
        const bool null = input.Byte() % 4 == 0;
        for (int i = 0; i < 32; ++i) {
            guarded.readable[i] = input.Byte();
        }
        const Table states = Copy(outputStates);
        const Table levels = Copy(outputLevels);
        if (!open) {
            // With the link closed the pointer must not even be read.
            LWZ_PBA(device, null ? nullptr : guarded.forbidden);
            CheckTables(-1, states, levels);
            CheckWrites(nullptr);
            return;
        }
        const uint8_t *values = null ? nullptr : guarded.readable;
        LWZ_PBA(device, values);
        const std::vector<uint8_t> expected = model.Pba(device, values);
        CheckTables(OutputModel::Valid(device) && values != nullptr ? OutputModel::Start(device) : -1, states,
                    levels);
        CheckWrites(&expected);
    }

    void Notify(Input &input)
    {
        const uint8_t flags = input.Byte();
        DeviceList list{};
        for (int32_t &id : list.ids) {
            id = static_cast<int32_t>(input.Word());
        }
        list.count = static_cast<int32_t>(input.Word());
        const DeviceList before = list;
        const bool nullList = (flags & 1U) != 0;
        const bool nullProc = (flags & 2U) != 0;
        notifiedList = &list;
        notifications.clear();
        listCompleteAtEveryCall = true;
        LWZ_SET_NOTIFY(nullProc ? nullptr : OnNotify, nullList ? nullptr : &list);
        notifiedList = nullptr;

        const bool announces = open && !nullList;
        const int32_t expectedCount = nullList ? before.count : (open ? 8 : 0);
        Check(list.count == expectedCount, "the device list's count differs from the model");
        for (int i = 0; i < 16; ++i) {
            const auto at = static_cast<std::size_t>(i);
            const int32_t expectedId = announces && i < 8 ? i + 1 : before.ids[at];
            Check(list.ids[at] == expectedId, "a device list entry differs from the model");
        }
        std::vector<std::pair<int32_t, int32_t>> expectedCalls;
        if (announces && !nullProc) {
            for (int32_t id = 1; id <= 8; ++id) {
                expectedCalls.emplace_back(1, id);
            }
        }
        Check(notifications == expectedCalls, "the announcements differ from the model");
        Check(listCompleteAtEveryCall, "an announcement came before the list was complete");
        CheckWrites(nullptr);
    }

    void Ignored(Input &input)
    {
        const Table states = Copy(outputStates);
        const Table levels = Copy(outputLevels);
        if (input.Byte() % 2 == 0) {
            LWZ_SET_NOTIFY_EX();
        } else {
            LWZ_REGISTER();
        }
        CheckTables(-1, states, levels);
        CheckWrites(nullptr);
    }
};

Harness harness;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size)
{
    Input input(data, size);
    // Each input starts in a freshly loaded library.
    CloseLink();
    harness.call = 0;
    harness.Load(input.Byte());
    while (!input.Done()) {
        ++harness.call;
        switch (input.Byte() % 10) {
        case 0:
        case 1:
        case 2:
            harness.SwitchBanks(input);
            break;
        case 3:
        case 4:
        case 5:
            harness.SetLevels(input);
            break;
        case 6:
            harness.Notify(input);
            break;
        case 7:
            harness.Ignored(input);
            break;
        case 8:
            harness.Unload();
            break;
        default:
            // A host unloads before it loads again.
            harness.Unload();
            harness.Load(input.Byte());
            break;
        }
    }
    return 0;
}
