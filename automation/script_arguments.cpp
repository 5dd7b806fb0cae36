#include "automation/script_arguments.h"

#include <cwchar>
#include <memory>
#include <new>

#include "com/com_holders.h"
#include "com/floating_point_defaults.h"
#include "com/variant_values.h"
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

// How one argument reaches the member.
struct Slot {
    bool adapted = false;
    VARTYPE element = VT_EMPTY;
    bool outArray = false;
    LONG count = script_values::kWholeArray;  // the elements a JScript array gives: 1 to the count
    SAFEARRAY* pointer = nullptr;  // what the member sees through VT_BYREF|VT_ARRAY
    UniqueSafeArray owned;         // an array made here for an [in] parameter
    UniqueVariant local;           // a VARIANT the member writes in our place
    VARIANT* target = nullptr;     // the caller's by-reference variable that receives a result
    IDispatch* fill = nullptr;     // the caller's JScript array that receives a result
};

// No argument, or nothing to receive a result: omitted, undefined or null.
bool PassesNothing(const VARIANT& v) { return v.vt == VT_EMPTY || v.vt == VT_NULL || IsOmitted(v); }

const VARIANT& Dereferenced(const VARIANT& v) { return v.vt == (VT_BYREF | VT_VARIANT) && v.pvarVal ? *v.pvarVal : v; }

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
    const VARIANT& value = Dereferenced(arg);
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

// An array the script engine owns in place (VBScript's Dim a(3)) or has
// locked: replacing or freeing it would pull it from under the engine.
bool IsFixedArray(const VARIANT& v) {
    if (!(v.vt & VT_ARRAY)) return false;
    const SAFEARRAY* array = (v.vt & VT_BYREF) ? (v.pparray ? *v.pparray : nullptr) : v.parray;
    constexpr USHORT kNotOurs = FADF_AUTO | FADF_STATIC | FADF_EMBEDDED | FADF_FIXEDSIZE;
    return array && ((array->fFeatures & kNotOurs) || array->cLocks);
}

// Leaves a script's output with nothing where a typed client's array is null
// (after a failed call): no stale result of an earlier call stays behind; a plain variable becomes Empty, an array variable
// holds an array with no elements, a JScript array has length 0.
void EmptyOutput(Slot& slot) {
    if (slot.target && slot.target->vt == (VT_BYREF | VT_ARRAY | VT_VARIANT) && slot.target->pparray) {
        UniqueSafeArray old(*slot.target->pparray);
        *slot.target->pparray = SafeArrayCreateVector(VT_VARIANT, 1, 0);
    } else if (slot.target) {
        VariantClear(slot.target);
    }
    if (slot.fill) script_values::EmptyArray(slot.fill);
}

// [out] SAFEARRAY(element)*.
HRESULT AdaptOutArray(const VARIANT& arg, Slot& slot, VARIANT& pass) {
    if (arg.vt == (VT_BYREF | VT_VARIANT) && arg.pvarVal) {
        if (IsFixedArray(*arg.pvarVal)) return DISP_E_TYPEMISMATCH;
        slot.target = arg.pvarVal;
    } else if (arg.vt == VT_DISPATCH && arg.pdispVal && script_values::IsArray(arg.pdispVal)) {
        slot.fill = arg.pdispVal;
    } else if (arg.vt & VT_BYREF && arg.vt & VT_ARRAY) {
        return S_FALSE;  // a typed client's array variable: the runtime's business
    } else if (!PassesNothing(arg)) {
        // Nothing else can receive an array. The runtime would run the member
        // anyway and then leak its result (a scalar there) or free the
        // caller's own array (an array by value).
        return DISP_E_TYPEMISMATCH;
    }
    slot.outArray = true;
    pass.vt = VT_BYREF | VT_ARRAY | slot.element;
    pass.pparray = &slot.pointer;
    return S_OK;
}

// [out] T* for a plain T (GetItemAttributes' Count) given a script variable:
// the member writes into ours, the variable receives it on success.
HRESULT AdaptOutScalar(const VARIANT& arg, VARTYPE type, Slot& slot, VARIANT& pass) {
    if (arg.vt != (VT_BYREF | VT_VARIANT) || !arg.pvarVal) return S_FALSE;
    slot.target = arg.pvarVal;
    slot.local->vt = type;
    pass.vt = VT_BYREF | type;
    pass.byref = &slot.local->llVal;
    return S_OK;
}

