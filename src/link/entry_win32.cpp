// Load and unload of the DLL: the link opens at process attach and closes at
// process detach. Loading never fails because of the port.
#include "link/link.h"

#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID reserved)
{
    (void)module;
    (void)reserved;
    if (reason == DLL_PROCESS_ATTACH) {
        OpenLink();
    } else if (reason == DLL_PROCESS_DETACH) {
        CloseLink();
    }
    return TRUE;
}
