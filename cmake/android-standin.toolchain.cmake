# A stand-in for the NDK's toolchain where there is no NDK: a module (the
# library alone, or an app's native code with the library added by
# add_subdirectory) compiled and linked as the NDK does it for ANDROID_ABI,
# ANDROID_PLATFORM and ANDROID_STL, so that a header, flag or import the NDK
# would refuse fails here too, and what the NDK's link adds shows here too.
#
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/android-standin.toolchain.cmake
#         -DANDROID_ABI=x86|x86_64|armeabi-v7a|arm64-v8a
#         [-DANDROID_PLATFORM=android-N|N]       (21, the NDK's minimum here)
#         [-DANDROID_STL=c++_static|c++_shared|none]   (c++_static, the NDK's
#                                                        default) ...
#
# The same as the NDK: clang for the Android target triple at the API level
# (which brings the ABI's baseline: SSSE3 on x86, SSE4.2 and POPCNT on
# x86_64, Neon on armeabi-v7a, and whatever clang does by level), the NDK's
# compile flags (-mstackrealign on x86 below API 24), lld driven by clang
# as the NDK's driver does it: crtbegin_so.o first and crtend_so.o last into
# every shared library, then libc, libm and libdl named as bionic names them,
# and the module's C++ runtime: none (-nostdinc++ -nostdlib++), c++_shared
# (-lc++_shared) or c++_static (-lc++_static -lc++abi, kept out of the
# library's exports by --exclude-libs), named in CMAKE_CXX_STANDARD_LIBRARIES
# as CMake's Android support names it.
# Not the same (docs/android-standin.md says more):
# - Headers: bionic's C headers are not to be had here; Debian's multiarch
#   glibc headers for the same machine stand in (after the sysroot's, so that
#   libc++'s wrappers come first), Android's jni.h comes from
#   libnativehelper, and the C++ headers are Debian's libc++ 14, not the
#   NDK's (std::__1, not std::__ndk1).
# - Libraries (tests/android/bionic_stubs.py): stubs without code or symbol
#   versions. The module's libc.so, libm.so and libdl.so define glibc's names
#   for the machine and the library's allowed imports, at the API level;
#   librootchecker.so links a libc.so of its own that defines only what the
#   loader check's import list allows at that level. libc++_shared.so,
#   libc++_static.a and libc++abi.a define the names Debian's libc++ exports;
#   the static ones hold stubs, not libc++'s code. The runtime helpers
#   (compiler-rt builtins, libunwind) are an empty archive: any helper code
#   would need fails the link.
# - crtbegin_so.o and crtend_so.o are tests/android/crtbegin_so.c and
#   crtend_so.c, written from what bionic's provide.
# The project sees ANDROID set, as under the NDK: the library only, and a
# release key or an explicit ROOTCHECKER_ALLOW_DEVELOPMENT_KEY.

# The API level, from android-N or N.
if(NOT ANDROID_PLATFORM)
  set(ANDROID_PLATFORM 21)
endif()
string(REGEX REPLACE "^android-" "" _api "${ANDROID_PLATFORM}")
if(NOT _api MATCHES "^[0-9]+$" OR _api LESS 21)
  message(FATAL_ERROR "ANDROID_PLATFORM is '${ANDROID_PLATFORM}': give "
    "android-N or N, with N 21 (the NDK's minimum) or later.")
endif()
if(NOT ANDROID_STL)
  set(ANDROID_STL c++_static)
endif()
if(NOT ANDROID_STL MATCHES "^(none|c\\+\\+_static|c\\+\\+_shared)$")
  message(FATAL_ERROR "ANDROID_STL is '${ANDROID_STL}': give none, "
    "c++_static or c++_shared.")
endif()

set(_abi_flags "")
if(ANDROID_ABI STREQUAL "x86")
  set(_triple i686-linux-android${_api})
  set(_ndk_triple i686-linux-android)
  set(_debian_arch i386)
  # Debian's amd64 headers are biarch: gcc -m32 reads them too, with the
  # 32-bit stubs from libc6-dev-i386.
  set(_multiarch x86_64-linux-gnu)
  set(_glibc_dir /lib/i386-linux-gnu)
  set(_libc_header gnu/stubs-32.h)
  # The NDK's for x86 below API 24: the stack is not 16-byte aligned there.
  if(_api LESS 24)
    set(_abi_flags "-mstackrealign")
  endif()
