# Man pages and the board's packages. The libraries install their own files,
# from their folders.
install(DIRECTORY man/man1 man/man3 DESTINATION ${CMAKE_INSTALL_MANDIR})

# Packages: a .deb and a .tar.gz, for the board in the cross build.
set(CPACK_PACKAGE_NAME board-toolset)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "Chat relay, echo server, serial libraries, scanner grabber and process tools")
set(CPACK_PACKAGE_CONTACT "Board toolset maintainers <toolset@localhost>")
set(CPACK_GENERATOR DEB TGZ)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
# The newest symbol versions the programs and libraries use: glibc 2.34,
# GLIBCXX 3.4.21.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.34), libstdc++6 (>= 5.2), libgcc-s1 (>= 3.5)")
if(CMAKE_CROSSCOMPILING)
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE armhf)
  set(CPACK_SYSTEM_NAME linux-armhf)
endif()
include(CPack)
