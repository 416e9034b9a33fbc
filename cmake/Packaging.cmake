# Man pages and package documents, and the Debian package and tarball of the
# install tree (for the board in the cross build). The libraries install
# their own files, from their folders.
set(doc_dir ${CMAKE_INSTALL_DATAROOTDIR}/doc/board-toolset)
find_program(GZIP gzip REQUIRED)
find_package(Git QUIET)

# gzip_file(SOURCE OUTPUT): compressed at build time, without name or time in
# the header, so that the bytes depend on the contents only.
set(gzipped "")
macro(gzip_file source output)
  add_custom_command(OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/pkg/man/man1 ${CMAKE_BINARY_DIR}/pkg/man/man3
    COMMAND ${GZIP} -9nc ${source} > ${output}
    DEPENDS ${source} VERBATIM)
  list(APPEND gzipped ${output})
endmacro()

foreach(section 1 3)
  file(GLOB pages CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/man/man${section}/*.${section})
  foreach(page IN LISTS pages)
    get_filename_component(name ${page} NAME)
    gzip_file(${page} ${CMAKE_BINARY_DIR}/pkg/man/man${section}/${name}.gz)
    install(FILES ${CMAKE_BINARY_DIR}/pkg/man/man${section}/${name}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
  endforeach()
endforeach()
gzip_file(${PROJECT_SOURCE_DIR}/cmake/pkg/changelog ${CMAKE_BINARY_DIR}/pkg/changelog.gz)
add_custom_target(package_documents ALL DEPENDS ${gzipped})

install(FILES ${PROJECT_SOURCE_DIR}/cmake/pkg/copyright ${CMAKE_BINARY_DIR}/pkg/changelog.gz
  DESTINATION ${doc_dir})
# The relay as a systemd service.
install(FILES ${PROJECT_SOURCE_DIR}/cmake/pkg/talkhub@.service DESTINATION lib/systemd/system)
set(LIBDIR usr/${CMAKE_INSTALL_LIBDIR})
configure_file(cmake/pkg/lintian-overrides.in pkg/lintian-overrides @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/pkg/lintian-overrides
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides RENAME board-toolset)

# The package runs ldconfig once after the libraries it installs.
file(WRITE ${PROJECT_BINARY_DIR}/pkg/control/triggers "activate-noawait ldconfig\n")

set(CPACK_PACKAGE_NAME board-toolset)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(summary
  "chat relay, echo server, serial libraries, scanner grabber, process tools")
set(description "Small command-line programs and libraries for ARM Linux boards:
talkhub, a TCP chat relay that sends every block any client writes to all
clients; parrot, a TCP echo server that serves five clients in turn;
libserial and libserial_mangled, a serial helper library under plain and C++
symbol names; portwire, a static library for a serial channel with any baud
rate, timed waits and cancellation; scangrab, which grabs one scan from a
rotating laser range scanner and draws it as a text histogram, with a
stand-in driver and a scanner emulator; and process and signal tools that
reap children on SIGCHLD, read FIFOs, time out a read with SIGALRM and run a
command in a vforked child.")
set(TOOLSET_MAINTAINER "Board toolset maintainers <maintainers@users.noreply.c-seed-7bb1023d.example>"
  CACHE STRING "Maintainer of the packages")
set(CPACK_PACKAGE_CONTACT "${TOOLSET_MAINTAINER}")
set(CPACK_GENERATOR DEB TGZ)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
# Dependencies come from what the programs and libraries link (dpkg-shlibdeps).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SOURCE board-toolset)
if(BUILD_TESTING AND CMAKE_CROSSCOMPILING)
  # The board's build also makes board-toolset-tests: the installed tests
  # (component "tests", see tests/CMakeLists.txt); the rest is board-toolset.
  set(CPACK_DEB_COMPONENT_INSTALL ON)
  set(CPACK_COMPONENTS_ALL Unspecified tests)
  set(CPACK_DEBIAN_UNSPECIFIED_PACKAGE_NAME board-toolset)
  # Each description brings its own summary line: cpack would put
  # CPACK_PACKAGE_DESCRIPTION_SUMMARY before both, so that stays unset.
  set(CPACK_DEBIAN_UNSPECIFIED_DESCRIPTION "${summary}\n${description}")
  set(CPACK_DEBIAN_UNSPECIFIED_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/pkg/control/triggers)
  set(CPACK_DEBIAN_TESTS_PACKAGE_NAME board-toolset-tests)
  set(CPACK_DEBIAN_TESTS_PACKAGE_DEPENDS "board-toolset (= ${PROJECT_VERSION})")
  set(CPACK_DEBIAN_TESTS_PACKAGE_SECTION misc)
  set(CPACK_DEBIAN_TESTS_DESCRIPTION "tests of board-toolset, run against the installed programs
The test programs of board-toolset and the helpers they start, under
/usr/lib/board-toolset/ptest. Its run-ptest runs every test case against the
installed programs and libraries, each within a time bound, and prints one
PASS, FAIL or SKIP line per case.")
else()
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${summary}")
  set(CPACK_PACKAGE_DESCRIPTION "${description}")
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/pkg/control/triggers)
endif()
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Stripped programs and libraries; their debug information goes to the
# board-toolset-dbgsym package, under /usr/lib/debug/.build-id/.
set(CPACK_DEBIAN_DEBUGINFO_PACKAGE ON)
set(CPACK_OBJCOPY_EXECUTABLE ${CMAKE_OBJCOPY})
set(CPACK_READELF_EXECUTABLE ${CMAKE_READELF})
set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/pkg/fixup.cmake)
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_BINARY_DIR}/pkg/CPackProject.cmake)
configure_file(cmake/pkg/CPackProject.cmake.in pkg/CPackProject.cmake @ONLY)
if(CMAKE_CROSSCOMPILING)
  # dpkg-shlibdeps finds the board's libraries with the cross toolchain;
  # cmake/pkg/fixup.cmake turns the cross packages' names back into the board's.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS /usr/${CMAKE_LIBRARY_ARCHITECTURE}/lib)
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE armhf)
  set(CPACK_SYSTEM_NAME linux-armhf)
endif()
include(CPack)
