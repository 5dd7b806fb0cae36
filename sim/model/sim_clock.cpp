#include "sim_clock.h"

#include <cmath>

namespace hdasim {

SimClock& SimClock::Instance() {
    // Never destroyed: workers may still read it while the process ends.
    static SimClock& clock = *new SimClock;
    return clock;
}

SimClock::SimClock() {
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    anchorSim_ = TicksOf(ft);
    anchorReal_ = RealNow();
}

int64_t SimClock::RealNow() {
    LARGE_INTEGER f, c;
    QueryPerformanceFrequency(&f);
    QueryPerformanceCounter(&c);
    // 100 ns units of real time, in whole numbers: a long double product would
    // follow the caller's x87 precision.
    return c.QuadPart / f.QuadPart * 10'000'000 + c.QuadPart % f.QuadPart * 10'000'000 / f.QuadPart;
}

int64_t SimClock::Now() const {
    CsLock g(lock_);
    return anchorSim_ + static_cast<int64_t>(std::llround((RealNow() - anchorReal_) * speed_));
}

double SimClock::Speed() const {
    CsLock g(lock_);
    return speed_;
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
    CsLock g(lock_);
    RebaseLocked();
    speed_ = speed < 0 ? 0 : speed;
    NotifyLocked();
}

void SimClock::Step(int64_t duration) {
    CsLock g(lock_);
    RebaseLocked();
    anchorSim_ += duration;
    NotifyLocked();
}

void SimClock::Set(int64_t utc) {
    CsLock g(lock_);
    anchorReal_ = RealNow();
    anchorSim_ = utc;
    NotifyLocked();
}

DWORD SimClock::RealMsUntil(int64_t when) const {
    CsLock g(lock_);
    int64_t sim = anchorSim_ + static_cast<int64_t>(std::llround((RealNow() - anchorReal_) * speed_));
    double speed = speed_;
    if (when <= sim) return 0;
    if (speed <= 0) return INFINITE;
    double ms = static_cast<double>(when - sim) / speed / 10000.0;
    if (ms > 3600000.0) return 3600000;
    return static_cast<DWORD>(std::ceil(ms));
}

void SimClock::AddListener(HANDLE event) {
    CsLock g(lock_);
    if (listenerCount_ < 64) listeners_[listenerCount_++] = event;
}

void SimClock::RemoveListener(HANDLE event) {
    CsLock g(lock_);
    for (int i = 0; i < listenerCount_; ++i) {
        if (listeners_[i] == event) {
            listeners_[i] = listeners_[--listenerCount_];
            break;
        }
    }
}

}  // namespace hdasim
