# The armhf cross build, with the tests run on a board: every test binary is
# started through board/launch.sh, which runs it on the board that CTest
# boots before the tests (the emulated one, see board/up.sh).
include(${CMAKE_CURRENT_LIST_DIR}/../armhf-toolchain.cmake)

set(TOOLSET_BOARD ON)
get_filename_component(_board_scripts ${CMAKE_CURRENT_LIST_DIR}/../../board ABSOLUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR ${_board_scripts}/launch.sh ${CMAKE_BINARY_DIR}/board)
