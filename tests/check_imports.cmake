cmake_minimum_required(VERSION 3.20)
# Fails when the DLL imports anything but Windows system DLLs (a C or C++
# runtime DLL of the toolchain would have to be shipped beside it), and, with
# -DWINDOWS_2000=ON (the x86 DLL), any function that Windows 2000 lacks: the
# loader refuses a DLL with a single missing import.
execute_process(COMMAND ${OBJDUMP} -p ${DLL} OUTPUT_VARIABLE dump RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "objdump failed on ${DLL}")
endif()
string(REGEX MATCHALL "DLL Name: [^\n]+" names "${dump}")
set(allowed kernel32.dll advapi32.dll ole32.dll oleaut32.dll msvcrt.dll user32.dll rpcrt4.dll)
# -DALSO_ALLOWED=<dll>: one more system DLL that this binary may use (Windows Installer's, for the
# packages' custom actions).
list(APPEND allowed ${ALSO_ALLOWED})
list(TRANSFORM names REPLACE "^DLL Name: " "")
list(TRANSFORM names STRIP)
foreach(name ${names})
  string(TOLOWER "${name}" lower)
  if(NOT lower IN_LIST allowed)
    message(FATAL_ERROR "${DLL} imports ${name}, which is not a Windows system DLL")
  endif()
endforeach()
message(STATUS "${DLL}: imports ${names}")

if(WINDOWS_2000)
  # What came after Windows 2000 and what the toolchain's runtimes (mingw-w64
  # CRT, libgcc, libstdc++, winpthreads) or careless code tend to pull in.
  set(post2000_patterns
    SRWLock ConditionVariable "^InitOnce" "^Fls[A-Z]" Vectored "CriticalSectionEx$" "^WaitOnAddress" "^WakeByAddress"
    "^RegDeleteTree" "^RegGetValue" "^RegDeleteKeyEx" "^RegCopyTree" "^RegSetKeyValue" "^RegLoadMUIString"
    "^Encode.*Pointer$" "^Decode.*Pointer$")
  set(post2000_functions
    GetTickCount64 GetSystemTimePreciseAsFileTime QueryUnbiasedInterruptTime GetCurrentProcessorNumber
    GetThreadId GetProcessId GetModuleHandleExA GetModuleHandleExW GetNativeSystemInfo IsWow64Process
    GetLogicalProcessorInformation FlushProcessWriteBuffers SetThreadStackGuarantee
    CreateEventExA CreateEventExW CreateMutexExA CreateMutexExW CreateSemaphoreExA CreateSemaphoreExW
    CreateWaitableTimerExW SetWaitableTimerEx CancelIoEx GetQueuedCompletionStatusEx
    GetFinalPathNameByHandleA GetFinalPathNameByHandleW CreateSymbolicLinkA CreateSymbolicLinkW
    TzSpecificLocalTimeToSystemTime SystemTimeToTzSpecificLocalTimeEx GetDynamicTimeZoneInformation
    GetTimeZoneInformationForYear LocaleNameToLCID LCIDToLocaleName GetLocaleInfoEx CompareStringEx
    CompareStringOrdinal LCMapStringEx GetUserDefaultLocaleName AttachConsole
    RegisterTypeLibForUser UnRegisterTypeLibForUser CoGetApartmentType
    ___lc_codepage_func ___mb_cur_max_func __iob_func _aligned_malloc _aligned_free _vscprintf _vscwprintf
    _time64 _localtime64 _gmtime64 _mktime64 _ctime64 _get_errno _set_errno)
  list(TRANSFORM post2000_functions REPLACE "(.+)" "^\\1$")
  list(JOIN post2000_patterns "|" post2000)
  list(JOIN post2000_functions "|" post2000_names)
  string(REGEX MATCHALL "\n\t[0-9a-f]+\t +[0-9]+ +[^\n ]+" imported "${dump}")
  list(TRANSFORM imported REPLACE ".* ([^ ]+)$" "\\1" OUTPUT_VARIABLE refused)
  list(FILTER refused INCLUDE REGEX "${post2000}|${post2000_names}")
  list(LENGTH imported count)
  if(count EQUAL 0)
    message(FATAL_ERROR "no imported functions found in the dump of ${DLL}")
  endif()
  if(refused)
    message(FATAL_ERROR "${DLL} imports functions that Windows 2000 lacks: ${refused}")
  endif()
  message(STATUS "${DLL}: ${count} imported functions, all present on Windows 2000")
endif()
