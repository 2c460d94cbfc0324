// A library with the output exports that allocates at load, in every call
// (once itself, once through libc) and at unload: what the allocation
// counter must catch. It writes each call to the test port like the real one.
#include "brindlex.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#ifndef BRINDLEX_TEST_PORT
#error "BRINDLEX_TEST_PORT must name the test port"
#endif

static void *kept = nullptr;
static int port = -1;

__attribute__((constructor)) static void Load()
{
    kept = std::malloc(64);
    port = open(BRINDLEX_TEST_PORT, O_WRONLY | O_NOCTTY | O_CLOEXEC);
}

__attribute__((destructor)) static void Unload()
{
    std::free(kept);
    close(port);
}

static void Send(const char *what)
{
    // Its own allocation comes first and is no tail call, so the library's
    // frame is on the stack however libc and the final free were reached:
    // where libc carries no unwind tables (armhf), a walk from inside malloc
    // stops at strdup.
    const std::size_t length = std::strlen(what);
    char *buffer = static_cast<char *>(std::malloc(length));
    std::memcpy(buffer, what, length);
    char *copy = strdup(what);
    (void)!write(port, buffer, length);
    std::free(copy);
    std::free(buffer);
}

extern "C" BRINDLEX_API void LWZ_SBA(int32_t, int32_t, int32_t, int32_t, int32_t)
{
    Send("states");
}

extern "C" BRINDLEX_API void LWZ_PBA(int32_t, const uint8_t *)
{
    Send("levels");
}
