# The library for 32-bit Windows hosts under Wine: a Winelib DLL, built by
# Debian's winegcc with the i686 cross compiler (gcc-multilib would take the
# ARM cross compilers away).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
set(CMAKE_C_COMPILER i686-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER i686-linux-gnu-g++)
set(BRINDLEX_WINELIB_TARGET i686-linux-gnu)
# The folder under the library folder, apart from the Linux library, for
# WINEDLLPATH to name.
set(BRINDLEX_WINELIB_FOLDER wine-x86)
