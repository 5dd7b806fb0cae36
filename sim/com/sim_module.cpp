#include "sim_module.h"

#include "module/implements.h"

namespace hdasim {
namespace {
LONG g_objects = 0;
void (*g_idle)() = nullptr;
}  // namespace

bool g_is_local_server = false;

void module_add_ref() { InterlockedIncrement(&g_objects); }

void module_release() {
    if (InterlockedDecrement(&g_objects) == 0 && g_idle) g_idle();
}

long module_count() { return InterlockedCompareExchange(&g_objects, 0, 0); }

void module_set_idle_callback(void (*cb)()) { g_idle = cb; }

ProcessState& process_state() {
    static ProcessState s;
    return s;
}

}  // namespace hdasim

// The simulator's objects on the shared COM base count in this binary.
void ComModule::ObjectCreated() noexcept { hdasim::module_add_ref(); }
void ComModule::ObjectDestroyed() noexcept { hdasim::module_release(); }
