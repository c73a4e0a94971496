# 32-bit x86 Linux, with the compiler baseline of Android's x86 ABI: the same
# instruction set and calling convention as the real target, so that the
# library can be tested in a 32-bit JVM on a desktop.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)

set(_x86_flags "-m32 -march=i686 -mssse3 -mfpmath=sse -mstackrealign")
set(CMAKE_C_FLAGS_INIT "${_x86_flags}")
set(CMAKE_CXX_FLAGS_INIT "${_x86_flags}")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-m32")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-m32")

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)

# Debian's multiarch: let pkg-config (FindOpenSSL uses it) see the i386 libraries.
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/i386-linux-gnu/pkgconfig:/usr/share/pkgconfig")
