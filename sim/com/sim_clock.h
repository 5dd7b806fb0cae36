// The simulator's clock: one per process, shared by every historian in it.
// Simulated UTC time runs at a chosen speed relative to real time, or stands
// still (speed 0) and moves only when a test steps or sets it.
#pragma once

#include <windows.h>
#include <cstdint>

namespace hdasim {

class SimClock {
public:
    static SimClock& instance();

    // Simulated UTC now, as a FILETIME count (100 ns units since 1601).
    int64_t now() const;
    double speed() const;
    void set_speed(double speed);
    void step(int64_t duration);
    void set(int64_t utc);
    // Real milliseconds until the clock reaches `when`; INFINITE if stopped.
    DWORD real_ms_until(int64_t when) const;
    // Signalled whenever the clock is moved or its speed changes, so that
    // waiting workers recompute their deadlines. Manual-reset; workers reset it.
    void add_listener(HANDLE event);
    void remove_listener(HANDLE event);

private:
    SimClock();
    void rebase_locked();
    void notify_locked();
    static int64_t real_now();

    mutable CRITICAL_SECTION lock_;
    int64_t anchor_sim_;
    int64_t anchor_real_;
    double speed_ = 1.0;
    HANDLE listeners_[64] = {};
    int listener_count_ = 0;
};

int64_t filetime_to_i64(const FILETIME& ft);
FILETIME i64_to_filetime(int64_t v);

}  // namespace hdasim
