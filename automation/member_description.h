// What the type information says about the member a dispatch call names:
// its description, its names and the parameter each argument stands for.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include "com/com_holders.h"

// A member's name (0) and its parameters' names (1 on), from its type information.
class MemberNames {
public:
    MemberNames(ITypeInfo* info, MEMBERID id) {
        BSTR got[kMax] = {};
        if (FAILED(info->GetNames(id, got, kMax, &got_))) got_ = 0;
        for (UINT i = 0; i < got_; ++i) names_[i] = UniqueBstr::attach(got[i]);
    }
    // Name i, or "" when there is none.
    const wchar_t* operator[](UINT i) const { return i < got_ && names_[i] ? names_[i].get() : L""; }

private:
    static constexpr UINT kMax = 32;
    UniqueBstr names_[kMax];
    UINT got_ = 0;
};

// A member's description, from the type information that owns it.
class FuncDescHolder {
public:
    FuncDescHolder() = default;
    ~FuncDescHolder() {
        if (desc_) info_->ReleaseFuncDesc(desc_);
    }
    FuncDescHolder(const FuncDescHolder&) = delete;
    FuncDescHolder& operator=(const FuncDescHolder&) = delete;
    HRESULT Load(ComPtr<ITypeInfo> info, UINT index) {
        info_ = std::move(info);
        return info_->GetFuncDesc(index, &desc_);
    }
    ITypeInfo* info() const { return info_.get(); }
    const FUNCDESC* operator->() const { return desc_; }
    const FUNCDESC& get() const { return *desc_; }

private:
    ComPtr<ITypeInfo> info_;
    FUNCDESC* desc_ = nullptr;
};

// The member that the call names, among the dual interface's own members (the
// dispatch side numbers its members after the inherited ones, the interface
// side as GetFuncIndexOfMemId does). A property read that is asked for as a
// method call (JScript's Enumerator asks for _NewEnum so) is found too.
HRESULT FindMember(ITypeInfo* dispatch, DISPID id, WORD flags, FuncDescHolder& desc);

// The parameter that rgvarg[i] stands for, or -1.
int ParameterOf(const FUNCDESC& desc, const DISPPARAMS& params, UINT i);
