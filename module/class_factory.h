// The one class object of the library: creates server objects.
#pragma once

#include <windows.h>
#include <unknwn.h>

// The cached class object, created on first request under the module lock.
// Returns its IUnknown without adding a reference (the module holds the first).
IUnknown* ServerClassObject();
// Drops the module's reference (library unload).
void ReleaseServerClassObject(bool processExiting);
