#include "options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

emulator::ParsedOptions Parse(std::vector<std::string> arguments)
{
    arguments.insert(arguments.begin(), "brindlex-emulator");
    std::vector<const char *> argv;
    for (const std::string &argument : arguments) {
        argv.push_back(argument.c_str());
    }
    return emulator::ParseOptions(static_cast<int>(argv.size()), argv.data(), "9.8.7");
}

} // namespace

TEST(EmulatorOptions, EveryOptionArrivesTyped)
{
    const auto parsed = Parse({"--device", "/dev/ttyUSB1", "--link=/tmp/port", "--json", "--count",
                               "18446744073709551615", "--timeout", "0.25", "--totals", "t.txt"});
    ASSERT_TRUE(parsed.options) << parsed.error;
    EXPECT_EQ(parsed.options->device, "/dev/ttyUSB1");
    EXPECT_EQ(parsed.options->link, "/tmp/port");
    EXPECT_TRUE(parsed.options->json);
    EXPECT_FALSE(parsed.options->lines);
    EXPECT_EQ(parsed.options->count, UINT64_MAX);
    EXPECT_DOUBLE_EQ(parsed.options->timeoutSeconds, 0.25);
    EXPECT_EQ(parsed.options->totals, "t.txt");

    const auto defaults = Parse({});
    ASSERT_TRUE(defaults.options);
    EXPECT_EQ(defaults.options->count, 0U);
    EXPECT_EQ(defaults.options->timeoutSeconds, 0);
    EXPECT_TRUE(defaults.options->link.empty());
    EXPECT_DOUBLE_EQ(Parse({"--timeout", "1e-3"}).options->timeoutSeconds, 0.001);
}

TEST(EmulatorOptions, OutOfRangeAndMistypedValuesAreOneLineErrors)
{
    const std::vector<std::vector<std::string>> bad = {
        {"--count", "-1"},         {"--count", "18446744073709551616"}, {"--count", "0x10"},
        {"--count", "+5"},         {"--count", " 5"},                   {"--timeout", "nan"},
        {"--timeout", "-inf"},     {"--timeout", "1e400"},              {"--timeout", "0x1p3"},
        {"--timeout", "-0"},       {"--lines", "--json"},               {"--count", "1", "--count", "2"},
        {"--totals", ""},          {"-x"},
    };
    for (const auto &arguments : bad) {
        const auto parsed = Parse(arguments);
        const std::string named = arguments[0] == "--lines" ? "--json" : arguments[0];
        EXPECT_FALSE(parsed.options) << named;
        EXPECT_EQ(parsed.exitCode, 2) << named;
        EXPECT_TRUE(parsed.out.empty()) << named;
        EXPECT_EQ(parsed.error.rfind("brindlex-emulator: ", 0), 0U) << parsed.error;
        EXPECT_NE(parsed.error.find(named), std::string::npos) << parsed.error;
        EXPECT_EQ(parsed.error.find('\n'), std::string::npos) << parsed.error;
    }
}

TEST(EmulatorOptions, HelpAndVersionGoToStdoutWithStatusZero)
{
    const auto help = Parse({"--help"});
    EXPECT_FALSE(help.options);
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_TRUE(help.error.empty());
    EXPECT_NE(help.out.find("--totals FILE"), std::string::npos) << help.out;
    EXPECT_NE(help.out.find("Exit status"), std::string::npos) << help.out;
    const auto version = Parse({"--count", "5", "--version"});
    EXPECT_FALSE(version.options);
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.out, "brindlex-emulator 9.8.7\n");
}