elseif(ANDROID_ABI STREQUAL "x86_64")
  set(_triple x86_64-linux-android${_api})
  set(_ndk_triple x86_64-linux-android)
  set(_debian_arch amd64)
  set(_multiarch x86_64-linux-gnu)
  set(_glibc_dir /lib/x86_64-linux-gnu)
  set(_libc_header gnu/stubs-64.h)
elseif(ANDROID_ABI STREQUAL "armeabi-v7a")
  set(_triple armv7a-linux-androideabi${_api})
  set(_ndk_triple arm-linux-androideabi)
  set(_debian_arch armhf)
  set(_multiarch arm-linux-gnueabihf)
  set(_glibc_dir /lib/arm-linux-gnueabihf)
  set(_libc_header gnu/stubs-hard.h)
  set(_abi_flags "-march=armv7-a -mthumb -mfpu=neon -mfloat-abi=softfp")
elseif(ANDROID_ABI STREQUAL "arm64-v8a")
  set(_triple aarch64-linux-android${_api})
  set(_ndk_triple aarch64-linux-android)
  set(_debian_arch arm64)
  set(_multiarch aarch64-linux-gnu)
  set(_glibc_dir /lib/aarch64-linux-gnu)
  set(_libc_header gnu/stubs-lp64.h)
else()
  message(FATAL_ERROR "ANDROID_ABI is '${ANDROID_ABI}': give x86, x86_64, "
    "armeabi-v7a or arm64-v8a.")
endif()
# Debian's libc++ for the ABI's machine: amd64's is installed, the others are
# unpacked by scripts/setup.sh (they cannot be installed beside it).
if(_debian_arch STREQUAL "amd64")
  set(_libcxx_dir /usr/lib/llvm-14/lib)
else()
  set(_libcxx_dir /usr/local/lib/rootchecker-libcxx-14/${_debian_arch}/usr/lib/llvm-14/lib)
endif()
foreach(_needed "/usr/include/${_multiarch}/${_libc_header}" "${_glibc_dir}/libc.so.6"
    "${_libcxx_dir}/libc++.so.1" "${_libcxx_dir}/libc++abi.so.1"
    /usr/lib/llvm-14/include/c++/v1/string)
  if(NOT EXISTS "${_needed}")
    message(FATAL_ERROR "No ${_needed} for ${ANDROID_ABI}: run "
      "scripts/setup.sh (Debian's libc6-dev and libc6 for that architecture, "
      "libc++-14-dev, and libc++ 14 for that architecture).")
  endif()
endforeach()
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
set(ANDROID_PLATFORM_LEVEL ${_api})
# Compiler checks compile but do not link: there is no crtbegin_dynamic.o to
# link a program with.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ANDROID_ABI ANDROID_PLATFORM
  ANDROID_STL ROOTCHECKER_STANDIN_SYSROOT)

set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET ${_triple})
set(CMAKE_CXX_COMPILER_TARGET ${_triple})

# The sysroot, made once per build tree (compiler checks run in other trees
# and are handed the path).
if(NOT ROOTCHECKER_STANDIN_SYSROOT)
  set(ROOTCHECKER_STANDIN_SYSROOT "${CMAKE_BINARY_DIR}/android-standin-sysroot")
  find_program(ROOTCHECKER_STANDIN_PYTHON NAMES python3 REQUIRED)
  find_program(ROOTCHECKER_STANDIN_AR NAMES llvm-ar llvm-ar-14 REQUIRED)
  execute_process(
    COMMAND "${ROOTCHECKER_STANDIN_PYTHON}" "${CMAKE_CURRENT_LIST_DIR}/../tests/android/bionic_stubs.py"
      --out "${ROOTCHECKER_STANDIN_SYSROOT}" --target ${_triple} --api ${_api}
      --ndk-triple ${_ndk_triple} --glibc-dir ${_glibc_dir}
      --libcxx-dir ${_libcxx_dir} --ar "${ROOTCHECKER_STANDIN_AR}"
    RESULT_VARIABLE _status)
  if(NOT _status EQUAL 0)
    message(FATAL_ERROR "Could not make the stand-in sysroot for ${ANDROID_ABI}.")
  endif()
  # Debian's armhf headers are for hard float: gnu/stubs.h picks its list of
  # unimplemented functions by float ABI and has only the hard-float one.
  # armeabi-v7a passes floats in integer registers (softfp), which changes
  # calls, not the functions glibc has: the soft-float list is the hard one.
  file(WRITE "${ROOTCHECKER_STANDIN_SYSROOT}/usr/include/gnu/stubs-soft.h"
    "#include <gnu/stubs-hard.h>\n")
