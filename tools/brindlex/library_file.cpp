#include "library_file.h"

#include <cstring>
#include <fstream>
#include <iterator>

namespace {

constexpr uint16_t ELF_X86 = 3;
constexpr uint16_t ELF_ARM = 40;
constexpr uint16_t ELF_X86_64 = 62;
constexpr uint16_t ELF_AARCH64 = 183;
constexpr uint16_t PE_I386 = 0x14C;
constexpr uint16_t PE_AMD64 = 0x8664;
constexpr uint16_t PE_ARM64 = 0xAA64;

// Little-endian reads that stay inside the file: a truncated or hostile file
// gives zeros, never a read past its end.
uint64_t Read(const std::vector<uint8_t> &bytes, uint64_t offset, unsigned size)
{
    if (offset > bytes.size() || size > bytes.size() - offset) {
        return 0;
    }
    uint64_t value = 0;
    for (unsigned n = 0; n < size; ++n) {
        value |= uint64_t{bytes[offset + n]} << (8 * n);
    }
    return value;
}

std::string ElfArchitecture(uint16_t machine)
{
    switch (machine) {
    case ELF_X86: return "x86 (32-bit)";
    case ELF_X86_64: return "x86_64";
    case ELF_ARM: return "armhf (32-bit ARM)";
    case ELF_AARCH64: return "arm64 (aarch64)";
    default: return "machine type " + std::to_string(machine);
    }
}

std::string PeArchitecture(uint16_t machine)
{
    switch (machine) {
    case PE_I386: return "x86 (32-bit)";
    case PE_AMD64: return "x64 (64-bit)";
    case PE_ARM64: return "arm64";
    default: return "machine type " + std::to_string(machine);
    }
}

// The soname: DT_SONAME's offset into the string table DT_STRTAB, whose
// address the PT_LOAD segments map back to a file offset.
std::string ElfSoname(const std::vector<uint8_t> &elf, bool wide)
{
    const unsigned word = wide ? 8 : 4;
    const uint64_t programHeaders = Read(elf, wide ? 32 : 28, word);
    const uint64_t entrySize = Read(elf, wide ? 54 : 42, 2);
    const uint64_t count = Read(elf, wide ? 56 : 44, 2);
    uint64_t dynamicOffset = 0;
    uint64_t dynamicSize = 0;
    struct Load {
        uint64_t offset, address, size;
    };
    std::vector<Load> loads;
    for (uint64_t n = 0; n < count; ++n) {
        const uint64_t header = programHeaders + n * entrySize;
        const uint64_t type = Read(elf, header, 4);
        const uint64_t offset = Read(elf, header + (wide ? 8 : 4), word);
        const uint64_t address = Read(elf, header + (wide ? 16 : 8), word);
        const uint64_t size = Read(elf, header + (wide ? 32 : 16), word);
        if (type == 1) { // PT_LOAD
            loads.push_back({offset, address, size});
        } else if (type == 2) { // PT_DYNAMIC
            dynamicOffset = offset;
            dynamicSize = size;
        }
    }
    uint64_t strings = 0;
    uint64_t soname = UINT64_MAX;
    for (uint64_t entry = dynamicOffset; entry + 2 * word <= dynamicOffset + dynamicSize; entry += 2 * word) {
        const uint64_t tag = Read(elf, entry, word);
        const uint64_t value = Read(elf, entry + word, word);
        if (tag == 0) {
            break;
        }
        if (tag == 5) { // DT_STRTAB
            strings = value;
        } else if (tag == 14) { // DT_SONAME
            soname = value;
        }
    }
    if (soname == UINT64_MAX) {
        return "";
    }
    for (const Load &load : loads) {
        if (strings >= load.address && strings < load.address + load.size) {
            const uint64_t at = strings - load.address + load.offset + soname;
            std::string name;
            for (uint64_t n = at; n < elf.size() && elf[n] != 0 && name.size() < 256; ++n) {
                name += static_cast<char>(elf[n]);
            }
            return name;
        }
    }
    return "";
}

uint16_t ProgramElfMachine()
{
#if defined(__x86_64__)
    return ELF_X86_64;
#elif defined(__aarch64__)
    return ELF_AARCH64;
#elif defined(__arm__)
    return ELF_ARM;
#elif defined(__i386__)
    return ELF_X86;
#else
    return 0;
#endif
}

uint16_t ProgramPeMachine()
{
#if defined(__x86_64__)
    return PE_AMD64;
#elif defined(__aarch64__)
    return PE_ARM64;
#elif defined(__i386__)
    return PE_I386;
#else
    return 0;
#endif
}

constexpr bool ForWindows()
{
#ifdef _WIN32
    return true;
#else
    return false;
#endif
}

} // namespace

LibraryFile DescribeLibrary(const std::vector<uint8_t> &contents)
{
    LibraryFile file;
    file.exists = true;
    if (contents.size() >= 64 && std::memcmp(contents.data(), "\x7f" "ELF", 4) == 0 && contents[5] == 1) {
        const bool wide = contents[4] == 2;
        const auto type = static_cast<uint16_t>(Read(contents, 16, 2));
        const auto machine = static_cast<uint16_t>(Read(contents, 18, 2));
        file.library = type == 3; // ET_DYN
        file.architecture = ElfArchitecture(machine);
        file.runsHere = !ForWindows() && machine == ProgramElfMachine() && wide == (sizeof(void *) == 8);
        file.soname = ElfSoname(contents, wide);
    } else if (contents.size() >= 64 && contents[0] == 'M' && contents[1] == 'Z') {
        const uint64_t header = Read(contents, 0x3C, 4);
        if (Read(contents, header, 4) == 0x00004550) { // "PE\0\0"
            const auto machine = static_cast<uint16_t>(Read(contents, header + 4, 2));
            const uint64_t characteristics = Read(contents, header + 22, 2);
            file.library = (characteristics & 0x2000) != 0; // IMAGE_FILE_DLL
            file.windows = true;
            file.architecture = PeArchitecture(machine);
            file.runsHere = ForWindows() && machine == ProgramPeMachine();
        }
    }
    return file;
}

LibraryFile InspectLibrary(const std::string &path)
{
    std::ifstream stream(path, std::ios::binary);
    if (!stream) {
        return LibraryFile{};
    }
    const std::vector<uint8_t> contents{std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>()};
    return DescribeLibrary(contents);
}

std::string ProgramArchitecture()
{
#ifdef _WIN32
    return PeArchitecture(ProgramPeMachine());
#else
    return ElfArchitecture(ProgramElfMachine());
#endif
}
