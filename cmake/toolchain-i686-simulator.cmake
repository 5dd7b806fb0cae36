# Cross toolchain for the x86 simulated historian (its own build tree): the
# posix thread model, since the simulator uses std::thread and std::mutex. The
# simulator ships only to try the examples with, so it need not load on
# Windows 2000 as the x86 product DLLs must (see toolchain-i686.cmake).
set(CMAKE_SYSTEM_PROCESSOR i686)
set(TOOL_PREFIX i686-w64-mingw32)
set(THREAD_MODEL posix)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw.cmake)
