# Tests on the board (the board preset), run as a user runs them: CTest packs
# the board's two packages (Package.Make), boots the emulated board
# (board/up.sh), and board/run.sh installs them there with apt over ssh and
# runs the installed suite, one line per test, two cases at once on the two
# processors (the UART and service cases alone); Board.Suite fails on any
# FAIL or SKIP line and names the failed tests. The board stops after the
# last test.
set(board_scripts ${PROJECT_SOURCE_DIR}/board)
set(board_state ${CMAKE_BINARY_DIR}/board)

add_test(NAME Board.Up COMMAND ${board_scripts}/up.sh ${board_state})
add_test(NAME Board.Down COMMAND ${board_scripts}/down.sh ${board_state})
add_test(NAME Board.Suite COMMAND ${board_scripts}/run.sh board WORKING_DIRECTORY ${board_state})
# Building the image the first time is most of the set-up.
set_tests_properties(Board.Up PROPERTIES FIXTURES_SETUP board TIMEOUT 2400
  ENVIRONMENT "BOARD_LIFETIME=5400;BOARD_FREE_PORT=$<TARGET_FILE:free_port>")
set_tests_properties(Board.Down PROPERTIES FIXTURES_CLEANUP board)
# The joined pairs the UART cases run on: the 16550As ttyS0 and ttyS1, and
# the USB adapters on ports 2 and 3 by their by-path links (board/up.sh).
set(usb_port "/dev/serial/by-path/platform-3f000000.pcie-pci-0000:00:04.0-usb-0:%:1.0-port0")
string(REPLACE "%" "2" usb_a "${usb_port}")
string(REPLACE "%" "3" usb_b "${usb_port}")
set_tests_properties(Board.Suite PROPERTIES FIXTURES_REQUIRED "board;toolset_debs" TIMEOUT 3600
  ENVIRONMENT "BOARD_SSH_CONFIG=${board_state}/ssh_config;BOARD_PACKAGES=${TOOLSET_DEBS};TOOLSET_TEST_TIMEOUT_SCALE=4;PTEST_JOBS=2;TOOLSET_UART_PAIRS=/dev/ttyS0,/dev/ttyS1 ${usb_a},${usb_b}"
  FAIL_REGULAR_EXPRESSION "(^|\n)SKIP: ")

# What only a real serial port shows. ttyS0 and ttyS1 are joined to each
# other, and so are the USB adapters ttyUSB1 and ttyUSB2; ttyS2 and ttyUSB0
# end on this machine, where a peer can sit.
add_executable(board_uart_test ${board_scripts}/tests/uart_test.cpp)
target_link_libraries(board_uart_test PRIVATE testsupport GTest::gtest_main portwire::portwire)
toolset_program_path(caller serial_caller)
toolset_program_path(mangled_caller serial_mangled_caller)
target_compile_definitions(board_uart_test PRIVATE UART_A="/dev/ttyS0" UART_B="/dev/ttyS1"
  "SERIAL_CALLER_BIN=${caller}" "SERIAL_MANGLED_CALLER_BIN=${mangled_caller}")
add_dependencies(board_uart_test serial_caller serial_mangled_caller)

# scangrab from the installed package on the board's ttyS2 and on ttyUSB0
# (the serial library's default port), zorlan_sim here; on ttyUSB0 also with
# the cable pulled mid-grab. Then the channel and the library on ttyUSB0
# with the cable pulled.
foreach(port_case ttyS2:listing ttyS2:health ttyUSB0:listing ttyUSB0:pulled)
  string(REPLACE ":" ";" port_case "${port_case}")
  list(GET port_case 0 port)
  list(GET port_case 1 case)
  string(REPLACE "tty" "Tty" name "${port}")
  add_test(NAME BoardHostPeer.ScangrabOn${name}AgainstZorlanSimOnThePc.${case}
    COMMAND ${board_scripts}/tests/host_peer.sh ${board_state} $<TARGET_FILE:zorlan_sim> ${case} ${port})
  set_tests_properties(BoardHostPeer.ScangrabOn${name}AgainstZorlanSimOnThePc.${case} PROPERTIES
    FIXTURES_REQUIRED board DEPENDS Board.Suite
    TIMEOUT 300 RESOURCE_LOCK board_${port} FAIL_REGULAR_EXPRESSION "^FAIL:")
endforeach()
add_test(NAME BoardCablePull.ChannelAndLibraryOnTtyUSB0 COMMAND ${board_scripts}/tests/cable_pull.sh ${board_state})
set_tests_properties(BoardCablePull.ChannelAndLibraryOnTtyUSB0 PROPERTIES
  FIXTURES_REQUIRED board DEPENDS Board.Suite
  TIMEOUT 600 RESOURCE_LOCK board_ttyUSB0 FAIL_REGULAR_EXPRESSION "^FAIL:")

# The runner given a host it cannot reach, no packages, or packages that the
# board's apt cannot install.
foreach(case unreachable nopackages baddepends)
  add_test(NAME BoardRunner.RefusesWithOneLine.${case}
    COMMAND ${board_scripts}/tests/runner_test.sh ${board_state} ${case})
  set_tests_properties(BoardRunner.RefusesWithOneLine.${case} PROPERTIES
    TIMEOUT 300 FAIL_REGULAR_EXPRESSION "(^|\n)FAIL:")
endforeach()
set_tests_properties(BoardRunner.RefusesWithOneLine.baddepends PROPERTIES
  FIXTURES_REQUIRED board DEPENDS Board.Suite)
