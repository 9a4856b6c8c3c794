# What `cmake --install` puts where, and the packages CPack makes of it:
# a .deb on Linux, a .zip on Windows (lanflash.exe beside its README, the
# pages of docs/ and the licence, to be unpacked anywhere).
include(GNUInstallDirs)

set(CPACK_PACKAGE_NAME lanflash)
set(CPACK_PACKAGE_VENDOR "the lanflash authors")
set(CPACK_PACKAGE_CONTACT "the lanflash authors")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Firmware updater for Tavix machines on the local network")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_RESOURCE_FILE_README ${PROJECT_SOURCE_DIR}/README.md)
set(CPACK_STRIP_FILES ON)

if(WIN32)
  install(TARGETS lanflash RUNTIME DESTINATION .)
  # .txt so that a double click opens them.
  install(FILES README.md DESTINATION . RENAME README.txt)
  # The pages the README links to, under the same relative names.
  install(DIRECTORY docs/ DESTINATION docs FILES_MATCHING PATTERN "*.md")
  install(FILES LICENSE DESTINATION . RENAME LICENSE.txt)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME lanflash-${PROJECT_VERSION}-win64)
else()
  install(TARGETS lanflash RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  if(TARGET machine-sim)
    install(TARGETS machine-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
  install(FILES docs/lanflash.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
  install(DIRECTORY docs/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/docs FILES_MATCHING PATTERN "*.md")
  install(FILES LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR} RENAME copyright)
  # The playbook for several sites runs on the controlling machine.
  install(DIRECTORY contrib/ansible/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples/ansible
    PATTERN "results*" EXCLUDE)
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  # CPack puts the summary above this and indents the lines.
  string(CONCAT CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "lanflash hears the machines' announcements on UDP port 11000, resets a\n"
    "machine into its boot loader over TCP port 888, sends it a firmware image\n"
    "with YMODEM and starts the new firmware. machine-sim plays such a machine,\n"
    "so that an update can be tried without hardware.")
  # dpkg-shlibdeps (package dpkg-dev) finds the libraries' packages; those
  # opened only when an option asks for them it cannot see: libcrypto for
  # the SHA-256 of --report and --station, SQLite for --station,
  # libmicrohttpd for --serve.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libssl3, libsqlite3-0, libmicrohttpd12")
endif()

include(CPack)