// [out] VARIANT* given a Variant variable (the runtime's), nothing or a JScript array (ours).
HRESULT AdaptOutVariant(const VARIANT& arg, Slot& slot, VARIANT& pass) {
    if (arg.vt == (VT_BYREF | VT_VARIANT)) return S_FALSE;
    // A variable of another type (VB's Dim e() As Long) cannot hold the array
    // the member writes, and the runtime finds out only after running it
    // (Wine, given named arguments, then fails the call and drops what the
    // member returned: CreateBrowser's browser).
    if (arg.vt & VT_BYREF) return DISP_E_TYPEMISMATCH;
    if (PassesNothing(arg)) {
        // Nobody receives it: the member writes into ours (the runtime would
        // run the member and then fail to write back, leaking its results).
        pass.vt = VT_BYREF | VT_VARIANT;
        pass.pvarVal = slot.local.get();
        return S_OK;
    }
    // Nor can any other value by value receive anything.
    if (arg.vt != VT_DISPATCH || !arg.pdispVal || !script_values::IsArray(arg.pdispVal)) return DISP_E_TYPEMISMATCH;
    slot.fill = arg.pdispVal;
    pass.vt = VT_BYREF | VT_VARIANT;
    pass.pvarVal = slot.local.get();
    return S_OK;
}

// A JScript Date as its date, by value or inside a by-reference VARIANT.
HRESULT AdaptDate(const VARIANT& arg, bool inOut, Slot& slot, VARIANT& pass) {
    const VARIANT& value = Dereferenced(arg);
    if (value.vt != VT_DISPATCH || !value.pdispVal) return S_FALSE;
    DATE date = 0;
    const HRESULT hr = script_values::DateOf(value.pdispVal, &date);
    if (hr != S_OK) return hr;
    if (inOut && &value != &arg) {
        // The member may write the time back: into ours, then into the caller's variable.
        slot.local->vt = VT_DATE;
        slot.local->date = date;
        slot.target = arg.pvarVal;
        pass.vt = VT_BYREF | VT_VARIANT;
        pass.pvarVal = slot.local.get();
    } else {
        pass.vt = VT_DATE;
        pass.date = date;
    }
    return S_OK;
}

// The element type that VARIANT parameter `parameter` of the member must
// hold as an array: VT_VARIANT unless named above.
VARTYPE VariantArrayElementOf(ITypeInfo* info, const FUNCDESC& desc, UINT parameter) {
    constexpr UINT kMaxNames = 32;
    BSTR names[kMaxNames] = {};
    UINT got = 0;
    VARTYPE element = VT_VARIANT;
    if (SUCCEEDED(info->GetNames(desc.memid, names, kMaxNames, &got)) && parameter + 1 < got) {
        for (const auto& e : kVariantArrayElements)
            if (names[0] && names[parameter + 1] && std::wcscmp(names[0], e.member) == 0 &&
                std::wcscmp(names[parameter + 1], e.parameter) == 0)
                element = e.element;
    }
    for (UINT i = 0; i < got && i < kMaxNames; ++i) SysFreeString(names[i]);
    return element;
}

