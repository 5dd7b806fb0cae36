#include "registration.h"

#include <objbase.h>

namespace hdasim {
namespace {

const wchar_t* kHdaCategory = L"{7DE5B060-E089-11D2-A5E6-000086339399}";

HRESULT set_value(const std::wstring& key, const wchar_t* name, const std::wstring& value) {
    HKEY k;
    LONG r = RegCreateKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &k, nullptr);
    if (r != ERROR_SUCCESS) return HRESULT_FROM_WIN32(r);
    r = RegSetValueExW(k, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                       static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(k);
    return HRESULT_FROM_WIN32(r);
}

}  // namespace

std::wstring guid_text(const GUID& g) {
    wchar_t buf[64];
    StringFromGUID2(g, buf, 64);
    return buf;
}

std::wstring module_path(HMODULE module) {
    wchar_t buf[MAX_PATH];
    DWORD n = GetModuleFileNameW(module, buf, MAX_PATH);
    return std::wstring(buf, n);
}

HRESULT register_class(const ClassEntry& e, const std::wstring& server_path) {
    std::wstring clsid = guid_text(*e.clsid);
    std::wstring base = L"CLSID\\" + clsid;
    HRESULT hr = set_value(base, nullptr, e.description);
    if (FAILED(hr)) return hr;
    if (e.local_server) {
        hr = set_value(base + L"\\LocalServer32", nullptr, L"\"" + server_path + L"\"");
    } else {
        hr = set_value(base + L"\\InprocServer32", nullptr, server_path);
        if (SUCCEEDED(hr)) hr = set_value(base + L"\\InprocServer32", L"ThreadingModel", L"Both");
    }
    if (FAILED(hr)) return hr;
    if (e.progid) {
        set_value(base + L"\\ProgID", nullptr, e.progid);
        set_value(e.progid, nullptr, e.description);
        set_value(std::wstring(e.progid) + L"\\CLSID", nullptr, clsid);
    }
    if (e.vi_progid) {
        set_value(base + L"\\VersionIndependentProgID", nullptr, e.vi_progid);
        set_value(e.vi_progid, nullptr, e.description);
        set_value(std::wstring(e.vi_progid) + L"\\CLSID", nullptr, clsid);
        if (e.progid) set_value(std::wstring(e.vi_progid) + L"\\CurVer", nullptr, e.progid);
    }
    if (e.hda_category) {
        set_value(base + L"\\Implemented Categories\\" + kHdaCategory, nullptr, L"");
        set_value(std::wstring(L"Component Categories\\") + kHdaCategory, L"409",
                  L"OPC History Data Access Servers Version 1.0");
    }
    return S_OK;
}

HRESULT unregister_class(const ClassEntry& e) {
    std::wstring clsid = guid_text(*e.clsid);
    RegDeleteTreeW(HKEY_CLASSES_ROOT, (L"CLSID\\" + clsid).c_str());
    RegDeleteKeyW(HKEY_CLASSES_ROOT, (L"CLSID\\" + clsid).c_str());
    if (e.progid) RegDeleteTreeW(HKEY_CLASSES_ROOT, e.progid), RegDeleteKeyW(HKEY_CLASSES_ROOT, e.progid);
    if (e.vi_progid) RegDeleteTreeW(HKEY_CLASSES_ROOT, e.vi_progid), RegDeleteKeyW(HKEY_CLASSES_ROOT, e.vi_progid);
    return S_OK;
}

}  // namespace hdasim
