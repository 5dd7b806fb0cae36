// A FILETIME as the signed count of 100-nanosecond ticks since 1601 that
// arithmetic on times wants, and back. Every conversion goes through these two,
// so that the halves are joined and split one way only.
#pragma once

#include <windows.h>

#include <cstdint>

inline std::int64_t TicksOf(const FILETIME& time) {
    return static_cast<std::int64_t>((static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime);
}

inline FILETIME FileTimeOf(std::int64_t ticks) {
    const auto bits = static_cast<std::uint64_t>(ticks);
    return FILETIME{static_cast<DWORD>(bits & 0xFFFFFFFFu), static_cast<DWORD>(bits >> 32)};
}
