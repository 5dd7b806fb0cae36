#include "com_test.h"

#include <cstdio>
#include <type_traits>

namespace comtest {

namespace {
// Output to a pipe is buffered: a test process that crashes would take its
// last lines with it, and ctest would show a failure without a word.
const bool g_unbuffered = [] {
    setvbuf(stdout, nullptr, _IONBF, 0);
    setvbuf(stderr, nullptr, _IONBF, 0);
    return true;
}();

template <class Fill>
VARIANT Typed(VARTYPE vt, Fill fill) {
    VARIANT r;
    VariantInit(&r);
    r.vt = vt;
    fill(r);
    return r;
}

template <class T>
SAFEARRAY* MakeArray(VARTYPE vt, std::initializer_list<T> values, LONG lower) {
    SAFEARRAYBOUND bound{static_cast<ULONG>(values.size()), lower};
    SAFEARRAY* array = SafeArrayCreate(vt, 1, &bound);
    LONG index = lower;
    for (const T& v : values) {  // the array stores its own copy
        if constexpr (std::is_same_v<T, const wchar_t*>) {
            SafeArrayPutElement(array, &index, UniqueBstr(v).get());
        } else {
            SafeArrayPutElement(array, &index, const_cast<T*>(&v));
        }
        ++index;
    }
    return array;
}
}  // namespace

HRESULT LibraryCanUnloadNow() {
    HMODULE library = GetModuleHandleW(L"OPCHDAAuto.dll");
    using CanUnloadFn = HRESULT(STDAPICALLTYPE*)();
    auto canUnload =
        library ? reinterpret_cast<CanUnloadFn>(reinterpret_cast<void*>(GetProcAddress(library, "DllCanUnloadNow")))
                : nullptr;
    return canUnload ? canUnload() : E_UNEXPECTED;
}

HRESULT CreateServer(ComPtr<IOPCHDAAutoServer>& server) {
    CLSID clsid;
    HRESULT hr = CLSIDFromProgID(L"OPCHDA.Automation", &clsid);
    if (FAILED(hr)) return hr;
    return CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IOPCHDAAutoServer, server.put_void());
}

HRESULT InvokeByName(IDispatch* object, const wchar_t* name, WORD flags, std::vector<VARIANT> args, VARIANT* result) {
    DISPID id = 0;
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    HRESULT hr = object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
    if (SUCCEEDED(hr)) {
        std::vector<VARIANT> reversed(args.rbegin(), args.rend());
        DISPID named = DISPID_PROPERTYPUT;
        const bool put = flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF);
        DISPPARAMS params{reversed.empty() ? nullptr : reversed.data(), put ? &named : nullptr,
                          static_cast<UINT>(reversed.size()), put ? 1u : 0u};
        hr = object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, result, nullptr, nullptr);
    }
    for (VARIANT& v : args) VariantClear(&v);
    return hr;
}

HRESULT GetProperty(IDispatch* object, const wchar_t* name, VARIANT* result) {
    return InvokeByName(object, name, DISPATCH_PROPERTYGET, {}, result);
}

HRESULT CallMethod(IDispatch* object, const wchar_t* name, std::vector<VARIANT> args, VARIANT* result) {
    UniqueVariant ignored;
    return InvokeByName(object, name, DISPATCH_METHOD, std::move(args), result ? result : ignored.get());
}

VARIANT VarI4(LONG v) {
    return Typed(VT_I4, [v](VARIANT& r) { r.lVal = v; });
}
VARIANT VarR8(double v) {
    return Typed(VT_R8, [v](VARIANT& r) { r.dblVal = v; });
}
VARIANT VarDate(DATE v) {
    return Typed(VT_DATE, [v](VARIANT& r) { r.date = v; });
}
VARIANT VarBstr(const wchar_t* s) {
    return Typed(VT_BSTR, [s](VARIANT& r) { r.bstrVal = s ? SysAllocString(s) : nullptr; });
}
VARIANT VarEmpty() {
    return Typed(VT_EMPTY, [](VARIANT&) {});
}
VARIANT VarMissing() {
    return Typed(VT_ERROR, [](VARIANT& r) { r.scode = DISP_E_PARAMNOTFOUND; });
}
VARIANT Ref(VARTYPE vt, void* p) {
    return Typed(VT_BYREF | vt, [p](VARIANT& r) { r.byref = p; });
}

SAFEARRAY* MakeLongArray(std::initializer_list<LONG> values, LONG lower) { return MakeArray(VT_I4, values, lower); }
SAFEARRAY* MakeDateArray(std::initializer_list<DATE> values, LONG lower) { return MakeArray(VT_DATE, values, lower); }
SAFEARRAY* MakeBstrArray(std::initializer_list<const wchar_t*> values, LONG lower) {
    return MakeArray(VT_BSTR, values, lower);
}
SAFEARRAY* MakeVariantArray(std::initializer_list<VARIANT> values, LONG lower) {
    return MakeArray(VT_VARIANT, values, lower);
}

std::pair<LONG, LONG> BoundsOf(SAFEARRAY* array) {
    LONG lower = -1, upper = -1;
    SafeArrayGetLBound(array, 1, &lower);
    SafeArrayGetUBound(array, 1, &upper);
    return {lower, upper};
}

LONG LongAt(SAFEARRAY* array, LONG index) {
    LONG value = 0;
    SafeArrayGetElement(array, &index, &value);
    return value;
}

HRESULT VariantAt(SAFEARRAY* array, LONG index, VARIANT* out) {
    VariantClear(out);
    return SafeArrayGetElement(array, &index, out);
}

UniqueVariant Text(const wchar_t* s) { return UniqueVariant(VarBstr(s)); }

DATE LocalNow() {
    SYSTEMTIME now;
    GetLocalTime(&now);
    DATE date = 0;
    SystemTimeToVariantTime(&now, &date);
    return date;
}

void ComTest::SetUp() { ASSERT_HRESULT_SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)); }

void ComTest::TearDown() {
    HRESULT hr = LibraryCanUnloadNow();
    EXPECT_TRUE(hr == S_OK || hr == E_UNEXPECTED) << "an object of the library is still alive";
    CoUninitialize();
}

}  // namespace comtest
