#include "module_state.h"

namespace {
LONG g_lockCount = 0;
HINSTANCE g_instance = nullptr;
CRITICAL_SECTION g_moduleLock;
bool g_lockReady = false;
}  // namespace

namespace Module {

LONG Lock() { return InterlockedIncrement(&g_lockCount); }
LONG Unlock() { return InterlockedDecrement(&g_lockCount); }
LONG LockCount() { return InterlockedCompareExchange(&g_lockCount, 0, 0); }

HINSTANCE Instance() { return g_instance; }
void SetInstance(HINSTANCE instance) { g_instance = instance; }

std::wstring Path() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        DWORD n = GetModuleFileNameW(g_instance, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0) return {};
        if (n < path.size()) { path.resize(n); break; }
        path.resize(path.size() * 2);
    }
    DWORD n = GetLongPathNameW(path.c_str(), nullptr, 0);
    if (n == 0) return path;
    std::wstring longPath(n, L'\0');
    n = GetLongPathNameW(path.c_str(), longPath.data(), n);
    if (n == 0 || n >= longPath.size()) return path;
    longPath.resize(n);
    return longPath;
}

void EnterLock() { EnterCriticalSection(&g_moduleLock); }
void LeaveLock() { LeaveCriticalSection(&g_moduleLock); }

void Initialize(HINSTANCE instance) {
    g_instance = instance;
    InitializeCriticalSection(&g_moduleLock);
    g_lockReady = true;
}

void Terminate(bool) {
    if (g_lockReady) DeleteCriticalSection(&g_moduleLock);
    g_lockReady = false;
}

}  // namespace Module
