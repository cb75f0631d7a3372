# `cmake --install build --prefix P` puts the two programs in P/bin and their manual pages in
# P/share/man/man1; `cmake --build build --target package` makes a Debian package of the same.
include(GNUInstallDirs)
install(TARGETS recorder-agent pointer-agent RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_SOURCE_DIR}/docs/man/recorder-agent.1 ${PROJECT_SOURCE_DIR}/docs/man/pointer-agent.1
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME screen-agents)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "screen and pointer recording agents driven by a parent application")
set(CPACK_PACKAGE_DESCRIPTION
    "recorder-agent records a display, a window or a region with system audio and microphone;\npointer-agent reports the mouse cursor and buttons. Both are driven through text lines.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "screen-agents developers <screen-agents@localhost>")
set(CPACK_DEBIAN_PACKAGE_SECTION video)
# The library dependencies are read from the binaries by dpkg-shlibdeps, never listed by hand.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
include(CPack)
