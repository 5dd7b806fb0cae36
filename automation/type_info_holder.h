// Serves IDispatch for the dual interfaces from the registered type library:
// one holder per interface, loaded once under the module lock, with a cache of
// member names in front of ITypeInfo::GetIDsOfNames.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include <vector>

#include "com/com_holders.h"

class TypeInfoHolder {
public:
    constexpr explicit TypeInfoHolder(const IID& iid) : iid_(iid) {}
    TypeInfoHolder(const TypeInfoHolder&) = delete;
    TypeInfoHolder& operator=(const TypeInfoHolder&) = delete;

    HRESULT GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info);
    HRESULT GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid, DISPID* ids);
    HRESULT Invoke(IDispatch* self, DISPID id, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params, VARIANT* result,
                   EXCEPINFO* excep, UINT* argErr);

    // Drops every holder's type information at library unload. At process
    // exit the references are abandoned instead: the type library may already
    // be gone, and the process's memory goes anyway.
    static void ReleaseAll(bool processExiting);

private:
    struct CachedName {
        std::vector<wchar_t> name;
        DISPID id;
    };
    HRESULT Load(LCID lcid);
    static std::vector<CachedName> BuildNameCache(ITypeInfo* info) noexcept;
    void Release(bool processExiting);

    const IID& iid_;
    // Set once info_ and names_ are complete; readers look at nothing else
    // before it says so, and neither changes while it is set.
    volatile LONG ready_ = 0;
    ComPtr<ITypeInfo> info_;
    std::vector<CachedName> names_;
    TypeInfoHolder* next_ = nullptr;  // chain of loaded holders, for ReleaseAll
};

// IDispatch over one dual interface Itf, with a holder shared by every object
// that implements Itf. In an Implements<> list it answers Itf.
template <class Itf>
class DispatchImpl : public Itf {
public:
    using Interface = Itf;

    STDMETHODIMP GetTypeInfoCount(UINT* count) override {
        if (!count) return E_POINTER;
        *count = 1;
        return S_OK;
    }
    STDMETHODIMP GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) override {
        return Holder().GetTypeInfo(index, lcid, info);
    }
    STDMETHODIMP GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid, DISPID* ids) override {
        return Holder().GetIDsOfNames(riid, names, count, lcid, ids);
    }
    STDMETHODIMP Invoke(DISPID id, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params, VARIANT* result,
                        EXCEPINFO* excep, UINT* argErr) override {
        return Holder().Invoke(static_cast<Itf*>(this), id, riid, lcid, flags, params, result, excep, argErr);
    }

    static TypeInfoHolder& Holder() { return holder_; }

private:
    // Constant-initialized: no guard (and no thread runtime) on first use.
    static constinit inline TypeInfoHolder holder_{__uuidof(Itf)};
};
