# The trust anchor compiled into the client check, and the identity the build signs clients with.
# By default a development PKI is generated into <build>/codesign/dev (never committed); release
# builds name the vendor's anchor and identity instead.
set(CODESIGN_DEV_DIR "${CMAKE_BINARY_DIR}/codesign/dev")
set(CODESIGN_ANCHOR_PEM "${CODESIGN_DEV_DIR}/root.pem" CACHE FILEPATH "Trust anchor (PEM) of the client check")
set(CODESIGN_IDENTITY_DIR "${CODESIGN_DEV_DIR}" CACHE PATH
    "Folder with leaf.pem, leaf.key and intermediate.pem used to sign the client")
set(CODESIGN_CLIENT_IDENTIFIER "com.corvellan.nimbara" CACHE STRING "Identifier signed into the client")

if(NOT EXISTS "${CODESIGN_DEV_DIR}/leaf.pem")
  message(STATUS "Generating the development signing identity in ${CODESIGN_DEV_DIR}")
  execute_process(
    COMMAND bash "${PROJECT_SOURCE_DIR}/packaging/codesign/make_identity.sh" dev "${CODESIGN_DEV_DIR}"
    RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "could not generate the development signing identity")
  endif()
endif()

file(READ "${CODESIGN_ANCHOR_PEM}" NIMBARA_ANCHOR_PEM)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${CODESIGN_ANCHOR_PEM}")

# Signs a target's executable in place after every link; with STRIP, strips it first (a
# signature covers every byte, so stripping comes before signing).
function(nimbara_sign_after_build target)
  cmake_parse_arguments(ARG "STRIP" "" "" ${ARGN})
  set(strip_step)
  if(ARG_STRIP)
    set(strip_step COMMAND ${CMAKE_STRIP} --strip-all $<TARGET_FILE:${target}>)
  endif()
  add_dependencies(${target} nimbara-codesign)
  add_custom_command(TARGET ${target} POST_BUILD
    ${strip_step}
    COMMAND $<TARGET_FILE:nimbara-codesign> sign
            --identifier "${CODESIGN_CLIENT_IDENTIFIER}"
            --cert "${CODESIGN_IDENTITY_DIR}/leaf.pem" --key "${CODESIGN_IDENTITY_DIR}/leaf.key"
            --chain "${CODESIGN_IDENTITY_DIR}/intermediate.pem"
            $<TARGET_FILE:${target}> $<TARGET_FILE:${target}>.signed
    COMMAND ${CMAKE_COMMAND} -E rename $<TARGET_FILE:${target}>.signed $<TARGET_FILE:${target}>
    VERBATIM)
endfunction()
