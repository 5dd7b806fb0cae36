// Copying and clearing the VARIANTs of a history in bulk. Most historian
// values are numbers, which own nothing: for those a copy is a plain copy and
// a clear changes nothing worth a call into the runtime, and reads of a
// hundred thousand values notice the difference.
#pragma once

#include <windows.h>
#include <oleauto.h>

inline bool VariantOwnsNothing(VARTYPE vt) {
    switch (vt) {
        case VT_EMPTY:
        case VT_NULL:
        case VT_I1:
        case VT_I2:
        case VT_I4:
        case VT_I8:
        case VT_UI1:
        case VT_UI2:
        case VT_UI4:
        case VT_UI8:
        case VT_INT:
        case VT_UINT:
        case VT_R4:
        case VT_R8:
        case VT_CY:
        case VT_DATE:
        case VT_BOOL:
        case VT_ERROR: return true;
        default: return false;
    }
}

// VariantCopy into a target that holds nothing yet.
inline HRESULT CopyVariantValue(VARIANT* target, const VARIANT* source) {
    if (VariantOwnsNothing(V_VT(source))) {
        *target = *source;
        return S_OK;
    }
    VariantInit(target);
    return VariantCopy(target, const_cast<VARIANT*>(source));
}

inline void ClearVariantValue(VARIANT* value) {
    if (VariantOwnsNothing(V_VT(value)))
        V_VT(value) = VT_EMPTY;
    else
        VariantClear(value);
}

// An optional argument the caller left out, as automation marks it.
inline bool IsOmitted(const VARIANT& v) { return V_VT(&v) == VT_ERROR && V_ERROR(&v) == DISP_E_PARAMNOTFOUND; }
// The same mark where a caller left it in the pointer of a typed argument (a
// VT_BSTR or VT_ARRAY whose pointer holds the code).
inline bool IsOmittedMark(const void* pointer) {
    return reinterpret_cast<ULONG_PTR>(pointer) == static_cast<ULONG>(DISP_E_PARAMNOTFOUND);
}