endif()
# The NDK's sysroot layout: clang's driver finds the C++ headers, the crt
# objects and the libraries in it for the triple and API level.
set(CMAKE_SYSROOT "${ROOTCHECKER_STANDIN_SYSROOT}")
# ROOTCHECKER_STANDIN_LIBC_DIR: librootchecker.so's own libc.so, libm.so and
# libdl.so (rootchecker_shared_library links them before the module's).
set(ROOTCHECKER_STANDIN_LIBC_DIR "${ROOTCHECKER_STANDIN_SYSROOT}/rootchecker")

# After the sysroot's headers (libc++'s first, then clang's own): what the
# sysroot would hold.
set(_includes "-idirafter /usr/include/android/nativehelper \
-idirafter /usr/include/${_multiarch} -idirafter /usr/include")
# glibc's headers reach errno through __errno_location, bionic's through
# __errno: the library imports bionic's name, as from the NDK's headers.
string(APPEND _includes " -D__errno_location=__errno")

# The NDK's flags for every ABI.
set(_ndk_flags "-DANDROID -fdata-sections -ffunction-sections -funwind-tables \
-fstack-protector-strong -no-canonical-prefixes -D_FORTIFY_SOURCE=2 -Wformat \
-Werror=format-security ${_abi_flags}")
# The unwinder linked into every library is not exported from it.
set(_ndk_link "-fuse-ld=lld -Wl,--build-id=sha1 -Wl,--no-rosegment \
-Wl,--no-undefined-version -Wl,--fatal-warnings -Wl,--no-undefined -Qunused-arguments \
-Wl,--exclude-libs,libunwind.a")

# The module's C++ runtime, as CMake's Android support links it: the
# driver's own C++ library left out, the chosen one named instead.
# The NDK's clang takes libc++ without being told; Debian's takes libstdc++.
# A config file says -stdlib=libc++ (clang never calls an argument from one
# unused, so -nostdinc++ on a target beside it is no error under -Werror).
file(WRITE "${ROOTCHECKER_STANDIN_SYSROOT}/clang++.cfg" "-stdlib=libc++\n")
# With a runtime, the NDK's default features (exceptions, RTTI) too.
set(_stl_compile "--config ${ROOTCHECKER_STANDIN_SYSROOT}/clang++.cfg -fexceptions -frtti")
set(_stl_link "-nostdlib++")
if(ANDROID_STL STREQUAL "none")
  string(APPEND _stl_compile " -nostdinc++ -fno-exceptions -fno-rtti")
  set(CMAKE_CXX_STANDARD_LIBRARIES_INIT "")
elseif(ANDROID_STL STREQUAL "c++_shared")
  set(CMAKE_CXX_STANDARD_LIBRARIES_INIT "-lc++_shared")
else()
  set(CMAKE_CXX_STANDARD_LIBRARIES_INIT "-lc++_static -lc++abi")
  # A static runtime is not exported from the library that holds it.
  string(APPEND _stl_link " -Wl,--exclude-libs,libc++_static.a -Wl,--exclude-libs,libc++abi.a")
endif()

set(CMAKE_C_FLAGS_INIT "${_ndk_flags} ${_includes}")
set(CMAKE_CXX_FLAGS_INIT "${_ndk_flags} ${_stl_compile} ${_includes}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${_ndk_link} ${_stl_link}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${_ndk_link} ${_stl_link}")

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
