// Process-wide state of the library file: its module handle and path. (The
// count of uses and the module lock are every binary's: com/module_count.h.)
#pragma once

#include <windows.h>

#include <string>

namespace Module {

HINSTANCE Instance();
void SetInstance(HINSTANCE instance);

// Full long path of the library file, as the platform reports it.
std::wstring Path();

// Called at process attach and detach.
void Initialize(HINSTANCE instance);
void Terminate(bool processExiting);

}  // namespace Module
