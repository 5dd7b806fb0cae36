// File times as the signed count of 100 ns units since 1601 that historians and
// the tests reckon in, and back.
#pragma once

#include <windows.h>

namespace comtest {

inline FILETIME Ft(LONGLONG units) {
    return {static_cast<DWORD>(units), static_cast<DWORD>(static_cast<ULONGLONG>(units) >> 32)};
}
inline LONGLONG Units(const FILETIME& ft) {
    return static_cast<LONGLONG>(static_cast<ULONGLONG>(ft.dwHighDateTime) << 32 | ft.dwLowDateTime);
}

}  // namespace comtest
namespace testsupport = comtest;  // the former name, while its users move
