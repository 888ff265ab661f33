# SPDX-License-Identifier: Apache-2.0
# The trust anchor compiled into the client check, and the identity the build signs with.
# Without CODESIGN_ANCHOR_PEM a development PKI is generated into <build>/codesign/dev (never
# committed) and the build signs nimbara-helper-client with it. A vendor build names the
# vendor's anchor (and, to sign anything, the identity); it generates nothing and never signs
# the general client: only the vendor's installer application carries the client identity.
set(CODESIGN_DEV_DIR "${CMAKE_BINARY_DIR}/codesign/dev")
set(CODESIGN_ANCHOR_PEM "" CACHE FILEPATH
    "Vendor trust anchor (PEM) of the client check; empty: a generated development root")
set(CODESIGN_IDENTITY_DIR "" CACHE PATH
    "Vendor folder with leaf.pem, leaf.key and intermediate.pem; empty: the development identity")
set(CODESIGN_CLIENT_IDENTIFIER "com.corvellan.nimbara" CACHE STRING "Identifier signed into the client")
option(NIMBARA_INSTALL_DEVELOPMENT_IDENTITY
       "Let cmake --install put a development build's signed client in place (test machines only)"
       OFF)

# Build trees configured before vendor and development builds were told apart hold the
# development paths in these variables; they still mean a development build.
if(CODESIGN_ANCHOR_PEM STREQUAL "${CODESIGN_DEV_DIR}/root.pem")
  set_property(CACHE CODESIGN_ANCHOR_PEM PROPERTY VALUE "")
endif()
if(CODESIGN_IDENTITY_DIR STREQUAL "${CODESIGN_DEV_DIR}")
  set_property(CACHE CODESIGN_IDENTITY_DIR PROPERTY VALUE "")
endif()

if(CODESIGN_ANCHOR_PEM STREQUAL "")
  if(NOT CODESIGN_IDENTITY_DIR STREQUAL "")
    message(FATAL_ERROR "CODESIGN_IDENTITY_DIR is set without CODESIGN_ANCHOR_PEM: a vendor "
                        "identity would be checked against a development root")
  endif()
  set(NIMBARA_VENDOR_BUILD OFF)
  set(NIMBARA_CLIENT_SIGNED ON)  # a signature that stripping would break
  message(WARNING
    "DEVELOPMENT BUILD: no vendor anchor (CODESIGN_ANCHOR_PEM). The helper trusts a development "
    "root generated into ${CODESIGN_DEV_DIR}, and nimbara-helper-client is signed with its "
    "identity: installed, any local program could drive the root helper through that client. "
    "Do not ship it. Installing it fails unless configured with "
    "-DNIMBARA_INSTALL_DEVELOPMENT_IDENTITY=ON (throwaway machines and test trees only).")
  set(nimbara_anchor "${CODESIGN_DEV_DIR}/root.pem")
  set(nimbara_identity "${CODESIGN_DEV_DIR}")
  if(NOT EXISTS "${CODESIGN_DEV_DIR}/leaf.pem")
    message(STATUS "Generating the development signing identity in ${CODESIGN_DEV_DIR}")
    execute_process(
      COMMAND bash "${PROJECT_SOURCE_DIR}/packaging/codesign/make_identity.sh" dev "${CODESIGN_DEV_DIR}"
      RESULT_VARIABLE result)
    if(NOT result EQUAL 0)
      message(FATAL_ERROR "could not generate the development signing identity")
    endif()
  endif()
else()
  set(NIMBARA_VENDOR_BUILD ON)
  set(NIMBARA_CLIENT_SIGNED OFF)
  set(nimbara_anchor "${CODESIGN_ANCHOR_PEM}")
  set(nimbara_identity "${CODESIGN_IDENTITY_DIR}")
endif()

file(READ "${nimbara_anchor}" NIMBARA_ANCHOR_PEM)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${nimbara_anchor}")

# Signs a target's executable in place after every link; with STRIP, strips it first (a
# signature covers every byte, so stripping comes before signing).
function(nimbara_sign_after_build target)
  cmake_parse_arguments(ARG "STRIP" "" "" ${ARGN})
  if(nimbara_identity STREQUAL "")
    message(FATAL_ERROR "${target} is signed in this build: set CODESIGN_IDENTITY_DIR (the tests "
                        "and benchmarks sign their clients), or BUILD_TESTING=OFF")
  endif()
  set(strip_step)
  if(ARG_STRIP)
    set(strip_step COMMAND ${CMAKE_STRIP} --strip-all $<TARGET_FILE:${target}>)
  endif()
  add_dependencies(${target} nimbara-codesign)
  add_custom_command(TARGET ${target} POST_BUILD
    ${strip_step}
    COMMAND $<TARGET_FILE:nimbara-codesign> sign
            --identifier "${CODESIGN_CLIENT_IDENTIFIER}"
            --cert "${nimbara_identity}/leaf.pem" --key "${nimbara_identity}/leaf.key"
            --chain "${nimbara_identity}/intermediate.pem"
            $<TARGET_FILE:${target}> $<TARGET_FILE:${target}>.signed
    COMMAND ${CMAKE_COMMAND} -E rename $<TARGET_FILE:${target}>.signed $<TARGET_FILE:${target}>
    VERBATIM)
endfunction()
