#include "decoder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <random>

using emulator::Command;
using emulator::Decoder;
using emulator::Malformed;

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Bank(uint8_t kind, uint8_t start, uint8_t fill)
{
    Bytes bytes(36, fill);
    bytes[0] = 0x00;
    bytes[1] = kind;
    bytes[2] = start;
    bytes[3] = 0x20;
    return bytes;
}

Bytes operator+(Bytes a, const Bytes &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

struct Received {
    std::vector<Command> commands;
    std::vector<Malformed> malformed;
    Decoder decoder{[this](const Command &c) { commands.push_back(c); },
                    [this](const Malformed &m) { malformed.push_back(m); }};

    void FeedInPieces(const Bytes &stream, std::size_t piece)
    {
        for (std::size_t at = 0; at < stream.size(); at += piece) {
            decoder.Feed(stream.data() + at, std::min(piece, stream.size() - at));
        }
        decoder.Finish();
    }
};

} // namespace

TEST(Decoder, WellFormedCommandsUpdateTheMirrorHoweverTheyAreSplit)
{
    Bytes levels = Bank(0x03, 0xE0, 0);
    for (int n = 0; n < 32; ++n) {
        levels[4 + n] = static_cast<uint8_t>(0xF0 + n % 16);
    }
    const Bytes stream = Bank(0x02, 0x40, 1) + levels + Bank(0x02, 0x40, 0);
    for (const std::size_t piece : {1, 5, 35, 36, 37, 200}) {
        Received received;
        received.FeedInPieces(stream, piece);
        ASSERT_EQ(received.commands.size(), 3U) << "pieces of " << piece;
        EXPECT_TRUE(received.malformed.empty());
        EXPECT_EQ(received.commands[1].offset, 36U);
        EXPECT_EQ(received.commands[1].start, 0xE0);
        EXPECT_EQ(received.decoder.outputs().levels[255], 0xFF);
        EXPECT_EQ(received.decoder.outputs().levels[224], 0xF0);
        EXPECT_EQ(received.decoder.outputs().states[64], 0) << "the later command wins";
        EXPECT_EQ(received.decoder.commands(), 3U);
    }
}

TEST(Decoder, EachKindOfBadCommandIsReportedAtItsOffsetAndDecodingGoesOn)
{
    Bytes stateTwo = Bank(0x02, 0x20, 0);
    stateTwo[10] = 2;
    Bytes badCount = Bank(0x03, 0x00, 7);
    badCount[3] = 0x1F;
    // A bad header also costs the command before it: that one may have lost
    // a byte and taken the bad header's first, so it is reported with it.
    const struct {
        Bytes bad;
        std::string reason;
        bool headerFine;
    } cases[] = {
        {stateTwo, "state byte 6 is 2", true},
        {badCount, "count 31", false},
        {Bank(0x04, 0x00, 0), "command", false},
        {Bank(0x02, 0x10, 0), "start 16", false},
        {Bytes{0x55}, "lead byte", false},
    };
    for (const auto &[bad, reason, headerFine] : cases) {
        Received received;
        received.FeedInPieces(Bank(0x02, 0x00, 1) + bad + Bank(0x03, 0x60, 9), 7);
        ASSERT_EQ(received.malformed.size(), 1U) << reason;
        EXPECT_EQ(received.malformed[0].offset, headerFine ? 36U : 0U) << reason;
        EXPECT_NE(received.malformed[0].reason.find(reason), std::string::npos) << received.malformed[0].reason;
        ASSERT_EQ(received.commands.size(), headerFine ? 2U : 1U) << reason;
        EXPECT_EQ(received.commands.back().offset, 36U + bad.size()) << reason;
        EXPECT_EQ(received.decoder.outputs().levels[96], 9) << reason;
        EXPECT_EQ(received.decoder.outputs().states[0], headerFine ? 1 : 0) << reason;
    }
}

