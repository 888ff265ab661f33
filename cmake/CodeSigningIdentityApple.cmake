# SPDX-License-Identifier: Apache-2.0
# macOS: the system's code-signing service checks clients, so the build only signs. The client
# is signed with the keychain identity CODESIGN_IDENTITY (codesign -s); the helper accepts it
# only when that identity satisfies the client requirement (a Developer ID chain). The helper is
# signed with the same identity under its own identifier, with the hardened runtime too. Empty:
# both are left ad-hoc signed by the linker, and the helper refuses the client.
set(CODESIGN_IDENTITY "" CACHE STRING "Keychain identity that signs the client (codesign -s)")
set(CODESIGN_KEYCHAIN "" CACHE FILEPATH "Keychain holding CODESIGN_IDENTITY; empty: the search list")
# A codesign signature is broken by stripping, so a signed client is kept out of the strip.
if(CODESIGN_IDENTITY STREQUAL "")
  set(NIMBARA_CLIENT_SIGNED OFF)
else()
  set(NIMBARA_CLIENT_SIGNED ON)
endif()
option(CODESIGN_TIMESTAMP "Time-stamp the client signature (needs the network)" ON)
set(CODESIGN_CLIENT_IDENTIFIER "com.corvellan.nimbara" CACHE STRING "Identifier signed into the client")

# IDENTIFIER: the signing identifier (default CODESIGN_CLIENT_IDENTIFIER).
function(nimbara_sign_after_build target)
  cmake_parse_arguments(ARG "STRIP" "IDENTIFIER" "" ${ARGN})
  if(NOT ARG_IDENTIFIER)
    set(ARG_IDENTIFIER "${CODESIGN_CLIENT_IDENTIFIER}")
  endif()
  if(CODESIGN_IDENTITY STREQUAL "")
    return()
  endif()
  set(strip_step)
  if(ARG_STRIP)
    set(strip_step COMMAND ${CMAKE_STRIP} -x $<TARGET_FILE:${target}>)
  endif()
  set(timestamp --timestamp=none)
  if(CODESIGN_TIMESTAMP)
    set(timestamp --timestamp)
  endif()
  set(keychain)
  if(CODESIGN_KEYCHAIN)
    set(keychain --keychain "${CODESIGN_KEYCHAIN}")
  endif()
  # A time stamp keeps the signature valid after the certificate expires; the hardened runtime
  # refuses injected libraries.
  add_custom_command(TARGET ${target} POST_BUILD
    ${strip_step}
    COMMAND codesign --force --sign "${CODESIGN_IDENTITY}" ${keychain}
            --identifier "${ARG_IDENTIFIER}" --options runtime ${timestamp}
            $<TARGET_FILE:${target}>
    VERBATIM)
endfunction()
