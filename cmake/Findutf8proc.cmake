# SPDX-License-Identifier: Apache-2.0
# Finds utf8proc, which ships no CMake package of its own (Debian: libutf8proc-dev; macOS:
# Homebrew's utf8proc, or any build of it that installs libutf8proc.a).
# On macOS only the static archive is taken: a root daemon must load nothing from a folder an
# admin user owns (Homebrew's prefix), launchd cannot start a helper whose library is missing on
# a user's Mac, and library validation refuses a signed client another team's library.
find_path(UTF8PROC_INCLUDE_DIR utf8proc.h)
if(APPLE)
  find_library(UTF8PROC_LIBRARY NAMES libutf8proc.a)
else()
  find_library(UTF8PROC_LIBRARY NAMES utf8proc)
endif()
include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(utf8proc REQUIRED_VARS UTF8PROC_LIBRARY UTF8PROC_INCLUDE_DIR)

# A build for several architectures needs the archive for each of them.
find_program(UTF8PROC_LIPO lipo)
if(APPLE AND utf8proc_FOUND AND UTF8PROC_LIPO AND CMAKE_OSX_ARCHITECTURES)
  execute_process(COMMAND ${UTF8PROC_LIPO} ${UTF8PROC_LIBRARY} -verify_arch
                          ${CMAKE_OSX_ARCHITECTURES} RESULT_VARIABLE utf8proc_arch_missing)
  if(utf8proc_arch_missing)
    message(FATAL_ERROR "${UTF8PROC_LIBRARY} lacks one of ${CMAKE_OSX_ARCHITECTURES}: give "
                        "-DUTF8PROC_LIBRARY= a libutf8proc.a built for each, or build each "
                        "architecture on its own and join the programs with lipo -create")
  endif()
endif()

if(utf8proc_FOUND AND NOT TARGET utf8proc::utf8proc)
  add_library(utf8proc::utf8proc UNKNOWN IMPORTED)
  set_target_properties(utf8proc::utf8proc PROPERTIES
    IMPORTED_LOCATION "${UTF8PROC_LIBRARY}"
    INTERFACE_INCLUDE_DIRECTORIES "${UTF8PROC_INCLUDE_DIR}")
endif()
