// Owning VARIANT and value comparisons.
#include "historian.h"

#include <cwchar>

namespace hdasim {

Variant::Variant(const VARIANT& src) {
    VariantInit(&v_);
    VariantCopy(&v_, const_cast<VARIANT*>(&src));
}

Variant::Variant(const Variant& other) {
    VariantInit(&v_);
    VariantCopy(&v_, const_cast<VARIANT*>(&other.v_));
}

Variant::Variant(Variant&& other) noexcept {
    v_ = other.v_;  // take the payload, leave the source empty
    VariantInit(&other.v_);
}

Variant& Variant::operator=(const Variant& other) {
    if (this != &other) {
        VARIANT tmp;
        VariantInit(&tmp);
        VariantCopy(&tmp, const_cast<VARIANT*>(&other.v_));
        VariantClear(&v_);
        v_ = tmp;
    }
    return *this;
}

Variant& Variant::operator=(Variant&& other) noexcept {
    if (this != &other) {
        VariantClear(&v_);
        v_ = other.v_;
        VariantInit(&other.v_);
    }
    return *this;
}

Variant Variant::FromDouble(double d) {
    Variant r;
    r.v_.vt = VT_R8;
    r.v_.dblVal = d;
    return r;
}

Variant Variant::FromInt(std::int32_t i) {
    Variant r;
    r.v_.vt = VT_I4;
    r.v_.lVal = i;
    return r;
}

Variant Variant::FromBool(bool b) {
    Variant r;
    r.v_.vt = VT_BOOL;
    r.v_.boolVal = b ? VARIANT_TRUE : VARIANT_FALSE;
    return r;
}

Variant Variant::FromString(const std::wstring& s) {
    Variant r;
    r.v_.vt = VT_BSTR;
    r.v_.bstrVal = SysAllocStringLen(s.data(), static_cast<UINT>(s.size()));
    return r;
}

bool Variant::AsDouble(double* out) const noexcept {
    switch (v_.vt) {
        case VT_R8: *out = v_.dblVal; return true;
        case VT_R4: *out = v_.fltVal; return true;
        case VT_I1: *out = v_.cVal; return true;
        case VT_UI1: *out = v_.bVal; return true;
        case VT_I2: *out = v_.iVal; return true;
        case VT_UI2: *out = v_.uiVal; return true;
        case VT_I4: *out = v_.lVal; return true;
        case VT_UI4: *out = v_.ulVal; return true;
        case VT_INT: *out = v_.intVal; return true;
        case VT_UINT: *out = v_.uintVal; return true;
        case VT_I8: *out = static_cast<double>(v_.llVal); return true;
        case VT_UI8: *out = static_cast<double>(v_.ullVal); return true;
        case VT_BOOL: *out = v_.boolVal ? 1.0 : 0.0; return true;  // true counts as 1, not -1
        case VT_EMPTY:
        case VT_NULL: return false;
        default: break;
    }
    VARIANT tmp;
    VariantInit(&tmp);
    // Locale-neutral conversion so "1.5" means the same everywhere.
    if (FAILED(VariantChangeTypeEx(&tmp, const_cast<VARIANT*>(&v_), 0x409, 0, VT_R8))) return false;
    *out = tmp.dblVal;
    return true;
}

std::wstring Variant::AsString() const {
    if (v_.vt == VT_BSTR) return v_.bstrVal ? std::wstring(v_.bstrVal, SysStringLen(v_.bstrVal)) : std::wstring();
    VARIANT tmp;
    VariantInit(&tmp);
    if (FAILED(VariantChangeTypeEx(&tmp, const_cast<VARIANT*>(&v_), 0x409, VARIANT_ALPHABOOL, VT_BSTR))) return {};
    std::wstring s(tmp.bstrVal ? tmp.bstrVal : L"", tmp.bstrVal ? SysStringLen(tmp.bstrVal) : 0);
    VariantClear(&tmp);
    return s;
}

bool VariantsEqual(const VARIANT& a, const VARIANT& b) {
    if (a.vt != b.vt) return false;
    if (a.vt == VT_BSTR) {
        UINT la = a.bstrVal ? SysStringLen(a.bstrVal) : 0, lb = b.bstrVal ? SysStringLen(b.bstrVal) : 0;
        return la == lb && (la == 0 || std::wmemcmp(a.bstrVal, b.bstrVal, la) == 0);
    }
    if (a.vt == VT_EMPTY || a.vt == VT_NULL) return true;
    double x = 0, y = 0;
    if (Variant(a).AsDouble(&x) && Variant(b).AsDouble(&y)) return x == y;
    return false;
}

}  // namespace hdasim
