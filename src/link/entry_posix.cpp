// Load and unload of the shared object: the link opens when the library is
// loaded into a process and closes when it is unloaded.
#include "link/link.h"

__attribute__((constructor)) static void LoadLibraryEntry()
{
    OpenLink();
}

__attribute__((destructor)) static void UnloadLibraryEntry()
{
    CloseLink();
}
