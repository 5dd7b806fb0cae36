// Load: 8 threads of the multithreaded apartment share one server object,
// connected to the in-process simulated historian running 300 times faster
// than real time (so that advises deliver storms of data changes). Two read synchronously, one updates and reads at
// times, two issue asynchronous reads, one churns advises (advise, wait, cancel), one keeps a storm of advises
// delivering and one churns connection-point subscriptions. Two sinks stay subscribed throughout: each must see every
// asynchronous read's completion exactly once, and both must see the same
// number of DataChange events for every advise. The two synchronous readers
// also raise a cancel notice through the historian's callback after every
// read, so that events fire on several threads while the subscriptions
// churn: both stable sinks must see every one. Private bytes at the end
// must stay within a few percent of their level after the warm-up.
//   wine bin/load_stress.exe [seconds] [threads that work: bit mask, default 0xFF]
#include <windows.h>
#include <ocidl.h>
#include <oleauto.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "OPCHDAAuto.h"
#include "opc_hda.h"
#include "com/com_holders.h"
#include "reliability.h"
#include "sim_control.h"

using namespace reliability;

namespace {

constexpr wchar_t kItemIDs[][40] = {L"Plant/Lab/Calibration/Ramp", L"Plant/Lab/Calibration/Step",
                                    L"Plant/Lab/Calibration/Sine", L"Plant/Lab/Calibration/Counter"};
constexpr LONG kItems = 4;
constexpr LONG kMaxTransactions = 1 << 20;
constexpr LONG kNoticeBase = 0x7FFF0000;  // the cancel identifiers of the notices the readers raise
constexpr LONG kAdviseBase = 1 << 19;  // advises' transaction identifiers from here on
constexpr int kThreads = 8;

// Counts, per transaction, the completions and data changes it is sent.
class RecordingSink final : public SinkBase {
public:
    // A sink that does not record only counts (sinks that come and go).
    explicit RecordingSink(bool record)
        : reads_(record ? kMaxTransactions : 0), changes_(record ? kMaxTransactions : 0) {}
    STDMETHODIMP_(ULONG) AddRef() override {
        const ULONG n = ++references_;
        if (n == 1 && late_) ++*late_;  // referenced again after its last reference went
        return n;
    }
    STDMETHODIMP_(ULONG) Release() override {
        const ULONG left = --references_;
        if (left == 0 && !late_) delete this;
        return left;
    }
    // Kept (not freed) once its last reference goes, counting in `late` what
    // still reaches it: a connection point that reads a slot outside its
    // lock hands out sinks it has already dropped.
    void KeepWhenDropped(std::atomic<long>* late) { late_ = late; }
    STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*, UINT*) override {
        if (late_ && references_ == 0) ++*late_;
        ++events_;
        if (!params || params->cArgs == 0) return S_OK;
        // The transaction identifier is the first argument: the last in rgvarg.
        const VARIANT& first = params->rgvarg[params->cArgs - 1];
        if (id == 9 && first.vt == VT_I4 && first.lVal >= kNoticeBase) ++notices_;  // not the historian's cancels
        if (first.vt != VT_I4 || first.lVal < 0 || static_cast<size_t>(first.lVal) >= reads_.size()) return S_OK;
        if (id == 1) ++changes_[first.lVal];
        if (id == 2) {
            ++reads_[first.lVal];
            ++completed_;
        }
        return S_OK;
    }
    long Reads(LONG tid) const { return reads_[tid].load(); }
    long Changes(LONG tid) const { return changes_[tid].load(); }
    long Events() const { return events_.load(); }
    long Completed() const { return completed_.load(); }
    long Notices() const { return notices_.load(); }

private:
    std::atomic<ULONG> references_{1};
    std::atomic<long> events_{0}, completed_{0}, notices_{0};
    std::atomic<long>* late_ = nullptr;
    std::vector<std::atomic<unsigned short>> reads_, changes_;
};

