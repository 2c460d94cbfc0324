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
        {{"set", "x", "1"}, "device 'x'"},
        {{"set", "1"}, "outputs is required"},
        {{"set", "1", "32"}, "output '32'"},
        {{"set", "1", "-1"}, "output '-1'"},
        {{"set", "1", "4-"}, "output '4-'"},
        {{"set", "1", "7-4"}, "output '7-4'"},
        {{"set", "1", "1,,2"}, "output ''"},
        {{"set", "1", ","}, "output ''"},
        {{"set", "1", ""}, "output ''"},
        {{"set", "1", "3a"}, "output '3a'"},
        {{"set", "1", "010x"}, "output '010x'"},
        // Contradictory or mixed words have no one meaning.
        {{"set", "1", "all", "none"}, "'all' stands alone"},
        {{"set", "1", "none,3"}, "'none' stands alone"},
        {{"set", "1", "0", "all"}, "'all' stands alone"},
        {{"level", "1", "256"}, "level '256'"},
        {{"level", "1", "-3"}, "level '-3'"},
        {{"level", "1", "1", "2"}, "not 2"},
        {{"level", "1"}, "values is required"},
        {{"bogus"}, "bogus"},
        {{"devices", "extra"}, "extra"},
        {{"test", "--delay"}, "--delay"},
        {{"test", "--delay", "soon"}, "soon"},
        {{"test", "--delay", "60001"}, "60001"},
        {{"test", "--delay", "-5"}, "-5"},
        {{"set", "1", "2", "--delay", "5"}, "--delay"},
        {{"--frob", "devices"}, "--frob"},
        {{"--library"}, "--library"},
        {{"check", "--port"}, "--port"},
        {{}, "no command"},
        {{"test", "--device", "9"}, "device '9'"},
        {{"test", "--device", "1", "all"}, "'all' stands alone"},
        {{"test", "--outputs", "32"}, "output '32'"},
        {{"test", "--outputs", "none"}, "nothing to test"},
        {{"test", "--hold"}, "--hold"},
        {{"set", "1", "2", "--settle", "60001"}, "60001"},
        {{"panel", "--pulse", "1001"}, "1001"},
        {{"panel", "--pulse", "0"}, "--pulse"},
        {{"panel", "--listen", "65536"}, "65536"},
        // A word that holds a line break is still named on one line.
        {{"set", "x\ny", "1"}, "device 'x y'"},
        {{"set", "1", "3\r\n4"}, "output '3  4'"},
        {{"level", "1", "1\n"}, "level '1 '"},
    };
    for (const auto &[arguments, named] : cases) {
        const cli::Parsed parsed = Parse(arguments);
        EXPECT_FALSE(parsed.ok) << named;
        EXPECT_NE(parsed.error.find(named), std::string::npos) << "'" << parsed.error << "' should name " << named;
        EXPECT_EQ(parsed.error.find('\n'), std::string::npos) << "one line: " << parsed.error;
    }
}

