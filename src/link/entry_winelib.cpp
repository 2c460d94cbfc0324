// Load, unload and exports of the Winelib build: Windows hosts under Wine call
// the Linux library through these. A Windows caller uses the Microsoft x64
// convention on x86_64 and guarantees only 4-byte stack alignment on i386,
// so each entry takes the call the Windows way and passes it on.
#include "brindlex.h"
#include "link/link.h"

#if defined(__i386__)
#define WINDOWS_CALL __attribute__((cdecl, force_align_arg_pointer))
#define WINDOWS_API __attribute__((stdcall, force_align_arg_pointer))
#else
// x86_64, the other architecture of the Winelib toolchains.
#define WINDOWS_CALL __attribute__((ms_abi))
#define WINDOWS_API __attribute__((ms_abi))
#endif

namespace {

constexpr unsigned PROCESS_DETACH = 0;
constexpr unsigned PROCESS_ATTACH = 1;

using HostNotifyProc = void(WINDOWS_CALL *)(int32_t reason, int32_t deviceId);

HostNotifyProc hostNotifyProc = nullptr;

// The library calls back in this platform's convention; the host's callback
// expects Windows'.
void NotifyHost(int32_t reason, int32_t deviceId)
{
    hostNotifyProc(reason, deviceId);
}

} // namespace

extern "C" {

// Wine's start-up code calls it as a DllMain when the host loads the
// placeholder Brindlex.dll, so the link opens and closes with the host's
// LoadLibrary and FreeLibrary as on Windows.
WINDOWS_API int DllMain(void *module, unsigned reason, void *reserved)
{
    (void)module;
    (void)reserved;
    if (reason == PROCESS_ATTACH) {
        OpenLink();
    } else if (reason == PROCESS_DETACH) {
        CloseLink();
    }
    return 1;
}

WINDOWS_CALL void WinelibSba(int32_t deviceId, int32_t bank0, int32_t bank1, int32_t bank2, int32_t bank3)
{
    LWZ_SBA(deviceId, bank0, bank1, bank2, bank3);
}

WINDOWS_CALL void WinelibPba(int32_t deviceId, const uint8_t *values)
{
    LWZ_PBA(deviceId, values);
}

WINDOWS_CALL void WinelibSetNotify(HostNotifyProc notifyProc, DeviceList *deviceList)
{
    hostNotifyProc = notifyProc;
    LWZ_SET_NOTIFY(notifyProc != nullptr ? NotifyHost : nullptr, deviceList);
}

// Both ignored exports, with whatever arguments the host passes: the caller
// removes them.
WINDOWS_CALL void WinelibIgnored()
{
    LWZ_REGISTER();
}
}
