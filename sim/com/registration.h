// Registry entries of the simulator's classes (HKEY_CLASSES_ROOT).
#pragma once

#include <windows.h>
#include <string>

namespace hdasim {

struct ClassEntry {
    const CLSID* clsid;
    const wchar_t* description;
    const wchar_t* progid;    // null: none
    const wchar_t* viProgid;  // version-independent ProgID, null: none
    bool localServer;         // LocalServer32 instead of InprocServer32 (Both)
    bool hdaCategory;         // implements CATID_OPCHDAServer10
};

std::wstring ModulePath(HMODULE module);
HRESULT RegisterClassEntry(const ClassEntry& e, const std::wstring& serverPath);
HRESULT UnregisterClassEntry(const ClassEntry& e);
std::wstring GuidText(const GUID& g);

}  // namespace hdasim
