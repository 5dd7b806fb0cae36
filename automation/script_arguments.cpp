#include "automation/script_arguments.h"

#include <cwchar>
#include <memory>
#include <new>

#include "com/com_holders.h"
#include "com/floating_point_defaults.h"
#include "com/variant_values.h"
#include "automation/member_description.h"
#include "automation/script_outputs.h"
#include "automation/script_values.h"

namespace {

// VARIANT parameters that must hold a typed array, which the library cannot
// say: CreateBrowser's criteria are VARIANTs so that they can be omitted.
struct VariantArrayElement {
    const wchar_t* member;
    const wchar_t* parameter;
    VARTYPE element;
};
constexpr VariantArrayElement kVariantArrayElements[] = {
    {L"CreateBrowser", L"AttributeIDs", VT_I4},
    {L"CreateBrowser", L"OperatorCodes", VT_I4},
};

// The member that cancels an asynchronous request, by the name of the member
// that made it (the first prefix that matches).
struct RequestCancel {
    const wchar_t* prefix;
    const wchar_t* cancel;
};
constexpr RequestCancel kRequestCancels[] = {
    {L"AsyncReadAnnotations", L"AsyncCancelAnnotations"},
    {L"AsyncInsertAnnotations", L"AsyncCancelAnnotations"},
    {L"AsyncPlayback", L"AsyncCancelPlayback"},
    {L"AsyncRead", L"AsyncCancelRead"},
    {L"AsyncAdvise", L"AsyncCancelRead"},
    {L"AsyncInsert", L"AsyncCancelUpdate"},
    {L"AsyncReplace", L"AsyncCancelUpdate"},
    {L"AsyncDelete", L"AsyncCancelUpdate"},
};

// How one argument reaches the member.
struct Slot {
    bool adapted = false;
    VARTYPE element = VT_EMPTY;
    LONG count = script_values::kWholeArray;  // the elements a JScript array gives: 1 to the count
    SAFEARRAY* pointer = nullptr;             // an [in] array as the member sees it through VT_BYREF|VT_ARRAY
    UniqueSafeArray owned;                    // an array made here for an [in] parameter
    script_outputs::Output out;               // where an output or a time goes through
};

// The array a script variable holds (VBScript passes an array variable as a
// by-reference VARIANT holding a by-reference array), or null.
bool HeldArray(const VARIANT& value, SAFEARRAY** array, VARTYPE* element) {
    if (!(value.vt & VT_ARRAY)) return false;
    if ((value.vt & VT_BYREF) && !value.pparray) return false;
    *array = (value.vt & VT_BYREF) ? *value.pparray : value.parray;
    *element = value.vt & VT_TYPEMASK;
    return true;
}

// [in] SAFEARRAY(element)*: S_FALSE leaves the argument as it is.
HRESULT AdaptInArray(const VARIANT& arg, Slot& slot, VARIANT& pass) {
    const VARIANT& value = script_values::Dereferenced(arg);
    const bool variable = &value != &arg;
    SAFEARRAY* source = nullptr;
    VARTYPE have = VT_EMPTY;
    if (value.vt == VT_DISPATCH && value.pdispVal) {
        UniqueSafeArray script;
        const HRESULT hr = script_values::ArrayOf(value.pdispVal, slot.count, script.put());
        if (hr != S_OK) return hr;
        const HRESULT converted = script_values::ConvertArray(script.get(), slot.element, slot.owned.put());
        if (FAILED(converted)) return converted;
        slot.pointer = slot.owned.get();
    } else if (HeldArray(value, &source, &have)) {
        // A typed array the caller passes itself keeps its exact path.
        if (!variable && (have != VT_VARIANT || slot.element == VT_VARIANT)) return S_FALSE;
        if (have == slot.element || !source) {
            slot.pointer = source;
        } else {
            const HRESULT hr = script_values::ConvertArray(source, slot.element, slot.owned.put());
            if (FAILED(hr)) return hr;
            slot.pointer = slot.owned.get();
        }
    } else {
        return S_FALSE;
    }
    pass.vt = VT_BYREF | VT_ARRAY | slot.element;
    pass.pparray = &slot.pointer;
    return S_OK;
}

// A JScript Date as its date, by value or inside a by-reference VARIANT.
HRESULT AdaptDate(const VARIANT& arg, VARIANT& pass) {
    const VARIANT& value = script_values::Dereferenced(arg);
    if (value.vt != VT_DISPATCH || !value.pdispVal) return S_FALSE;
    DATE date = 0;
    const HRESULT hr = script_values::DateOf(value.pdispVal, &date);
    if (hr != S_OK) return hr;
    pass.vt = VT_DATE;
    pass.date = date;
    return S_OK;
}

// The element type that VARIANT parameter `parameter` of the member must
// hold as an array: VT_VARIANT unless named above.
VARTYPE VariantArrayElementOf(ITypeInfo* info, const FUNCDESC& desc, UINT parameter) {
    const MemberNames names(info, desc.memid);
    for (const auto& e : kVariantArrayElements)
        if (std::wcscmp(names[0], e.member) == 0 && std::wcscmp(names[parameter + 1], e.parameter) == 0)
            return e.element;
    return VT_VARIANT;
}

// VARIANT [in] given a script array: by value, as the member's element type.
HRESULT AdaptVariantArray(ITypeInfo* info, const FUNCDESC& desc, UINT parameter, const VARIANT& arg, Slot& slot,
                          VARIANT& pass) {
    const VARIANT& value = script_values::Dereferenced(arg);
    UniqueSafeArray script;
    SAFEARRAY* source = nullptr;
    if (value.vt == VT_DISPATCH && value.pdispVal) {
        const HRESULT hr = script_values::ArrayOf(value.pdispVal, slot.count, script.put());
        if (hr != S_OK) return hr;
        source = script.get();
    } else {
        VARTYPE have = VT_EMPTY;
        if (!HeldArray(value, &source, &have) || have != VT_VARIANT) return S_FALSE;
    }
    const VARTYPE element = VariantArrayElementOf(info, desc, parameter);
    // A VARIANT array passed by value is what the member expects already.
    if (element == VT_VARIANT && value.vt == (VT_ARRAY | VT_VARIANT) && &value == &arg) return S_FALSE;
    if (element == VT_VARIANT && !script) {
        pass.vt = VT_ARRAY | VT_VARIANT;
        pass.parray = source;  // the caller's, copied or read by the member
        return S_OK;
    }
    const HRESULT hr = script_values::ConvertArray(source, element, slot.owned.put());
    if (FAILED(hr)) return hr;
    pass.vt = VT_ARRAY | element;
    pass.parray = slot.owned.get();
    return S_OK;
}

// The count that governs [in] array parameter `index`: the nearest [in] long
// parameter before it whose name begins with "Num" (NumItems, NumTimeStamps,
// NumAttributes, NumCriteria), as the caller passed it. A count that cannot
// be read reads nothing: the runtime refuses that call anyway.
LONG CountFor(ITypeInfo* info, const FUNCDESC& desc, UINT index, const DISPPARAMS& params) {
    const MemberNames names(info, desc.memid);
    int countParameter = -1;
    for (UINT p = 0; p < index; ++p)
        if (std::wcsncmp(names[p + 1], L"Num", 3) == 0 && desc.lprgelemdescParam[p].tdesc.vt == VT_I4)
            countParameter = static_cast<int>(p);
    if (countParameter < 0) return script_values::kWholeArray;
    for (UINT i = 0; i < params.cArgs; ++i) {
        if (ParameterOf(desc, params, i) != countParameter) continue;
        UniqueVariant value;
        VARIANT* given = const_cast<VARIANT*>(&script_values::Dereferenced(params.rgvarg[i]));
        if (FAILED(VariantChangeType(value.get(), given, 0, VT_I4))) return 0;
        // A negative count reads nothing (the member refuses it): -2^31 must
        // not pass for the mark that reads a whole array.
        return value->lVal < 0 ? -1 : value->lVal;
    }
    return 0;  // omitted: CreateBrowser's NumCriteria defaults to 0
}

// Decides how argument `arg` reaches parameter `index`; S_FALSE: unchanged.
HRESULT Adapt(ITypeInfo* info, const FUNCDESC& desc, UINT index, const VARIANT& arg, Slot& slot, VARIANT& pass) {
    const ELEMDESC& param = desc.lprgelemdescParam[index];
    const USHORT flags = param.paramdesc.wParamFlags;
    if (flags & PARAMFLAG_FRETVAL) return S_FALSE;
    const TYPEDESC& type = param.tdesc;
    const bool out = (flags & PARAMFLAG_FOUT) != 0;
    const bool in = (flags & PARAMFLAG_FIN) != 0 || !out;
    if (type.vt == VT_PTR && type.lptdesc && type.lptdesc->vt == VT_SAFEARRAY && type.lptdesc->lptdesc) {
        slot.element = type.lptdesc->lptdesc->vt;
        return in ? AdaptInArray(arg, slot, pass) : script_outputs::AdaptArray(arg, slot.element, slot.out, pass);
    }
    if (type.vt == VT_PTR && type.lptdesc && type.lptdesc->vt == VT_VARIANT)
        return in ? script_outputs::AdaptTime(arg, slot.out, pass) : script_outputs::AdaptVariant(arg, slot.out, pass);
    if (type.vt == VT_PTR && type.lptdesc && !in && script_values::IsPlainType(type.lptdesc->vt))
        return script_outputs::AdaptScalar(arg, type.lptdesc->vt, slot.out, pass);
    if (type.vt == VT_DATE) return AdaptDate(arg, pass);
    if (type.vt == VT_VARIANT) {
        const HRESULT hr = AdaptDate(arg, pass);
        return hr == S_FALSE ? AdaptVariantArray(info, desc, index, arg, slot, pass) : hr;
    }
    return S_FALSE;
}

// A request the historian accepted whose outputs could not be delivered is
// cancelled: nobody else could ever cancel it, and an advise would run on.
// False for a member that makes no asynchronous request.
bool CancelRequest(ITypeInfo* dispatch, IDispatch* self, const FuncDescHolder& desc, const VARIANT& cancelID) {
    const MemberNames names(desc.info(), desc->memid);
    for (const RequestCancel& r : kRequestCancels) {
        if (std::wcsncmp(names[0], r.prefix, std::wcslen(r.prefix)) != 0) continue;
        LPOLESTR cancel[] = {const_cast<LPOLESTR>(r.cancel)};
        DISPID id = DISPID_UNKNOWN;
        VARIANT arg = cancelID;
        DISPPARAMS params{&arg, nullptr, 1, 0};
        if (cancelID.vt == VT_I4 && SUCCEEDED(dispatch->GetIDsOfNames(cancel, 1, &id)))
            dispatch->Invoke(self, id, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr);
        return true;
    }
    return false;
}

}  // namespace

