// File times as the signed count of 100 ns units since 1601 that historians and
// the tests reckon in, and back: the product's own helper under the tests'
// short names.
#pragma once

#include <windows.h>

#include "com/file_time.h"

namespace comtest {

inline FILETIME Ft(LONGLONG units) { return FileTimeOf(units); }
inline LONGLONG Units(const FILETIME& ft) { return TicksOf(ft); }

}  // namespace comtest
