#include "library_file.h"

#include <gtest/gtest.h>

namespace {

std::vector<uint8_t> ElfHeader(uint8_t elfClass, uint16_t type, uint16_t machine)
{
    std::vector<uint8_t> header(64, 0);
    header[0] = 0x7f;
    header[1] = 'E';
    header[2] = 'L';
    header[3] = 'F';
    header[4] = elfClass;
    header[5] = 1; // little-endian
    header[16] = static_cast<uint8_t>(type);
    header[18] = static_cast<uint8_t>(machine);
    header[19] = static_cast<uint8_t>(machine >> 8);
    return header;
}

std::vector<uint8_t> PeHeader(uint16_t machine, bool dll)
{
    std::vector<uint8_t> image(256, 0);
    image[0] = 'M';
    image[1] = 'Z';
    image[0x3C] = 0x80;
    image[0x80] = 'P';
    image[0x81] = 'E';
    image[0x84] = static_cast<uint8_t>(machine);
    image[0x85] = static_cast<uint8_t>(machine >> 8);
    image[0x80 + 23] = dll ? 0x20 : 0; // IMAGE_FILE_DLL in the high byte
    return image;
}

} // namespace

TEST(LibraryFile, TheBuiltLibraryIsReadWithItsSonameAndRunsHere)
{
    const LibraryFile built = InspectLibrary(BRINDLEX_BUILT_LIBRARY);
    ASSERT_TRUE(built.exists);
    EXPECT_TRUE(built.library);
    EXPECT_TRUE(built.runsHere);
    EXPECT_EQ(built.architecture, ProgramArchitecture());
    EXPECT_EQ(built.soname, "libBrindlex.so.1");
    EXPECT_FALSE(InspectLibrary("/nonexistent/libBrindlex.so").exists);
}

TEST(LibraryFile, OtherArchitecturesAndKindsAreNamed)
{
    // Each runs exactly where this program was built for the same machine
    // and width: these tests run on x86_64, arm64 and armhf alike.
    const LibraryFile arm = DescribeLibrary(ElfHeader(1, 3, 40));
    EXPECT_TRUE(arm.library);
    EXPECT_EQ(arm.architecture, "armhf (32-bit ARM)");
    EXPECT_EQ(arm.runsHere, ProgramArchitecture() == "armhf (32-bit ARM)");
    const LibraryFile arm64 = DescribeLibrary(ElfHeader(2, 3, 183));
    EXPECT_EQ(arm64.architecture, "arm64 (aarch64)");
    EXPECT_EQ(arm64.runsHere, ProgramArchitecture() == "arm64 (aarch64)");
    EXPECT_EQ(DescribeLibrary(ElfHeader(2, 3, 62)).runsHere, ProgramArchitecture() == "x86_64");
    EXPECT_EQ(DescribeLibrary(ElfHeader(1, 3, 3)).runsHere, ProgramArchitecture() == "x86 (32-bit)");
    // The right machine at the wrong width is not ours either.
    EXPECT_FALSE(DescribeLibrary(ElfHeader(1, 3, 183)).runsHere);
    EXPECT_FALSE(DescribeLibrary(ElfHeader(2, 3, 40)).runsHere);
    EXPECT_FALSE(DescribeLibrary(ElfHeader(2, 2, 62)).library) << "an executable is not a library";

    const LibraryFile dll32 = DescribeLibrary(PeHeader(0x14C, true));
    EXPECT_TRUE(dll32.library);
    EXPECT_EQ(dll32.architecture, "x86 (32-bit)");
    EXPECT_EQ(DescribeLibrary(PeHeader(0x8664, true)).architecture, "x64 (64-bit)");
    EXPECT_FALSE(DescribeLibrary(PeHeader(0x8664, false)).library) << "an .exe is not a DLL";
    EXPECT_TRUE(dll32.windows);
    // This test runs on Linux, where no DLL loads, whatever its machine.
    EXPECT_FALSE(DescribeLibrary(PeHeader(0x8664, true)).runsHere);
    EXPECT_FALSE(DescribeLibrary(PeHeader(0xAA64, true)).runsHere);

    const LibraryFile text = DescribeLibrary({'h', 'e', 'l', 'l', 'o'});
    EXPECT_TRUE(text.exists);
    EXPECT_FALSE(text.library);
    EXPECT_TRUE(text.architecture.empty());
}

TEST(LibraryFile, HeadersPointingOutsideTheFileAreReadSafely)
{
    // Program headers, a dynamic section and a PE header all claimed far
    // past the end: described as far as it goes, never read beyond.
    std::vector<uint8_t> elf = ElfHeader(2, 3, 62);
    elf[32] = 0xF0;   // e_phoff
    elf[39] = 0x7F;
    elf[54] = 56;     // e_phentsize
    elf[56] = 0xFF;   // e_phnum
    elf[57] = 0xFF;
    EXPECT_TRUE(DescribeLibrary(elf).soname.empty());
    std::vector<uint8_t> pe = PeHeader(0x8664, true);
    pe[0x3F] = 0x7F; // e_lfanew far away
    EXPECT_FALSE(DescribeLibrary(pe).library);
}
