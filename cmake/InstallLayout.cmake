# SPDX-License-Identifier: Apache-2.0
# Where an installed helper lives, how it runs and where it logs. The install rules, the
# client's doctor and the packaging tests all take these places from here.
set(NIMBARA_HELPER_NAME com.corvellan.nimbara.helper)

# macOS: the fixed places launchd and the installer package use (in the cache, where the
# packaging test reads them).
set(NIMBARA_MACOS_HELPER /Library/PrivilegedHelperTools/${NIMBARA_HELPER_NAME} CACHE INTERNAL "")
set(NIMBARA_MACOS_DAEMON_PLIST /Library/LaunchDaemons/${NIMBARA_HELPER_NAME}.plist CACHE INTERNAL "")
set(NIMBARA_MACOS_LOG /Library/Logs/${NIMBARA_HELPER_NAME}.log CACHE INTERNAL "")
set(NIMBARA_MACOS_NEWSYSLOG_RULE /etc/newsyslog.d/${NIMBARA_HELPER_NAME}.conf CACHE INTERNAL "")
# The helper's own folder (lock, record of staged copies, the pid file the log rotation signals
# by), and the identifier an installer package is built with (pkgbuild --identifier).
set(NIMBARA_MACOS_STATE_FOLDER /var/db/${NIMBARA_HELPER_NAME} CACHE INTERNAL "")
set(NIMBARA_MACOS_PID_FILE ${NIMBARA_MACOS_STATE_FOLDER}/helper.pid CACHE INTERNAL "")
set(NIMBARA_MACOS_PACKAGE_ID ${NIMBARA_HELPER_NAME} CACHE INTERNAL "")

# Linux: systemd runs the helper from libexec and its standard output goes to the journal.
set(NIMBARA_SYSTEMD_UNIT_DIR "lib/systemd/system" CACHE STRING
    "Folder for the systemd unit, relative to the install prefix")
set(NIMBARA_TMPFILES_DIR "lib/tmpfiles.d" CACHE STRING
    "Folder for the tmpfiles.d rule that creates the plug-in folders, relative to the prefix")

if(APPLE)
  set(NIMBARA_INSTALLED_HELPER ${NIMBARA_MACOS_HELPER})
  set(NIMBARA_LOG_LOCATION ${NIMBARA_MACOS_LOG})
else()
  set(NIMBARA_INSTALLED_HELPER ${CMAKE_INSTALL_FULL_LIBEXECDIR}/${NIMBARA_HELPER_NAME})
  set(NIMBARA_LOG_LOCATION "the journal: journalctl -u ${NIMBARA_HELPER_NAME}")
endif()
