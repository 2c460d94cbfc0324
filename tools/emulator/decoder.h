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
#include <vector>

namespace emulator {

constexpr std::size_t COMMAND_SIZE = 36;

struct Command {
    uint64_t offset; // of the command's first byte in the stream
    uint8_t kind;    // 0x02 states, 0x03 levels
    uint8_t start;
    std::array<uint8_t, 32> data;
};

struct Malformed {
    uint64_t offset; // where the bad bytes begin
    std::string reason;
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

    void Feed(const uint8_t *data, std::size_t size);
    // The stream paused: a command that checks and is all that has arrived
    // (or is followed only by the start of a header) is trusted now.
    void Pause();
    // The stream ended: as a pause, then bytes still waiting are a truncated
    // command.
    void Finish();

    const Outputs &outputs() const { return outputs_; }
    uint64_t commands() const { return commands_; }
    uint64_t errors() const { return errors_; }

private:
    void Decode(bool paused);

    OnCommand onCommand_;
    OnMalformed onMalformed_;
    std::vector<uint8_t> pending_;
    uint64_t pendingOffset_ = 0; // stream offset of pending_[0]
    bool resyncing_ = false;     // inside bad bytes already reported
    Outputs outputs_;
    uint64_t commands_ = 0;
    uint64_t errors_ = 0;
};

// Why the 36 bytes at data are not a bank command, or empty if they are one.
// With fewer bytes, judges only what is there.
std::string Problem(const uint8_t *data, std::size_t size);

} // namespace emulator