HRESULT InvokeWithScriptArguments(ITypeInfo* info, IDispatch* self, DISPID id, WORD flags, DISPPARAMS* params,
                                  VARIANT* result, EXCEPINFO* excep, UINT* argErr) {
    // Our conversions and the runtime's (ITypeInfo::Invoke turns a text or a
    // number into the declared DATE) would follow the caller's floating-point
    // state; the member runs in the default one too.
    const FloatingPointDefaults floatingPoint;
    // A property read without arguments needs nothing adapted (the common case
    // of a script walking histories).
    if (!params || (params->cArgs == 0 && (flags & DISPATCH_PROPERTYGET)))
        return info->Invoke(self, id, flags, params, result, excep, argErr);
    FuncDescHolder desc;
    if (FAILED(FindMember(info, id, flags, desc))) return info->Invoke(self, id, flags, params, result, excep, argErr);
    WORD callFlags = flags;
    if (desc->invkind == INVOKE_PROPERTYGET) callFlags = DISPATCH_PROPERTYGET;
    const UINT count = params->cArgs;
    if (count == 0 || !params->rgvarg || (params->cNamedArgs && !params->rgdispidNamedArgs) ||
        params->cNamedArgs > count)
        return info->Invoke(self, id, callFlags, params, result, excep, argErr);

    std::unique_ptr<Slot[]> slots(new (std::nothrow) Slot[count]);
    std::unique_ptr<VARIANTARG[]> args(new (std::nothrow) VARIANTARG[count]);
    if (!slots || !args) return E_OUTOFMEMORY;
    bool anyAdapted = false;
    for (UINT i = 0; i < count; ++i) {
        args[i] = params->rgvarg[i];
        const int parameter = ParameterOf(desc.get(), *params, i);
        if (parameter < 0 && i < params->cNamedArgs) {
            // A name that is no parameter: the runtime would find out only
            // after running the member, and leak what it returned.
            if (argErr) *argErr = i;
            return DISP_E_PARAMNOTFOUND;
        }
        if (parameter < 0) continue;
        VARIANT pass;
        VariantInit(&pass);
        // Perhaps a JScript array: how much of it to read.
        if (script_values::Dereferenced(params->rgvarg[i]).vt == VT_DISPATCH)
            slots[i].count = CountFor(desc.info(), desc.get(), static_cast<UINT>(parameter), *params);
        const HRESULT hr =
            Adapt(desc.info(), desc.get(), static_cast<UINT>(parameter), params->rgvarg[i], slots[i], pass);
        if (FAILED(hr)) {
            if (argErr) *argErr = i;
            // E_INVALIDARG: a script array too long to be real, refused as a wrongly shaped one is.
            return hr == E_OUTOFMEMORY || hr == E_INVALIDARG ? hr : DISP_E_TYPEMISMATCH;
        }
        if (hr == S_OK) {
            slots[i].adapted = true;
            args[i] = pass;
            anyAdapted = true;
        }
    }
    if (!anyAdapted) return info->Invoke(self, id, callFlags, params, result, excep, argErr);

    DISPPARAMS adapted{args.get(), params->rgdispidNamedArgs, count, params->cNamedArgs};
    // The member's result is needed to cancel its request, even when the caller wants none.
    UniqueVariant ownResult;
    VARIANT* memberResult = result ? result : ownResult.get();
    HRESULT hr = info->Invoke(self, id, callFlags, &adapted, memberResult, excep, argErr);
    for (UINT i = 0; i < count; ++i)
        if (!slots[i].adapted) params->rgvarg[i] = args[i];  // what the runtime wrote there is the caller's
    if (SUCCEEDED(hr)) {
        // The historian has acted: a member reports its own outcome, unless
        // an output it made could not be delivered and its request is
        // cancelled for that.
        HRESULT delivered = S_OK;
        for (UINT i = 0; i < count; ++i) {
            const HRESULT d = slots[i].adapted ? script_outputs::Deliver(slots[i].out) : S_OK;
            if (SUCCEEDED(delivered)) delivered = d;
        }
        if (FAILED(delivered) && CancelRequest(info, self, desc, *memberResult)) hr = delivered;
    }
    for (UINT i = 0; i < count; ++i) {
        if (!slots[i].adapted) continue;
        if (FAILED(hr))
            script_outputs::Empty(slots[i].out);
        else
            script_outputs::WriteBack(slots[i].out);
    }
    return hr;
}
