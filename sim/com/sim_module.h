// Process-wide state of the simulator's COM side: the count of live objects
// (which decides when the DLL may unload and when the local server exits),
// the live historians (reached by the control object), and the defaults that
// new historians start with.
#pragma once

#include <windows.h>
#include <objbase.h>

#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace hdasim {

class SimHistorianObject;

void ModuleAddRef();
void ModuleRelease();
long ModuleCount();
// Called when the count drops to 0 (the local server starts its idle timer).
void ModuleSetIdleCallback(void (*cb)());

// Fault settings of one historian, and the process defaults.
struct Settings {
    std::map<std::wstring, HRESULT> methodFaults;  // "Iface::Method" or "Method"
    std::map<std::wstring, HRESULT> itemCodes;
    std::vector<GUID> refused;
    DWORD delayMs = 0;
};

struct ProcessState {
    std::mutex lock;
    Settings defaults;
    std::vector<SimHistorianObject*> live;
};
ProcessState& SharedProcessState();

// True inside the local server: historians there are created by the EXE.
extern bool g_isLocalServer;

}  // namespace hdasim
