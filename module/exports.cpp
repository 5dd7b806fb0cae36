// The library's entry points.
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>

#include <string>

#include "OPCHDAAuto.h"
#include "module/class_factory.h"
#include "com/com_holders.h"
#include "com/implements.h"
#include "com/module_count.h"
#include "module/module_state.h"
#include "module/registrar.h"
#include "automation/type_info_holder.h"

namespace {

constexpr int kRegistryScriptId = 101;

// Loads the type library from the library file itself, or else from the
// .tlb file beside it.
HRESULT LoadOwnTypeLib(const std::wstring& path, ITypeLib** lib) {
    HRESULT hr = LoadTypeLibEx(path.c_str(), REGKIND_NONE, lib);
    if (SUCCEEDED(hr)) return hr;
    std::wstring tlb = path;
    size_t slash = tlb.find_last_of(L"\\/:");
    size_t dot = tlb.find_last_of(L'.');
    if (dot == std::wstring::npos || (slash != std::wstring::npos && dot < slash))
        tlb += L".tlb";
    else
        tlb.replace(dot, std::wstring::npos, L".tlb");
    return LoadTypeLibEx(tlb.c_str(), REGKIND_NONE, lib);
}

HRESULT RunOwnScript(bool registering) {
    std::wstring script;
    if (!LoadRegistryScript(Module::Instance(), kRegistryScriptId, script)) return HRESULT_FROM_WIN32(GetLastError());
    std::wstring path = Module::Path();
    std::wstring quoted;
    for (wchar_t c : path) {
        quoted += c;
        if (c == L'\'') quoted += L'\'';  // the script's quoting must survive the path
    }
    return RunRegistryScript(script, {{L"MODULE", quoted}}, registering);
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    switch (reason) {
        case DLL_PROCESS_ATTACH:
            Module::Initialize(instance);
            DisableThreadLibraryCalls(instance);
            break;
        case DLL_PROCESS_DETACH: {
            const bool processExiting = reserved != nullptr;
            ReleaseServerClassObject(processExiting);
            TypeInfoHolder::ReleaseAll(processExiting);
            Module::Terminate(processExiting);
            break;
        }
        default: break;
    }
    return TRUE;
}

STDAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (!IsEqualCLSID(rclsid, CLSID_OPCHDAServer)) return CLASS_E_CLASSNOTAVAILABLE;
    IUnknown* classObject = ServerClassObject();
    if (!classObject) return E_OUTOFMEMORY;
    return classObject->QueryInterface(riid, ppv);
}

STDAPI DllCanUnloadNow() { return ComModule::UseCount() == 0 ? S_OK : S_FALSE; }

STDAPI DllRegisterServer() try {
    HRESULT hr = RunOwnScript(true);
    if (FAILED(hr)) return hr;
    const std::wstring path = Module::Path();
    ComPtr<ITypeLib> lib;
    hr = LoadOwnTypeLib(path, lib.put());
    if (FAILED(hr)) return hr;
    // The help directory keeps its closing separator: the path is cut after it.
    std::wstring helpDir = path;
    size_t cut = helpDir.find_last_of(L"\\/:");
    helpDir.resize(cut == std::wstring::npos ? 0 : cut + 1);
    std::wstring fullPath = path;
    return RegisterTypeLib(lib.get(), fullPath.data(), helpDir.data());
} catch (...) {
    return HResultFromCaughtException();
}

STDAPI DllUnregisterServer() try {
    RunOwnScript(false);
    ComPtr<ITypeLib> lib;
    if (SUCCEEDED(LoadOwnTypeLib(Module::Path(), lib.put()))) {
        TLIBATTR* attr = nullptr;
        if (SUCCEEDED(lib->GetLibAttr(&attr))) {
            // Looked up at run time: old systems lack it.
            using UnRegisterFn = HRESULT(WINAPI*)(REFGUID, WORD, WORD, LCID, SYSKIND);
            HMODULE oleaut = GetModuleHandleW(L"oleaut32.dll");
            auto unregister = oleaut ? reinterpret_cast<UnRegisterFn>(
                                           reinterpret_cast<void*>(GetProcAddress(oleaut, "UnRegisterTypeLib")))
                                     : nullptr;
            if (unregister) unregister(attr->guid, attr->wMajorVerNum, attr->wMinorVerNum, attr->lcid, attr->syskind);
            lib->ReleaseTLibAttr(attr);
        }
    }
    return S_OK;
} catch (...) {
    return HResultFromCaughtException();
}
