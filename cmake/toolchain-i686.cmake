# Cross toolchain for i686 Windows (mingw-w64), for the DLLs only: the x86
# DLL must load on Windows 2000. The win32 thread model's runtime stands on
# critical sections, semaphores and TlsAlloc; the posix one links winpthreads,
# which imports GetTickCount64 and vectored exception handlers (Vista, XP)
# even without std::mutex, through static-local guards and thread_local. The
# price: no std::mutex, std::thread or std::condition_variable in the product,
# which uses the platform's critical sections instead.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(TOOL_PREFIX i686-w64-mingw32)
set(THREAD_MODEL win32)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw.cmake)
