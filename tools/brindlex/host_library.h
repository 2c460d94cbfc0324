// Loads the Brindlex library exactly as a host application does and hands
// out its exports.
#pragma once

#include "brindlex.h"

#include <cstdint>
#include <string>
#include <vector>

struct HostLibrary {
    decltype(&LWZ_SBA) sba = nullptr;
    decltype(&LWZ_PBA) pba = nullptr;
    decltype(&LWZ_SET_NOTIFY) setNotify = nullptr;
    void *handle = nullptr;
};

// path empty: the library beside this program. On failure returns false and
// says why in error.
bool LoadHostLibrary(const std::string &path, HostLibrary &library, std::string &error);
void UnloadHostLibrary(HostLibrary &library);

// The library a host would load, or path, with its version, soname and
// architecture read from the file without loading it (loading it would open
// the port): "PATH (version 1.0.0, soname libBrindlex.so.1, x86_64)".
std::string DescribeLibrary(const std::string &path);

// The device ids the loaded library announces, in the order it calls back.
std::vector<int32_t> AnnouncedDevices(const HostLibrary &library);

// The library file a host would load from this program's folder.
std::string LibraryBesideProgram();

// The library's version without loading it: the DLL's version resource on
// Windows, the version its real file name carries on Linux (libBrindlex.so.1.0.0
// gives 1.0.0). Empty when the file has none.
std::string LibraryVersion(const std::string &path);
