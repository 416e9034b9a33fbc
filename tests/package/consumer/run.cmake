# Builds the consumer project against the installed libraries, through the
# CMake package files and through pkg-config, and runs what it built. It does
# so twice: against an install prefix of the build tree, and against the
# unpacked Debian package, whose files lie in the multiarch folders.
#   cmake -DBUILD_DIR=... -DSOURCE_DIR=... -DWORK_DIR=... -DLIBDIR=lib/<triplet>
#         -DDEBS=... [-DTOOLCHAIN=...] [-DEMULATOR=...] [-DFLAGS=...]
#         -DREADELF=... -P run.cmake
# FLAGS are the compiler flags of the build (sanitizers), used for the
# consumer too, since the installed libraries need the same runtime.
file(REMOVE_RECURSE ${WORK_DIR})

execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${WORK_DIR}/prefix
  OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
file(GLOB deb ${DEBS}/board-toolset_*.deb)  # the toolset, not its tests package
execute_process(COMMAND dpkg-deb -x ${deb} ${WORK_DIR}/unpacked COMMAND_ERROR_IS_FATAL ANY)

# expect(OUTPUT STATUS program args...): runs a built program and checks it.
function(expect want_out want_status)
  execute_process(COMMAND ${EMULATOR} ${ARGN}
    OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE status)
  if(NOT out STREQUAL want_out OR NOT status EQUAL want_status)
    message(FATAL_ERROR "${ARGN}: status ${status}, output [${out}], errors [${err}]; "
      "wanted status ${want_status}, output [${want_out}]")
  endif()
endfunction()

foreach(root prefix unpacked/usr)
  set(prefix ${WORK_DIR}/${root})
  if(NOT EXISTS ${prefix}/${LIBDIR}/pkgconfig/serial.pc OR NOT EXISTS ${prefix}/${LIBDIR}/cmake/serial)
    message(FATAL_ERROR "${root}: no package files in ${LIBDIR}")
  endif()
  set(ENV{PKG_CONFIG_LIBDIR} ${prefix}/${LIBDIR}/pkgconfig)
  set(ENV{PKG_CONFIG_PATH} "")
  foreach(route cmake pkgconfig)
    string(MAKE_C_IDENTIFIER ${root}-${route} name)
    set(dir ${WORK_DIR}/${name})
    set(args -S ${SOURCE_DIR} -B ${dir} -G Ninja -DROUTE=${route}
      -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_FIND_ROOT_PATH=${prefix}
      "-DCMAKE_C_FLAGS=${FLAGS}" "-DCMAKE_CXX_FLAGS=${FLAGS}")
    if(TOOLCHAIN)
      list(APPEND args -DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN})
    endif()
    execute_process(COMMAND ${CMAKE_COMMAND} ${args} OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
    execute_process(COMMAND ${CMAKE_COMMAND} --build ${dir} OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)

    expect("open=0 wait=-2\n" 0 ${dir}/use_portwire ${WORK_DIR}/no-such-device)
    foreach(caller use_serial_c use_serial_cxx use_serial_mangled_cxx)
      expect("start\nReady to start parsing!\n" 0 ${dir}/${caller} /dev/null)
      expect("${WORK_DIR}/none open error\n" 255 ${dir}/${caller} ${WORK_DIR}/none)
    endforeach()
    # The libraries have no SONAME: a caller must record them by name, not by
    # the path it was linked with, or it cannot find them on another machine.
    execute_process(COMMAND ${READELF} -d ${dir}/use_serial_c OUTPUT_VARIABLE dyn COMMAND_ERROR_IS_FATAL ANY)
    if(NOT dyn MATCHES "NEEDED[^\n]*\[libserial\.so\]")
      message(FATAL_ERROR "use_serial_c does not need libserial.so by name:\n${dyn}")
    endif()
    message(STATUS "${root}, ${route}: built and ran the consumer")
  endforeach()
endforeach()
