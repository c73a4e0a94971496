# The Android presets' toolchain: the NDK's own, found through
# ANDROID_NDK_HOME or ANDROID_NDK_ROOT, with a plain message when neither
# points at an NDK. CMakeLists.txt reads this file once before project() to
# check (ROOTCHECKER_TOOLCHAIN_CHECK_ONLY): an error inside project() would
# leave a build tree that the next configure cannot use.
set(_rootchecker_ndk "$ENV{ANDROID_NDK_HOME}")
if(_rootchecker_ndk STREQUAL "")
  set(_rootchecker_ndk "$ENV{ANDROID_NDK_ROOT}")
endif()
if(_rootchecker_ndk STREQUAL "")
  message(FATAL_ERROR "Neither ANDROID_NDK_HOME nor ANDROID_NDK_ROOT is set: "
    "point one at an Android NDK, r27 or later (the folder that holds "
    "build/cmake/android.toolchain.cmake), to configure the Android presets. "
    "Without an NDK, the android-standin-* presets build the same way against stand-ins.")
endif()
set(_rootchecker_ndk_toolchain "${_rootchecker_ndk}/build/cmake/android.toolchain.cmake")
if(NOT EXISTS "${_rootchecker_ndk_toolchain}")
  message(FATAL_ERROR "${_rootchecker_ndk} holds no "
    "build/cmake/android.toolchain.cmake: is it an Android NDK?")
endif()
if(ROOTCHECKER_TOOLCHAIN_CHECK_ONLY)
  return()
endif()
include("${_rootchecker_ndk_toolchain}")
