// OpcServerList.dll: a stand-in for the OPC server list, registered only in
// test and demo prefixes. It finds classes by implemented component category
// in the registry and resolves ProgIDs. Tests steer it through
// HKCU\Software\HdaSim\ServerList, read at every creation:
//   Mode     (REG_SZ)    "normal" (default): the registry's classes;
//                        "count": exactly Count synthetic historians
//                          (CLSIDs {4D1A5E00-0000-4000-8000-<index, 12 hex>},
//                          ProgIDs "Sim.Synthetic.<index>", index from 1);
//                        "fail": EnumClassesOfCategories answers FailCode;
//                        "enumfail": the enumerator's second Next answers FailCode
//                          (over Count synthetic historians when Count > 0);
//                        "createfail": creating the server list answers FailCode.
//   Count    (REG_DWORD) for "count".
//   FailCode (REG_DWORD) default E_FAIL.
//   DetailFail (REG_MULTI_SZ) CLSIDs (in braces) whose GetClassDetails fails.
// "Absent" is simply the class unregistered (regsvr32 /u).
#include "opc_hda.h"
#include "com/implements.h"
#include "com/task_array.h"
#include "sim/com/registration.h"

#include <windows.h>
#include <objbase.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

namespace {

LONG g_objects = 0;
HMODULE g_module = nullptr;
const wchar_t* kConfigKey = L"Software\\HdaSim\\ServerList";

struct Config {
    std::wstring mode = L"normal";
    DWORD count = 0;
    HRESULT failCode = E_FAIL;
    std::vector<CLSID> detailFail;
};

Config ReadConfig() {
    Config c;
    HKEY k;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kConfigKey, 0, KEY_READ, &k) != ERROR_SUCCESS) return c;
    wchar_t buf[4096];
    DWORD size = sizeof(buf), type = 0;
    if (RegQueryValueExW(k, L"Mode", nullptr, &type, reinterpret_cast<BYTE*>(buf), &size) == ERROR_SUCCESS &&
        type == REG_SZ)
        c.mode.assign(buf);
    DWORD v = 0;
    size = sizeof(v);
    if (RegQueryValueExW(k, L"Count", nullptr, &type, reinterpret_cast<BYTE*>(&v), &size) == ERROR_SUCCESS) c.count = v;
    size = sizeof(v);
    if (RegQueryValueExW(k, L"FailCode", nullptr, &type, reinterpret_cast<BYTE*>(&v), &size) == ERROR_SUCCESS)
        c.failCode = static_cast<HRESULT>(v);
    size = sizeof(buf) - 2 * sizeof(wchar_t);
    std::memset(buf, 0, sizeof(buf));
    if (RegQueryValueExW(k, L"DetailFail", nullptr, &type, reinterpret_cast<BYTE*>(buf), &size) == ERROR_SUCCESS &&
        type == REG_MULTI_SZ) {
        for (const wchar_t* p = buf; *p; p += wcslen(p) + 1) {
            CLSID id;
            if (SUCCEEDED(CLSIDFromString(const_cast<LPOLESTR>(p), &id))) c.detailFail.push_back(id);
        }
    }
    RegCloseKey(k);
    return c;
}

CLSID SyntheticClsid(DWORD index) {
    CLSID id = {0x4D1A5E00, 0x0000, 0x4000, {0x80, 0x00, 0, 0, 0, 0, 0, 0}};
    for (int b = 0; b < 4; ++b) id.Data4[7 - b] = static_cast<BYTE>(index >> (8 * b));
    return id;
}

bool SyntheticIndex(const CLSID& id, DWORD* index) {
    CLSID base = SyntheticClsid(0);
    if (id.Data1 != base.Data1 || id.Data2 != base.Data2 || id.Data3 != base.Data3 ||
        std::memcmp(id.Data4, base.Data4, 4) != 0)
        return false;
    *index = (DWORD(id.Data4[4]) << 24) | (DWORD(id.Data4[5]) << 16) | (DWORD(id.Data4[6]) << 8) | id.Data4[7];
    return true;
}

bool KeyExists(const std::wstring& path) {
    HKEY k;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &k) != ERROR_SUCCESS) return false;
    RegCloseKey(k);
    return true;
}

