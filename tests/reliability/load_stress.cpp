// Load: 8 threads share one server object connected to the in-process
// simulated historian, its clock 300 times faster than real time. Roles and
// checks: README.md; each check's fault is named by its `bench:` line.
//   wine bin/load_stress.exe [seconds] [threads that work: bit mask, default 0xFF]
#include <cstdlib>
#include <memory>
#include <random>

#include "opc_hda.h"
#include "support/run_checks.h"
#include "support/sim_fixture.h"

using namespace comtest;

namespace {

constexpr LONG kItems = 4;
constexpr LONG kMaxTransactions = 1 << 20;
constexpr LONG kNoticeBase = 0x7FFF0000;  // the cancel identifiers of the notices the readers raise
constexpr LONG kAdviseBase = 1 << 19;     // advises' transaction identifiers from here on
constexpr int kThreads = 8;

// What a stable sink received: per transaction its completions (DISPID 2)
// and data changes (DISPID 1), and the readers' notices (DISPID 9).
struct Record {
    using Counts = std::vector<std::atomic<unsigned short>>;
    Counts reads = Counts(kMaxTransactions), changes = Counts(kMaxTransactions);
    std::atomic<long> completed{0}, notices{0};
    Sink sink{kItemEvents, false};
    Record() {
        sink.onEvent = [this](DISPID id, const DISPPARAMS& params) {
            if (params.cArgs == 0) return;
            // The transaction identifier is the first argument: the last in rgvarg.
            const VARIANT& first = params.rgvarg[params.cArgs - 1];
            if (first.vt != VT_I4) return;
            if (id == 9 && first.lVal >= kNoticeBase) ++notices;  // not the historian's cancels
            if (first.lVal < 0 || first.lVal >= kMaxTransactions) return;
            if (id == 1) ++changes[first.lVal];
            if (id != 2) return;
            ++reads[first.lVal];
            ++completed;
        };
    }
};

struct Shared {
    SimClient client;  // the four items
    IOPCHDAItems* items = nullptr;
    SAFEARRAY* handles = nullptr;
    std::atomic<bool> stop{false};
    std::atomic<LONG> nextRead{1}, nextAdvise{kAdviseBase};
    std::vector<std::atomic<unsigned char>> accepted = std::vector<std::atomic<unsigned char>>(kMaxTransactions);
    std::atomic<long> progress[kThreads] = {};
    std::atomic<long> syncReads{0}, updates{0}, asyncReads{0}, advises{0}, sinkChurns{0}, failures{0};
    std::atomic<long> noticesRaised{0};
    ComPtr<IOPCHDA_DataCallback> callback;  // the server object as the historian calls it
    // The last 4096 churned sinks, kept after they were dropped; `late`
    // counts what reached those already freed (kept for their whole run, the
    // sinks alone would grow the private bytes by a third in a minute).
    std::vector<std::unique_ptr<Sink>> dropped = std::vector<std::unique_ptr<Sink>>(4096);
    long late = 0;
    Record* pace = nullptr;  // a stable sink: its completions pace the reads
    DATE baseDate = 0;