TEST(ToolArguments, OptionsGoBeforeOrAfterTheCommand)
{
    const cli::Parsed before = P({"--library", "/opt/x/libBrindlex.so", "test", "--delay", "25"});
    ASSERT_TRUE(before.ok) << before.error;
    EXPECT_EQ(before.invocation.action, Action::Test);
    EXPECT_EQ(before.invocation.delayMs, 25);
    EXPECT_EQ(before.invocation.library, "/opt/x/libBrindlex.so");
    const cli::Parsed after = P({"set", "2", "0x1F", "--library", "lib.so"});
    ASSERT_TRUE(after.ok) << after.error;
    EXPECT_EQ(after.invocation.library, "lib.so");
    EXPECT_EQ(after.invocation.outputs, 0x80000000U) << "0x1F is output 31";
    EXPECT_EQ(P({"test"}).invocation.delayMs, 100);
    // A leading zero is decimal, not octal as CLI11's own conversion reads it.
    EXPECT_EQ(P({"level", "1", "010"}).invocation.levels[5], 10);

    const cli::Parsed check = P({"check", "--port", "COM3"});
    ASSERT_TRUE(check.ok) << check.error;
    EXPECT_EQ(check.invocation.action, Action::Check);
    EXPECT_EQ(check.invocation.port, "COM3");
    EXPECT_TRUE(P({"check"}).invocation.port.empty());
    const cli::Parsed rule = P({"ports", "--udev-rule", "/dev/ttyUSB1"});
    ASSERT_TRUE(rule.ok) << rule.error;
    EXPECT_EQ(rule.invocation.action, Action::Ports);
    EXPECT_EQ(rule.invocation.udevRulePort, "/dev/ttyUSB1");
    EXPECT_EQ(P({"--version"}).invocation.action, Action::Version);

    const cli::Parsed limited = P({"test", "--device", "2-4,8", "--outputs", "0", "4-7", "--settle", "2000"});
    ASSERT_TRUE(limited.ok) << limited.error;
    EXPECT_EQ(limited.invocation.testDevices, 0x8EU);
    EXPECT_EQ(limited.invocation.testOutputs, 0xF1U);
    EXPECT_EQ(limited.invocation.settleMs, 2000);
    EXPECT_EQ(P({"test"}).invocation.testDevices, 0xFFU);
    const cli::Parsed held = P({"level", "--settle", "500", "--hold", "3", "128"});
    ASSERT_TRUE(held.ok) << held.error;
    EXPECT_TRUE(held.invocation.hold);
    EXPECT_EQ(held.invocation.settleMs, 500);
    EXPECT_FALSE(P({"set", "3", "1"}).invocation.hold);
}

TEST(ToolArguments, ThePanelTakesItsPortPulseAndSettle)
{
    const cli::Parsed panel = P({"panel", "--listen", "8123", "--pulse", "250", "--settle", "2000", "--no-browser"});
    ASSERT_TRUE(panel.ok) << panel.error;
    EXPECT_EQ(panel.invocation.action, Action::Panel);
    EXPECT_EQ(panel.invocation.listenPort, 8123);
    EXPECT_EQ(panel.invocation.pulseMs, 250);
    EXPECT_EQ(panel.invocation.settleMs, 2000);
    EXPECT_TRUE(panel.invocation.noBrowser);
    EXPECT_EQ(P({"panel"}).invocation.pulseMs, 100);
}

TEST(ToolArguments, NoArgumentsInAConsoleOfItsOwnIsADoubleClick)
{
    EXPECT_EQ(Parse({}, true).invocation.action, Action::Welcome);
    EXPECT_FALSE(Parse({}, false).ok);
    EXPECT_EQ(Parse({"check"}, true).invocation.action, Action::Check);
}

TEST(ToolArguments, HelpDescribesEveryCommandTheGrammarAndTheExitCodes)
{
    const cli::Parsed help = P({"--help"});
    ASSERT_TRUE(help.ok);
    EXPECT_EQ(help.invocation.action, Action::Help);
    for (const char *word : {"devices", "set", "level", "test", "check", "ports", "--library", "--version",
                             "4-7", "'all' or 'none'", "0x", "130", " 3 "}) {
        EXPECT_NE(help.help.find(word), std::string::npos) << word << " missing from:\n" << help.help;
    }
    // A command's own help, even after a bad argument, names its options.
    const cli::Parsed test = P({"test", "--help"});
    EXPECT_EQ(test.invocation.action, Action::Help);
    EXPECT_NE(test.help.find("--delay"), std::string::npos) << test.help;
    const cli::Parsed check = P({"check", "--help"});
    EXPECT_NE(check.help.find("--port"), std::string::npos) << check.help;
    EXPECT_EQ(P({"set", "9", "--help"}).invocation.action, Action::Help);
}
