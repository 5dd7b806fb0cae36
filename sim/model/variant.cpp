// The model's values as VARIANTs: makers and the numeric and text views.
#include "historian.h"

namespace hdasim {

namespace {

// A VARIANT of type vt whose value `fill` writes.
template <class Fill>
UniqueVariant Make(VARTYPE vt, Fill fill) {
    UniqueVariant r;
    r->vt = vt;
    fill(*r.get());
    return r;
}

}  // namespace

UniqueVariant R8Variant(double d) {
    return Make(VT_R8, [&](VARIANT& v) { v.dblVal = d; });
}
UniqueVariant I2Variant(SHORT i) {
    return Make(VT_I2, [&](VARIANT& v) { v.iVal = i; });
}
UniqueVariant I4Variant(std::int32_t i) {
    return Make(VT_I4, [&](VARIANT& v) { v.lVal = i; });
}
UniqueVariant BoolVariant(bool b) {
    return Make(VT_BOOL, [&](VARIANT& v) { v.boolVal = b ? VARIANT_TRUE : VARIANT_FALSE; });
}
UniqueVariant BstrVariant(const std::wstring& s) {
    return Make(VT_BSTR, [&](VARIANT& v) { v.bstrVal = SysAllocStringLen(s.data(), static_cast<UINT>(s.size())); });
}

Value CopyOf(const Value& v) { return {v.time, v.quality, UniqueVariant::copy_of(v.value.get())}; }

ModifiedValue CopyOf(const ModifiedValue& v) {
    return {v.time, v.quality, UniqueVariant::copy_of(v.value.get()), v.modificationTime, v.editType, v.user};
}

bool AsDouble(const VARIANT* v, double* out) noexcept {
    switch (v->vt) {
        case VT_R8: *out = v->dblVal; return true;
        case VT_R4: *out = v->fltVal; return true;
        case VT_I1: *out = v->cVal; return true;
        case VT_UI1: *out = v->bVal; return true;
        case VT_I2: *out = v->iVal; return true;
        case VT_UI2: *out = v->uiVal; return true;
        case VT_I4: *out = v->lVal; return true;
        case VT_UI4: *out = v->ulVal; return true;
        case VT_INT: *out = v->intVal; return true;
        case VT_UINT: *out = v->uintVal; return true;
        case VT_I8: *out = static_cast<double>(v->llVal); return true;
        case VT_UI8: *out = static_cast<double>(v->ullVal); return true;
        case VT_BOOL: *out = v->boolVal ? 1.0 : 0.0; return true;  // true counts as 1, not -1
        case VT_EMPTY:
        case VT_NULL: return false;
        default: break;
    }
    UniqueVariant r8;
    // Locale-neutral conversion so "1.5" means the same everywhere.
    if (FAILED(VariantChangeTypeEx(r8.get(), const_cast<VARIANT*>(v), 0x409, 0, VT_R8))) return false;
    *out = r8->dblVal;
    return true;
}

std::wstring AsString(const VARIANT* v) {
    if (v->vt == VT_BSTR) return v->bstrVal ? std::wstring(v->bstrVal, SysStringLen(v->bstrVal)) : std::wstring();
    UniqueVariant text;
    if (FAILED(VariantChangeTypeEx(text.get(), const_cast<VARIANT*>(v), 0x409, VARIANT_ALPHABOOL, VT_BSTR))) return {};
    return text->bstrVal ? std::wstring(text->bstrVal, SysStringLen(text->bstrVal)) : std::wstring();
}

}  // namespace hdasim
