# Cross toolchain for x86_64 Windows (mingw-w64, posix threads so std::thread and std::mutex exist).
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(TOOL_PREFIX x86_64-w64-mingw32)
set(THREAD_MODEL posix)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw.cmake)