DWORD Advise(IUnknown* server, IDispatch* sink) {
    ComPtr<IConnectionPointContainer> container;
    ComPtr<IConnectionPoint> point;
    DWORD cookie = 0;
    if (SUCCEEDED(server->QueryInterface(IID_IConnectionPointContainer, container.put_void())) &&
        SUCCEEDED(container->FindConnectionPoint(DIID__IOPCHDAItemEvents, point.put())))
        point->Advise(sink, &cookie);
    return cookie;
}
void Unadvise(IUnknown* server, DWORD cookie) {
    ComPtr<IConnectionPointContainer> container;
    ComPtr<IConnectionPoint> point;
    if (SUCCEEDED(server->QueryInterface(IID_IConnectionPointContainer, container.put_void())) &&
        SUCCEEDED(container->FindConnectionPoint(DIID__IOPCHDAItemEvents, point.put())))
        point->Unadvise(cookie);
}

VARIANT TimeText(const wchar_t* text) {
    VARIANT v;
    v.vt = VT_BSTR;
    v.bstrVal = SysAllocString(text);
    return v;
}

SAFEARRAY* LongArray(const LONG* values, LONG count) {
    SAFEARRAY* array = SafeArrayCreateVector(VT_I4, 1, static_cast<ULONG>(count));
    for (LONG i = 0; array && i < count; ++i) {
        LONG index = i + 1;
        SafeArrayPutElement(array, &index, const_cast<LONG*>(&values[i]));
    }
    return array;
}

struct Shared {
    ComPtr<IOPCHDAItems> items;
    SAFEARRAY* handles = nullptr;  // the four items' server handles
    std::atomic<bool> stop{false};
    std::atomic<LONG> nextRead{1}, nextAdvise{kAdviseBase};
    std::vector<std::atomic<unsigned char>> accepted = std::vector<std::atomic<unsigned char>>(kMaxTransactions);
    std::atomic<long> progress[kThreads] = {};
    std::atomic<long> syncReads{0}, updates{0}, asyncReads{0}, advises{0}, sinkChurns{0}, failures{0};
    ComPtr<IOPCHDA_DataCallback> callback;  // the server object as the historian calls it
    std::atomic<long> noticesRaised{0}, lateCalls{0};
    std::vector<std::unique_ptr<RecordingSink>> dropped;  // the churned sinks, freed at the end
    RecordingSink* counter = nullptr;  // a sink that stays: its completions pace the reads
    DATE baseDate = 0;
};

void Count(Shared& s, HRESULT hr, std::atomic<long>& done) {
    if (SUCCEEDED(hr))
        ++done;
    else
        ++s.failures;
}

void SyncReader(Shared& s, int self) {
    while (!s.stop) {
        VARIANT start = TimeText(L"NOW-10M"), end = TimeText(L"NOW");
        SAFEARRAY* handles = s.handles;
        UniqueSafeArray values, errors;
        HRESULT hr;
        if (s.progress[self] % 10 == 9) {
            const LONG aggregates[kItems] = {2, 3, 4, 5};
            UniqueSafeArray aggregateArray(LongArray(aggregates, kItems));
            SAFEARRAY* ap = aggregateArray.get();
            hr =
                s.items->SyncReadProcessed(&start, &end, 1.0 / 1440, kItems, &handles, &ap, values.put(), errors.put());
        } else {
            hr = s.items->SyncReadRaw(&start, &end, 0, FALSE, kItems, &handles, values.put(), errors.put());
        }
        VariantClear(&start);
        VariantClear(&end);
        Count(s, hr, s.syncReads);
        // A notice raised on this thread while others raise theirs and the sink list changes.
        Count(s, s.callback->OnCancelComplete(static_cast<DWORD>(kNoticeBase + self)), s.noticesRaised);
        ++s.progress[self];
    }
}

// Replaces the first item's values at 50 fixed times and reads them back,
// twenty times a second: the simulated historian logs every change it makes
// (for modified reads), and that log lives in this process.
void Updater(Shared& s, int self) {
    for (long round = 0; !s.stop; ++round) {
        DATE stamp = s.baseDate + static_cast<double>(round % 50) / 8640;
        SAFEARRAY* handles = nullptr;
        LONG first = 0, index = 1;
        SafeArrayGetElement(s.handles, &index, &first);
        UniqueSafeArray handleArray(LongArray(&first, 1)), stamps(SafeArrayCreateVector(VT_DATE, 1, 1)),
            values(SafeArrayCreateVector(VT_VARIANT, 1, 1)), qualities(SafeArrayCreateVector(VT_I4, 1, 1)), errors;
        SafeArrayPutElement(stamps.get(), &index, &stamp);
        VARIANT value;
        value.vt = VT_R8;
        value.dblVal = static_cast<double>(round);
        SafeArrayPutElement(values.get(), &index, &value);
        LONG quality = 0xC0;
        SafeArrayPutElement(qualities.get(), &index, &quality);
        handles = handleArray.get();
        SAFEARRAY *tp = stamps.get(), *vp = values.get(), *qp = qualities.get();
        Count(s, s.items->SyncInsertReplace(1, &handles, &tp, &vp, &qp, errors.put()), s.updates);
        UniqueSafeArray read, readErrors;
        Count(s, s.items->SyncReadAtTime(1, &tp, 1, &handles, read.put(), readErrors.put()), s.syncReads);
        ++s.progress[self];
        Sleep(50);
    }
}

