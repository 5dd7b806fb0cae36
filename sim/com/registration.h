// Registry entries of the simulator's classes (HKEY_CLASSES_ROOT).
#pragma once

#include <windows.h>
#include <string>

namespace hdasim {

struct ClassEntry {
    const CLSID* clsid;
    const wchar_t* description;
    const wchar_t* progid;     // null: none
    const wchar_t* vi_progid;  // version-independent ProgID, null: none
    bool local_server;         // LocalServer32 instead of InprocServer32 (Both)
    bool hda_category;         // implements CATID_OPCHDAServer10
};

std::wstring module_path(HMODULE module);
HRESULT register_class(const ClassEntry& e, const std::wstring& server_path);
HRESULT unregister_class(const ClassEntry& e);
std::wstring guid_text(const GUID& g);

}  // namespace hdasim
