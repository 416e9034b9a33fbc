# Tests on the board (the board preset), run as a user runs them: CTest packs
# the board's two packages (Package.Make), boots the emulated board
# (board/up.sh), and board/run.sh installs them there with apt over ssh and
# runs the installed suite, one line per test, two cases at once on the two
# processors (the UART and service cases alone); Board.Suite fails on any
# FAIL or SKIP line and names the failed tests. The board stops after the
# last test. TOOLSET_BOARD_MACHINE names the board it boots: `virt`, or
# `pi2`, a Raspberry Pi 2 from an SD card image (the board-pi2 preset).
set(TOOLSET_BOARD_MACHINE virt CACHE STRING "The emulated board the tests boot: virt or pi2")
set_property(CACHE TOOLSET_BOARD_MACHINE PROPERTY STRINGS virt pi2)
# TOOLSET_BOARD_ENGINE=lava runs the installed suite as a LAVA job instead
# (BoardLava.Suite, board/lava/run.sh: lava-run boots the virt board and runs
# it there); the ssh board still comes up for the tests below that need one.
set(TOOLSET_BOARD_ENGINE ssh CACHE STRING "What runs the installed suite on the board: ssh or lava")
set_property(CACHE TOOLSET_BOARD_ENGINE PROPERTY STRINGS ssh lava)
if(TOOLSET_BOARD_ENGINE STREQUAL "lava" AND NOT TOOLSET_BOARD_MACHINE STREQUAL "virt")
  message(FATAL_ERROR "The LAVA job runs on the virt board only (TOOLSET_BOARD_MACHINE=virt)")
endif()
set(board_scripts ${PROJECT_SOURCE_DIR}/board)
set(board_state ${CMAKE_BINARY_DIR}/board)

add_test(NAME Board.Up COMMAND ${board_scripts}/up.sh ${board_state})
add_test(NAME Board.Down COMMAND ${board_scripts}/down.sh ${board_state})
# Board.Suite installs the packages on the ssh board and runs the suite
# there; under LAVA it only installs them, for the tests below.
add_test(NAME Board.Suite COMMAND ${board_scripts}/run.sh board WORKING_DIRECTORY ${board_state})
if(TOOLSET_BOARD_ENGINE STREQUAL "lava")
  add_test(NAME BoardLava.Suite COMMAND ${board_scripts}/lava/run.sh ${board_state}/lava)
  set_tests_properties(BoardLava.Suite PROPERTIES FIXTURES_REQUIRED toolset_debs TIMEOUT 4200
    ENVIRONMENT "BOARD_PACKAGES=${TOOLSET_DEBS}")
  # One emulated board at a time on the machine's cores.
  set_tests_properties(Board.Up PROPERTIES DEPENDS BoardLava.Suite)
  set(board_install_only "BOARD_INSTALL_ONLY=1;")
endif()
# Every job in board/lava/ passes LAVA's strict schema and lava-run --validate.
add_test(NAME BoardLava.Validate COMMAND ${board_scripts}/lava/validate.sh)
set_tests_properties(BoardLava.Validate PROPERTIES TIMEOUT 300)
# Building the image the first time is most of the set-up.
set_tests_properties(Board.Up PROPERTIES FIXTURES_SETUP board TIMEOUT 2400
  ENVIRONMENT "BOARD_MACHINE=${TOOLSET_BOARD_MACHINE};BOARD_LIFETIME=5400;BOARD_FREE_PORT=$<TARGET_FILE:free_port>")
set_tests_properties(Board.Down PROPERTIES FIXTURES_CLEANUP board)
# The joined pairs the UART cases run on, the USB adapters by their by-path
# links (board/up.sh): on virt the 16550As ttyS0 and ttyS1 and the adapters
# on the xHCI's ports 2 and 3; on the Pi the adapters on its hub's ports 3
# and 4. What runs against a peer on this machine: scangrab on ttyS2 (virt
# only) and on ttyUSB0, and the cable pulled from ttyUSB0 on virt only: the
# Pi's USB controller in qemu 7.2 (dwc2) aborts qemu when a device goes.
if(TOOLSET_BOARD_MACHINE STREQUAL "pi2")
  set(usb_port "/dev/serial/by-path/platform-3f980000.usb-usb-0:1.%:1.0-port0")
  set(usb_pair 3 4)
  set(uart_pairs "")
  set(port_cases ttyUSB0:listing)
else()
  set(usb_port "/dev/serial/by-path/platform-3f000000.pcie-pci-0000:00:04.0-usb-0:%:1.0-port0")
  set(usb_pair 2 3)
  set(uart_pairs "/dev/ttyS0,/dev/ttyS1 ")
  set(port_cases ttyS2:listing ttyS2:health ttyUSB0:listing ttyUSB0:pulled)
endif()
list(GET usb_pair 0 usb_a)
list(GET usb_pair 1 usb_b)
string(REPLACE "%" "${usb_a}" usb_a "${usb_port}")
string(REPLACE "%" "${usb_b}" usb_b "${usb_port}")
set_tests_properties(Board.Suite PROPERTIES FIXTURES_REQUIRED "board;toolset_debs" TIMEOUT 3600
    ENVIRONMENT "${board_install_only}BOARD_SSH_CONFIG=${board_state}/ssh_config;BOARD_PACKAGES=${TOOLSET_DEBS};TOOLSET_TEST_TIMEOUT_SCALE=4;PTEST_JOBS=2;TOOLSET_UART_PAIRS=${uart_pairs}${usb_a},${usb_b}"
    FAIL_REGULAR_EXPRESSION "(^|\n)SKIP: ")

# What only a real serial port shows.
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
foreach(port_case ${port_cases})
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
if("ttyUSB0:pulled" IN_LIST port_cases)
  add_test(NAME BoardCablePull.ChannelAndLibraryOnTtyUSB0 COMMAND ${board_scripts}/tests/cable_pull.sh ${board_state})
  set_tests_properties(BoardCablePull.ChannelAndLibraryOnTtyUSB0 PROPERTIES
    FIXTURES_REQUIRED board DEPENDS Board.Suite
    TIMEOUT 600 RESOURCE_LOCK board_ttyUSB0 FAIL_REGULAR_EXPRESSION "^FAIL:")
endif()

# The runner given a host it cannot reach, no packages, or packages that the
# board's apt cannot install; the LAVA runner given no packages, and with
# the LAVA engine, packages the board cannot install.
set(runner_cases unreachable nopackages baddepends lavanopackages)
if(TOOLSET_BOARD_ENGINE STREQUAL "lava")
  list(APPEND runner_cases lavabaddepends)
endif()
foreach(case ${runner_cases})
  add_test(NAME BoardRunner.RefusesWithOneLine.${case}
    COMMAND ${board_scripts}/tests/runner_test.sh ${board_state} ${case})
  set_tests_properties(BoardRunner.RefusesWithOneLine.${case} PROPERTIES
    TIMEOUT 300 FAIL_REGULAR_EXPRESSION "(^|\n)FAIL:")
endforeach()
set_tests_properties(BoardRunner.RefusesWithOneLine.baddepends PROPERTIES
  FIXTURES_REQUIRED board DEPENDS Board.Suite)
if(TEST BoardRunner.RefusesWithOneLine.lavabaddepends)
  set_tests_properties(BoardRunner.RefusesWithOneLine.lavabaddepends PROPERTIES
    TIMEOUT 1200 DEPENDS BoardLava.Suite)
endif()