void AsyncReader(Shared& s, int self) {
    while (!s.stop) {
        const LONG tid = s.nextRead++;
        if (tid >= kAdviseBase) break;
        VARIANT start = TimeText(L"NOW-1M"), end = TimeText(L"NOW");
        SAFEARRAY* handles = s.handles;
        UniqueSafeArray errors;
        LONG cancelID = 0;
        const HRESULT hr =
            s.items->AsyncReadRaw(tid, &start, &end, 0, FALSE, kItems, &handles, errors.put(), &cancelID);
        VariantClear(&start);
        VariantClear(&end);
        if (SUCCEEDED(hr)) s.accepted[tid] = 1;
        Count(s, hr, s.asyncReads);
        ++s.progress[self];
        // At most 64 reads outstanding: a client that never waits only grows
        // the historian's queue.
        while (!s.stop && s.asyncReads - s.counter->Completed() > 64) Sleep(1);
    }
}

// Advise for `ms`, then cancel: the subscription churn.
void AdviseChurn(Shared& s, int self, std::mt19937& rng) {
    while (!s.stop) {
        const LONG tid = s.nextAdvise++;
        if (tid >= kMaxTransactions) break;
        VARIANT start = TimeText(L"NOW");
        SAFEARRAY* handles = s.handles;
        UniqueSafeArray errors;
        LONG cancelID = 0;
        const HRESULT hr =
            s.items->AsyncAdviseRaw(tid, &start, 1.0 / 864000, kItems, &handles, errors.put(), &cancelID);
        VariantClear(&start);
        Count(s, hr, s.advises);
        Sleep(rng() % 50);
        if (SUCCEEDED(hr)) s.items->AsyncCancelRead(cancelID);
        ++s.progress[self];
    }
}

// Sixteen advises delivering for the whole run.
void Storm(Shared& s, int self) {
    std::vector<LONG> cancels;
    for (int i = 0; i < 16; ++i) {
        VARIANT start = TimeText(L"NOW");
        SAFEARRAY* handles = s.handles;
        UniqueSafeArray errors;
        LONG cancelID = 0;
        const HRESULT hr =
            s.items->AsyncAdviseRaw(s.nextAdvise++, &start, 1.0 / 864000, kItems, &handles, errors.put(), &cancelID);
        VariantClear(&start);
        Count(s, hr, s.advises);
        if (SUCCEEDED(hr)) cancels.push_back(cancelID);
    }
    while (!s.stop) {
        Sleep(50);
        ++s.progress[self];
    }
    for (LONG id : cancels) s.items->AsyncCancelRead(id);
}

