#include "sim_clock.h"

#include <cmath>

namespace hdasim {

int64_t FiletimeToI64(const FILETIME& ft) {
    return static_cast<int64_t>((static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime);
}

FILETIME i64_to_filetime(int64_t v) {
    FILETIME ft;
    ft.dwLowDateTime = static_cast<DWORD>(static_cast<uint64_t>(v) & 0xFFFFFFFFu);
    ft.dwHighDateTime = static_cast<DWORD>(static_cast<uint64_t>(v) >> 32);
    return ft;
}

SimClock& SimClock::Instance() {
    static SimClock clock;
    return clock;
}

SimClock::SimClock() {
    InitializeCriticalSection(&lock_);
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    anchorSim_ = FiletimeToI64(ft);
    anchorReal_ = RealNow();
}

int64_t SimClock::RealNow() {
    LARGE_INTEGER f, c;
    QueryPerformanceFrequency(&f);
    QueryPerformanceCounter(&c);
    // 100 ns units of real time.
    return static_cast<int64_t>(static_cast<long double>(c.QuadPart) * 10000000.0L / f.QuadPart);
}

int64_t SimClock::Now() const {
    EnterCriticalSection(&lock_);
    int64_t v = anchorSim_ + static_cast<int64_t>(std::llround((RealNow() - anchorReal_) * speed_));
    LeaveCriticalSection(&lock_);
    return v;
}

double SimClock::Speed() const {
    EnterCriticalSection(&lock_);
    double s = speed_;
    LeaveCriticalSection(&lock_);
    return s;
}

void SimClock::RebaseLocked() {
    int64_t r = RealNow();
    anchorSim_ += static_cast<int64_t>(std::llround((r - anchorReal_) * speed_));
    anchorReal_ = r;
}

void SimClock::NotifyLocked() {
    for (int i = 0; i < listenerCount_; ++i) SetEvent(listeners_[i]);
}

void SimClock::SetSpeed(double speed) {
    EnterCriticalSection(&lock_);
    RebaseLocked();
    speed_ = speed < 0 ? 0 : speed;
    NotifyLocked();
    LeaveCriticalSection(&lock_);
}

void SimClock::Step(int64_t duration) {
    EnterCriticalSection(&lock_);
    RebaseLocked();
    anchorSim_ += duration;
    NotifyLocked();
    LeaveCriticalSection(&lock_);
}

void SimClock::Set(int64_t utc) {
    EnterCriticalSection(&lock_);
    anchorReal_ = RealNow();
    anchorSim_ = utc;
    NotifyLocked();
    LeaveCriticalSection(&lock_);
}

DWORD SimClock::RealMsUntil(int64_t when) const {
    EnterCriticalSection(&lock_);
    int64_t sim = anchorSim_ + static_cast<int64_t>(std::llround((RealNow() - anchorReal_) * speed_));
    double speed = speed_;
    LeaveCriticalSection(&lock_);
    if (when <= sim) return 0;
    if (speed <= 0) return INFINITE;
    double ms = static_cast<double>(when - sim) / speed / 10000.0;
    if (ms > 3600000.0) return 3600000;
    return static_cast<DWORD>(std::ceil(ms));
}

void SimClock::AddListener(HANDLE event) {
    EnterCriticalSection(&lock_);
    if (listenerCount_ < 64) listeners_[listenerCount_++] = event;
    LeaveCriticalSection(&lock_);
}

void SimClock::RemoveListener(HANDLE event) {
    EnterCriticalSection(&lock_);
    for (int i = 0; i < listenerCount_; ++i) {
        if (listeners_[i] == event) {
            listeners_[i] = listeners_[--listenerCount_];
            break;
        }
    }
    LeaveCriticalSection(&lock_);
}

}  // namespace hdasim
