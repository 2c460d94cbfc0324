// Decodes the stream of bank commands a controller receives, checking each
// against the protocol and finding the next good command after a bad one.
//
// There is no frame marker or checksum, so 36 bytes that check are trusted
// only once the next command's header follows right after them, or the
// stream pauses or ends right after them. Anything else is bad bytes, and
// the search for the next command goes on one byte further.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace emulator {

constexpr std::size_t COMMAND_SIZE = 36;
// A longer run of bad bytes is reported in pieces, so that a line that never
// stops sending garbage still shows it.
constexpr std::size_t LONGEST_RUN = 256;

struct Command {
    uint64_t offset; // of the command's first byte in the stream
    uint8_t kind;    // 0x02 states, 0x03 levels
    uint8_t start;
    std::array<uint8_t, 32> data;
    double time; // when its last byte arrived
};

struct Malformed {
    uint64_t offset; // where the bad bytes begin
    std::string reason;
    double time;                // when the first of them arrived
    std::vector<uint8_t> bytes; // all of them
};

struct Outputs {
    std::array<uint8_t, 256> states{};
    std::array<uint8_t, 256> levels{};
};

class Decoder {
public:
    using OnCommand = std::function<void(const Command &)>;
    using OnMalformed = std::function<void(const Malformed &)>;

    Decoder(OnCommand onCommand, OnMalformed onMalformed);

    // Bytes that arrived at time (any clock; it is only passed on).
    void Feed(const uint8_t *data, std::size_t size, double time = 0);
    // The stream paused: a command that checks and is all that has arrived
    // (or is followed only by the start of a header) is trusted now, and a
    // run of bad bytes ends.
    void Pause();
    // The stream ended: as a pause, then bytes still waiting are a truncated
    // command.
    void Finish();
    // The board restarted: as the end of a stream, and every state and level
    // off again.
    void Restart();
    // Bytes that arrived while the board could not take them: they count in
    // the stream's offsets and size, and are not decoded.
    void Drop(std::size_t size);

    const Outputs &outputs() const { return outputs_; }
    uint64_t commands() const { return commands_; }
    uint64_t errors() const { return errors_; }
    uint64_t bytes() const { return pendingOffset_ + pending_.size(); }
    uint64_t dropped() const { return dropped_; }

private:
    void Decode(bool paused);
    void EndRun();
    double TimeOf(uint64_t offset) const;

    OnCommand onCommand_;
    OnMalformed onMalformed_;
    std::vector<uint8_t> pending_;
    uint64_t pendingOffset_ = 0; // stream offset of pending_[0]
    // (end offset, time) of each piece fed, as long as pending_ holds any of it
    std::vector<std::pair<uint64_t, double>> arrivals_;
    Malformed run_{};        // the bad bytes so far
    bool inRun_ = false;
    Outputs outputs_;
    uint64_t commands_ = 0;
    uint64_t errors_ = 0;
    uint64_t dropped_ = 0;
};

// Why the 36 bytes at data are not a bank command, or empty if they are one.
// With fewer bytes, judges only what is there.
std::string Problem(const uint8_t *data, std::size_t size);

} // namespace emulator