    HRESULT Count(HRESULT hr, std::atomic<long>& done) { return ++(SUCCEEDED(hr) ? done : failures), hr; }
    HRESULT Advise(LONG tid, LONG* cancelID) { return Count(client.AdviseRaw(tid, cancelID), advises); }
};

void SyncReader(Shared& s, int self, std::mt19937&) {
    while (!s.stop) {
        TimeRange range;
        SAFEARRAY* handles = s.handles;
        UniqueSafeArray values, errors, aggregates(MakeLongArray({2, 3, 4, 5}));
        SAFEARRAY* ap = aggregates.get();
        s.Count(s.progress[self] % 10 != 9
                    ? s.client.ReadRaw()
                    : s.items->SyncReadProcessed(range.start.get(), range.end.get(), 1.0 / 1440, kItems, &handles, &ap,
                                                 values.put(), errors.put()),
                s.syncReads);
        // A notice raised on this thread while others raise theirs and the sink list changes.
        s.Count(s.callback->OnCancelComplete(static_cast<DWORD>(kNoticeBase + self)), s.noticesRaised);
        ++s.progress[self];
    }
}

// Replaces the first item's values at 50 fixed times and reads them back,
// twenty times a second: the simulated historian logs every change it makes
// (for modified reads), and that log lives in this process.
void Updater(Shared& s, int self, std::mt19937&) {
    for (long round = 0; !s.stop; ++round) {
        const DATE stamp = s.baseDate + static_cast<double>(round % 50) / 8640;
        const LONG handle = LongAt(s.handles, 1);
        s.Count(InsertReplace(s.items, handle, stamp, static_cast<double>(round)), s.updates);
        UniqueSafeArray handleArray(MakeLongArray({handle})), stamps(MakeDateArray({stamp})), read, readErrors;
        SAFEARRAY *hp = handleArray.get(), *tp = stamps.get();
        s.Count(s.items->SyncReadAtTime(1, &tp, 1, &hp, read.put(), readErrors.put()), s.syncReads);
        ++s.progress[self];
        Sleep(50);
    }
}

void AsyncReader(Shared& s, int self, std::mt19937&) {
    for (LONG tid = s.nextRead++; !s.stop && tid < kAdviseBase; tid = s.nextRead++) {
        TimeRange range(L"NOW-1M");
        SAFEARRAY* handles = s.handles;
        UniqueSafeArray errors;
        LONG cancelID = 0;
        const HRESULT hr = s.items->AsyncReadRaw(tid, range.start.get(), range.end.get(), 0, FALSE, kItems, &handles,
                                                 errors.put(), &cancelID);
        if (SUCCEEDED(hr)) s.accepted[tid] = 1;
        s.Count(hr, s.asyncReads);
        ++s.progress[self];
        // At most 64 reads outstanding: a client that never waits only grows
        // the historian's queue.
        while (!s.stop && s.asyncReads - s.pace->completed > 64) Sleep(1);
    }
}

// Advise, wait up to 50 ms, cancel: the subscription churn.
void AdviseChurn(Shared& s, int self, std::mt19937& rng) {
    for (LONG tid = s.nextAdvise++; !s.stop && tid < kMaxTransactions; tid = s.nextAdvise++) {
        LONG cancelID = 0;
        const HRESULT hr = s.Advise(tid, &cancelID);
        Sleep(rng() % 50);
        if (SUCCEEDED(hr)) s.items->AsyncCancelRead(cancelID);
        ++s.progress[self];
    }
}

// Sixteen advises delivering for the whole run.
void Storm(Shared& s, int self, std::mt19937&) {
    LONG cancels[16] = {};
    for (LONG& cancelID : cancels) s.Advise(s.nextAdvise++, &cancelID);
    for (; !s.stop; ++s.progress[self]) Sleep(50);
    for (LONG cancelID : cancels)
        if (cancelID) s.items->AsyncCancelRead(cancelID);
}

// Sinks that come and go while events fire; each is kept (not freed) for a
// while once dropped, so that a late call to it is counted, not a crash.
void SinkChurn(Shared& s, int self, std::mt19937& rng) {
    for (; !s.stop; ++s.progress[self], ++s.sinkChurns) {
        std::unique_ptr<Sink>& kept = s.dropped[static_cast<size_t>(s.sinkChurns) % s.dropped.size()];
        if (kept) s.late += kept->late;
        kept = std::make_unique<Sink>(kItemEvents, false);
        Sink* sink = kept.get();
        const DWORD cookie = Subscribe(s.items, sink);
        if (rng() % 4 == 0) Sleep(rng() % 5);
        if (cookie) Unsubscribe(s.items, cookie);
        sink->Release();  // the owner's reference: nothing may reach it from now on
    }
}

// What each thread does.
constexpr void (*kRoles[kThreads])(Shared&, int, std::mt19937&) = {SyncReader,  SyncReader,  Updater, AsyncReader,
                                                                   AsyncReader, AdviseChurn, Storm,   SinkChurn};

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 60;
    const unsigned long working = argc > 2 ? std::strtoul(argv[2], nullptr, 0) : 0xFF;  // which threads work
    ReportCrashes();
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return 1;
    bool passed = false;
    {
        auto shared = std::make_unique<Shared>();
        Shared& s = *shared;
        auto stable = std::make_unique<Record[]>(2);
        s.pace = &stable[0];
        ComPtr<IHdaSimControl> control = SimControl(Where::InProcess);
        if (!control || FAILED(control->ResetDefaults()) || FAILED(control->ClockSetSpeed(300.0)) ||
            s.client.Connect(L"Sim.HdaHistorian",
                             {kRamp, kStep, L"Plant/Lab/Calibration/Sine", L"Plant/Lab/Calibration/Counter"},
                             {1, 2, 3, 4}) != S_OK ||
            FAILED(s.client.items->QueryInterface(IID_IOPCHDA_DataCallback, s.callback.put_void()))) {
            std::printf("FAILED: cannot connect to the simulator and add the items\n");
            return 1;
        }
        s.items = s.client.items.get();
        s.handles = s.client.handles.get();
        // An hour ago, between samples (ten seconds apart).
        s.baseDate = (static_cast<LONGLONG>(LocalNow() * 8640) - 360) / 8640.0 + 0.5 / 8640;
        DWORD stableCookies[2];
        for (int i = 0; i < 2; ++i) stableCookies[i] = Subscribe(s.items, &stable[i].sink);

        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t)
            threads.emplace_back([&s, t, working] {
                if (!(working & (1u << t))) {
                    for (; !s.stop; ++s.progress[t]) Sleep(100);
                    return;
                }
                CoInitializeEx(nullptr, COINIT_MULTITHREADED);
                std::mt19937 rng(static_cast<unsigned>(t) * 7919u);
                kRoles[t](s, t, rng);
                CoUninitialize();
            });

