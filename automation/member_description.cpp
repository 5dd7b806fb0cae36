#include "automation/member_description.h"

#include <utility>

HRESULT FindMember(ITypeInfo* dispatch, DISPID id, WORD flags, FuncDescHolder& desc) {
    ComPtr<ITypeInfo> info(dispatch);
    HREFTYPE interfaceSide = 0;
    if (SUCCEEDED(dispatch->GetRefTypeOfImplType(static_cast<UINT>(-1), &interfaceSide))) {
        ComPtr<ITypeInfo> side;
        if (SUCCEEDED(dispatch->GetRefTypeInfo(interfaceSide, side.put()))) info = std::move(side);
    }
    ComPtr<ITypeInfo2> info2;
    HRESULT hr = info.query(IID_ITypeInfo2, info2);
    if (FAILED(hr)) return hr;
    static constexpr struct {
        WORD flag;
        INVOKEKIND kind;
    } kKinds[] = {{DISPATCH_METHOD, INVOKE_FUNC},
                  {DISPATCH_PROPERTYGET, INVOKE_PROPERTYGET},
                  {DISPATCH_PROPERTYPUT, INVOKE_PROPERTYPUT},
                  {DISPATCH_PROPERTYPUTREF, INVOKE_PROPERTYPUTREF},
                  {DISPATCH_METHOD, INVOKE_PROPERTYGET}};
    for (const auto& k : kKinds) {
        UINT index = 0;
        if ((flags & k.flag) && SUCCEEDED(info2->GetFuncIndexOfMemId(id, k.kind, &index)))
            return desc.Load(info, index);
    }
    return DISP_E_MEMBERNOTFOUND;
}

int ParameterOf(const FUNCDESC& desc, const DISPPARAMS& params, UINT i) {
    if (i < params.cNamedArgs) {
        const DISPID named = params.rgdispidNamedArgs[i];
        if (named == DISPID_PROPERTYPUT) return desc.cParams - 1;
        return named >= 0 && named < desc.cParams ? named : -1;
    }
    const UINT position = params.cArgs - 1 - i;
    return position < static_cast<UINT>(desc.cParams) ? static_cast<int>(position) : -1;
}
