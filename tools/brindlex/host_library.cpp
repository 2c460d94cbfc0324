#include "host_library.h"

#include "library_file.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <climits>
#include <dlfcn.h>
#include <unistd.h>
#endif

namespace {

#ifdef _WIN32
std::wstring Wide(const std::string &text)
{
    const int size = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
    std::wstring wide(size > 0 ? size - 1 : 0, L'\0');
    if (size > 1) {
        MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, wide.data(), size);
    }
    return wide;
}

void *Symbol(void *handle, const char *name)
{
    return reinterpret_cast<void *>(GetProcAddress(static_cast<HMODULE>(handle), name));
}
#else
void *Symbol(void *handle, const char *name)
{
    return dlsym(handle, name);
}
#endif

std::vector<int32_t> announced;

void BRINDLEX_CALL OnDevice(int32_t reason, int32_t id)
{
    if (reason == BRINDLEX_REASON_DEVICE_ARRIVED) {
        announced.push_back(id);
    }
}

template <typename Function> Function As(void *symbol)
{
    return reinterpret_cast<Function>(symbol);
}

// Why a file could not be loaded, in the words of someone choosing which
// file to take; systemReason is the loader's own message.
std::string LoadFailure(const std::string &file, const std::string &systemReason)
{
    const LibraryFile found = InspectLibrary(file);
    if (!found.exists) {
        return "cannot load " + file + ": there is no such file";
    }
    if (found.architecture.empty() || !found.library) {
        return "cannot load " + file + ": it is not a shared library";
    }
    if (!found.runsHere) {
#ifdef _WIN32
        if (!found.windows) {
            return "cannot load " + file + ": it is a Linux library, not a Windows DLL";
        }
        const bool program64 = sizeof(void *) == 8;
        return "cannot load " + file + ": it is a DLL for " + found.architecture + " and this brindlex.exe is " +
               ProgramArchitecture() + "; take Brindlex.dll from the package's " + (program64 ? "x64" : "x86") +
               " folder, with the brindlex.exe beside it (a host of the other bitness takes the other folder)";
#else
        if (found.windows) {
            return "cannot load " + file + ": it is a Windows DLL, not a Linux library";
        }
        return "cannot load " + file + ": it is a library for " + found.architecture + " and this brindlex runs on " +
               ProgramArchitecture() + "; take the package built for this machine";
#endif
    }
    return "cannot load " + file + ": " + systemReason;
}

} // namespace

std::string LibraryBesideProgram()
{
#ifdef _WIN32
    wchar_t program[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, program, MAX_PATH);
    std::wstring path(program, length);
    path = path.substr(0, path.find_last_of(L"\\/") + 1) + L"Brindlex.dll";
    const int size = WideCharToMultiByte(CP_UTF8, 0, path.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string narrow(size > 0 ? size - 1 : 0, '\0');
    WideCharToMultiByte(CP_UTF8, 0, path.c_str(), -1, narrow.data(), size, nullptr, nullptr);
    return narrow;
#else
    char program[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", program, sizeof program - 1);
    std::string path(program, length > 0 ? static_cast<std::size_t>(length) : 0);
    const std::string folder = path.substr(0, path.find_last_of('/') + 1);
    // Beside the program in a build folder; in lib/ beside bin/ from the
    // tarball; in the system's library folder from the packages.
    for (const std::string &candidate : {folder + "libBrindlex.so", folder + "../lib/libBrindlex.so",
                                         std::string(BRINDLEX_INSTALLED_LIBRARY)}) {
        if (access(candidate.c_str(), F_OK) == 0) {
            return candidate;
        }
    }
    return folder + "libBrindlex.so";
#endif
}

bool LoadHostLibrary(const std::string &path, HostLibrary &library, std::string &error)
{
    const std::string file = path.empty() ? LibraryBesideProgram() : path;
#ifdef _WIN32
    library.handle = LoadLibraryW(Wide(file).c_str());
    if (library.handle == nullptr) {
        const DWORD code = GetLastError();
        error = LoadFailure(file, code == ERROR_MOD_NOT_FOUND
                                      ? "a DLL it needs is missing (error 126)"
                                      : "error " + std::to_string(code));
        return false;
    }
#else
    // A bare name would be searched for on the library path: keep it a path.
    const std::string local = file.find('/') == std::string::npos ? "./" + file : file;
    library.handle = dlopen(local.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library.handle == nullptr) {
        error = LoadFailure(file, dlerror());
        return false;
    }
#endif
    library.sba = As<decltype(library.sba)>(Symbol(library.handle, "LWZ_SBA"));
    library.pba = As<decltype(library.pba)>(Symbol(library.handle, "LWZ_PBA"));
    library.setNotify = As<decltype(library.setNotify)>(Symbol(library.handle, "LWZ_SET_NOTIFY"));
    if (!library.sba || !library.pba || !library.setNotify) {
        error = file + " does not export LWZ_SBA, LWZ_PBA and LWZ_SET_NOTIFY";
        UnloadHostLibrary(library);
        return false;
    }
    return true;
}

void UnloadHostLibrary(HostLibrary &library)
{
    if (library.handle != nullptr) {
#ifdef _WIN32
        FreeLibrary(static_cast<HMODULE>(library.handle));
#else
        dlclose(library.handle);
#endif
        library.handle = nullptr;
    }
}

std::string LibraryVersion(const std::string &path)
{
#ifdef _WIN32
    const std::wstring wide = Wide(path);
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(wide.c_str(), &ignored);
    std::string data(size, '\0');
    VS_FIXEDFILEINFO *fixed = nullptr;
    UINT length = 0;
    if (size == 0 || !GetFileVersionInfoW(wide.c_str(), 0, size, data.data()) ||
        !VerQueryValueW(data.data(), L"\\", reinterpret_cast<void **>(&fixed), &length) || fixed == nullptr) {
        return "";
    }
    return std::to_string(HIWORD(fixed->dwFileVersionMS)) + "." + std::to_string(LOWORD(fixed->dwFileVersionMS)) +
           "." + std::to_string(HIWORD(fixed->dwFileVersionLS));
#else
    char real[PATH_MAX];
    if (realpath(path.c_str(), real) == nullptr) {
        return "";
    }
    const std::string name = std::string(real).substr(std::string(real).find_last_of('/') + 1);
    const auto suffix = name.find(".so.");
    return suffix == std::string::npos ? "" : name.substr(suffix + 4);
#endif
}

std::vector<int32_t> AnnouncedDevices(const HostLibrary &library)
{
    announced.clear();
    DeviceList list{};
    library.setNotify(OnDevice, &list);
    return announced;
}

std::string DescribeLibrary(const std::string &libraryOption)
{
    const std::string path = libraryOption.empty() ? LibraryBesideProgram() : libraryOption;
    const LibraryFile file = InspectLibrary(path);
    std::string about;
    if (!file.exists) {
        about = "not found";
    } else if (!file.library) {
        about = "not a shared library";
    } else {
        const std::string version = LibraryVersion(path);
        about = "version " + (version.empty() ? std::string("unknown") : version);
        if (!file.soname.empty()) {
            about += ", soname " + file.soname;
        }
        about += ", " + file.architecture;
        if (!file.runsHere) {
            about += ": not loadable by this brindlex";
        }
    }
    return path + " (" + about + ")";
}
