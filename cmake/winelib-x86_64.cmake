# The library for 64-bit Windows hosts under Wine: a Winelib DLL, built by
# Debian's winegcc from the Linux library's own code (cmake/Winelib.cmake).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
set(BRINDLEX_WINELIB_TARGET x86_64-linux-gnu)
# Where Wine looks for its own DLLs of this bitness.
set(BRINDLEX_WINELIB_UNIX_DIR lib/x86_64-linux-gnu/wine/x86_64-unix)
set(BRINDLEX_WINELIB_WINDOWS_DIR lib/x86_64-linux-gnu/wine/x86_64-windows)