TEST(Decoder, AStreamShiftedByOneByteResynchronises)
{
    const Bytes stream = Bytes{0x00} + Bank(0x02, 0x00, 1) + Bank(0x02, 0x20, 0) + Bank(0x03, 0x40, 3);
    Received received;
    received.FeedInPieces(stream, 64);
    ASSERT_EQ(received.malformed.size(), 1U);
    EXPECT_EQ(received.malformed[0].offset, 0U);
    ASSERT_FALSE(received.commands.empty());
    EXPECT_EQ(received.commands.back().offset, 73U);
    EXPECT_EQ(received.decoder.outputs().levels[64], 3);
    EXPECT_EQ(received.decoder.errors(), 1U);
}

TEST(Decoder, ATruncatedCommandAtTheEndIsReported)
{
    const Bytes whole = Bank(0x03, 0x80, 4);
    Received received;
    received.decoder.Feed(whole.data(), whole.size());
    received.decoder.Feed(whole.data(), 20);
    EXPECT_TRUE(received.malformed.empty()) << "a command may still be arriving";
    received.decoder.Finish();
    ASSERT_EQ(received.malformed.size(), 1U);
    EXPECT_EQ(received.malformed[0].offset, 36U);
    EXPECT_NE(received.malformed[0].reason.find("20 of 36"), std::string::npos);
    EXPECT_EQ(received.commands.size(), 1U);
}

TEST(Decoder, ARunOfGarbageIsOneError)
{
    Received received;
    received.FeedInPieces(Bytes(100, 0xAA) + Bank(0x02, 0xE0, 1), 13);
    EXPECT_EQ(received.malformed.size(), 1U);
    ASSERT_EQ(received.commands.size(), 1U);
    EXPECT_EQ(received.commands[0].offset, 100U);
    EXPECT_EQ(received.decoder.outputs().states[255], 1);
}

namespace {

Bytes Levels(uint8_t start, const Bytes &data)
{
    Bytes bytes = Bank(0x03, start, 0);
    std::copy(data.begin(), data.end(), bytes.begin() + 4);
    return bytes;
}

// Levels whose data begins like a levels command for device 1: once the
// framing is lost, these bytes look like a command that was never sent.
Bytes HeaderLookalike(uint8_t start)
{
    Bytes data(32, 0x11);
    data[0] = 0x00;
    data[1] = 0x03;
    data[2] = 0x00;
    data[3] = 0x20;
    return Levels(start, data);
}

} // namespace

TEST(Decoder, ALostByteBeforeLevelsThatLookLikeAHeaderDecodesNoPhantom)
{
    // Each of the levels command's four header bytes lost in turn; its data
    // then starts a "command" whose next header never lines up. The states
    // command before the damage goes too: the header after it is misplaced,
    // exactly as if it had lost a byte itself.
    for (std::size_t lost = 0; lost < 4; ++lost) {
        Bytes levels = HeaderLookalike(0x40);
        levels.erase(levels.begin() + static_cast<std::ptrdiff_t>(lost));
        const Bytes stream = Bank(0x02, 0x00, 1) + levels + Bank(0x02, 0x20, 1) + Bank(0x02, 0x60, 1);
        Received received;
        received.FeedInPieces(stream, 1);
        std::vector<uint64_t> offsets;
        for (const Command &command : received.commands) {
            offsets.push_back(command.offset);
        }
        EXPECT_EQ(offsets, (std::vector<uint64_t>{71, 107})) << "lost byte " << lost;
        EXPECT_EQ(received.decoder.outputs().levels[0], 0) << "no levels were ever applied to device 1";
        EXPECT_EQ(received.decoder.outputs().states[32], 1) << "the states after the damage";
        ASSERT_EQ(received.malformed.size(), 1U);
        EXPECT_EQ(received.malformed[0].offset, 0U);
    }
}

