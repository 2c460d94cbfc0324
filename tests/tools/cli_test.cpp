#include "cli.h"

#include <gtest/gtest.h>

using cli::Action;
using cli::Parse;

namespace {

cli::Parsed P(std::vector<std::string> arguments)
{
    return Parse(arguments);
}

} // namespace

TEST(ToolArguments, OutputListsBecomeTheMaskOfTheNamedOutputs)
{
    const cli::Parsed parsed = P({"set", "3", "0", "4-7", "31", "9,10"});
    ASSERT_TRUE(parsed.ok) << parsed.error;
    EXPECT_EQ(parsed.invocation.action, Action::Set);
    EXPECT_EQ(parsed.invocation.device, 3);
    EXPECT_EQ(parsed.invocation.outputs, 0x800006F1U);
    EXPECT_EQ(P({"set", "8", "all"}).invocation.outputs, 0xFFFFFFFFU);
    EXPECT_EQ(P({"set", "8", "none"}).invocation.outputs, 0U);
    EXPECT_EQ(P({"set", "1", "0-31"}).invocation.outputs, 0xFFFFFFFFU);
    EXPECT_EQ(P({"set", "1", "5-5"}).invocation.outputs, 0x20U);
}

TEST(ToolArguments, BanksSplitTheMaskLowByteFirst)
{
    EXPECT_EQ(cli::Banks(0x80000001U), (std::array<int32_t, 4>{0x01, 0, 0, 0x80}));
    EXPECT_EQ(cli::Banks(0x00FF0000U), (std::array<int32_t, 4>{0, 0, 0xFF, 0}));
}

TEST(ToolArguments, LevelsTakeOneValueForAllOrThirtyTwo)
{
    const cli::Parsed one = P({"level", "2", "0x80"});
    ASSERT_TRUE(one.ok) << one.error;
    for (const uint8_t level : one.invocation.levels) {
        EXPECT_EQ(level, 0x80);
    }
    std::vector<std::string> arguments{"level", "8"};
    for (int n = 0; n < 32; ++n) {
        arguments.push_back(std::to_string(n * 8));
    }
    const cli::Parsed many = P(arguments);
    ASSERT_TRUE(many.ok) << many.error;
    EXPECT_EQ(many.invocation.levels[0], 0);
    EXPECT_EQ(many.invocation.levels[31], 248);
}

TEST(ToolArguments, BadInputIsNamedInTheError)
{
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"set", "9", "1"}, "device '9'"},
        {{"set", "-1", "1"}, "device '-1'"},
        {{"set", "x", "1"}, "device 'x'"},
        {{"set", "1"}, "no outputs"},
        {{"set", "1", "32"}, "output '32'"},
        {{"set", "1", "4-"}, "output '4-'"},
        {{"set", "1", "7-4"}, "output '7-4'"},
        {{"set", "1", "1,,2"}, "output ''"},
        {{"set", "1", "3a"}, "output '3a'"},
        {{"level", "1", "256"}, "level '256'"},
        {{"level", "1", "-3"}, "level '-3'"},
        {{"level", "1"}, "not 0"},
        {{"level", "1", "1", "2"}, "not 2"},
        {{"bogus"}, "unknown command 'bogus'"},
        {{"devices", "extra"}, "unexpected argument 'extra'"},
        {{"test", "--delay"}, "--delay needs"},
        {{"test", "--delay", "soon"}, "not 'soon'"},
        {{"set", "1", "2", "--delay", "5"}, "--delay goes with test"},
        {{"--frob", "devices"}, "unknown option '--frob'"},
        {{"--library"}, "--library needs a path"},
        {{}, "no command"},
    };
    for (const auto &[arguments, named] : cases) {
        const cli::Parsed parsed = Parse(arguments);
        EXPECT_FALSE(parsed.ok) << named;
        EXPECT_NE(parsed.error.find(named), std::string::npos) << "'" << parsed.error << "' should name " << named;
        EXPECT_EQ(parsed.error.find('\n'), std::string::npos) << "one line: " << parsed.error;
    }
}

TEST(ToolArguments, OptionsAndHelpWork)
{
    const cli::Parsed test = P({"--library", "/opt/x/libBrindlex.so", "test", "--delay", "25"});
    ASSERT_TRUE(test.ok) << test.error;
    EXPECT_EQ(test.invocation.action, Action::Test);
    EXPECT_EQ(test.invocation.delayMs, 25);
    EXPECT_EQ(test.invocation.library, "/opt/x/libBrindlex.so");
    EXPECT_EQ(P({"set", "9", "--help"}).invocation.action, Action::Help);
    EXPECT_TRUE(P({"--help"}).ok);
    EXPECT_EQ(P({"--version"}).invocation.action, Action::Version);
    EXPECT_EQ(P({"check"}).invocation.action, Action::Check);
}
