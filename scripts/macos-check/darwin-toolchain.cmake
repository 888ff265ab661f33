# SPDX-License-Identifier: Apache-2.0
# Configures this tree as a macOS build for the compile check (scripts/macos-check.sh) on Linux:
# Debian's clang-14 aimed at Apple targets, Apple's libc and libc++ headers from the pinned Zig
# toolchain, and the stand-in headers of this folder. Nothing is linked or archived: the check
# reads the compile database this configuration writes and the link lines ninja would run.
# Expects: MACOS_CHECK_ARCH (arm64 or x86_64), MACOS_CHECK_ZIG_LIB (Zig's lib folder),
# MACOS_CHECK_THIRD_PARTY (a folder holding only the third-party headers the tree includes).
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES
  MACOS_CHECK_ARCH MACOS_CHECK_ZIG_LIB MACOS_CHECK_THIRD_PARTY)
set(CMAKE_SYSTEM_NAME Darwin)
set(CMAKE_SYSTEM_VERSION 22.0)  # macOS 13
set(CMAKE_SYSTEM_PROCESSOR ${MACOS_CHECK_ARCH})
set(CMAKE_OSX_SYSROOT "")
set(CMAKE_C_COMPILER clang-14)
set(CMAKE_CXX_COMPILER clang++-14)
set(CMAKE_ASM_COMPILER clang-14)
# No version in the target: the deployment target and the architectures come from the project
# (CMAKE_OSX_DEPLOYMENT_TARGET) and the command line (CMAKE_OSX_ARCHITECTURES), as on a Mac, so
# that the link lines show what the project itself asks for.
set(target ${MACOS_CHECK_ARCH}-apple-macos)
set(CMAKE_C_COMPILER_TARGET ${target})
set(CMAKE_CXX_COMPILER_TARGET ${target})
set(CMAKE_ASM_COMPILER_TARGET ${target})
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
# find_package looks for the host's Debian packages of the third-party libraries; they are only
# found, never linked.
set(CMAKE_LIBRARY_ARCHITECTURE ${CMAKE_HOST_SYSTEM_PROCESSOR}-linux-gnu)
set(CMAKE_AR /bin/true CACHE FILEPATH "no archives in a syntax check")
set(CMAKE_RANLIB /bin/true CACHE FILEPATH "no archives in a syntax check")

if(MACOS_CHECK_ARCH STREQUAL "arm64")
  set(libc_arch aarch64)
else()
  set(libc_arch ${MACOS_CHECK_ARCH})
endif()
execute_process(COMMAND clang-14 -print-resource-dir OUTPUT_VARIABLE resource_dir
                OUTPUT_STRIP_TRAILING_WHITESPACE)
set(libc "${MACOS_CHECK_ZIG_LIB}/libc/include")
# The order a macOS SDK gives: libc++ (with cxxabi.h), the compiler's own headers, then the C library (the
# version-specific folders of Zig's layout before the common one), stand-ins last.
set(headers
  "-nostdinc"
  "-isystem ${MACOS_CHECK_ZIG_LIB}/libcxx/include"
  "-isystem ${MACOS_CHECK_ZIG_LIB}/libcxxabi/include"
  "-isystem ${resource_dir}/include"
  "-isystem ${libc}/${libc_arch}-macos.13-none"
  "-isystem ${libc}/any-macos.13-any"
  "-isystem ${libc}/any-macos-any"
  "-isystem ${CMAKE_CURRENT_LIST_DIR}/stand-in-headers"
  "-isystem ${MACOS_CHECK_THIRD_PARTY}"
  # What Zig's libc++ build defines instead of shipping a __config_site.
  "-D_LIBCPP_ABI_VERSION=1" "-D_LIBCPP_ABI_NAMESPACE=__1"
  "-D_LIBCPP_HAS_NO_VENDOR_AVAILABILITY_ANNOTATIONS")
string(JOIN " " flags ${headers})
set(CMAKE_C_FLAGS_INIT "${flags}")
set(CMAKE_CXX_FLAGS_INIT "-nostdinc++ ${flags}")
