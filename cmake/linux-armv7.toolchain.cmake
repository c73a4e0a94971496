# 32-bit ARM Linux with the baseline of Android's armeabi-v7a ABI as the NDK
# builds it (ARMv7-A, Thumb-2, Neon: the NDK's default since r21, and with it
# d16-d31), built with clang (the NDK's compiler) and lld; the tests run under
# qemu-arm and in an arm64 VM (scripts/vm.sh). Android's armeabi-v7a passes
# floats in integer registers (softfp); Debian's armhf passes them in VFP
# registers. The library has no floating point, so the instructions it runs
# are the same.
set(_rootchecker_triple arm-linux-gnueabihf)
set(_rootchecker_processor armv7-a)
set(_rootchecker_flags "-march=armv7-a -mthumb -mfpu=neon -mfloat-abi=hard")
set(_rootchecker_qemu qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/linux-clang-cross.cmake)
