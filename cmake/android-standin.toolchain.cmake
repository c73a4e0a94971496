# A stand-in for the NDK's toolchain where there is no NDK: the library
# compiled and linked as the NDK does it for ANDROID_ABI at API 21 with
# ANDROID_STL=none, so that a header, flag or import the NDK would refuse
# fails here too.
#
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/android-standin.toolchain.cmake
#         -DANDROID_ABI=x86|x86_64|armeabi-v7a|arm64-v8a ...
#
# The same as the NDK: clang for the Android target triple (which brings the
# ABI's baseline: SSSE3 on x86, SSE4.2 and POPCNT on x86_64, Neon on
# armeabi-v7a), the NDK's compile flags and those CMake adds for STL none,
# lld, and a link against libraries named as bionic names them.
# Not the same:
# - Headers: bionic's C headers are not to be had here; Debian's multiarch
#   glibc headers for the same machine stand in, and Android's jni.h comes
#   from libnativehelper. What the library includes (stdint.h, string.h,
#   stddef.h, stdlib.h, fcntl.h, unistd.h) declares the same things in both.
# - Libraries: libc.so, libm.so and libdl.so are stubs that define only what
#   the loader check's import list allows (tests/android/bionic_stubs.py),
#   without bionic's symbol versions. The NDK's crtbegin_so.o, crtend_so.o
#   and compiler-rt builtins are not here, so the library is linked with
#   -nostdlib as well: any helper it would need from them fails the link.
# The project sees ANDROID set, as under the NDK: the library only, and a
# release key or an explicit ROOTCHECKER_ALLOW_DEVELOPMENT_KEY.

if(ANDROID_ABI STREQUAL "x86")
  set(_triple i686-linux-android21)
  # Debian's amd64 headers are biarch: gcc -m32 reads them too, with the
  # 32-bit stubs from libc6-dev-i386.
  set(_multiarch x86_64-linux-gnu)
  set(_libc_header gnu/stubs-32.h)
  # The NDK's for x86 below API 24: the stack is not 16-byte aligned there.
  set(_abi_flags "-mstackrealign")
elseif(ANDROID_ABI STREQUAL "x86_64")
  set(_triple x86_64-linux-android21)
  set(_multiarch x86_64-linux-gnu)
  set(_libc_header gnu/stubs-64.h)
  set(_abi_flags "")
elseif(ANDROID_ABI STREQUAL "armeabi-v7a")
  set(_triple armv7a-linux-androideabi21)
  set(_multiarch arm-linux-gnueabihf)
  set(_libc_header gnu/stubs-hard.h)
  set(_abi_flags "-march=armv7-a -mthumb -mfpu=neon -mfloat-abi=softfp")
elseif(ANDROID_ABI STREQUAL "arm64-v8a")
  set(_triple aarch64-linux-android21)
  set(_multiarch aarch64-linux-gnu)
  set(_libc_header gnu/stubs-lp64.h)
  set(_abi_flags "")
else()
  message(FATAL_ERROR "ANDROID_ABI is '${ANDROID_ABI}': give x86, x86_64, "
    "armeabi-v7a or arm64-v8a.")
endif()
if(NOT EXISTS "/usr/include/${_multiarch}/${_libc_header}")
  message(FATAL_ERROR "No C headers for ${ANDROID_ABI} (/usr/include/${_multiarch}/${_libc_header}): "
    "run scripts/setup.sh (Debian's libc6-dev for that architecture).")
endif()
if(NOT EXISTS "/usr/include/android/nativehelper/jni.h")
  message(FATAL_ERROR "No Android jni.h: run scripts/setup.sh (Debian's "
    "android-libnativehelper-dev).")
endif()

if(ROOTCHECKER_TOOLCHAIN_CHECK_ONLY)
  return()
endif()

set(CMAKE_SYSTEM_NAME Linux)
set(ANDROID TRUE)
set(ROOTCHECKER_ANDROID_STANDIN TRUE)
set(ANDROID_PLATFORM android-21)
set(ANDROID_STL none)
# Compiler checks compile but do not link: there is no C runtime to link a
# program against.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ANDROID_ABI
  ROOTCHECKER_STANDIN_SYSROOT)

set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET ${_triple})
set(CMAKE_CXX_COMPILER_TARGET ${_triple})

# The stub libraries and header shims, made once per build tree (compiler
# checks run in other trees and are handed the path).
if(NOT ROOTCHECKER_STANDIN_SYSROOT)
  set(ROOTCHECKER_STANDIN_SYSROOT "${CMAKE_BINARY_DIR}/android-standin-sysroot")
  find_program(ROOTCHECKER_STANDIN_PYTHON NAMES python3 REQUIRED)
  execute_process(
    COMMAND "${ROOTCHECKER_STANDIN_PYTHON}" "${CMAKE_CURRENT_LIST_DIR}/../tests/android/bionic_stubs.py"
      --out "${ROOTCHECKER_STANDIN_SYSROOT}/usr/lib" --target ${_triple}
    RESULT_VARIABLE _status)
  if(NOT _status EQUAL 0)
    message(FATAL_ERROR "Could not make the stub libraries for ${ANDROID_ABI}.")
  endif()
  # Debian's armhf headers are for hard float: gnu/stubs.h picks its list of
  # unimplemented functions by float ABI and has only the hard-float one.
  # armeabi-v7a passes floats in integer registers (softfp), which changes
  # calls, not the functions glibc has: the soft-float list is the hard one.
  file(WRITE "${ROOTCHECKER_STANDIN_SYSROOT}/usr/include/gnu/stubs-soft.h"
    "#include <gnu/stubs-hard.h>\n")
endif()

set(_includes "-nostdlibinc -isystem /usr/include/android/nativehelper")
if(ANDROID_ABI STREQUAL "armeabi-v7a")
  string(APPEND _includes " -isystem ${ROOTCHECKER_STANDIN_SYSROOT}/usr/include")
endif()
string(APPEND _includes " -isystem /usr/include/${_multiarch} -isystem /usr/include")

# The NDK's flags for every ABI, then what CMake's Android support adds for
# ANDROID_STL=none.
set(_ndk_flags "-DANDROID -fdata-sections -ffunction-sections -funwind-tables \
-fstack-protector-strong -no-canonical-prefixes -D_FORTIFY_SOURCE=2 -Wformat \
-Werror=format-security ${_abi_flags}")
# glibc's headers reach errno through __errno_location, bionic's through
# __errno: the library imports bionic's name, as from the NDK's headers.
string(APPEND _includes " -D__errno_location=__errno")
set(CMAKE_C_FLAGS_INIT "${_ndk_flags} ${_includes}")
set(CMAKE_CXX_FLAGS_INIT "${_ndk_flags} -nostdinc++ -fno-exceptions -fno-rtti ${_includes}")

set(CMAKE_SHARED_LINKER_FLAGS_INIT "-fuse-ld=lld -nostdlib++ -nostdlib \
-L${ROOTCHECKER_STANDIN_SYSROOT}/usr/lib -Wl,--build-id=sha1 -Wl,--no-rosegment \
-Wl,--no-undefined-version -Wl,--fatal-warnings -Wl,--no-undefined -Qunused-arguments")
# What the NDK's driver and CMake link into every C++ library with STL none.
set(CMAKE_CXX_STANDARD_LIBRARIES_INIT "-lm -ldl -lc")

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
