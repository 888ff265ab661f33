# SPDX-License-Identifier: Apache-2.0
# Hardening for every program the build links (the helper runs as root): stack protector,
# stack-clash and control-flow protection, FORTIFY, position-independent executables, full RELRO and immediate
# binding. A flag the packager's own flags (CFLAGS, CXXFLAGS, LDFLAGS, as dpkg-buildflags gives
# them) already decide is left to them, so a distribution's choice wins and nothing is defined
# twice. Sanitizer and fuzzer builds are left alone: they intercept the functions FORTIFY wraps.
if(SANITIZE OR BUILD_FUZZERS)
  return()
endif()
include(CheckCXXCompilerFlag)
include(CheckPIESupported)

string(TOUPPER "${CMAKE_BUILD_TYPE}" nimbara_build_type)
set(nimbara_packager_cflags
    "${CMAKE_C_FLAGS} ${CMAKE_CXX_FLAGS} ${CMAKE_CXX_FLAGS_${nimbara_build_type}}")
set(nimbara_packager_ldflags "${CMAKE_EXE_LINKER_FLAGS} ${nimbara_packager_cflags}")

if(NOT nimbara_packager_cflags MATCHES "-f(no-)?stack-protector")
  add_compile_options(-fstack-protector-strong)
endif()
if(NOT nimbara_packager_cflags MATCHES "-f(no-)?stack-clash-protection")
  check_cxx_compiler_flag(-fstack-clash-protection nimbara_has_stack_clash)
  if(nimbara_has_stack_clash)
    add_compile_options(-fstack-clash-protection)
  endif()
endif()
# Control-flow protection (Intel CET) where the target has it.
if(NOT nimbara_packager_cflags MATCHES "-f(no-)?cf-protection")
  check_cxx_compiler_flag(-fcf-protection nimbara_has_cf_protection)
  if(nimbara_has_cf_protection)
    add_compile_options(-fcf-protection)
  endif()
endif()
# glibc wants optimisation for FORTIFY (and warns without it), so optimised configurations only.
if(NOT nimbara_packager_cflags MATCHES "_FORTIFY_SOURCE")
  add_compile_options($<$<CONFIG:Release,RelWithDebInfo,MinSizeRel>:-D_FORTIFY_SOURCE=2>)
endif()
if(NOT nimbara_packager_ldflags MATCHES "-z,?relro")
  add_link_options(LINKER:-z,relro)
endif()
if(NOT nimbara_packager_ldflags MATCHES "-z,?now")
  add_link_options(LINKER:-z,now)
endif()
check_pie_supported()
set(CMAKE_POSITION_INDEPENDENT_CODE ON)
