# The library for 64-bit Windows hosts under Wine: a Winelib DLL, built by
# Debian's winegcc from the Linux library's own code (cmake/Winelib.cmake).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
set(BRINDLEX_WINELIB_TARGET x86_64-linux-gnu)
# The folder under the library folder, apart from the Linux library, for
# WINEDLLPATH to name.
set(BRINDLEX_WINELIB_FOLDER wine-x64)