TEST(Decoder, RandomLossAndInsertionNeverDecodeAPhantomAndLoseOnlyDamagedNeighbours)
{
    // Streams of random commands, some levels carrying a header lookalike
    // (never two in a row: back to back they form a second valid framing
    // that no receiver could tell from the real one). Damage: one byte lost,
    // or one to three random bytes added, in about one command in six.
    std::mt19937 random(20261209);
    for (int round = 0; round < 300; ++round) {
        struct Sent {
            Bytes bytes;
            uint64_t offset = 0; // in the damaged stream
            bool intact = true;
        };
        std::vector<Sent> sent;
        bool lookalikeBefore = false;
        for (int n = 0; n < 30; ++n) {
            const uint8_t start = static_cast<uint8_t>(random() % 8 * 32);
            const bool lookalike = !lookalikeBefore && random() % 4 == 0;
            Bytes bytes;
            if (lookalike) {
                // The lookalike header anywhere in the data.
                bytes = HeaderLookalike(start);
                std::rotate(bytes.begin() + 4, bytes.begin() + 4 + static_cast<std::ptrdiff_t>(random() % 29),
                            bytes.end());
            } else if (random() % 2) {
                bytes = Bank(0x02, start, 0);
                for (std::size_t i = 4; i < 36; ++i) {
                    bytes[i] = static_cast<uint8_t>(random() % 2);
                }
            } else {
                Bytes data(32);
                for (uint8_t &level : data) {
                    level = static_cast<uint8_t>(random());
                }
                bytes = Levels(start, data);
            }
            lookalikeBefore = lookalike;
            sent.push_back({bytes});
        }
        Bytes stream;
        for (Sent &command : sent) {
            command.offset = stream.size();
            Bytes bytes = command.bytes;
            if (random() % 6 == 0) {
                const std::size_t at = random() % 36;
                if (random() % 2) {
                    bytes.erase(bytes.begin() + static_cast<std::ptrdiff_t>(at));
                    command.intact = false;
                } else {
                    const std::size_t added = 1 + random() % 3;
                    for (std::size_t i = 0; i < added; ++i) {
                        bytes.insert(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                                     static_cast<uint8_t>(random()));
                    }
                    // Bytes added before its first one leave it whole.
                    command.intact = at == 0;
                    command.offset += at == 0 ? added : 0;
                }
            }
            stream.insert(stream.end(), bytes.begin(), bytes.end());
        }

        Received received;
        for (std::size_t at = 0; at < stream.size();) {
            const std::size_t piece = std::min<std::size_t>(1 + random() % 80, stream.size() - at);
            received.decoder.Feed(stream.data() + at, piece);
            at += piece;
        }
        received.decoder.Finish();

        // Every command decoded is one that was sent, byte for byte, where it
        // was sent give or take the damage (a lost 0x00 lead and a previous
        // command ending in 0x00 decode the same bytes one place earlier).
        std::set<std::size_t> matched;
        for (const Command &command : received.commands) {
            const auto real = std::find_if(sent.begin(), sent.end(), [&](const Sent &s) {
                return command.offset + 3 >= s.offset && command.offset <= s.offset + 3 &&
                       command.kind == s.bytes[1] && command.start == s.bytes[2] &&
                       std::equal(command.data.begin(), command.data.end(), s.bytes.begin() + 4);
            });
            ASSERT_NE(real, sent.end()) << "round " << round << ": phantom at " << command.offset;
            EXPECT_TRUE(matched.insert(static_cast<std::size_t>(real - sent.begin())).second)
                << "round " << round << ": decoded twice at " << command.offset;
        }
        // An intact command is only owed when the next one starts right
        // after it, whole up to its header, or when it ends the stream.
        for (std::size_t i = 0; i < sent.size(); ++i) {
            const uint64_t end = sent[i].offset + 36;
            const bool linedUp = i + 1 == sent.size()
                                     ? end == stream.size()
                                     : sent[i + 1].offset == end &&
                                           std::equal(stream.begin() + static_cast<std::ptrdiff_t>(end),
                                                      stream.begin() + static_cast<std::ptrdiff_t>(end) + 4,
                                                      sent[i + 1].bytes.begin());
            if (sent[i].intact && linedUp) {
                EXPECT_TRUE(std::any_of(received.commands.begin(), received.commands.end(),
                                        [&](const Command &c) { return c.offset == sent[i].offset; }))
                    << "round " << round << ": command " << i << " at " << sent[i].offset << " lost";
            }
        }
    }
}

