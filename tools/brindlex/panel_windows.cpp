#include "panel_platform.h"

#include <windows.h>
#include <bcrypt.h>
#include <shellapi.h>

bool RandomBytes(uint8_t *data, std::size_t size)
{
    return BCryptGenRandom(nullptr, data, static_cast<ULONG>(size), BCRYPT_USE_SYSTEM_PREFERRED_RNG) >= 0;
}

bool OpenBrowser(const std::string &url)
{
    const std::wstring wide(url.begin(), url.end()); // the address is ASCII
    const auto result = ShellExecuteW(nullptr, L"open", wide.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
    return reinterpret_cast<INT_PTR>(result) > 32;
}
