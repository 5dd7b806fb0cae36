// What a JScript engine hands a component, without the engine: an object
// with named members behind IDispatchEx (an array is one whose `length` is a
// number, a Date one with getTime), whose `length` may lie, whose members may
// be sparse or fail to be read. It counts the names it is asked for, so that
// a test sees how much of a claimed array was looked at.
#pragma once

#include <windows.h>
#include <dispex.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "support/com_test.h"

namespace comtest {

class ScriptObject final : public IDispatchEx {
public:
    // An array whose length is `length` (any VARIANT: a lying, negative or
    // fractional length too) holding `elements` at their indices.
    static ScriptObject* Array(VARIANT length, const std::map<ULONG, VARIANT>& elements = {}) {
        auto* o = new ScriptObject;
        o->Set(L"length", length);
        for (const auto& [index, value] : elements) o->Set(std::to_wstring(index), value);
        o->lookups_ = 0;
        return o;
    }
    // A Date: getTime answers `millisecondsSince1970` (UTC).
    static ScriptObject* Date(double millisecondsSince1970) {
        auto* o = new ScriptObject;
        o->Set(L"getTime", VarR8(millisecondsSince1970));
        o->lookups_ = 0;
        return o;
    }

    // Reading member `name` fails with `hr` from now on.
    void FailReading(const std::wstring& name, HRESULT hr) { failing_[name] = hr; }
    // Writing it fails with `hr` from now on (a frozen array).
    void FailWriting(const std::wstring& name, HRESULT hr) { failingWrites_[name] = hr; }
    LONG lookups() const { return lookups_; }  // names asked for since it was made, found or not
    // The array's length, as a fill or an emptying left it (-1: none).
    LONG Length() const {
        const auto found = ids_.find(L"length");
        return found == ids_.end() ? -1 : AsLong(members_[found->second - 1].second);
    }

    // IUnknown
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        static constexpr IID kIID_IDispatchEx = {
            0xa6ef9860, 0xc720, 0x11d0, {0x93, 0x37, 0x00, 0xa0, 0xc9, 0x0d, 0xca, 0xa9}};
        if (!out) return E_POINTER;
        *out = nullptr;
        if (iid != IID_IUnknown && iid != IID_IDispatch && iid != kIID_IDispatchEx) return E_NOINTERFACE;
        *out = static_cast<IDispatchEx*>(this);
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return InterlockedIncrement(&refs_); }
    STDMETHODIMP_(ULONG) Release() override {
        const LONG left = InterlockedDecrement(&refs_);
        if (left == 0) delete this;
        return left;
    }
    // IDispatch
    STDMETHODIMP GetTypeInfoCount(UINT* n) override { return *n = 0, S_OK; }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
        if (count != 1) return DISP_E_UNKNOWNNAME;
        return Find(names[0], false, ids);
    }
    STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result, EXCEPINFO*,
                        UINT*) override {
        if (id < 1 || static_cast<size_t>(id) > members_.size()) return DISP_E_MEMBERNOTFOUND;
        auto& [name, value] = members_[id - 1];
        if (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) {
            if (!params || params->cArgs != 1) return DISP_E_BADPARAMCOUNT;
            if (auto f = failingWrites_.find(name); f != failingWrites_.end()) return f->second;
            if (name == L"length") Truncate(params->rgvarg[0]);
            const HRESULT hr = VariantCopyInd(&value, &params->rgvarg[0]);
            if (IsIndex(name) && std::stoul(name) >= static_cast<ULONG>(Length()))
                Set(L"length", VarI4(static_cast<LONG>(std::stoul(name) + 1)));  // as in JScript, it grows
            return hr;
        }
        if (auto f = failing_.find(name); f != failing_.end()) return f->second;
        return result ? VariantCopy(result, &value) : S_OK;
    }
    // IDispatchEx
    STDMETHODIMP GetDispID(BSTR name, DWORD flags, DISPID* id) override {
        return Find(name, (flags & fdexNameEnsure) != 0, id);
    }
    STDMETHODIMP InvokeEx(DISPID id, LCID lcid, WORD flags, DISPPARAMS* params, VARIANT* result, EXCEPINFO* excep,
                          IServiceProvider*) override {
        return Invoke(id, IID_NULL, lcid, flags, params, result, excep, nullptr);
    }
    STDMETHODIMP DeleteMemberByName(BSTR, DWORD) override { return E_NOTIMPL; }
    STDMETHODIMP DeleteMemberByDispID(DISPID) override { return E_NOTIMPL; }
    STDMETHODIMP GetMemberProperties(DISPID, DWORD, DWORD*) override { return E_NOTIMPL; }
    STDMETHODIMP GetMemberName(DISPID id, BSTR* name) override {
        if (id < 1 || static_cast<size_t>(id) > members_.size()) return DISP_E_MEMBERNOTFOUND;
        *name = SysAllocString(members_[id - 1].first.c_str());
        return *name ? S_OK : E_OUTOFMEMORY;
    }
    // Every member but `length`, as JScript enumerates an array.
    STDMETHODIMP GetNextDispID(DWORD, DISPID id, DISPID* next) override {
        for (size_t i = id == DISPID_STARTENUM ? 0 : static_cast<size_t>(id); i < members_.size(); ++i) {
            if (members_[i].first == L"length" || members_[i].second.vt == VT_EMPTY) continue;
            *next = static_cast<DISPID>(i + 1);
            return S_OK;
        }
        *next = DISPID_STARTENUM;
        return S_FALSE;
    }
    STDMETHODIMP GetNameSpaceParent(IUnknown** parent) override { return *parent = nullptr, E_NOTIMPL; }

private:
    ScriptObject() = default;
    ~ScriptObject() {
        for (auto& m : members_) VariantClear(&m.second);
    }
    void Set(const std::wstring& name, VARIANT value) {
        DISPID id = 0;
        Find(name.c_str(), true, &id);
        VariantCopy(&members_[id - 1].second, &value);
    }
    HRESULT Find(const wchar_t* name, bool ensure, DISPID* id) {
        ++lookups_;
        if (auto found = ids_.find(name); found != ids_.end()) {
            *id = found->second;
            return S_OK;
        }
        if (!ensure) {
            *id = DISPID_UNKNOWN;
            return DISP_E_UNKNOWNNAME;
        }
        VARIANT empty;
        VariantInit(&empty);
        members_.emplace_back(name, empty);
        *id = ids_[name] = static_cast<DISPID>(members_.size());
        return S_OK;
    }
    static bool IsIndex(const std::wstring& name) {
        return !name.empty() && name.size() < 10 && name.find_first_not_of(L"0123456789") == std::wstring::npos;
    }
    static LONG AsLong(const VARIANT& value) {  // -1 when it is no number
        VARIANT n;
        VariantInit(&n);
        return SUCCEEDED(VariantChangeType(&n, const_cast<VARIANT*>(&value), 0, VT_I4)) ? n.lVal : -1;
    }
    // A shorter length drops the elements beyond it, as JScript does (a negative or no number, none).
    void Truncate(const VARIANT& length) {
        for (auto& m : members_)
            if (IsIndex(m.first) && std::stoul(m.first) >= static_cast<ULONG>(AsLong(length))) VariantClear(&m.second);
    }

    LONG refs_ = 1;
    LONG lookups_ = 0;
    std::vector<std::pair<std::wstring, VARIANT>> members_;
    std::map<std::wstring, DISPID> ids_;  // members_ by name
    std::map<std::wstring, HRESULT> failing_;
    std::map<std::wstring, HRESULT> failingWrites_;
};

}  // namespace comtest
