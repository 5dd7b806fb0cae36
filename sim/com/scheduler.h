// The worker thread of one historian: it answers asynchronous requests, feeds
// advises and playback, and sends shutdown requests, all timed by the
// simulator's clock. Requests are tasks; a task runs when the clock reaches
// its due time (and any callback delay has passed), and runs again at the time
// it sets until it reports that it is finished or is cancelled.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>

namespace hdasim {

class Scheduler {
public:
    // Returns true to run again at `nextDue`.
    using Work = std::function<bool(int64_t simNow, int64_t* nextDue)>;
    static constexpr int64_t kNow = INT64_MIN;

    Scheduler();
    ~Scheduler();  // stops and joins the worker
    Scheduler(const Scheduler&) = delete;
    Scheduler& operator=(const Scheduler&) = delete;

    // `cancelId` 0 = not cancellable. `data` false: control work that ignores
    // hold and delay (shutdown requests). `once`: a single answer, which leaves
    // the pending list (and can no longer be cancelled) as its delivery starts.
    void Post(DWORD cancelId, int64_t due, Work work, bool data = true, bool once = true);
    // Removes a pending task; false if none with that id.
    bool Cancel(DWORD cancelId);
    long Pending() const;
    void SetDelay(DWORD ms);
    void Hold(bool on, bool reverse);
    bool OnWorkerThread() const;

private:
    struct Task {
        DWORD cancelId;
        uint64_t seq;
        int64_t due;
        ULONGLONG notBefore;  // GetTickCount64 ms
        bool data;
        bool once;
        bool cancelled = false;
        Work work;
    };
    // Shared with the worker, which may outlive the Scheduler by a moment when
    // the historian's last reference goes on the worker thread itself.
    struct State {
        mutable std::mutex lock;
        std::list<std::shared_ptr<Task>> tasks;
        uint64_t nextSeq = 1;
        DWORD delayMs = 0;
        bool hold = false;
        bool reverseOnce = false;
        bool stop = false;
        HANDLE wakeEvent = nullptr;
        ~State();
    };
    static DWORD WINAPI ThreadMain(void* state);
    static void Run(State& s);

    std::shared_ptr<State> s_;
    HANDLE thread_ = nullptr;
    DWORD threadId_ = 0;
};

}  // namespace hdasim
