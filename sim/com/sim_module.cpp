#include "sim_module.h"

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
