// What the reliability programs add to the kit: a watchdog that ends a hung
// run with the call it hung in, a crash report naming the call that crashed,
// the end checks (the component unloadable, task memory and handles 0) and
// the `bench:` lines with their limits.
#pragma once

#include <windows.h>
#include <oaidl.h>
#include <ocidl.h>
#include <psapi.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <functional>
#include <initializer_list>
#include <thread>
#include <vector>

#include "sim_control.h"
#include "support/event_sink.h"

namespace comtest {

// What the program is doing now, for the watchdog and the crash report.
// Written by the driving thread only; read when something went wrong.
inline char g_doing[1024] = "starting";

__attribute__((format(__MINGW_PRINTF_FORMAT, 1, 2))) inline void Doing(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vsnprintf(g_doing, sizeof g_doing, format, args);
    va_end(args);
}

// A crash anywhere in the process: report the call and where (module and
// offset) and end with exit code 2 (a crash is a finding, never a hang
// waiting for a debugger).
inline LONG WINAPI ReportCrash(EXCEPTION_POINTERS* info) {
    HMODULE module = nullptr;
    wchar_t name[MAX_PATH] = L"?";
    const auto* at = static_cast<const char*>(info->ExceptionRecord->ExceptionAddress);
    if (GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                           reinterpret_cast<LPCWSTR>(at), &module))
        GetModuleFileNameW(module, name, MAX_PATH);
    std::fprintf(stderr, "CRASH: exception 0x%08lX at %ls+0x%llx while: %s\n",
                 static_cast<unsigned long>(info->ExceptionRecord->ExceptionCode), name,
                 static_cast<unsigned long long>(at - reinterpret_cast<const char*>(module)), g_doing);
    std::fflush(stderr);
    std::fflush(stdout);
    TerminateProcess(GetCurrentProcess(), 2);
    return EXCEPTION_EXECUTE_HANDLER;
}

inline void ReportCrashes() {
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    SetUnhandledExceptionFilter(ReportCrash);
}

// Ends the process with exit code 3 when one of `count` progress counters
// (by default its own, moved by Beat()) stood still for `limitMs`: a hang is
// a finding, reported with the counter and what the program was doing.
class Watchdog {
public:
    explicit Watchdog(DWORD limitMs, const std::atomic<long>* counters = nullptr, int count = 1)
        : limitMs_(limitMs), counters_(counters ? counters : &beats_), count_(count), thread_([this] { Run(); }) {}
    ~Watchdog() {
        stop_ = true;
        thread_.join();
    }
    void Beat() { beats_.fetch_add(1, std::memory_order_relaxed); }

private:
    void Run() {
        std::vector<long> seen(count_, -1);
        std::vector<DWORD> quiet(count_, 0);
        while (!stop_) {
            Sleep(100);
            for (int i = 0; i < count_; ++i) {
                const long now = counters_[i].load();
                quiet[i] = now == seen[i] ? quiet[i] + 100 : 0;
                seen[i] = now;
                if (quiet[i] < limitMs_) continue;
                std::fprintf(stderr, "HANG: counter %d still for %lu ms while: %s\n", i, quiet[i], g_doing);
                std::fflush(stderr);
                std::fflush(stdout);
                TerminateProcess(GetCurrentProcess(), 3);
            }
        }
    }
    const DWORD limitMs_;
    std::atomic<long> beats_{0};
    const std::atomic<long>* const counters_;
    const int count_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// After the final release: whether an object of the component is alive (0 or
// 1), the historian's answers not freed (task memory blocks) and item handles
// not released at the in-process historian.
struct EndState {
    double liveObjects = 1, taskMemory = -1, itemHandles = -1;
};
inline EndState FinalState(IHdaSimControl* control) {
    EndState end;
    end.liveObjects = WaitUntilUnloadable(10000) == S_OK ? 0 : 1;
    LONG memory = -1, handles = -1;
    control->OutstandingTaskMemory(&memory);
    control->OutstandingHandles(&handles);
    end.taskMemory = memory;
    end.itemHandles = handles;
    return end;
}

inline PROCESS_MEMORY_COUNTERS_EX MemoryCounters() {
    PROCESS_MEMORY_COUNTERS_EX counters{};
    counters.cb = sizeof counters;
    GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters), sizeof counters);
    return counters;
}
// The process's private bytes (Wine reports them as the page-file usage and
// leaves PrivateUsage at 0).
inline double PrivateBytes() {
    const PROCESS_MEMORY_COUNTERS_EX counters = MemoryCounters();
    return static_cast<double>(counters.PrivateUsage ? counters.PrivateUsage : counters.PagefileUsage);
}
// The most memory the process ever held in RAM (Wine reports no peak of private bytes).
inline double PeakWorkingSet() { return static_cast<double>(MemoryCounters().PeakWorkingSetSize); }

