// What a library file is, read from its headers without loading it: loading
// the library opens the controller's port, and a file of the wrong kind
// cannot be loaded to ask.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct LibraryFile {
    bool exists = false;
    bool library = false;      // an ELF shared object or a PE DLL
    bool windows = false;      // a PE DLL rather than an ELF shared object
    std::string architecture;  // e.g. "x86_64", "arm64 (aarch64)"; empty if unknown
    bool runsHere = false;     // same architecture as this program
    std::string soname;        // ELF only, e.g. "libBrindlex.so.1"
};

// Reads a library's kind from the first bytes of its file (ELF or PE), and an
// ELF's soname from its dynamic section.
LibraryFile DescribeLibrary(const std::vector<uint8_t> &contents);

// The file at path, described; exists is false when it cannot be read.
LibraryFile InspectLibrary(const std::string &path);

// The architecture this program was built for, named as DescribeLibrary
// names it.
std::string ProgramArchitecture();
