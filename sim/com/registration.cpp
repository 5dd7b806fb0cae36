#include "registration.h"

#include <objbase.h>

#include "opc_hda.h"

namespace hdasim {
namespace {

HRESULT SetRegistryValue(const std::wstring& key, const wchar_t* name, const std::wstring& value) {
    HKEY k;
    LONG r = RegCreateKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &k, nullptr);
    if (r != ERROR_SUCCESS) return HRESULT_FROM_WIN32(r);
    r = RegSetValueExW(k, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                       static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(k);
    return HRESULT_FROM_WIN32(r);
}

}  // namespace

std::wstring GuidText(const GUID& g) {
    wchar_t buf[64];
    StringFromGUID2(g, buf, 64);
    return buf;
}

std::wstring ModulePath(HMODULE module) {
    wchar_t buf[MAX_PATH];
    DWORD n = GetModuleFileNameW(module, buf, MAX_PATH);
    return std::wstring(buf, n);
}

HRESULT RegisterClassEntry(const ClassEntry& e, const std::wstring& serverPath) {
    std::wstring clsid = GuidText(*e.clsid);
    std::wstring base = L"CLSID\\" + clsid;
    HRESULT hr = SetRegistryValue(base, nullptr, e.description);
    if (FAILED(hr)) return hr;
    if (e.localServer) {
        hr = SetRegistryValue(base + L"\\LocalServer32", nullptr, L"\"" + serverPath + L"\"");
    } else {
        hr = SetRegistryValue(base + L"\\InprocServer32", nullptr, serverPath);
        if (SUCCEEDED(hr)) hr = SetRegistryValue(base + L"\\InprocServer32", L"ThreadingModel", L"Both");
    }
    if (FAILED(hr)) return hr;
    if (e.progid) {
        SetRegistryValue(base + L"\\ProgID", nullptr, e.progid);
        SetRegistryValue(e.progid, nullptr, e.description);
        SetRegistryValue(std::wstring(e.progid) + L"\\CLSID", nullptr, clsid);
    }
    if (e.viProgid) {
        SetRegistryValue(base + L"\\VersionIndependentProgID", nullptr, e.viProgid);
        SetRegistryValue(e.viProgid, nullptr, e.description);
        SetRegistryValue(std::wstring(e.viProgid) + L"\\CLSID", nullptr, clsid);
        if (e.progid) SetRegistryValue(std::wstring(e.viProgid) + L"\\CurVer", nullptr, e.progid);
    }
    if (e.hdaCategory) {
        SetRegistryValue(base + L"\\Implemented Categories\\" + CATID_OPCHDAServer10_STRING, nullptr, L"");
        SetRegistryValue(std::wstring(L"Component Categories\\") + CATID_OPCHDAServer10_STRING, L"409",
                         L"OPC History Data Access Servers Version 1.0");
    }
    return S_OK;
}

HRESULT UnregisterClassEntry(const ClassEntry& e) {
    std::wstring clsid = GuidText(*e.clsid);
    RegDeleteTreeW(HKEY_CLASSES_ROOT, (L"CLSID\\" + clsid).c_str());
    RegDeleteKeyW(HKEY_CLASSES_ROOT, (L"CLSID\\" + clsid).c_str());
    if (e.progid) RegDeleteTreeW(HKEY_CLASSES_ROOT, e.progid), RegDeleteKeyW(HKEY_CLASSES_ROOT, e.progid);
    if (e.viProgid) RegDeleteTreeW(HKEY_CLASSES_ROOT, e.viProgid), RegDeleteKeyW(HKEY_CLASSES_ROOT, e.viProgid);
    return S_OK;
}

}  // namespace hdasim
