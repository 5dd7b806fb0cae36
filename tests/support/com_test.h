// An apartment per test with the unload check, and helpers to call objects as
// clients do: by ProgID, through vtables and through IDispatch by name.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <initializer_list>
#include <utility>
#include <string>
#include <vector>

#include "OPCHDAAuto.h"
#include "com/com_holders.h"
#include "support/opc_codes.h"

namespace comtest {

// An export of the loaded library (null when it is not loaded), e.g. LibraryExport<HRESULT STDAPICALLTYPE()>.
template <class F>
F* LibraryExport(const char* name) {
    const HMODULE library = GetModuleHandleW(L"OPCHDAAuto.dll");
    return library ? reinterpret_cast<F*>(reinterpret_cast<void*>(GetProcAddress(library, name))) : nullptr;
}
// S_OK: no object of the library alive; E_UNEXPECTED: the library is not loaded.
HRESULT LibraryCanUnloadNow();
HRESULT CreateServer(ComPtr<IOPCHDAAutoServer>& server);  // by ProgID
// Whether `done` came true within `ms`; an apartment's thread pumps meanwhile, as it must to see a release that
// another thread sends it.
bool WaitUntil(const std::function<bool()>& done, DWORD ms = 10000);
// LibraryCanUnloadNow once no object is left or `ms` passed: the historian's threads may hold the last one.
HRESULT WaitUntilUnloadable(DWORD ms = 10000);

// `args` in declared order, cleared after the call.
HRESULT InvokeByName(IDispatch* object, const wchar_t* name, WORD flags, std::vector<VARIANT> args, VARIANT* result);
inline HRESULT GetProperty(IDispatch* object, const wchar_t* name, VARIANT* result) {
    return InvokeByName(object, name, DISPATCH_PROPERTYGET, {}, result);
}

// Every member of a VARIANT's value union starts at the same address.
template <class T>
VARIANT Typed(VARTYPE vt, T value) {
    static_assert(sizeof(T) <= sizeof(LONGLONG));
    VARIANT r;
    VariantInit(&r);
    r.vt = vt;
    memcpy(&r.llVal, &value, sizeof value);
    return r;
}
inline VARIANT VarI4(LONG v) { return Typed(VT_I4, v); }
inline VARIANT VarR8(double v) { return Typed(VT_R8, v); }
inline VARIANT VarDate(DATE v) { return Typed(VT_DATE, v); }
inline VARIANT VarBstr(const wchar_t* s) { return Typed(VT_BSTR, s ? SysAllocString(s) : nullptr); }
inline VARIANT VarEmpty() { return Typed(VT_EMPTY, 0); }
inline VARIANT VarMissing() { return Typed(VT_ERROR, DISP_E_PARAMNOTFOUND); }  // an omitted optional argument
// By reference, as script hosts and typed clients pass outputs.
inline VARIANT Ref(VARTYPE vt, void* p) { return Typed(VT_BYREF | vt, p); }

// One dimension from `lower`; variants and strings are copied in.
SAFEARRAY* MakeLongArray(std::initializer_list<LONG> values, LONG lower = 1);
SAFEARRAY* MakeDateArray(std::initializer_list<DATE> values, LONG lower = 1);
SAFEARRAY* MakeBstrArray(std::initializer_list<const wchar_t*> values, LONG lower = 1);
SAFEARRAY* MakeVariantArray(std::initializer_list<VARIANT> values, LONG lower = 1);
inline std::pair<LONG, LONG> BoundsOf(SAFEARRAY* array) {
    LONG lower = -1, upper = -1;
    SafeArrayGetLBound(array, 1, &lower);
    SafeArrayGetUBound(array, 1, &upper);
    return {lower, upper};
}
inline LONG LongAt(SAFEARRAY* array, LONG index) {
    LONG value = 0;
    SafeArrayGetElement(array, &index, &value);
    return value;
}
inline HRESULT VariantAt(SAFEARRAY* array, LONG index, VARIANT* out) {
    VariantClear(out);
    return SafeArrayGetElement(array, &index, out);
}

// Times as clients pass them: texts the historian resolves, which a
// successful request turns into dates.
inline UniqueVariant Text(const wchar_t* s) { return UniqueVariant(VarBstr(s)); }
struct TimeRange {
    explicit TimeRange(const wchar_t* start = L"NOW-10M", const wchar_t* end = L"NOW")
        : start(Text(start)), end(Text(end)) {}
    UniqueVariant start, end;
};
DATE LocalNow();
inline constexpr double kHour = 1.0 / 24;
inline constexpr double kSecond = 1.0 / 86400;

// A multithreaded apartment; at its end every object of the library is released.
class ComTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
};

}  // namespace comtest
