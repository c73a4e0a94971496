# Shared by the ARM toolchain files: clang and lld cross-compiling for Linux on
# another machine, against Debian's multiarch libraries (libc6-dev:<arch>,
# libstdc++-12-dev:<arch>, ...) with / as the sysroot, as the NDK does with
# its own. Expects _rootchecker_triple, _rootchecker_processor,
# _rootchecker_flags and _rootchecker_qemu.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${_rootchecker_processor})
set(CMAKE_LIBRARY_ARCHITECTURE ${_rootchecker_triple})

set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET ${_rootchecker_triple})
set(CMAKE_CXX_COMPILER_TARGET ${_rootchecker_triple})
set(CMAKE_C_FLAGS_INIT "${_rootchecker_flags}")
set(CMAKE_CXX_FLAGS_INIT "${_rootchecker_flags}")
# The host's GNU ld knows x86 only; lld links every machine. Read-only data
# shares the code's segment, as the NDK links below API 29: valgrind reads
# no symbols of a 32-bit ARM file whose .ARM.exidx sits apart from its code.
set(_rootchecker_link "-fuse-ld=lld -Wl,--no-rosegment")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${_rootchecker_link}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${_rootchecker_link}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${_rootchecker_link}")

# CTest runs every test binary through qemu-user. "-L /": the multiarch
# loader and libraries under /usr/lib/<triplet>. (A cross sysroot such as
# /usr/<triplet> would pair another ld.so with this libc, and every fork or
# thread would hang.)
find_program(ROOTCHECKER_QEMU ${_rootchecker_qemu})
if(NOT ROOTCHECKER_QEMU)
  set(ROOTCHECKER_QEMU ${_rootchecker_qemu})
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR "${ROOTCHECKER_QEMU};-L;/")

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)

# Debian's multiarch: let pkg-config (FindOpenSSL uses it) see the target's
# libraries; find_package looks in /usr/lib/<triplet> by itself.
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/${_rootchecker_triple}/pkgconfig:/usr/share/pkgconfig")
