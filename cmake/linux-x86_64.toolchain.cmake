# 64-bit x86 Linux with the baseline of Android's x86_64 ABI as the NDK's
# clang targets it (SSE4.2 and POPCNT), so that the host build tests the
# instructions a device runs rather than the SSE2 of any x86-64.
# Flags only: this is the host itself, not a cross build.
set(_x86_64_flags "-msse4.2 -mpopcnt")
set(CMAKE_C_FLAGS_INIT "${_x86_64_flags}")
set(CMAKE_CXX_FLAGS_INIT "${_x86_64_flags}")
