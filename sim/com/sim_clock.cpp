#include "sim_clock.h"

#include <cmath>

namespace hdasim {

int64_t filetime_to_i64(const FILETIME& ft) {
    return static_cast<int64_t>((static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime);
}

FILETIME i64_to_filetime(int64_t v) {
    FILETIME ft;
    ft.dwLowDateTime = static_cast<DWORD>(static_cast<uint64_t>(v) & 0xFFFFFFFFu);
    ft.dwHighDateTime = static_cast<DWORD>(static_cast<uint64_t>(v) >> 32);
    return ft;
}

SimClock& SimClock::instance() {
    static SimClock clock;
    return clock;
}

SimClock::SimClock() {
    InitializeCriticalSection(&lock_);
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    anchor_sim_ = filetime_to_i64(ft);
    anchor_real_ = real_now();
}

int64_t SimClock::real_now() {
    LARGE_INTEGER f, c;
    QueryPerformanceFrequency(&f);
    QueryPerformanceCounter(&c);
    // 100 ns units of real time.
    return static_cast<int64_t>(static_cast<long double>(c.QuadPart) * 10000000.0L / f.QuadPart);
}

int64_t SimClock::now() const {
    EnterCriticalSection(&lock_);
    int64_t v = anchor_sim_ + static_cast<int64_t>(std::llround((real_now() - anchor_real_) * speed_));
    LeaveCriticalSection(&lock_);
    return v;
}

double SimClock::speed() const {
    EnterCriticalSection(&lock_);
    double s = speed_;
    LeaveCriticalSection(&lock_);
    return s;
}

void SimClock::rebase_locked() {
    int64_t r = real_now();
    anchor_sim_ += static_cast<int64_t>(std::llround((r - anchor_real_) * speed_));
    anchor_real_ = r;
}

void SimClock::notify_locked() {
    for (int i = 0; i < listener_count_; ++i) SetEvent(listeners_[i]);
}

void SimClock::set_speed(double speed) {
    EnterCriticalSection(&lock_);
    rebase_locked();
    speed_ = speed < 0 ? 0 : speed;
    notify_locked();
    LeaveCriticalSection(&lock_);
}

void SimClock::step(int64_t duration) {
    EnterCriticalSection(&lock_);
    rebase_locked();
    anchor_sim_ += duration;
    notify_locked();
    LeaveCriticalSection(&lock_);
}

void SimClock::set(int64_t utc) {
    EnterCriticalSection(&lock_);
    anchor_real_ = real_now();
    anchor_sim_ = utc;
    notify_locked();
    LeaveCriticalSection(&lock_);
}

DWORD SimClock::real_ms_until(int64_t when) const {
    EnterCriticalSection(&lock_);
    int64_t sim = anchor_sim_ + static_cast<int64_t>(std::llround((real_now() - anchor_real_) * speed_));
    double speed = speed_;
    LeaveCriticalSection(&lock_);
    if (when <= sim) return 0;
    if (speed <= 0) return INFINITE;
    double ms = static_cast<double>(when - sim) / speed / 10000.0;
    if (ms > 3600000.0) return 3600000;
    return static_cast<DWORD>(std::ceil(ms));
}

void SimClock::add_listener(HANDLE event) {
    EnterCriticalSection(&lock_);
    if (listener_count_ < 64) listeners_[listener_count_++] = event;
    LeaveCriticalSection(&lock_);
}

void SimClock::remove_listener(HANDLE event) {
    EnterCriticalSection(&lock_);
    for (int i = 0; i < listener_count_; ++i) {
        if (listeners_[i] == event) {
            listeners_[i] = listeners_[--listener_count_];
            break;
        }
    }
    LeaveCriticalSection(&lock_);
}

}  // namespace hdasim
