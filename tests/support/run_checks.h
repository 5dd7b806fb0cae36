// What the reliability programs share: a watchdog that ends a hung run with
// the call it hung in, a crash report naming the call that crashed, one event
// sink, the end checks (the component unloadable, task memory and handles 0)
// and the `bench:` lines with their limits.
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

#include "OPCHDAAuto.h"
#include "com/com_holders.h"
#include "sim_control.h"

namespace comtest {
HRESULT LibraryCanUnloadNow();  // tests/support/com_test.cpp
}

namespace reliability {

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

// A WithEvents-style sink of both event interfaces: Invoke is the subclass's.
// It lives as long as its owner keeps it (references are not counted).
class SinkBase : public IDispatch {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        *ppv = nullptr;
        if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IDispatch) &&
            !IsEqualIID(riid, DIID__IOPCHDAItemEvents) && !IsEqualIID(riid, DIID__IOPCHDAAutoServerEvents))
            return E_NOINTERFACE;
        AddRef();
        *ppv = static_cast<IDispatch*>(this);
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP GetTypeInfoCount(UINT* n) override {
        *n = 0;
        return S_OK;
    }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
};

// The programs' sink: counts its events and its references; the owner holds
// the first reference and frees it. Once the last reference went, anything
// that reaches it counts as `late`: a connection point that read a slot
// outside its lock handed out a sink it had already dropped. `onEvent` (set
// before it is advised) sees every event.
class Sink final : public SinkBase {
public:
    std::atomic<long> events{0}, late{0};
    std::function<void(DISPID, const DISPPARAMS*)> onEvent;

    STDMETHODIMP_(ULONG) AddRef() override {
        if (references_ == 0) ++late;  // referenced again after its last reference went
        return ++references_;
    }
    STDMETHODIMP_(ULONG) Release() override { return --references_; }
    STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*, UINT*) override {
        if (references_ == 0) ++late;
        ++events;
        if (onEvent) onEvent(id, params);
        return S_OK;
    }

private:
    std::atomic<ULONG> references_{1};
};

// `source`'s connection point for `events`, null if it has none.
inline ComPtr<IConnectionPoint> PointOf(IUnknown* source, const IID& events) {
    ComPtr<IConnectionPointContainer> container;
    ComPtr<IConnectionPoint> point;
    if (SUCCEEDED(source->QueryInterface(IID_IConnectionPointContainer, container.put_void())))
        container->FindConnectionPoint(events, point.put());
    return point;
}
// Advises `sink` on `source`'s connection point for `events`: the cookie, 0 if refused.
inline DWORD Subscribe(IUnknown* source, IDispatch* sink, const IID& events = DIID__IOPCHDAItemEvents) {
    DWORD cookie = 0;
    if (ComPtr<IConnectionPoint> point = PointOf(source, events)) point->Advise(sink, &cookie);
    return cookie;
}
inline void Unsubscribe(IUnknown* source, DWORD cookie) {
    if (ComPtr<IConnectionPoint> point = PointOf(source, DIID__IOPCHDAItemEvents)) point->Unadvise(cookie);
}

// The component's DllCanUnloadNow (S_OK: no object of it alive; E_UNEXPECTED
// before a client loaded it), waiting up to `ms` for the historian's threads
// to let go of the last object.
inline HRESULT WaitUntilUnloadable(DWORD ms) {
    HRESULT hr = comtest::LibraryCanUnloadNow();
    for (DWORD waited = 0; hr == S_FALSE && waited < ms; waited += 20) {
        Sleep(20);
        hr = comtest::LibraryCanUnloadNow();
    }
    return hr;
}

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

}  // namespace reliability