        LARGE_INTEGER started;
        QueryPerformanceCounter(&started);
        const double warmUp = seconds < 10 ? 1.0 : seconds / 10;
        double warmBytes = 0;
        {
            // A thread quiet for 30 s has hung.
            Doing("load: 0, 1 sync read, 2 update, 3, 4 async read, 5 advise churn, 6 storm, 7 sink churn");
            Watchdog hang(30000, s.progress, kThreads);
            for (double t = 0; t < seconds; t = SecondsSince(started)) {
                Sleep(100);
                if (warmBytes == 0 && t >= warmUp) warmBytes = PrivateBytes();
            }
        }
        const double endBytes = PrivateBytes();
        s.stop = true;
        Watchdog watchdog(60000);
        Doing("joining the load threads");
        for (std::thread& thread : threads) thread.join();

        // Every accepted read completes, and cancelled advises stop.
        Doing("waiting for the historian's last callbacks");
        LONG pending = 1;
        for (int i = 0; i < 600 && pending != 0; ++i)
            if (control->PendingRequests(&pending), pending) Sleep(50);
        Sleep(200);
        long lost = 0, duplicated = 0, spurious = 0, unequal = 0, dataChanges = 0, noticesMissed = 0, late = s.late;
        for (LONG tid = 1; tid < kMaxTransactions; ++tid) {
            for (int i = 0; i < 2; ++i) {
                const long reads = stable[i].reads[tid];
                const bool expected = tid < kAdviseBase && s.accepted[tid];
                lost += expected && reads == 0;
                duplicated += expected && reads > 1;
                spurious += !expected && reads;
            }
            unequal += stable[0].changes[tid] != stable[1].changes[tid];
            if (tid >= kAdviseBase) dataChanges += stable[0].changes[tid];
        }
        for (int i = 0; i < 2; ++i) {
            Unsubscribe(s.items, stableCookies[i]);
            noticesMissed += std::labs(s.noticesRaised - stable[i].notices);
        }
        for (const std::unique_ptr<Sink>& sink : s.dropped) late += sink ? sink->late.load() : 0;
        Doing("final release");
        s.callback = nullptr;
        s.client = {};
        const EndState end = FinalState(control.get());
        control->ResetDefaults();
        // A short run has not settled its heaps: the growth limit holds for a minute's run.
        const double growth = warmBytes > 0 ? 100.0 * (endBytes - warmBytes) / warmBytes : 0;
        passed = Report({{"load_seconds", seconds, "s"},
                         {"load_threads", kThreads, "threads"},
                         {"load_sync_calls", static_cast<double>(s.syncReads), "calls", 1},
                         {"load_updates", static_cast<double>(s.updates), "calls"},
                         {"load_async_reads", static_cast<double>(s.asyncReads), "requests", 1},
                         {"load_advises", static_cast<double>(s.advises), "requests"},
                         {"load_data_changes", static_cast<double>(dataChanges), "events", 1},
                         {"load_sink_churns", static_cast<double>(s.sinkChurns), "subscriptions"},
                         {"load_failed_calls", static_cast<double>(s.failures), "calls", 0, 0},
                         {"load_lost_events", static_cast<double>(lost), "events", 0, 0},
                         {"load_duplicated_events", static_cast<double>(duplicated), "events", 0, 0},
                         {"load_spurious_events", static_cast<double>(spurious), "events", 0, 0},
                         {"load_unequal_data_changes", static_cast<double>(unequal), "advises", 0, 0},
                         {"load_notices_raised", static_cast<double>(s.noticesRaised), "events"},
                         {"load_notices_missed", static_cast<double>(noticesMissed), "events", 0, 0},
                         {"load_dropped_sinks_called", static_cast<double>(late), "calls", 0, 0},
                         {"load_private_bytes_warm", warmBytes / 1048576, "MiB"},
                         {"load_private_bytes_end", endBytes / 1048576, "MiB"},
                         {"load_private_bytes_growth", growth, "%", -1e300, seconds >= 30 ? 5.0 : 25.0},
                         {"load_live_objects", end.liveObjects, "modules", 0, 0},
                         {"load_task_memory", end.taskMemory, "blocks", 0, 0},
                         {"load_item_handles", end.itemHandles, "handles", 0, 0}});
    }
    CoUninitialize();
    std::printf("%s\n", passed ? "PASSED" : "FAILED");
    return passed ? 0 : 1;
}
