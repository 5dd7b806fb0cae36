// The control object of a simulator process and the class factory shared by
// the simulator's creatable classes.
#pragma once

#include <windows.h>
#include <objbase.h>

namespace hdasim {

using CreateFn = HRESULT (*)(REFIID, void**);

HRESULT CreateControlObject(REFIID iid, void** out);
HRESULT CreateHistorianObject(REFIID iid, void** out);
// A new class factory for `create` (one reference).
HRESULT CreateClassFactory(CreateFn create, REFIID iid, void** out);

}  // namespace hdasim
