#include "automation/type_info_holder.h"

#include <cwchar>

#include "OPCHDAAuto.h"
#include "com/module_count.h"
#include "automation/script_arguments.h"

namespace {
TypeInfoHolder* g_loaded = nullptr;  // guarded by the module lock
}

HRESULT TypeInfoHolder::Load(LCID lcid) {
    // Everything a reader uses is in place before `ready_` says so.
    if (InterlockedCompareExchange(&ready_, 0, 0)) return S_OK;
    ComModule::ScopedLock lock;
    if (ready_) return S_OK;
    ComPtr<ITypeLib> lib;
    HRESULT hr = LoadRegTypeLib(LIBID_OPCHDAAutomation, 1, 0, lcid, lib.put());
    // The library is registered for US English only; a caller of another
    // language must still reach it.
    if (FAILED(hr)) hr = LoadRegTypeLib(LIBID_OPCHDAAutomation, 1, 0, MAKELCID(0x0409, SORT_DEFAULT), lib.put());
    if (FAILED(hr)) return hr;
    ComPtr<ITypeInfo> info;
    hr = lib->GetTypeInfoOfGuid(iid_, info.put());
    if (FAILED(hr)) return hr;
    names_ = BuildNameCache(info.get());
    info_ = std::move(info);
    next_ = g_loaded;
    g_loaded = this;
    InterlockedExchange(&ready_, 1);
    return S_OK;
}

// Out of memory leaves the cache empty: every name then goes to the type information.
std::vector<TypeInfoHolder::CachedName> TypeInfoHolder::BuildNameCache(ITypeInfo* info) noexcept try {
    std::vector<CachedName> names;
    TYPEATTR* attr = nullptr;
    if (FAILED(info->GetTypeAttr(&attr))) return names;
    const UINT funcs = attr->cFuncs;
    info->ReleaseTypeAttr(attr);
    names.reserve(funcs);
    for (UINT i = 0; i < funcs; ++i) {
        FUNCDESC* desc = nullptr;
        if (FAILED(info->GetFuncDesc(i, &desc))) continue;
        const MEMBERID id = desc->memid;
        info->ReleaseFuncDesc(desc);
        UniqueBstr name;
        UINT got = 0;
        if (FAILED(info->GetNames(id, name.put(), 1, &got)) || got == 0) continue;
        CachedName entry;
        entry.name.assign(name.get(), name.get() + name.length());
        entry.id = id;
        names.push_back(std::move(entry));
    }
    return names;
} catch (...) {
    return {};
}

void TypeInfoHolder::Release(bool processExiting) {
    InterlockedExchange(&ready_, 0);
    if (processExiting) info_.detach();
    info_ = nullptr;
    names_.clear();
}

void TypeInfoHolder::ReleaseAll(bool processExiting) {
    while (g_loaded) {
        TypeInfoHolder* holder = g_loaded;
        g_loaded = holder->next_;
        holder->next_ = nullptr;
        holder->Release(processExiting);
    }
}

HRESULT TypeInfoHolder::GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) {
    if (!info) return E_POINTER;
    *info = nullptr;
    if (index != 0) return DISP_E_BADINDEX;
    HRESULT hr = Load(lcid);
    if (FAILED(hr)) return hr;
    info_.copy_to(info);
    return S_OK;
}

HRESULT TypeInfoHolder::GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID lcid, DISPID* ids) {
    if (!names || !ids) return E_POINTER;
    HRESULT hr = Load(lcid);
    if (FAILED(hr)) return hr;
    // Names after the first are parameters of the member named first (named
    // arguments): only the type information knows them.
    if (count > 1) {
        for (UINT i = 0; i < count; ++i)
            if (!names[i]) return DISP_E_UNKNOWNNAME;
        return info_->GetIDsOfNames(names, count, ids);
    }
    for (UINT i = 0; i < count; ++i) {
        const wchar_t* wanted = names[i] ? names[i] : L"";
        const size_t length = std::wcslen(wanted);
        bool found = false;
        for (size_t j = names_.size(); j-- > 0;) {
            const CachedName& entry = names_[j];
            if (entry.name.size() == length && std::wmemcmp(entry.name.data(), wanted, length) == 0) {
                ids[i] = entry.id;
                found = true;
                break;
            }
        }
        if (!found) {
            // Other spellings (letter case) are the type information's business.
            hr = info_->GetIDsOfNames(&names[i], 1, &ids[i]);
            if (FAILED(hr)) return hr;
        }
    }
    return hr;
}

HRESULT TypeInfoHolder::Invoke(IDispatch* self, DISPID id, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params,
                               VARIANT* result, EXCEPINFO* excep, UINT* argErr) {
    if (!IsEqualIID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
    HRESULT hr = Load(lcid);
    if (FAILED(hr)) return hr;
    if (result) VariantInit(result);
    hr = InvokeWithScriptArguments(info_.get(), self, id, flags, params, result, excep, argErr);
    // A failed call hands out nothing. The runtime passes on what the member
    // left in its result (a null object), and a caller that carries on after
    // a failure would use it: Wine's VBScript does after a failed default
    // member (items(0)), and a null object crashed it.
    if (FAILED(hr) && result) ClearVariantValue(result);
    return hr;
}
