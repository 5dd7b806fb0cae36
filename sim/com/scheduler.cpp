#include "scheduler.h"

#include "sim/model/sim_clock.h"

#include <objbase.h>

#include <algorithm>
#include <vector>

namespace hdasim {

Scheduler::State::~State() {
    SimClock::Instance().RemoveListener(wakeEvent);
    CloseHandle(wakeEvent);
}

Scheduler::Scheduler() : s_(std::make_shared<State>()) {
    s_->wakeEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SimClock::Instance().AddListener(s_->wakeEvent);
    auto* ref = new std::shared_ptr<State>(s_);
    thread_ = CreateThread(nullptr, 0, &Scheduler::ThreadMain, ref, 0, &threadId_);
    if (!thread_) delete ref;
}

Scheduler::~Scheduler() {
    std::list<std::shared_ptr<Task>> dropped;
    {
        std::lock_guard<std::mutex> g(s_->lock);
        s_->stop = true;
        dropped.swap(s_->tasks);
    }
    SetEvent(s_->wakeEvent);
    dropped.clear();
    if (!thread_) return;
    if (GetCurrentThreadId() != threadId_) {
        // The apartment thread waiting here may be the one the worker is calling
        // into; keep its messages flowing while waiting.
        DWORD index;
        CoWaitForMultipleHandles(0, INFINITE, 1, &thread_, &index);
    }
    // On the worker itself (the client released the historian inside a
    // callback) the worker sees `stop` once the work returns and leaves.
    CloseHandle(thread_);
}

DWORD WINAPI Scheduler::ThreadMain(void* param) {
    auto* ref = static_cast<std::shared_ptr<State>*>(param);
    std::shared_ptr<State> s = *ref;
    delete ref;
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    Run(*s);
    s.reset();
    CoUninitialize();
    return 0;
}

bool Scheduler::OnWorkerThread() const { return GetCurrentThreadId() == threadId_; }

void Scheduler::Post(DWORD cancelId, int64_t due, Work work, bool data, bool once) {
    {
        std::lock_guard<std::mutex> g(s_->lock);
        auto t = std::make_shared<Task>();
        t->cancelId = cancelId;
        t->seq = s_->nextSeq++;
        t->due = due;
        t->notBefore = GetTickCount64() + (data ? s_->delayMs : 0);
        t->data = data;
        t->once = once;
        t->work = std::move(work);
        s_->tasks.push_back(std::move(t));
    }
    SetEvent(s_->wakeEvent);
}

bool Scheduler::Cancel(DWORD cancelId) {
    if (cancelId == 0) return false;
    std::shared_ptr<Task> gone;
    std::lock_guard<std::mutex> g(s_->lock);
    for (auto it = s_->tasks.begin(); it != s_->tasks.end(); ++it) {
        if ((*it)->cancelId == cancelId && (*it)->data && !(*it)->cancelled) {
            (*it)->cancelled = true;
            gone = *it;  // the work (and what it captured) goes outside the list
            s_->tasks.erase(it);
            return true;
        }
    }
    return false;
}

long Scheduler::Pending() const {
    std::lock_guard<std::mutex> g(s_->lock);
    long n = 0;
    for (auto& t : s_->tasks) n += (t->data && t->cancelId != 0) ? 1 : 0;
    return n;
}

void Scheduler::SetDelay(DWORD ms) {
    std::lock_guard<std::mutex> g(s_->lock);
    s_->delayMs = ms;
}

void Scheduler::Hold(bool on, bool reverse) {
    {
        std::lock_guard<std::mutex> g(s_->lock);
        s_->hold = on;
        if (!on) s_->reverseOnce = reverse;
    }
    SetEvent(s_->wakeEvent);
}

void Scheduler::Run(State& s) {
    SimClock& clock = SimClock::Instance();
    for (;;) {
        std::vector<std::shared_ptr<Task>> ready;
        DWORD wait = INFINITE;
        {
            std::lock_guard<std::mutex> g(s.lock);
            if (s.stop) return;
            ResetEvent(s.wakeEvent);
            int64_t now = clock.Now();
            ULONGLONG tick = GetTickCount64();
            for (auto& t : s.tasks) {
                if (t->data && s.hold) continue;
                bool due = t->due == kNow || t->due <= now;
                if (due && tick >= t->notBefore) {
                    ready.push_back(t);
                    continue;
                }
                DWORD w = due ? 0 : clock.RealMsUntil(t->due);
                if (tick < t->notBefore) w = std::max<DWORD>(w, static_cast<DWORD>(t->notBefore - tick));
                wait = std::min(wait, w);
            }
            std::sort(ready.begin(), ready.end(), [](auto& a, auto& b) { return a->seq < b->seq; });
            if (s.reverseOnce && !ready.empty()) {
                std::reverse(ready.begin(), ready.end());
                s.reverseOnce = false;
            }
        }
        for (auto& t : ready) {
            {
                std::lock_guard<std::mutex> g(s.lock);
                if (s.stop) return;
                if (t->cancelled) continue;
                if (t->once) s.tasks.remove(t);
            }
            int64_t next = 0;
            bool again = t->work(clock.Now(), &next);
            std::lock_guard<std::mutex> g(s.lock);
            if (s.stop) return;
            if (t->once) continue;
            if (again && !t->cancelled) {
                t->due = next;
            } else if (!t->cancelled) {
                t->cancelled = true;
                s.tasks.remove(t);
            }
        }
        if (!ready.empty()) continue;
        WaitForSingleObject(s.wakeEvent, wait);
    }
}

}  // namespace hdasim
