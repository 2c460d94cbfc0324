// Fuzzes the emulator's decoder with any stream in any chunking. An input is
// a list of steps that build the stream (raw bytes, well-formed commands,
// commands with a byte lost or changed) and feed it (any part of what is
// waiting, a pause, the end). Then every byte must be accounted for once, in
// order, as a command or as malformed; every command must be 36 bytes of the
// stream that check and that the next header, a pause or the end vouches
// for; and a stream of well-formed commands only must decode to exactly
// those commands. Any breach aborts, and libFuzzer keeps the input.
#include "decoder.h"
#include "fuzz_input.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <variant>
#include <vector>

namespace {

[[noreturn]] void Breach(const char *what, uint64_t offset)
{
    std::fprintf(stderr, "decoder breach at stream offset %llu: %s\n", static_cast<unsigned long long>(offset),
                 what);
    std::abort();
}

void Require(bool condition, const char *what, uint64_t offset)
{
    if (!condition) {
        Breach(what, offset);
    }
}

using Event = std::variant<emulator::Command, emulator::Malformed>;

struct Run {
    std::vector<uint8_t> stream;       // every byte built so far
    std::size_t fed = 0;               // how many of them the decoder has
    std::vector<double> feedTimes;     // the time passed with each feed
    std::vector<std::size_t> feedEnds; // stream length after each feed
    std::vector<std::size_t> pauses;   // stream length fed at each pause, and at the end
    std::vector<uint64_t> sentOffsets; // where each well-formed command starts
    bool onlyWellFormed = true;
    std::vector<Event> events;

    void Command(FuzzInput &input, bool damage)
    {
        const uint8_t choice = input.Byte();
        const uint8_t kind = (choice & 1U) != 0 ? 0x03 : 0x02;
        std::vector<uint8_t> command{0x00, kind, static_cast<uint8_t>(((choice >> 1U) & 7U) * 32), 32};
        for (int i = 0; i < 32; ++i) {
            const uint8_t value = input.Byte();
            command.push_back(kind == 0x02 ? value & 1U : value);
        }
        if (damage) {
            onlyWellFormed = false;
            const std::size_t at = input.Byte() % command.size();
            if ((input.Byte() & 1U) != 0) {
                command.erase(command.begin() + static_cast<std::ptrdiff_t>(at));
            } else {
                command[at] = input.Byte();
            }
        } else {
            sentOffsets.push_back(stream.size());
        }
        stream.insert(stream.end(), command.begin(), command.end());
    }

    void Feed(emulator::Decoder &decoder, std::size_t count)
    {
        count = std::min(count, stream.size() - fed);
        const double time = static_cast<double>(feedTimes.size());
        feedTimes.push_back(time);
        feedEnds.push_back(fed + count);
        decoder.Feed(stream.data() + fed, count, time);
        fed += count;
    }

    // When the byte at offset reached the decoder.
    double TimeOf(uint64_t offset) const
    {
        for (std::size_t i = 0; i < feedEnds.size(); ++i) {
            if (offset < feedEnds[i]) {
                return feedTimes[i];
            }
        }
        return -1;
    }

    // The framing rule: a command is trusted when the 4 bytes after it are a
    // header, or when the stream paused or ended with at most the start of
    // one after it.
    bool Vouched(uint64_t end) const
    {
        if (end + 4 <= stream.size() && emulator::Problem(&stream[end], 4).empty()) {
            return true;
        }
        return std::any_of(pauses.begin(), pauses.end(), [&](std::size_t paused) {
            return paused >= end && paused - end < 4 && emulator::Problem(&stream[end], paused - end).empty();
        });
    }

    void Check(const emulator::Decoder &decoder) const
    {
        uint64_t at = 0;
        std::size_t commands = 0;
        std::size_t malformed = 0;
        emulator::Outputs outputs;
        std::vector<uint64_t> decodedOffsets;
        for (const Event &event : events) {
            if (const auto *command = std::get_if<emulator::Command>(&event)) {
                Require(command->offset == at, "a command does not start where the last report ended", at);
                Require(at + emulator::COMMAND_SIZE <= fed, "a command runs past the bytes fed", at);
                const uint8_t *bytes = &stream[at];
                Require(emulator::Problem(bytes, emulator::COMMAND_SIZE).empty(), "a command does not check", at);
                Require(command->kind == bytes[1] && command->start == bytes[2] &&
                            std::equal(command->data.begin(), command->data.end(), bytes + 4),
                        "a command differs from the stream's bytes", at);
                Require(Vouched(at + emulator::COMMAND_SIZE), "a command that nothing after it vouches for", at);
                Require(command->time == TimeOf(at + emulator::COMMAND_SIZE - 1),
                        "a command's time is not its last byte's", at);
                auto &table = command->kind == 0x02 ? outputs.states : outputs.levels;
                std::copy(command->data.begin(), command->data.end(), table.begin() + command->start);
                decodedOffsets.push_back(at);
                at += emulator::COMMAND_SIZE;
                ++commands;
            } else {
                const auto &bad = std::get<emulator::Malformed>(event);
                Require(bad.offset == at, "malformed bytes do not start where the last report ended", at);
                Require(!bad.bytes.empty() && bad.bytes.size() <= emulator::LONGEST_RUN && !bad.reason.empty(),
                        "a malformed report is empty, too long or gives no reason", at);
                Require(at + bad.bytes.size() <= fed &&
                            std::equal(bad.bytes.begin(), bad.bytes.end(), stream.begin() + static_cast<long>(at)),
                        "malformed bytes differ from the stream's", at);
                Require(bad.time == TimeOf(at), "malformed bytes' time is not their first byte's", at);
                at += bad.bytes.size();
                ++malformed;
            }
        }
        Require(at == fed && decoder.bytes() == fed, "bytes fed are not all accounted for", at);
        Require(decoder.commands() == commands && decoder.errors() == malformed,
                "the decoder's totals differ from its reports", at);
        Require(decoder.outputs().states == outputs.states && decoder.outputs().levels == outputs.levels,
                "the decoder's outputs differ from its commands", at);
        if (onlyWellFormed) {
            Require(malformed == 0 && decodedOffsets == sentOffsets,
                    "well-formed commands did not decode as sent", at);
        }
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size)
{
    FuzzInput input(data, size);
    Run run;
    emulator::Decoder decoder([&](const emulator::Command &command) { run.events.emplace_back(command); },
                              [&](const emulator::Malformed &bad) { run.events.emplace_back(bad); });
    while (!input.Done()) {
        const uint8_t step = input.Byte();
        switch (step % 8) {
        case 0: { // raw bytes
            run.onlyWellFormed = false;
            const int count = input.Byte() % 64 + 1;
            for (int i = 0; i < count; ++i) {
                run.stream.push_back(input.Byte());
            }
            break;
        }
        case 1:
        case 2:
            run.Command(input, false);
            break;
        case 3:
            run.Command(input, true);
            break;
        case 4: // feed 0 to 255 of the bytes waiting
            run.Feed(decoder, input.Byte());
            break;
        case 5:
            run.Feed(decoder, run.stream.size());
            break;
        default:
            run.Feed(decoder, run.stream.size());
            run.pauses.push_back(run.fed);
            decoder.Pause();
            break;
        }
    }
    run.Feed(decoder, run.stream.size());
    run.pauses.push_back(run.fed);
    decoder.Finish();
    run.Check(decoder);
    return 0;
}
