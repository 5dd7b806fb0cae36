// Process-wide state of the library: the count of live objects that decides
// whether it may be unloaded, the module handle and the module lock.
#pragma once

#include <windows.h>

#include <string>

namespace Module {

// Counts live objects, class-object references beyond the module's own and
// outstanding LockServer(TRUE) calls.
LONG Lock();
LONG Unlock();
LONG LockCount();

HINSTANCE Instance();
void SetInstance(HINSTANCE instance);

// Full long path of the library file, as the platform reports it.
std::wstring Path();

// Guards one-time creation of shared things (class object, type information).
void EnterLock();
void LeaveLock();

class ScopedLock {
public:
    ScopedLock() { EnterLock(); }
    ~ScopedLock() { LeaveLock(); }
    ScopedLock(const ScopedLock&) = delete;
    ScopedLock& operator=(const ScopedLock&) = delete;
};

// Called at process attach and detach.
void Initialize(HINSTANCE instance);
void Terminate(bool processExiting);

}  // namespace Module
