# Run by cpack after it has made the Debian packages. cpack leaves three
# things that Debian's tools do otherwise: it calls ldconfig from maintainer
# scripts (the package's ldconfig trigger does that job), it lists absolute
# build paths in the debug package's md5sums, and it gives the debug and the
# tests packages no documents (Debian's point to the main package's). In a cross build,
# dpkg-shlibdeps names the cross toolchain's copies of the board's runtime
# (libc6:armhf, libgcc-s1-armhf-cross); on the board they are libc6 and
# libgcc-s1. Each package is unpacked, mended and packed again by dpkg-deb,
# which orders the members by name and clamps their times to
# SOURCE_DATE_EPOCH; the modes do not depend on the umask.
foreach(package IN LISTS CPACK_PACKAGE_FILES)
  if(NOT package MATCHES "\\.d?deb$")
    continue()
  endif()
  set(root ${package}.tree)
  file(REMOVE_RECURSE ${root})
  execute_process(COMMAND dpkg-deb -R ${package} ${root} COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE ${root}/DEBIAN/postinst ${root}/DEBIAN/postrm)
  set(arch ${CPACK_DEBIAN_PACKAGE_ARCHITECTURE})
  if(arch AND EXISTS ${root}/DEBIAN/control)
    file(READ ${root}/DEBIAN/control control)
    string(REGEX MATCH "(^|\n)Depends:[^\n]*" depends "${control}")
    if(depends)
      string(REPLACE ":${arch}" "" board "${depends}")
      string(REPLACE "-${arch}-cross" "" board "${board}")
      string(REPLACE "${depends}" "${board}" control "${control}")
      file(WRITE ${root}/DEBIAN/control "${control}")
    endif()
  endif()
  # A package without documents of its own (a debug package, the tests)
  # points to those of the package it depends on: the one it has the debug
  # information of, or the main one.
  file(STRINGS ${root}/DEBIAN/control name REGEX "^Package: ")
  string(REPLACE "Package: " "" name "${name}")
  string(REGEX REPLACE "-dbgsym$" "" owner "${name}")
  if(owner STREQUAL name)
    set(owner ${CPACK_PACKAGE_NAME})
  endif()
  if(NOT name STREQUAL CPACK_PACKAGE_NAME AND NOT EXISTS ${root}/usr/share/doc/${name})
    file(MAKE_DIRECTORY ${root}/usr/share/doc)
    file(CREATE_LINK ${owner} ${root}/usr/share/doc/${name} SYMBOLIC)
  endif()

  file(GLOB_RECURSE files LIST_DIRECTORIES false RELATIVE ${root} ${root}/*)
  list(FILTER files EXCLUDE REGEX "^DEBIAN/")
  list(SORT files)
  set(sums "")
  foreach(f IN LISTS files)
    if(NOT IS_SYMLINK ${root}/${f})
      file(MD5 ${root}/${f} sum)
      string(APPEND sums "${sum}  ${f}\n")
    endif()
  endforeach()
  file(WRITE ${root}/DEBIAN/md5sums "${sums}")

  # Modes as Debian's tools leave them, whatever the umask of the build.
  execute_process(COMMAND chmod -R go-w ${root} COMMAND_ERROR_IS_FATAL ANY)
  if(EXISTS ${root}/usr/lib/debug)
    execute_process(COMMAND find ${root}/usr/lib/debug -type f -exec chmod 0644 {} +
      COMMAND_ERROR_IS_FATAL ANY)
  endif()
  if(DEFINED ENV{SOURCE_DATE_EPOCH})
    execute_process(COMMAND find ${root} -exec touch -h -d @$ENV{SOURCE_DATE_EPOCH} {} +
      COMMAND_ERROR_IS_FATAL ANY)
  endif()
  execute_process(COMMAND dpkg-deb --root-owner-group -Zxz --build ${root} ${package}
    OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE_RECURSE ${root})
endforeach()
