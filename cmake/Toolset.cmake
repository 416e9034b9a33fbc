# Build flags every target gets, and the helpers that the deliverable folders
# use for their programs and their installed libraries.
include(CMakePackageConfigHelpers)
include(CheckPIESupported)

add_compile_options(-Wall -Wextra)
# Record a run-time library only when something is used from it: the plain C
# programs then need no C++ runtime on the board.
add_link_options(-Wl,--as-needed)

# Hardening, as Debian builds its packages: stack protector, checked string
# and memory functions, format checks, position-independent programs, and a
# read-only relocation table bound at start.
option(TOOLSET_HARDENING "Build with the Debian hardening flags" ON)
if(TOOLSET_HARDENING)
  set(CMAKE_POSITION_INDEPENDENT_CODE ON)
  check_pie_supported(LANGUAGES C CXX)
  add_compile_options(-fstack-protector-strong -Wformat -Werror=format-security)
  add_link_options(-Wl,-z,relro,-z,now)
  # The checked functions need optimisation, and they would hide errors from
  # the sanitizers' own checks.
  if(NOT CMAKE_C_FLAGS MATCHES "-fsanitize" AND NOT CMAKE_CXX_FLAGS MATCHES "-fsanitize"
      AND NOT TOOLSET_FUZZ)
    add_compile_definitions($<$<NOT:$<CONFIG:Debug>>:_FORTIFY_SOURCE=2>)
  endif()
endif()

# Reproducible binaries: no trace of the folder the tree was built in, in
# debug information or in file-name macros.
add_compile_options(-fdebug-prefix-map=${PROJECT_SOURCE_DIR}=. -fmacro-prefix-map=${PROJECT_SOURCE_DIR}=.)

# Folders made by the install get the same modes whatever the umask.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

# toolset_program(NAME SOURCES src... [LIBS lib...] [LIBC_ONLY])
# A program installed to bin/, with the headers shared by the programs
# (common/). LIBC_ONLY is for the C-style programs: no
# exception tables (so no unwinder) and the compiler's helper routines (the
# ARM division helpers) linked in statically, so that they need only libc on
# the board.
function(toolset_program name)
  cmake_parse_arguments(P "LIBC_ONLY" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${P_SOURCES})
  target_link_libraries(${name} PRIVATE toolset_common ${P_LIBS})
  if(P_LIBC_ONLY)
    target_compile_options(${name} PRIVATE -fno-exceptions)
    target_link_options(${name} PRIVATE -static-libgcc)
  endif()
  install(TARGETS ${name} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endfunction()

# toolset_export(PACKAGE TARGET...): installs the libraries with their public
# headers (their HEADERS file sets) under an export set, and the package's
# config, version and targets files for find_package().
function(toolset_export package)
  set(dir ${CMAKE_INSTALL_LIBDIR}/cmake/${package})
  install(TARGETS ${ARGN} EXPORT ${package}Targets
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    FILE_SET HEADERS DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
  install(EXPORT ${package}Targets NAMESPACE ${package}:: DESTINATION ${dir})
  configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/pkg/${package}Config.cmake.in
    ${PROJECT_BINARY_DIR}/pkg/${package}Config.cmake
    INSTALL_DESTINATION ${dir})
  write_basic_package_version_file(${PROJECT_BINARY_DIR}/pkg/${package}ConfigVersion.cmake
    VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
  install(FILES ${PROJECT_BINARY_DIR}/pkg/${package}Config.cmake
    ${PROJECT_BINARY_DIR}/pkg/${package}ConfigVersion.cmake
    DESTINATION ${dir})
endfunction()

# toolset_pkgconfig(NAME DESCRIPTION [CFLAGS]): installs NAME.pc, which links
# -lNAME. The prefix is found from the file's own place, so the file serves
# an unpacked package or any install prefix as well.
function(toolset_pkgconfig name description)
  set(PC_NAME ${name})
  set(PC_DESCRIPTION ${description})
  set(PC_CFLAGS "${ARGN}")
  if(PC_CFLAGS)
    set(PC_CFLAGS " ${PC_CFLAGS}")
  endif()
  file(RELATIVE_PATH PC_PREFIX_FROM_PCDIR
    ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
  string(REGEX REPLACE "/$" "" PC_PREFIX_FROM_PCDIR "${PC_PREFIX_FROM_PCDIR}")
  configure_file(${PROJECT_SOURCE_DIR}/cmake/pkg/library.pc.in ${PROJECT_BINARY_DIR}/pkg/${name}.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/pkg/${name}.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endfunction()
