# The armhf cross build whose suite runs on a board: the tests are packed
# into board-toolset-tests and run there by board/run.sh (see Board.cmake).
# The few that examine the built files with this machine's tools run here
# under user-mode qemu, as in the armhf preset.
include(${CMAKE_CURRENT_LIST_DIR}/../armhf-toolchain.cmake)

set(TOOLSET_BOARD ON)
