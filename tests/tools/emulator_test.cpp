#include "options.h"
#include "port_link.h"
#include "report.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/stat.h>
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

namespace {

// A fresh folder, made the current one so that paths without a folder are
// tried too, and removed with everything in it at the end.
struct Folder {
    std::filesystem::path path;
    std::filesystem::path before = std::filesystem::current_path();

    Folder()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "emulator-link-XXXXXX").string();
        path = mkdtemp(pattern.data());
        std::filesystem::current_path(path);
    }
    ~Folder()
    {
        std::filesystem::current_path(before);
        std::filesystem::remove_all(path);
    }
    std::vector<std::string> Names() const
    {
        std::vector<std::string> names;
        for (const auto &entry : std::filesystem::directory_iterator(path)) {
            names.push_back(entry.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }
};

} // namespace

TEST(EmulatorLink, OnlyASymlinkOrNothingIsTakenAndWhatIsThereIsNamed)
{
    Folder folder;
    std::ofstream("file") << "data\n";
    std::filesystem::create_directory("folder");
    mkfifo("pipe", 0600);
    for (const auto &[name, kind] : {std::pair{"file", "a regular file"}, std::pair{"folder", "a directory"},
                                     std::pair{"pipe", "a named pipe"}}) {
        emulator::PortLink link{name, "/dev/pts/9", false, {}};
        const std::string error = emulator::LookAtLink(link);
        EXPECT_NE(error.find(std::string(name) + " is " + kind), std::string::npos) << error;
    }
    std::filesystem::create_symlink("/dev/ttyUSB0", "udev");
    emulator::PortLink udev{"udev", "/dev/pts/9", false, {}};
    EXPECT_EQ(emulator::LookAtLink(udev), "");
    EXPECT_TRUE(udev.replaced);
    EXPECT_EQ(udev.previous, "/dev/ttyUSB0");
    emulator::PortLink fresh{"fresh", "/dev/pts/9", true, "stale"};
    EXPECT_EQ(emulator::LookAtLink(fresh), "");
    EXPECT_FALSE(fresh.replaced);
}

TEST(EmulatorLink, ASymlinkIsSwappedAndPutBackLeavingNothingBeside)
{
    Folder folder;
    std::filesystem::create_symlink("/dev/ttyUSB0", "udev");
    emulator::PortLink link{"udev", "/dev/pts/9", false, {}};
    ASSERT_EQ(emulator::LookAtLink(link), "");
    ASSERT_EQ(emulator::PlaceLink(link), "");
    EXPECT_EQ(std::filesystem::read_symlink("udev"), "/dev/pts/9");
    EXPECT_EQ(folder.Names(), std::vector<std::string>{"udev"});
    ASSERT_EQ(emulator::RestoreLink(link), "");
    EXPECT_EQ(std::filesystem::read_symlink("udev"), "/dev/ttyUSB0");
    EXPECT_EQ(folder.Names(), std::vector<std::string>{"udev"});

    emulator::PortLink fresh{folder.path.string() + "/fresh", "/dev/pts/9", false, {}};
    ASSERT_EQ(emulator::LookAtLink(fresh), "");
    ASSERT_EQ(emulator::PlaceLink(fresh), "");
    EXPECT_EQ(std::filesystem::read_symlink("fresh"), "/dev/pts/9");
    ASSERT_EQ(emulator::RestoreLink(fresh), "");
    EXPECT_EQ(folder.Names(), std::vector<std::string>{"udev"});
}

TEST(EmulatorLink, APathChangedByOthersIsLeftAlone)
{
    Folder folder;
    // Between the look and the link: a file appeared.
    emulator::PortLink link{"port", "/dev/pts/9", false, {}};
    ASSERT_EQ(emulator::LookAtLink(link), "");
    std::ofstream("port") << "data\n";
    EXPECT_NE(emulator::PlaceLink(link), "");
    EXPECT_TRUE(std::filesystem::is_regular_file(std::filesystem::symlink_status("port")));
    std::filesystem::remove("port");

    // While it ran: udev pointed the link elsewhere, or it was removed.
    std::filesystem::create_symlink("/dev/ttyUSB0", "port");
    ASSERT_EQ(emulator::LookAtLink(link), "");
    ASSERT_EQ(emulator::PlaceLink(link), "");
    std::filesystem::remove("port");
    std::filesystem::create_symlink("/dev/ttyUSB1", "port");
    EXPECT_NE(emulator::RestoreLink(link).find("left as it is"), std::string::npos);
    EXPECT_EQ(std::filesystem::read_symlink("port"), "/dev/ttyUSB1");
    std::filesystem::remove("port");
    EXPECT_NE(emulator::RestoreLink(link), "");
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status("port")));
}

TEST(EmulatorReport, ACommandShowsTheBytesAsTheProtocolDocumentWritesThem)
{
    emulator::Command levels{7200, 0x03, 0xE0, {}, 1.23456789};
    for (std::size_t n = 0; n < 32; ++n) {
        levels.data[n] = static_cast<uint8_t>(n * 8);
    }
    const std::string hex = "00 03 E0 20 00 08 10 18 20 28 30 38 40 48 50 58 60 68 70 78 "
                            "80 88 90 98 A0 A8 B0 B8 C0 C8 D0 D8 E0 E8 F0 F8";
    const auto json = nlohmann::json::parse(emulator::CommandJson(levels, 200));
    EXPECT_EQ(json["hex"], hex);
    EXPECT_EQ(json["offset"], 7200);
    EXPECT_EQ(json["device"], 8);
    EXPECT_EQ(json["time"].dump(), "1.234568") << "to the microsecond";
    EXPECT_EQ(emulator::CommandLine(levels, 200),
              "#200 @7200 1.234568s device 8 levels " + hex.substr(12) + " bytes " + hex);

    emulator::Command states{0, 0x02, 0x40, {}, 0};
    states.data[0] = states.data[31] = 1;
    const std::string line = emulator::CommandLine(states, 1);
    const std::string begins = "#1 @0 0.000000s device 3 states #..............................# bytes 00 02 40 20 01 00";
    EXPECT_EQ(line.substr(0, begins.size()), begins);
    EXPECT_EQ(line.substr(line.size() - 6), " 00 01") << line;
}

TEST(EmulatorReport, BadBytesAreShownWhole)
{
    const emulator::Malformed one{36, "lead byte is not 0x00", 0.5, {0x55}};
    EXPECT_EQ(emulator::MalformedLine(one), "malformed at offset 36 0.500000s: lead byte is not 0x00; 1 byte: 55");
    const emulator::Malformed two{0, "why", 0, {0x00, 0xFF}};
    const auto json = nlohmann::json::parse(emulator::MalformedJson(two));
    EXPECT_EQ(json["hex"], "00 FF");
    EXPECT_EQ(json["length"], 2);
    EXPECT_EQ(json["reason"], "why");
}
