# Cross toolchain for i686 Windows (mingw-w64), for the DLLs only: the x86
# DLL must load on Windows 2000. The win32 thread model's runtime stands on
# critical sections, semaphores and TlsAlloc; the posix one links winpthreads,
# which imports GetTickCount64 and vectored exception handlers (Vista, XP)
# even without std::mutex, through static-local guards and thread_local. The
# price: no std::mutex, std::thread or std::condition_variable in the product,
# which uses the platform's critical sections instead.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(TOOL_PREFIX i686-w64-mingw32)
set(CMAKE_C_COMPILER ${TOOL_PREFIX}-gcc-win32)
set(CMAKE_CXX_COMPILER ${TOOL_PREFIX}-g++-win32)
set(CMAKE_RC_COMPILER ${TOOL_PREFIX}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${TOOL_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Everything static: the binaries may import Windows system DLLs only.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")
set(WIDL ${TOOL_PREFIX}-widl)