TEST(Decoder, ACommandIsTrustedWhenTheNextHeaderArrivesOrTheStreamPauses)
{
    const Bytes first = Bank(0x02, 0x00, 1);
    const Bytes second = Bank(0x03, 0x20, 5);
    Received received;
    received.decoder.Feed(first.data(), first.size());
    EXPECT_TRUE(received.commands.empty()) << "it may yet turn out to have lost a byte";
    received.decoder.Feed(second.data(), 3);
    EXPECT_TRUE(received.commands.empty()) << "three bytes of a header prove nothing";
    received.decoder.Feed(second.data() + 3, 1);
    ASSERT_EQ(received.commands.size(), 1U);
    received.decoder.Feed(second.data() + 4, 32);
    received.decoder.Feed(first.data(), 2);
    received.decoder.Pause();
    ASSERT_EQ(received.commands.size(), 2U) << "a pause ends the second; the start of a third may follow";
    EXPECT_EQ(received.commands[1].offset, 36U);
    received.decoder.Pause();
    EXPECT_EQ(received.commands.size(), 2U);
    received.decoder.Feed(first.data() + 2, 34);
    received.decoder.Pause();
    ASSERT_EQ(received.commands.size(), 3U) << "bytes before and after a pause make one command";
    EXPECT_EQ(received.commands[2].offset, 72U);
    EXPECT_TRUE(received.malformed.empty());
}

TEST(Decoder, ReportsCarryWhenTheirBytesArrivedAndTheBadBytesThemselves)
{
    const Bytes command = Bank(0x03, 0x20, 7);
    Received received;
    const Bytes garbage{0xAA, 0xBB, 0x00};
    received.decoder.Feed(garbage.data(), garbage.size(), 1.0);
    received.decoder.Feed(command.data(), 20, 2.0);
    EXPECT_TRUE(received.malformed.empty()) << "a run of bad bytes is reported once it has ended";
    received.decoder.Feed(command.data() + 20, 16, 3.0);
    received.decoder.Feed(command.data(), 36, 4.0);
    received.decoder.Pause();
    ASSERT_EQ(received.malformed.size(), 1U);
    EXPECT_EQ(received.malformed[0].offset, 0U);
    EXPECT_EQ(received.malformed[0].time, 1.0);
    EXPECT_EQ(received.malformed[0].bytes, garbage);
    ASSERT_EQ(received.commands.size(), 2U);
    EXPECT_EQ(received.commands[0].time, 3.0) << "when its last byte arrived";
    EXPECT_EQ(received.commands[1].time, 4.0);

    received.decoder.Feed(command.data(), 10, 5.0);
    received.decoder.Finish();
    ASSERT_EQ(received.malformed.size(), 2U);
    EXPECT_EQ(received.malformed[1].offset, 75U);
    EXPECT_EQ(received.malformed[1].time, 5.0);
    EXPECT_EQ(received.malformed[1].bytes, Bytes(command.begin(), command.begin() + 10));
    EXPECT_EQ(received.decoder.bytes(), 85U);
}

TEST(Decoder, APauseEndsARunAndALongRunIsReportedInPieces)
{
    Received received;
    const Bytes garbage(600, 0xAA);
    received.decoder.Feed(garbage.data(), garbage.size());
    ASSERT_EQ(received.malformed.size(), 2U) << "a line that never stops sending garbage still shows it";
    EXPECT_EQ(received.malformed[1].offset, 256U);
    EXPECT_EQ(received.malformed[1].bytes.size(), 256U);
    received.decoder.Pause();
    ASSERT_EQ(received.malformed.size(), 3U);
    EXPECT_EQ(received.malformed[2].offset, 512U);
    EXPECT_EQ(received.malformed[2].bytes.size(), 88U);
    EXPECT_EQ(received.decoder.errors(), 3U);
}
