#include "com/module_count.h"

#include "com/com_holders.h"

namespace {
LONG g_useCount = 0;
// A static object, so that the lock is ready before DllMain runs and also in
// programs that link the component's code directly (its tests).
CriticalSection g_moduleLock;
}  // namespace

namespace ComModule {

LONG AddUse() { return InterlockedIncrement(&g_useCount); }
LONG DropUse() { return InterlockedDecrement(&g_useCount); }
LONG UseCount() { return InterlockedCompareExchange(&g_useCount, 0, 0); }

void ObjectCreated() noexcept { AddUse(); }
void ObjectDestroyed() noexcept { DropUse(); }

void EnterLock() { g_moduleLock.enter(); }
void LeaveLock() { g_moduleLock.leave(); }

}  // namespace ComModule
