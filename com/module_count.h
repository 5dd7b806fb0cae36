// Process-wide state every object of a binary shares: the count that decides
// whether the library may be unloaded, and the lock that guards one-time
// creation of shared things (class object, type information).
#pragma once

#include <windows.h>

namespace ComModule {

// Uses of the library: live objects, class-object references beyond the
// module's own and outstanding LockServer(TRUE) calls.
LONG AddUse();
LONG DropUse();
LONG UseCount();

// Every object made through Implements<> counts as one use. Each binary
// defines these: the product in com/module_count.cpp, the simulator's two
// binaries in their own module files.
void ObjectCreated() noexcept;
void ObjectDestroyed() noexcept;

void EnterLock();
void LeaveLock();

class ScopedLock {
public:
    ScopedLock() { EnterLock(); }
    ~ScopedLock() { LeaveLock(); }
    ScopedLock(const ScopedLock&) = delete;
    ScopedLock& operator=(const ScopedLock&) = delete;
};

}  // namespace ComModule
