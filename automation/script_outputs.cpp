#include "automation/script_outputs.h"

#include <utility>

#include "automation/script_values.h"

namespace script_outputs {
namespace {

// An array variable (Dim a()): VBScript passes it as a by-reference VARIANT
// holding a by-reference array, whose array is replaced in place.
bool IsArrayVariable(const VARIANT* target) {
    return target && target->vt == (VT_BYREF | VT_ARRAY | VT_VARIANT) && target->pparray;
}

void PutArray(VARIANT* target, SAFEARRAY* array) {
    if (IsArrayVariable(target)) {
        UniqueSafeArray old(*target->pparray);
        *target->pparray = array;
        return;
    }
    ClearVariantValue(target);
    target->vt = VT_ARRAY | VT_VARIANT;
    target->parray = array;
}

// The member's value, moved into the caller's variable.
void PutValue(VARIANT* target, UniqueVariant& value) {
    ClearVariantValue(target);
    *target = value.detach();
}

// A JScript array that is to receive a result; one whose length cannot be
// written (a frozen one) would fail only after the member ran.
bool TakeFill(IDispatch* array, Output& out) {
    if (FAILED(script_values::CanFill(array))) return false;
    out.fill = array;
    return true;
}

}  // namespace

bool IsFixedArray(const VARIANT& v) {
    if (!(v.vt & VT_ARRAY)) return false;
    const SAFEARRAY* array = (v.vt & VT_BYREF) ? (v.pparray ? *v.pparray : nullptr) : v.parray;
    constexpr USHORT kNotOurs = FADF_AUTO | FADF_STATIC | FADF_EMBEDDED | FADF_FIXEDSIZE;
    return array && ((array->fFeatures & kNotOurs) || array->cLocks);
}

HRESULT AdaptArray(const VARIANT& arg, VARTYPE element, Output& out, VARIANT& pass) {
    if (arg.vt == (VT_BYREF | VT_VARIANT) && arg.pvarVal) {
        if (IsFixedArray(*arg.pvarVal)) return DISP_E_TYPEMISMATCH;
        out.target = arg.pvarVal;
    } else if (arg.vt == VT_DISPATCH && arg.pdispVal && script_values::IsArray(arg.pdispVal)) {
        if (!TakeFill(arg.pdispVal, out)) return DISP_E_TYPEMISMATCH;
    } else if (arg.vt & VT_BYREF && arg.vt & VT_ARRAY) {
        return S_FALSE;  // a typed client's array variable: the runtime's business
    } else if (!script_values::PassesNothing(arg)) {
        // Nothing else can receive an array. The runtime would run the member
        // anyway and then leak its result (a scalar there) or free the
        // caller's own array (an array by value).
        return DISP_E_TYPEMISMATCH;
    }
    out.kind = Output::Kind::Array;
    out.element = element;
    pass.vt = VT_BYREF | VT_ARRAY | element;
    pass.pparray = &out.array;
    return S_OK;
}

// GetItemAttributes' Count: the member writes into ours.
HRESULT AdaptScalar(const VARIANT& arg, VARTYPE type, Output& out, VARIANT& pass) {
    if (arg.vt != (VT_BYREF | VT_VARIANT) || !arg.pvarVal) return S_FALSE;
    if (IsFixedArray(*arg.pvarVal)) return DISP_E_TYPEMISMATCH;
    out.kind = Output::Kind::Scalar;
    out.element = type;
    out.target = arg.pvarVal;
    out.local->vt = type;
    out.local->llVal = 0;
    pass.vt = VT_BYREF | type;
    pass.byref = &out.local->llVal;
    return S_OK;
}

// CreateBrowser's Errors: the member writes into ours.
HRESULT AdaptVariant(const VARIANT& arg, Output& out, VARIANT& pass) {
    if (arg.vt == (VT_BYREF | VT_VARIANT) && arg.pvarVal) {
        // A fixed array there is the engine's, which the member would replace.
        if (IsFixedArray(*arg.pvarVal)) return DISP_E_TYPEMISMATCH;
        out.target = arg.pvarVal;
    } else if (arg.vt & VT_BYREF) {
        // A variable of another type (VB's Dim e() As Long) cannot hold the
        // array the member writes, and the runtime finds out only after
        // running it (Wine, given named arguments, then fails the call and
        // drops what the member returned: CreateBrowser's browser).
        return DISP_E_TYPEMISMATCH;
    } else if (arg.vt == VT_DISPATCH && arg.pdispVal && script_values::IsArray(arg.pdispVal)) {
        if (!TakeFill(arg.pdispVal, out)) return DISP_E_TYPEMISMATCH;
    } else if (!script_values::PassesNothing(arg)) {
        // Nor can any other value by value receive anything (the runtime would
        // run the member and then fail to write back, leaking its results).
        return DISP_E_TYPEMISMATCH;
    }
    out.kind = Output::Kind::Variant;
    pass.vt = VT_BYREF | VT_VARIANT;
    pass.pvarVal = out.local.get();
    return S_OK;
}

// The member reads and rewrites a local of ours, which a Variant variable
// receives only when the call succeeds; given by value nobody receives it.
// (A time by value left to the runtime, the arguments named, Wine wrote the
// rewritten time into another argument's slot and, when that conversion
// failed, dropped what the member returned.) A typed variable (VT_BYREF|
// VT_DATE) is the runtime's.
HRESULT AdaptTime(const VARIANT& arg, Output& out, VARIANT& pass) {
    const bool variable = arg.vt == (VT_BYREF | VT_VARIANT);
    if ((arg.vt & VT_BYREF) && !(variable && arg.pvarVal)) return S_FALSE;
    const VARIANT& value = script_values::Dereferenced(arg);
    DATE date = 0;
    const HRESULT hr =
        value.vt == VT_DISPATCH && value.pdispVal ? script_values::DateOf(value.pdispVal, &date) : S_FALSE;
    if (FAILED(hr)) return hr;
    if (hr == S_OK) {
        out.local->vt = VT_DATE;
        out.local->date = date;
    } else if (const HRESULT copied = VariantCopy(out.local.get(), const_cast<VARIANT*>(&value)); FAILED(copied)) {
        return copied;  // a type nobody can copy
    }
    out.kind = Output::Kind::Time;
    out.target = variable ? arg.pvarVal : nullptr;
    pass.vt = VT_BYREF | VT_VARIANT;
    pass.pvarVal = out.local.get();
    return S_OK;
}

void Empty(Output& output) {
    UniqueSafeArray unused(std::exchange(output.array, nullptr));
    output.local.reset();
    switch (output.kind) {
        case Output::Kind::Array:
            if (IsArrayVariable(output.target))
                PutArray(output.target, SafeArrayCreateVector(VT_VARIANT, 1, 0));
            else if (output.target)
                ClearVariantValue(output.target);
            break;
        case Output::Kind::Scalar:
            ClearVariantValue(output.target);
            output.target->vt = output.element;
            output.target->llVal = 0;
            break;
        case Output::Kind::Variant:
            if (output.target) ClearVariantValue(output.target);
            break;
        case Output::Kind::Time:  // the caller's time stays as it was
        case Output::Kind::None: break;
    }
    if (output.fill) script_values::EmptyArray(output.fill);
}

HRESULT Deliver(Output& output) {
    HRESULT hr = S_OK;
    switch (output.kind) {
        case Output::Kind::Array: {
            UniqueSafeArray values(std::exchange(output.array, nullptr));
            if (!values) break;  // none handed out: emptied below
            if (output.element != VT_VARIANT) {
                UniqueSafeArray converted;
                if (FAILED(hr = script_values::ConvertArray(values.get(), VT_VARIANT, converted.put()))) break;
                values = std::move(converted);
            }
            if (output.fill && FAILED(hr = script_values::FillArray(output.fill, values.get()))) break;
            if (output.target) PutArray(output.target, values.detach());
            return S_OK;
        }
        case Output::Kind::Scalar:
        case Output::Kind::Variant: {
            if (output.target) PutValue(output.target, output.local);
            if (!output.fill) return S_OK;
            const VARIANT* value = output.local.get();
            if (!(value->vt & VT_ARRAY) || (value->vt & VT_BYREF)) break;  // no array to fill it with: emptied
            if (SUCCEEDED(hr = script_values::FillArray(output.fill, value->parray))) return S_OK;
            break;
        }
        case Output::Kind::Time:
        case Output::Kind::None: return S_OK;
    }
    Empty(output);
    return hr;
}

void WriteBack(Output& output) {
    if (output.kind == Output::Kind::Time && output.target) PutValue(output.target, output.local);
}

}  // namespace script_outputs
