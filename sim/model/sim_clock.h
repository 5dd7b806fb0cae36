// The simulator's clock: one per process, shared by every historian in it.
// Simulated UTC time runs at a chosen speed relative to real time, or stands
// still (speed 0) and moves only when a test steps or sets it.
#pragma once

#include <windows.h>

#include <cstdint>

#include "com/com_holders.h"
#include "com/file_time.h"

namespace hdasim {

// Times are FILETIME ticks (UTC, 100 ns since 1601-01-01).
using Ticks = std::int64_t;

constexpr Ticks kTicksPerSecond = 10'000'000;
constexpr Ticks kTicksPerMinute = 60 * kTicksPerSecond;
constexpr Ticks kTicksPerHour = 60 * kTicksPerMinute;
constexpr Ticks kTicksPerDay = 24 * kTicksPerHour;

using ::FileTimeOf;
using ::TicksOf;

class SimClock {
public:
    static SimClock& Instance();

    // Simulated UTC now, as a FILETIME count (100 ns units since 1601).
    int64_t Now() const;
    double Speed() const;
    void SetSpeed(double speed);
    void Step(int64_t duration);
    void Set(int64_t utc);
    // Real milliseconds until the clock reaches `when`; INFINITE if stopped.
    DWORD RealMsUntil(int64_t when) const;
    // Signalled whenever the clock is moved or its speed changes, so that
    // waiting workers recompute their deadlines. Manual-reset; workers reset it.
    void AddListener(HANDLE event);
    void RemoveListener(HANDLE event);

private:
    SimClock();
    void RebaseLocked();
    void NotifyLocked();
    static int64_t RealNow();

    mutable CriticalSection lock_;
    int64_t anchorSim_;
    int64_t anchorReal_;
    double speed_ = 1.0;
    HANDLE listeners_[64] = {};
    int listenerCount_ = 0;
};

}  // namespace hdasim