// VARIANT [in] given a script array: by value, as the member's element type.
HRESULT AdaptVariantArray(ITypeInfo* info, const FUNCDESC& desc, UINT parameter, const VARIANT& arg, Slot& slot,
                          VARIANT& pass) {
    const VARIANT& value = Dereferenced(arg);
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

// The parameter that rgvarg[i] stands for, or -1.
int ParameterOf(const FUNCDESC& desc, const DISPPARAMS& params, UINT i);

// The count that governs [in] array parameter `index`: the nearest [in] long
// parameter before it whose name begins with "Num" (NumItems, NumTimeStamps,
// NumAttributes, NumCriteria), as the caller passed it. A count that cannot
// be read reads nothing: the runtime refuses that call anyway.
LONG CountFor(ITypeInfo* info, const FUNCDESC& desc, UINT index, const DISPPARAMS& params) {
    constexpr UINT kMaxNames = 32;
    BSTR names[kMaxNames] = {};
    UINT got = 0;
    int countParameter = -1;
    if (SUCCEEDED(info->GetNames(desc.memid, names, kMaxNames, &got))) {
        for (UINT p = 0; p < index && p + 1 < got; ++p)
            if (names[p + 1] && std::wcsncmp(names[p + 1], L"Num", 3) == 0 &&
                desc.lprgelemdescParam[p].tdesc.vt == VT_I4)
                countParameter = static_cast<int>(p);
    }
    for (UINT i = 0; i < got && i < kMaxNames; ++i) SysFreeString(names[i]);
    if (countParameter < 0) return script_values::kWholeArray;
    for (UINT i = 0; i < params.cArgs; ++i) {
        if (ParameterOf(desc, params, i) != countParameter) continue;
        UniqueVariant value;
        if (FAILED(VariantChangeType(value.get(), const_cast<VARIANT*>(&Dereferenced(params.rgvarg[i])), 0, VT_I4))) return 0;
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
        return in ? AdaptInArray(arg, slot, pass) : AdaptOutArray(arg, slot, pass);
    }
    if (type.vt == VT_PTR && type.lptdesc && type.lptdesc->vt == VT_VARIANT)
        return in ? AdaptDate(arg, true, slot, pass) : AdaptOutVariant(arg, slot, pass);
    if (type.vt == VT_PTR && type.lptdesc && !in && script_values::IsPlainType(type.lptdesc->vt))
        return AdaptOutScalar(arg, type.lptdesc->vt, slot, pass);
    if (type.vt == VT_DATE) return AdaptDate(arg, false, slot, pass);
    if (type.vt == VT_VARIANT) {
        const HRESULT hr = AdaptDate(arg, false, slot, pass);
        return hr == S_FALSE ? AdaptVariantArray(info, desc, index, arg, slot, pass) : hr;
    }
    return S_FALSE;
}

// The parameter that rgvarg[i] stands for, or -1.
int ParameterOf(const FUNCDESC& desc, const DISPPARAMS& params, UINT i) {
    if (i < params.cNamedArgs) {
        const DISPID named = params.rgdispidNamedArgs[i];
        if (named == DISPID_PROPERTYPUT) return desc.cParams - 1;
        return named >= 0 && named < desc.cParams ? named : -1;
    }
    const UINT position = params.cArgs - 1 - i;
    return position < static_cast<UINT>(desc.cParams) ? static_cast<int>(position) : -1;
}

// Hands an [out] result to the caller's variable or JScript array, or empties
// them when the member gave none.
HRESULT Deliver(Slot& slot) {
    UniqueSafeArray result(slot.outArray ? slot.pointer : nullptr);
    slot.pointer = nullptr;
    if (slot.outArray && !result) EmptyOutput(slot);
    if (slot.outArray && result) {
        UniqueSafeArray values;
        if (slot.element == VT_VARIANT) {
            values = std::move(result);
        } else {
            const HRESULT hr = script_values::ConvertArray(result.get(), VT_VARIANT, values.put());
            if (FAILED(hr)) return hr;
        }
        if (slot.target && slot.target->vt == (VT_BYREF | VT_ARRAY | VT_VARIANT) && slot.target->pparray) {
            // An array variable (Dim a()): its array is replaced.
            UniqueSafeArray old(*slot.target->pparray);
            *slot.target->pparray = values.detach();
        } else if (slot.target) {
            VariantClear(slot.target);
            slot.target->vt = VT_ARRAY | VT_VARIANT;
            slot.target->parray = values.detach();
        }
        if (slot.fill) return script_values::FillArray(slot.fill, values.get());
        return S_OK;
    }
    if (!slot.outArray && slot.fill && (slot.local->vt & VT_ARRAY) && !(slot.local->vt & VT_BYREF))
        return script_values::FillArray(slot.fill, slot.local->parray);
    if (!slot.outArray && slot.fill) EmptyOutput(slot);
    return S_OK;
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
        if (Dereferenced(params->rgvarg[i]).vt == VT_DISPATCH)  // perhaps a JScript array: how much of it to read
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
    HRESULT hr = info->Invoke(self, id, callFlags, &adapted, result, excep, argErr);
    const bool ran = SUCCEEDED(hr);
    for (UINT i = 0; i < count; ++i) {
        Slot& slot = slots[i];
        if (!slot.adapted) {
            // What the runtime wrote into an argument of ours is the caller's.
            params->rgvarg[i] = args[i];
            continue;
        }
        const HRESULT delivered = Deliver(slot);
        if (SUCCEEDED(hr) && FAILED(delivered)) hr = delivered;
        // A time written back, or an [out] value: the caller's variable receives it.
        if (slot.target && !slot.outArray && SUCCEEDED(hr)) VariantCopy(slot.target, slot.local.get());
    }
    // Outputs that could not be delivered fail the call, and a caller does
    // not release what a failed call returned (CreateBrowser's browser).
    if (ran && FAILED(hr) && result) VariantClear(result);
    return hr;
}
