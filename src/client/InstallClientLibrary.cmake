# SPDX-License-Identifier: Apache-2.0
# Install rules of the client library (targets in src/client/CMakeLists.txt).
set(dir ${NIMBARA_CLIENT_LIBRARY_DIR})
# Installed as the component "client-library", which holds no signed program and no identity:
# `cmake --install BUILD --component client-library` installs it from any build.
set(component COMPONENT client-library)
install(TARGETS nimbara_client_shared nimbara_client_static EXPORT NimbaraClientTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} ${component}
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} ${component} NAMELINK_COMPONENT client-library)
install(FILES ${dir}/include/nimbara/client.h ${dir}/include/nimbara/client.hpp
              ${dir}/include/nimbara/module.modulemap
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/nimbara
        ${component})

set(cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/NimbaraClient)
install(EXPORT NimbaraClientTargets NAMESPACE NimbaraClient:: DESTINATION ${cmake_dir}
        ${component})
include(CMakePackageConfigHelpers)
configure_package_config_file(${dir}/NimbaraClientConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/NimbaraClientConfig.cmake INSTALL_DESTINATION ${cmake_dir})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/NimbaraClientConfigVersion.cmake
  VERSION ${NIMBARA_VERSION} COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/NimbaraClientConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/NimbaraClientConfigVersion.cmake
        DESTINATION ${cmake_dir} ${component})

# pkg-config: nimbara-client links the shared library, nimbara-client-static the archive. The
# prefix is found from the file's own place, so an installed tree may move.
file(RELATIVE_PATH NIMBARA_PC_TO_PREFIX ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig
     ${CMAKE_INSTALL_PREFIX})
foreach(pc nimbara-client nimbara-client-static)
  configure_file(${dir}/${pc}.pc.in ${CMAKE_CURRENT_BINARY_DIR}/${pc}.pc @ONLY)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/${pc}.pc
          DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig ${component})
endforeach()
