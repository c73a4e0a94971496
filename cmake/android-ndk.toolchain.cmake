# The Android presets' toolchain: the NDK's own, found through
# ANDROID_NDK_HOME, with a plain message when that is not set.
if("$ENV{ANDROID_NDK_HOME}" STREQUAL "")
  message(FATAL_ERROR "ANDROID_NDK_HOME is not set: point it at an Android NDK "
    "(the folder that holds build/cmake/android.toolchain.cmake) to configure the Android presets.")
endif()
set(_rootchecker_ndk_toolchain "$ENV{ANDROID_NDK_HOME}/build/cmake/android.toolchain.cmake")
if(NOT EXISTS "${_rootchecker_ndk_toolchain}")
  message(FATAL_ERROR "ANDROID_NDK_HOME=$ENV{ANDROID_NDK_HOME} holds no "
    "build/cmake/android.toolchain.cmake: is it an Android NDK?")
endif()
include("${_rootchecker_ndk_toolchain}")
