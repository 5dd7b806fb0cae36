#include "sim_module.h"

#include "com/implements.h"

namespace hdasim {
namespace {
LONG g_objects = 0;
void (*g_idle)() = nullptr;
}  // namespace

bool g_isLocalServer = false;

void ModuleAddRef() { InterlockedIncrement(&g_objects); }

void ModuleRelease() {
    if (InterlockedDecrement(&g_objects) == 0 && g_idle) g_idle();
}

long ModuleCount() { return InterlockedCompareExchange(&g_objects, 0, 0); }

void ModuleSetIdleCallback(void (*cb)()) { g_idle = cb; }

ProcessState& SharedProcessState() {
    static ProcessState s;
    return s;
}

}  // namespace hdasim

// The simulator's objects on the shared COM base count in this binary.
void ComModule::ObjectCreated() noexcept { hdasim::ModuleAddRef(); }
void ComModule::ObjectDestroyed() noexcept { hdasim::ModuleRelease(); }
