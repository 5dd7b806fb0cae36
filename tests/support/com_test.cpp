#include "com_test.h"

#include <cstdio>
#include <type_traits>

namespace comtest {

namespace {
// Unbuffered: a test process that crashes would take its last lines with it.
const bool g_unbuffered = [] {
    setvbuf(stdout, nullptr, _IONBF, 0);
    setvbuf(stderr, nullptr, _IONBF, 0);
    return true;
}();

template <class T>
SAFEARRAY* MakeArray(VARTYPE vt, std::initializer_list<T> values, LONG lower) {
    SAFEARRAYBOUND bound{static_cast<ULONG>(values.size()), lower};
    SAFEARRAY* array = SafeArrayCreate(vt, 1, &bound);
    LONG index = lower;
    for (const T& v : values) {  // the array stores its own copy
        UniqueBstr text;
        if constexpr (std::is_same_v<T, const wchar_t*>) text.reset(SysAllocString(v));
        SafeArrayPutElement(array, &index, text ? static_cast<void*>(text.get()) : const_cast<T*>(&v));
        ++index;
    }
    return array;
}
}  // namespace

HRESULT LibraryCanUnloadNow() {
    auto canUnload = LibraryExport<HRESULT STDAPICALLTYPE()>("DllCanUnloadNow");
    return canUnload ? canUnload() : E_UNEXPECTED;
}

bool WaitUntil(const std::function<bool()>& done, DWORD ms) {
    static const HANDLE never = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    for (DWORD start = GetTickCount(), index = 0; !done(); CoWaitForMultipleHandles(0, 20, 1, const_cast<HANDLE*>(&never), &index))
        if (GetTickCount() - start > ms) return false;
    return true;
}

HRESULT WaitUntilUnloadable(DWORD ms) {
    WaitUntil([] { return LibraryCanUnloadNow() != S_FALSE; }, ms);
    return LibraryCanUnloadNow();
}

HRESULT CreateServer(ComPtr<IOPCHDAAutoServer>& server) {
    CLSID clsid;
    HRESULT hr = CLSIDFromProgID(L"OPCHDA.Automation", &clsid);
    return FAILED(hr)
               ? hr
               : CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IOPCHDAAutoServer, server.put_void());
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

SAFEARRAY* MakeLongArray(std::initializer_list<LONG> values, LONG lower) { return MakeArray(VT_I4, values, lower); }
SAFEARRAY* MakeDateArray(std::initializer_list<DATE> values, LONG lower) { return MakeArray(VT_DATE, values, lower); }
SAFEARRAY* MakeBstrArray(std::initializer_list<const wchar_t*> values, LONG lower) {
    return MakeArray(VT_BSTR, values, lower);
}
SAFEARRAY* MakeVariantArray(std::initializer_list<VARIANT> values, LONG lower) {
    return MakeArray(VT_VARIANT, values, lower);
}

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
