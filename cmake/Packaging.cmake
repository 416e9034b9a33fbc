# Install layout for other projects (CMake package files and pkg-config files
# for the libraries), man pages, and the board's packages.
include(CMakePackageConfigHelpers)

set(cmake_pkg_dir ${CMAKE_INSTALL_LIBDIR}/cmake)
set(pc_dir ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# toolset_export(PACKAGE TARGET...): installs the targets under an export set
# and the package's config, version and targets files.
function(toolset_export package)
  install(TARGETS ${ARGN} EXPORT ${package}Targets
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
  install(EXPORT ${package}Targets NAMESPACE ${package}::
    DESTINATION ${cmake_pkg_dir}/${package})
  configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/pkg/${package}Config.cmake.in
    ${PROJECT_BINARY_DIR}/pkg/${package}Config.cmake
    INSTALL_DESTINATION ${cmake_pkg_dir}/${package})
  write_basic_package_version_file(${PROJECT_BINARY_DIR}/pkg/${package}ConfigVersion.cmake
    COMPATIBILITY SameMajorVersion)
  install(FILES ${PROJECT_BINARY_DIR}/pkg/${package}Config.cmake
    ${PROJECT_BINARY_DIR}/pkg/${package}ConfigVersion.cmake
    DESTINATION ${cmake_pkg_dir}/${package})
endfunction()

toolset_export(portwire portwire)
toolset_export(serial serial serial_mangled)

configure_file(cmake/pkg/portwire.pc.in pkg/portwire.pc @ONLY)
set(PC_NAME serial)
set(PC_WHAT "plain C names")
set(PC_CFLAGS " -DSERIAL_PLAIN_NAMES")
configure_file(cmake/pkg/serial.pc.in pkg/serial.pc @ONLY)
set(PC_NAME serial_mangled)
set(PC_WHAT "C++ names")
set(PC_CFLAGS " -DSERIAL_MANGLED_NAMES")
configure_file(cmake/pkg/serial.pc.in pkg/serial_mangled.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/pkg/portwire.pc ${PROJECT_BINARY_DIR}/pkg/serial.pc
  ${PROJECT_BINARY_DIR}/pkg/serial_mangled.pc DESTINATION ${pc_dir})

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
