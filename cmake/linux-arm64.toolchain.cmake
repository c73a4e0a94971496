# 64-bit ARM Linux with the baseline of Android's arm64-v8a ABI, built with
# clang (the NDK's compiler) and lld; the tests run under qemu-aarch64.
set(_rootchecker_triple aarch64-linux-gnu)
set(_rootchecker_processor aarch64)
set(_rootchecker_flags "-march=armv8-a")
set(_rootchecker_qemu qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/linux-clang-cross.cmake)
