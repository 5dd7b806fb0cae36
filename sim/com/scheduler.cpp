#include "scheduler.h"

#include "sim_clock.h"

#include <objbase.h>

#include <algorithm>
#include <vector>

namespace hdasim {

Scheduler::State::~State() {
    SimClock::instance().remove_listener(wake_event);
    CloseHandle(wake_event);
}

Scheduler::Scheduler() : s_(std::make_shared<State>()) {
    s_->wake_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SimClock::instance().add_listener(s_->wake_event);
    auto* ref = new std::shared_ptr<State>(s_);
    thread_ = CreateThread(nullptr, 0, &Scheduler::thread_main, ref, 0, &thread_id_);
    if (!thread_) delete ref;
}

Scheduler::~Scheduler() {
    std::list<std::shared_ptr<Task>> dropped;
    {
        std::lock_guard<std::mutex> g(s_->lock);
        s_->stop = true;
        dropped.swap(s_->tasks);
    }
    SetEvent(s_->wake_event);
    dropped.clear();
    if (!thread_) return;
    if (GetCurrentThreadId() != thread_id_) {
        // The apartment thread waiting here may be the one the worker is calling
        // into; keep its messages flowing while waiting.
        DWORD index;
        CoWaitForMultipleHandles(0, INFINITE, 1, &thread_, &index);
    }
    // On the worker itself (the client released the historian inside a
    // callback) the worker sees `stop` once the work returns and leaves.
    CloseHandle(thread_);
}

DWORD WINAPI Scheduler::thread_main(void* param) {
    auto* ref = static_cast<std::shared_ptr<State>*>(param);
    std::shared_ptr<State> s = *ref;
    delete ref;
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    run(*s);
    s.reset();
    CoUninitialize();
    return 0;
}

bool Scheduler::on_worker_thread() const { return GetCurrentThreadId() == thread_id_; }

void Scheduler::post(DWORD cancel_id, int64_t due, Work work, bool data, bool once) {
    {
        std::lock_guard<std::mutex> g(s_->lock);
        auto t = std::make_shared<Task>();
        t->cancel_id = cancel_id;
        t->seq = s_->next_seq++;
        t->due = due;
        t->not_before = GetTickCount64() + (data ? s_->delay_ms : 0);
        t->data = data;
        t->once = once;
        t->work = std::move(work);
        s_->tasks.push_back(std::move(t));
    }
    SetEvent(s_->wake_event);
}

bool Scheduler::cancel(DWORD cancel_id) {
    if (cancel_id == 0) return false;
    std::shared_ptr<Task> gone;
    std::lock_guard<std::mutex> g(s_->lock);
    for (auto it = s_->tasks.begin(); it != s_->tasks.end(); ++it) {
        if ((*it)->cancel_id == cancel_id && (*it)->data && !(*it)->cancelled) {
            (*it)->cancelled = true;
            gone = *it;  // the work (and what it captured) goes outside the list
            s_->tasks.erase(it);
            return true;
        }
    }
    return false;
}

long Scheduler::pending() const {
    std::lock_guard<std::mutex> g(s_->lock);
    long n = 0;
    for (auto& t : s_->tasks) n += (t->data && t->cancel_id != 0) ? 1 : 0;
    return n;
}

void Scheduler::set_delay(DWORD ms) {
    std::lock_guard<std::mutex> g(s_->lock);
    s_->delay_ms = ms;
}

void Scheduler::hold(bool on, bool reverse) {
    {
        std::lock_guard<std::mutex> g(s_->lock);
        s_->hold = on;
        if (!on) s_->reverse_once = reverse;
    }
    SetEvent(s_->wake_event);
}

void Scheduler::run(State& s) {
    SimClock& clock = SimClock::instance();
    for (;;) {
        std::vector<std::shared_ptr<Task>> ready;
        DWORD wait = INFINITE;
        {
            std::lock_guard<std::mutex> g(s.lock);
            if (s.stop) return;
            ResetEvent(s.wake_event);
            int64_t now = clock.now();
            ULONGLONG tick = GetTickCount64();
            for (auto& t : s.tasks) {
                if (t->data && s.hold) continue;
                bool due = t->due == kNow || t->due <= now;
                if (due && tick >= t->not_before) {
                    ready.push_back(t);
                    continue;
                }
                DWORD w = due ? 0 : clock.real_ms_until(t->due);
                if (tick < t->not_before) w = std::max<DWORD>(w, static_cast<DWORD>(t->not_before - tick));
                wait = std::min(wait, w);
            }
            std::sort(ready.begin(), ready.end(), [](auto& a, auto& b) { return a->seq < b->seq; });
            if (s.reverse_once && !ready.empty()) {
                std::reverse(ready.begin(), ready.end());
                s.reverse_once = false;
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
            bool again = t->work(clock.now(), &next);
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
        WaitForSingleObject(s.wake_event, wait);
    }
}

}  // namespace hdasim
