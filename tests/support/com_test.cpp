#include "com_test.h"

#include <cstdio>

namespace comtest {

namespace {
// Output to a pipe is buffered: a test process that crashes would take its
// last lines with it, and ctest would show a failure without a word.
const bool g_unbuffered = [] {
    setvbuf(stdout, nullptr, _IONBF, 0);
    setvbuf(stderr, nullptr, _IONBF, 0);
    return true;
}();
}  // namespace

HRESULT LibraryCanUnloadNow() {
    HMODULE library = GetModuleHandleW(L"OPCHDAAuto.dll");
    if (!library) return E_UNEXPECTED;
    using CanUnloadFn = HRESULT(STDAPICALLTYPE*)();
    auto canUnload = reinterpret_cast<CanUnloadFn>(reinterpret_cast<void*>(GetProcAddress(library, "DllCanUnloadNow")));
    return canUnload ? canUnload() : E_UNEXPECTED;
}

HRESULT CreateServer(ComPtr<IOPCHDAAutoServer>& server) {
    CLSID clsid;
    HRESULT hr = CLSIDFromProgID(kProgID, &clsid);
    if (FAILED(hr)) return hr;
    return CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IOPCHDAAutoServer, server.put_void());
}

HRESULT InvokeByName(IDispatch* object, const wchar_t* name, WORD flags, std::vector<VARIANT> args, VARIANT* result) {
    DISPID id = 0;
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    HRESULT hr = object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
    if (SUCCEEDED(hr)) {
        std::vector<VARIANT> reversed(args.rbegin(), args.rend());
        DISPPARAMS params{reversed.empty() ? nullptr : reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};
        DISPID named = DISPID_PROPERTYPUT;
        if (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) {
            params.rgdispidNamedArgs = &named;
            params.cNamedArgs = 1;
        }
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

namespace {
VARIANT Typed(VARTYPE vt) {
    VARIANT r;
    VariantInit(&r);
    r.vt = vt;
    return r;
}
}  // namespace

VARIANT VarI4(LONG v) {
    VARIANT r = Typed(VT_I4);
    r.lVal = v;
    return r;
}
VARIANT VarR8(double v) {
    VARIANT r = Typed(VT_R8);
    r.dblVal = v;
    return r;
}
VARIANT VarDate(DATE v) {
    VARIANT r = Typed(VT_DATE);
    r.date = v;
    return r;
}
VARIANT VarBstr(const wchar_t* s) {
    VARIANT r = Typed(VT_BSTR);
    r.bstrVal = s ? SysAllocString(s) : nullptr;
    return r;
}
VARIANT VarEmpty() { return Typed(VT_EMPTY); }
VARIANT VarMissing() {
    VARIANT r = Typed(VT_ERROR);
    r.scode = DISP_E_PARAMNOTFOUND;
    return r;
}

namespace {
template <class T>
SAFEARRAY* MakeArray(VARTYPE vt, std::initializer_list<T> values, LONG lower) {
    SAFEARRAYBOUND bound{static_cast<ULONG>(values.size()), lower};
    SAFEARRAY* array = SafeArrayCreate(vt, 1, &bound);
    LONG index = lower;
    for (const T& v : values) {
        SafeArrayPutElement(array, &index, const_cast<void*>(static_cast<const void*>(&v)));
        ++index;
    }
    return array;
}
}  // namespace

SAFEARRAY* MakeLongArray(std::initializer_list<LONG> values, LONG lower) { return MakeArray(VT_I4, values, lower); }
SAFEARRAY* MakeDateArray(std::initializer_list<DATE> values, LONG lower) { return MakeArray(VT_DATE, values, lower); }
SAFEARRAY* MakeVariantArray(std::initializer_list<VARIANT> values, LONG lower) {
    return MakeArray(VT_VARIANT, values, lower);
}

SAFEARRAY* MakeBstrArray(std::initializer_list<const wchar_t*> values, LONG lower) {
    SAFEARRAYBOUND bound{static_cast<ULONG>(values.size()), lower};
    SAFEARRAY* array = SafeArrayCreate(VT_BSTR, 1, &bound);
    LONG index = lower;
    for (const wchar_t* v : values) {
        UniqueBstr copy(v);
        SafeArrayPutElement(array, &index, copy.get());  // stores its own copy
        ++index;
    }
    return array;
}

UniqueVariant Text(const wchar_t* s) { return UniqueVariant(VarBstr(s)); }

DATE LocalNow() {
    SYSTEMTIME now;
    GetLocalTime(&now);
    DATE date = 0;
    SystemTimeToVariantTime(&now, &date);
    return date;
}

VARIANT Ref(VARTYPE vt, void* p) {
    VARIANT v = Typed(VT_BYREF | vt);
    v.byref = p;
    return v;
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

void ComTest::SetUp() { ASSERT_HRESULT_SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)); }

void ComTest::TearDown() {
    if (checkUnload_) {
        HRESULT hr = LibraryCanUnloadNow();
        if (hr != E_UNEXPECTED) EXPECT_EQ(hr, S_OK) << "an object of the library is still alive";
    }
    CoUninitialize();
}

void StaComTest::SetUp() { ASSERT_HRESULT_SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)); }

}  // namespace comtest
