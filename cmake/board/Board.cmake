# Tests on the board (the board preset): CTest boots the emulated board
# before the first test and stops it after the last, through CTestCustom.cmake
# in the build tree. The guest mounts the source tree, build tree included,
# at the same path, so the paths built into the tests hold there.
set(board_scripts ${PROJECT_SOURCE_DIR}/board)
set(board_state ${CMAKE_BINARY_DIR}/board)
cmake_path(IS_PREFIX PROJECT_SOURCE_DIR "${CMAKE_BINARY_DIR}" NORMALIZE build_inside)
if(NOT build_inside)
  message(FATAL_ERROR "The board mounts the source tree: the build tree must lie inside it")
endif()

file(WRITE ${CMAKE_BINARY_DIR}/CTestCustom.cmake
  "set(CTEST_CUSTOM_PRE_TEST \"${board_scripts}/up.sh ${board_state} ${PROJECT_SOURCE_DIR}\")\n"
  "set(CTEST_CUSTOM_POST_TEST \"${board_scripts}/down.sh ${board_state}\")\n")

# The board runs at emulated speed: the tests' time bounds are scaled as under
# user-mode qemu.
target_compile_definitions(testsupport PRIVATE TESTSUPPORT_TIMEOUT_SCALE=4)

# Tests of the built files themselves (the Debian package, the libraries'
# symbols) need the build machine's tools (cpack, dpkg-deb, readelf, nm):
# the launcher runs them here, under user-mode qemu as in the armhf preset.
# Each line: a test program and a pattern of its arguments (the gtest
# filter CTest passes) that selects such tests.
file(GENERATE OUTPUT ${board_state}/build-machine-tests CONTENT
  "$<TARGET_FILE:package_test> ^--gtest_filter=Package\\.
$<TARGET_FILE:serial_test> ^--gtest_filter=[^:]*SerialElf\\.
")

# What only a real UART shows. ttyS0 and ttyS1 are joined to each other;
# ttyS2 ends on this machine, where a peer can sit.
add_executable(board_uart_test ${board_scripts}/tests/uart_test.cpp)
target_link_libraries(board_uart_test PRIVATE testsupport GTest::gtest_main portwire::portwire)
toolset_program_path(caller serial_caller)
toolset_program_path(mangled_caller serial_mangled_caller)
target_compile_definitions(board_uart_test PRIVATE UART_A="/dev/ttyS0" UART_B="/dev/ttyS1"
  "SERIAL_CALLER_BIN=${caller}" "SERIAL_MANGLED_CALLER_BIN=${mangled_caller}")
add_dependencies(board_uart_test serial_caller serial_mangled_caller)
gtest_discover_tests(board_uart_test
  DISCOVERY_MODE PRE_TEST
  DISCOVERY_TIMEOUT 120
  PROPERTIES TIMEOUT 300 RESOURCE_LOCK board_ttyS0_ttyS1)

foreach(case listing health)
  add_test(NAME BoardHostPeer.ScangrabOnTtyS2AgainstZorlanSimOnThePc.${case}
    COMMAND ${board_scripts}/tests/host_peer.sh ${board_state}
      $<TARGET_FILE:zorlan_sim> $<TARGET_FILE:scangrab> ${case})
  set_tests_properties(BoardHostPeer.ScangrabOnTtyS2AgainstZorlanSimOnThePc.${case} PROPERTIES
    TIMEOUT 300 RESOURCE_LOCK board_ttyS2 FAIL_REGULAR_EXPRESSION "^FAIL:")
endforeach()
