#include "decoder.h"

#include <gtest/gtest.h>

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
    const std::pair<Bytes, std::string> cases[] = {
        {stateTwo, "state byte 6 is 2"},
        {badCount, "count 31"},
        {Bank(0x04, 0x00, 0), "command"},
        {Bank(0x02, 0x10, 0), "start 16"},
        {Bytes{0x55}, "lead byte"},
    };
    for (const auto &[bad, reason] : cases) {
        Received received;
        received.FeedInPieces(Bank(0x02, 0x00, 1) + bad + Bank(0x03, 0x60, 9), 7);
        ASSERT_EQ(received.malformed.size(), 1U) << reason;
        EXPECT_EQ(received.malformed[0].offset, 36U) << reason;
        EXPECT_NE(received.malformed[0].reason.find(reason), std::string::npos) << received.malformed[0].reason;
        ASSERT_EQ(received.commands.size(), 2U) << reason;
        EXPECT_EQ(received.commands[1].offset, 36U + bad.size()) << reason;
        EXPECT_EQ(received.decoder.outputs().levels[96], 9) << reason;
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
