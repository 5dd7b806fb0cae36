// What the reliability programs share: a watchdog that ends a hung run with
// the call it hung in, a crash report naming the call that crashed, the
// component's own unload answer, the process's private bytes and the
// `bench:` lines.
#pragma once

#include <windows.h>
#include <oaidl.h>
#include <psapi.h>

#include <atomic>
#include <cstdio>
#include <thread>

#include "OPCHDAAuto.h"

namespace reliability {

inline void Bench(const char* name, double value, const char* unit) {
    std::printf("bench: %s %.10g %s\n", name, value, unit);
    std::fflush(stdout);
}

// What the program is doing now, for the watchdog and the crash report.
// Written by the driving thread only; read when something went wrong.
inline char g_doing[1024] = "starting";

inline void Doing(const char* text) { std::snprintf(g_doing, sizeof g_doing, "%s", text); }

// A crash anywhere in the process: report the call and end with exit code 2
// (a crash is a finding, never a hang waiting for a debugger).
inline LONG WINAPI ReportCrash(EXCEPTION_POINTERS* info) {
    std::fprintf(stderr, "CRASH: exception 0x%08lX at %p while: %s\n",
                 static_cast<unsigned long>(info->ExceptionRecord->ExceptionCode),
                 info->ExceptionRecord->ExceptionAddress, g_doing);
    // Return addresses on the stack that lie in a loaded module, to find the caller.
    const auto* stack = reinterpret_cast<const ULONG_PTR*>(info->ContextRecord->Rsp);
    for (int i = 0, shown = 0; i < 512 && shown < 12; ++i) {
        HMODULE module = nullptr;
        if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                reinterpret_cast<LPCWSTR>(stack[i]), &module))
            continue;
        wchar_t name[MAX_PATH];
        GetModuleFileNameW(module, name, MAX_PATH);
        std::fprintf(stderr, "  stack: %p in %ls (base %p)\n", reinterpret_cast<void*>(stack[i]), name,
                     static_cast<void*>(module));
        ++shown;
    }
    std::fflush(stderr);
    std::fflush(stdout);
    TerminateProcess(GetCurrentProcess(), 2);
    return EXCEPTION_EXECUTE_HANDLER;
}

inline void ReportCrashes() {
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    SetUnhandledExceptionFilter(ReportCrash);
}

// Ends the process with exit code 3 when Beat() has not been called for
// `limitMs`: a hang is a finding, reported with the call it hung in.
class Watchdog {
public:
    explicit Watchdog(DWORD limitMs) : limitMs_(limitMs), thread_([this] { Run(); }) {}
    ~Watchdog() {
        stop_ = true;
        thread_.join();
    }
    void Beat() { beats_.fetch_add(1, std::memory_order_relaxed); }

private:
    void Run() {
        unsigned long seen = beats_.load();
        DWORD quiet = 0;
        while (!stop_) {
            Sleep(100);
            const unsigned long now = beats_.load();
            quiet = now == seen ? quiet + 100 : 0;
            seen = now;
            if (quiet >= limitMs_) {
                std::fprintf(stderr, "HANG: no progress for %lu ms while: %s\n", static_cast<unsigned long>(quiet),
                             g_doing);
                std::fflush(stderr);
                std::fflush(stdout);
                TerminateProcess(GetCurrentProcess(), 3);
            }
        }
    }
    const DWORD limitMs_;
    std::atomic<unsigned long> beats_{0};
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// A WithEvents-style sink of both event interfaces: Invoke is the subclass's.
// It lives as long as the program (static or on main's stack) unless the
// subclass counts references itself.
class SinkBase : public IDispatch {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch) ||
            IsEqualIID(riid, DIID__IOPCHDAItemEvents) || IsEqualIID(riid, DIID__IOPCHDAAutoServerEvents)) {
            AddRef();
            *ppv = static_cast<IDispatch*>(this);
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
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

// The component's DllCanUnloadNow (S_OK: no object of it alive), once a
// client has loaded it; E_UNEXPECTED before.
inline HRESULT ComponentCanUnload() {
    HMODULE dll = GetModuleHandleW(L"OPCHDAAuto.dll");
    if (!dll) return E_UNEXPECTED;
    auto canUnload =
        reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(reinterpret_cast<void*>(GetProcAddress(dll, "DllCanUnloadNow")));
    return canUnload ? canUnload() : E_UNEXPECTED;
}

// Waits (up to `ms`) for the historian's threads to let go of the last object.
inline HRESULT WaitUntilUnloadable(DWORD ms) {
    HRESULT hr = ComponentCanUnload();
    for (DWORD waited = 0; hr == S_FALSE && waited < ms; waited += 20) {
        Sleep(20);
        hr = ComponentCanUnload();
    }
    return hr;
}

// The process's private bytes (Wine reports them as the page-file usage and
// leaves PrivateUsage at 0).
inline double PrivateBytes() {
    PROCESS_MEMORY_COUNTERS_EX counters{};
    counters.cb = sizeof counters;
    GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters), sizeof counters);
    return static_cast<double>(counters.PrivateUsage ? counters.PrivateUsage : counters.PagefileUsage);
}

inline double SecondsSince(const LARGE_INTEGER& start) {
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(now.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart);
}

}  // namespace reliability