// Sinks that come and go while events fire.
void SinkChurn(Shared& s, int self, std::mt19937& rng) {
    while (!s.stop) {
        s.dropped.emplace_back(new RecordingSink(false));
        s.dropped.back()->KeepWhenDropped(&s.lateCalls);
        ComPtr<RecordingSink> sink(s.dropped.back().get());
        sink->Release();  // ComPtr took its own reference
        const DWORD cookie = Advise(s.items.get(), sink.get());
        if (rng() % 4 == 0) Sleep(rng() % 5);
        if (cookie) Unadvise(s.items.get(), cookie);
        ++s.sinkChurns;
        ++s.progress[self];
    }
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 60;
    const unsigned long working = argc > 2 ? std::strtoul(argv[2], nullptr, 0) : 0xFF;  // which threads work
    ReportCrashes();
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return 1;
    bool passed = false;
    {
        ComPtr<IHdaSimControl> control;
        ComPtr<IOPCHDAAutoServer> server;
        auto shared = std::make_unique<Shared>();
        Shared& s = *shared;
        if (FAILED(CoCreateInstance(CLSID_HdaSimControl, nullptr, CLSCTX_INPROC_SERVER, IID_IHdaSimControl,
                                    control.put_void())) ||
            FAILED(CoCreateInstance(CLSID_OPCHDAServer, nullptr, CLSCTX_INPROC_SERVER, IID_IOPCHDAAutoServer,
                                    server.put_void()))) {
            std::printf("FAILED: the simulator or the component is not registered\n");
            return 1;
        }
        control->ResetDefaults();
        control->ClockSetSpeed(300.0);
        UniqueBstr progID(L"Sim.HdaHistorian");
        VARIANT node;
        VariantInit(&node);
        UniqueSafeArray handles, addErrors;
        {
            SAFEARRAY* ids = SafeArrayCreateVector(VT_BSTR, 1, kItems);
            for (LONG i = 0; i < kItems; ++i) {
                LONG index = i + 1;
                UniqueBstr id(kItemIDs[i]);
                SafeArrayPutElement(ids, &index, id.get());
            }
            const LONG clients[kItems] = {1, 2, 3, 4};
            UniqueSafeArray idArray(ids), clientArray(LongArray(clients, kItems));
            SAFEARRAY *ip = idArray.get(), *cp = clientArray.get();
            if (server->Connect(progID.get(), node) != S_OK || FAILED(server->get_OPCHDAItems(s.items.put())) ||
                s.items->AddItems(kItems, &ip, &cp, handles.put(), addErrors.put()) != S_OK) {
                std::printf("FAILED: cannot connect and add the items\n");
                return 1;
            }
        }
        s.handles = handles.get();
        SYSTEMTIME now;
        GetLocalTime(&now);
        SystemTimeToVariantTime(&now, &s.baseDate);
        s.baseDate = (static_cast<LONGLONG>(s.baseDate * 8640) - 360) / 8640.0 + 0.5 / 8640;  // between samples

        ComPtr<RecordingSink> stable[2] = {ComPtr<RecordingSink>(new RecordingSink(true)),
                                           ComPtr<RecordingSink>(new RecordingSink(true))};
        DWORD stableCookies[2];
        s.counter = stable[0].get();
        if (FAILED(s.items->QueryInterface(IID_IOPCHDA_DataCallback, s.callback.put_void()))) {
            std::printf("FAILED: no callback interface\n");
            return 1;
        }
        for (int i = 0; i < 2; ++i) {
            stable[i]->Release();
            stableCookies[i] = Advise(s.items.get(), stable[i].get());
        }

        const char* roles[kThreads] = {"sync read",  "sync read",    "update",       "async read",
                                       "async read", "advise churn", "advise storm", "sink churn"};
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t)
            threads.emplace_back([&s, t, working] {
                if (!(working & (1u << t))) {
                    while (!s.stop) {
                        ++s.progress[t];
                        Sleep(100);
                    }
                    return;
                }
                CoInitializeEx(nullptr, COINIT_MULTITHREADED);
                std::mt19937 rng(static_cast<unsigned>(t) * 7919u);
                switch (t) {
                    case 0:
                    case 1: SyncReader(s, t); break;
                    case 2: Updater(s, t); break;
                    case 3:
                    case 4: AsyncReader(s, t); break;
                    case 5: AdviseChurn(s, t, rng); break;
                    case 6: Storm(s, t); break;
                    default: SinkChurn(s, t, rng);
                }
                CoUninitialize();
            });

        // Watches every thread's progress; a thread quiet for 30 s has hung.
        LARGE_INTEGER started;
        QueryPerformanceCounter(&started);
        const double warmUp = seconds < 10 ? 1.0 : seconds / 10;
        double warmBytes = 0, endBytes = 0;
        long seen[kThreads] = {};
        double quietSince[kThreads] = {};
        for (;;) {
            Sleep(100);
            const double t = SecondsSince(started);
            if (warmBytes == 0 && t >= warmUp) warmBytes = PrivateBytes();
            for (int i = 0; i < kThreads; ++i) {
                const long p = s.progress[i].load();
                if (p != seen[i]) {
                    seen[i] = p;
                    quietSince[i] = t;
                } else if (t - quietSince[i] > 30) {
                    std::fprintf(stderr, "HANG: the %s thread made no progress for 30 s\n", roles[i]);
                    TerminateProcess(GetCurrentProcess(), 3);
                }
            }
            if (t >= seconds) break;
        }
        endBytes = PrivateBytes();
        s.stop = true;
        Watchdog watchdog(60000);
        Doing("joining the load threads");
        for (std::thread& thread : threads) thread.join();

        // Every accepted read completes, and cancelled advises stop.
        Doing("waiting for the historian's last callbacks");
        LONG pending = 1;
        for (int i = 0; i < 600 && pending != 0; ++i) {
            control->PendingRequests(&pending);
            if (pending) Sleep(50);
        }
        Sleep(200);
        long lost = 0, duplicated = 0, spurious = 0, unequal = 0;
        for (LONG tid = 1; tid < kMaxTransactions; ++tid) {
            for (const ComPtr<RecordingSink>& sink : stable) {
                const long reads = sink->Reads(tid);
                if (tid < kAdviseBase && s.accepted[tid]) {
                    if (reads == 0) ++lost;
                    if (reads > 1) ++duplicated;
                } else if (reads) {
                    ++spurious;
                }
            }
            if (stable[0]->Changes(tid) != stable[1]->Changes(tid)) ++unequal;
        }
        for (int i = 0; i < 2; ++i) Unadvise(s.items.get(), stableCookies[i]);
        long noticesMissed = 0;
        for (const ComPtr<RecordingSink>& sink : stable) noticesMissed += std::labs(s.noticesRaised - sink->Notices());
        const long dataChanges = [&] {
            long n = 0;
            for (LONG tid = kAdviseBase; tid < kMaxTransactions; ++tid) n += stable[0]->Changes(tid);
            return n;
        }();
        Doing("final release");
        handles.reset();
        s.handles = nullptr;
        s.callback = nullptr;
        s.items = nullptr;
        server = nullptr;
        const HRESULT unload = WaitUntilUnloadable(10000);
        LONG memory = -1, itemHandles = -1;
        control->OutstandingTaskMemory(&memory);
        control->OutstandingHandles(&itemHandles);
        control->ResetDefaults();
        const double growth = warmBytes > 0 ? 100.0 * (endBytes - warmBytes) / warmBytes : 0;

        Bench("load_seconds", seconds, "s");
        Bench("load_threads", kThreads, "threads");
        Bench("load_sync_calls", s.syncReads.load(), "calls");
        Bench("load_updates", s.updates.load(), "calls");
        Bench("load_async_reads", s.asyncReads.load(), "requests");
        Bench("load_advises", s.advises.load(), "requests");
        Bench("load_data_changes", dataChanges, "events");
        Bench("load_sink_churns", s.sinkChurns.load(), "subscriptions");
        Bench("load_failed_calls", s.failures.load(), "calls");
        Bench("load_lost_events", lost, "events");
        Bench("load_duplicated_events", duplicated, "events");
        Bench("load_spurious_events", spurious, "events");
        Bench("load_unequal_data_changes", unequal, "advises");
        Bench("load_notices_raised", s.noticesRaised.load(), "events");
        Bench("load_notices_missed", noticesMissed, "events");
        Bench("load_dropped_sinks_called", s.lateCalls.load(), "calls");
        Bench("load_private_bytes_warm", warmBytes / 1048576, "MiB");
        Bench("load_private_bytes_end", endBytes / 1048576, "MiB");
        Bench("load_private_bytes_growth", growth, "%");
        Bench("load_live_objects", unload == S_OK ? 0 : 1, "modules");
        Bench("load_task_memory", memory, "blocks");
        Bench("load_item_handles", itemHandles, "handles");
        // A short run has not settled its heaps: the growth limit holds for a minute's run.
        const double allowed = seconds >= 30 ? 5 : 25;
        passed = lost == 0 && duplicated == 0 && spurious == 0 && unequal == 0 && noticesMissed == 0 && s.lateCalls == 0 &&
                 s.failures == 0 && unload == S_OK &&
                 memory == 0 && itemHandles == 0 && growth <= allowed && s.syncReads > 0 && s.asyncReads > 0 &&
                 dataChanges > 0;
    }
    CoUninitialize();
    std::printf("%s\n", passed ? "PASSED" : "FAILED");
    return passed ? 0 : 1;
}