inline double SecondsSince(const LARGE_INTEGER& start) {
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(now.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// One `bench:` line, and the range its value must lie in for the run to pass.
struct Figure {
    const char* name;
    double value;
    const char* unit;
    double low = -1e300, high = 1e300;
};
// Prints every figure; true when each lies in its range (those outside are named).
inline bool Report(std::initializer_list<Figure> figures) {
    bool passed = true;
    for (const Figure& f : figures) std::printf("bench: %s %.10g %s\n", f.name, f.value, f.unit);
    for (const Figure& f : figures)
        if (f.value < f.low || f.value > f.high) {
            std::printf("FAILED: %s is %.10g, not within [%g, %g]\n", f.name, f.value, f.low, f.high);
            passed = false;
        }
    std::fflush(stdout);
    return passed;
}

// A server object connected to the historian at `progID` with `ids` added: what the programs' clients share.
struct SimClient {
    ComPtr<IOPCHDAAutoServer> server;
    ComPtr<IOPCHDAItems> items;
    UniqueSafeArray handles;  // the items' server handles, from 1
    LONG count = 0;

    HRESULT Connect(const wchar_t* progID, std::initializer_list<const wchar_t*> ids,
                    std::initializer_list<LONG> clientHandles) {
        UniqueBstr name(progID);
        UniqueSafeArray idArray(MakeBstrArray(ids)), clients(MakeLongArray(clientHandles)), errors;
        SAFEARRAY *ip = idArray.get(), *cp = clients.get();
        count = static_cast<LONG>(ids.size());
        HRESULT hr = CreateServer(server);
        if (hr == S_OK) hr = server->Connect(name.get(), VarEmpty());
        if (hr == S_OK) hr = server->get_OPCHDAItems(items.put());
        return hr == S_OK ? items->AddItems(count, &ip, &cp, handles.put(), errors.put()) : hr;
    }
    HRESULT ReadRaw(const wchar_t* span = L"NOW-10M") const {
        TimeRange range(span);
        SAFEARRAY* hp = handles.get();
        UniqueSafeArray values, errors;
        return items->SyncReadRaw(range.start.get(), range.end.get(), 0, FALSE, count, &hp, values.put(), errors.put());
    }
    // Every item from now on, ten updates a second.
    HRESULT AdviseRaw(LONG tid, LONG* cancelID) const {
        UniqueVariant start = Text(L"NOW");
        SAFEARRAY* hp = handles.get();
        UniqueSafeArray errors;
        return items->AsyncAdviseRaw(tid, start.get(), 1.0 / 864000, count, &hp, errors.put(), cancelID);
    }
};

// One good value at `stamp`, replacing what is there.
inline HRESULT InsertReplace(IOPCHDAItems* items, LONG handle, DATE stamp, double value) {
    UniqueSafeArray handles(MakeLongArray({handle})), stamps(MakeDateArray({stamp})),
        values(MakeVariantArray({VarR8(value)})), qualities(MakeLongArray({0xC0})), errors;
    SAFEARRAY *hp = handles.get(), *tp = stamps.get(), *vp = values.get(), *qp = qualities.get();
    return items->SyncInsertReplace(1, &hp, &tp, &vp, &qp, errors.put());
}

}  // namespace comtest
