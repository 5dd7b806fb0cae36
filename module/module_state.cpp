#include "module_state.h"

#include "com_holders.h"

namespace {
LONG g_lockCount = 0;
HINSTANCE g_instance = nullptr;
// A static object, so that the lock is ready before DllMain runs and also in
// programs that link the component's code directly (its tests).
CriticalSection g_moduleLock;
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
        if (n < path.size()) {
            path.resize(n);
            break;
        }
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

void EnterLock() { g_moduleLock.enter(); }
void LeaveLock() { g_moduleLock.leave(); }

void Initialize(HINSTANCE instance) { g_instance = instance; }

void Terminate(bool) {}

}  // namespace Module

namespace ComModule {
void ObjectCreated() noexcept { Module::Lock(); }
void ObjectDestroyed() noexcept { Module::Unlock(); }
}  // namespace ComModule
