# Cross toolchain for the x86 test tree (build/x86-tests): the posix thread
# model, which GoogleTest and the simulator (std::thread, std::mutex) need.
# The DLLs and the program that ship are built by toolchain-i686.cmake; the
# tests of this tree load those (OPCHDA_SHIPPED_BIN), and its own build of the
# simulated historian is the one the x86 package offers: the simulator ships
# only to try the examples with, so it need not load on Windows 2000.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(TOOL_PREFIX i686-w64-mingw32)
set(THREAD_MODEL posix)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw.cmake)