bool ReadDefault(const std::wstring& path, std::wstring* out) {
    wchar_t buf[512];
    LONG size = sizeof(buf);
    if (RegQueryValueW(HKEY_CLASSES_ROOT, path.c_str(), buf, &size) != ERROR_SUCCESS) return false;
    out->assign(buf);
    return true;
}

TaskArray<wchar_t> TaskCopy(const std::wstring& s) {
    auto copy = TaskArray<wchar_t>::alloc(s.size() + 1);
    if (copy) std::memcpy(copy.get(), s.c_str(), (s.size() + 1) * sizeof(wchar_t));
    return copy;
}

// Classes under HKCR\CLSID that implement every category of `impl` (any of
// them when several are given, as the component categories manager does) and
// every category of `req`.
std::vector<CLSID> RegistryClasses(const std::vector<CATID>& impl, const std::vector<CATID>& req) {
    std::vector<CLSID> out;
    HKEY root;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, L"CLSID", 0, KEY_READ, &root) != ERROR_SUCCESS) return out;
    wchar_t name[128];
    for (DWORD i = 0;; ++i) {
        DWORD len = 128;
        if (RegEnumKeyExW(root, i, name, &len, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        CLSID id;
        if (FAILED(CLSIDFromString(name, &id))) continue;
        std::wstring base = std::wstring(L"CLSID\\") + name;
        bool any = impl.empty();
        for (auto& c : impl) any = any || KeyExists(base + L"\\Implemented Categories\\" + hdasim::GuidText(c));
        if (!any) continue;
        bool all = true;
        for (auto& c : req) all = all && KeyExists(base + L"\\Required Categories\\" + hdasim::GuidText(c));
        if (all) out.push_back(id);
    }
    RegCloseKey(root);
    return out;
}

class GuidEnum final : public Implements<GuidEnum, IEnumGUID> {
public:
    GuidEnum(std::vector<GUID> list, HRESULT failAfterFirst, size_t pos = 0)
        : list_(std::move(list)), pos_(pos), fail_(failAfterFirst) {}
    HRESULT STDMETHODCALLTYPE Next(ULONG celt, GUID* rgelt, ULONG* fetched) override {
        if (!rgelt || (celt > 1 && !fetched)) return E_POINTER;
        if (fetched) *fetched = 0;
        if (FAILED(fail_) && calls_++ > 0) return fail_;
        ULONG n = 0;
        while (n < celt && pos_ < list_.size()) rgelt[n++] = list_[pos_++];
        if (fetched) *fetched = n;
        return n == celt ? S_OK : S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE Skip(ULONG celt) override {
        size_t left = list_.size() - pos_;
        pos_ += std::min<size_t>(celt, left);
        return celt <= left ? S_OK : S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE Reset() override {
        pos_ = 0;
        calls_ = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Clone(IEnumGUID** out) override {
        return HandOut(MakeObject<GuidEnum>(list_, fail_, pos_), IID_IEnumGUID, reinterpret_cast<void**>(out));
    }

private:
    std::vector<GUID> list_;
    size_t pos_ = 0;
    HRESULT fail_;
    int calls_ = 0;
};

class ServerList final : public Implements<ServerList, IOPCServerList> {
public:
    explicit ServerList(Config c) : config_(std::move(c)) {}

    HRESULT STDMETHODCALLTYPE EnumClassesOfCategories(ULONG cImplemented, CATID rgcatidImpl[], ULONG cRequired,
                                                      CATID rgcatidReq[], IEnumGUID** ppenumClsid) override {
        if (!ppenumClsid) return E_POINTER;
        *ppenumClsid = nullptr;
        if ((cImplemented && !rgcatidImpl) || (cRequired && !rgcatidReq)) return E_INVALIDARG;
        if (config_.mode == L"fail") return config_.failCode;
        std::vector<GUID> list;
        if (config_.mode == L"count" || (config_.mode == L"enumfail" && config_.count > 0)) {
            for (DWORD i = 1; i <= config_.count; ++i) list.push_back(SyntheticClsid(i));
        } else {
            list = RegistryClasses(std::vector<CATID>(rgcatidImpl, rgcatidImpl + cImplemented),
                                   std::vector<CATID>(rgcatidReq, rgcatidReq + cRequired));
        }
        return HandOut(MakeObject<GuidEnum>(std::move(list), config_.mode == L"enumfail" ? config_.failCode : S_OK),
                       IID_IEnumGUID, reinterpret_cast<void**>(ppenumClsid));
    }

    HRESULT STDMETHODCALLTYPE GetClassDetails(REFCLSID clsid, LPOLESTR* ppszProgID, LPOLESTR* ppszUserType) override {
        if (!ppszProgID || !ppszUserType) return E_POINTER;
        *ppszProgID = nullptr;
        *ppszUserType = nullptr;
        for (auto& c : config_.detailFail)
            if (c == clsid) return config_.failCode;
        std::wstring progid, user;
        DWORD index;
        if (config_.mode == L"count" && SyntheticIndex(clsid, &index)) {
            progid = L"Sim.Synthetic." + std::to_wstring(index);
            user = L"Synthetic historian " + std::to_wstring(index);
        } else {
            std::wstring base = L"CLSID\\" + hdasim::GuidText(clsid);
            if (!ReadDefault(base + L"\\ProgID", &progid)) return REGDB_E_CLASSNOTREG;
            ReadDefault(base, &user);
        }
        TaskArray<wchar_t> progidCopy = TaskCopy(progid), userCopy = TaskCopy(user);
        if (!progidCopy || !userCopy) return E_OUTOFMEMORY;
        *ppszProgID = progidCopy.detach();
        *ppszUserType = userCopy.detach();
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE CLSIDFromProgID(LPCOLESTR szProgId, LPCLSID clsid) override {
        if (!szProgId || !clsid) return E_POINTER;
        const wchar_t* prefix = L"Sim.Synthetic.";
        if (config_.mode == L"count" && wcsncmp(szProgId, prefix, wcslen(prefix)) == 0) {
            DWORD index = wcstoul(szProgId + wcslen(prefix), nullptr, 10);
            if (index >= 1 && index <= config_.count) {
                *clsid = SyntheticClsid(index);
                return S_OK;
            }
        }
        return ::CLSIDFromProgID(szProgId, clsid);
    }

private:
    Config config_;
};

class Factory final : public IClassFactory {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (!out) return E_POINTER;
        if (iid == IID_IUnknown || iid == IID_IClassFactory) {
            *out = static_cast<IClassFactory*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (outer) return CLASS_E_NOAGGREGATION;
        Config c = ReadConfig();
        if (c.mode == L"createfail") return c.failCode;
        return HandOut(MakeObject<ServerList>(std::move(c)), iid, out);
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
        if (lock)
            InterlockedIncrement(&g_objects);
        else
            InterlockedDecrement(&g_objects);
        return S_OK;
    }
};

Factory g_factory;

const CLSID kServerListClsid = {0x13486D51, 0x4821, 0x11D2, {0xA4, 0x94, 0x3C, 0xB3, 0x06, 0xC1, 0x00, 0x00}};
const hdasim::ClassEntry kServerListEntry{
    &kServerListClsid, L"OPC server list (test substitute)", nullptr, nullptr, false, false};

}  // namespace

void ComModule::ObjectCreated() noexcept { InterlockedIncrement(&g_objects); }
void ComModule::ObjectDestroyed() noexcept { InterlockedDecrement(&g_objects); }

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        g_module = instance;
        DisableThreadLibraryCalls(instance);
    }
    return TRUE;
}

extern "C" HRESULT WINAPI DllGetClassObject(REFCLSID clsid, REFIID iid, void** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (clsid != kServerListClsid) return CLASS_E_CLASSNOTAVAILABLE;
    return g_factory.QueryInterface(iid, out);
}

extern "C" HRESULT WINAPI DllCanUnloadNow() { return g_objects == 0 ? S_OK : S_FALSE; }

extern "C" HRESULT WINAPI DllRegisterServer() {
    return hdasim::RegisterClassEntry(kServerListEntry, hdasim::ModulePath(g_module));
}

extern "C" HRESULT WINAPI DllUnregisterServer() { return hdasim::UnregisterClassEntry(kServerListEntry); }
