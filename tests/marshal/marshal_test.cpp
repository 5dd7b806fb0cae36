// Round trips of the OPC custom interfaces through OPCHDAProxy.dll: one row per
// method, run once on the object itself and once through a proxy from another
// apartment. Both runs must give the same text (what the callee received, what
// the caller got back), and the proxied run must leave no task memory behind
// on the caller's side, nor (where the stub owns nothing) on the callee's.
#include <objbase.h>
#include <oleauto.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <type_traits>
#include <vector>

#include "history/historian_answers.h"
#include "module/com_holders.h"
#include "opc_hda.h"

// oleaut32 exports it; mingw-w64 does not declare it.
extern "C" void WINAPI SetOaNoCache(void);

namespace {

// ---- task memory, counted per allocating thread: Wine's stub keeps NDR's own
// copy of [in,out] structures and of in-arrays of structures, which is not the
// client's business.

class CountingSpy final : public IMallocSpy {
public:
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        *out = iid == IID_IUnknown || iid == IID_IMallocSpy ? this : nullptr;
        return *out ? S_OK : E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP_(SIZE_T) PreAlloc(SIZE_T cb) override { return cb; }
    STDMETHODIMP_(void*) PostAlloc(void* p) override { return Add(p); }
    STDMETHODIMP_(void*) PreFree(void* p, BOOL spyed) override { return spyed ? Remove(p) : p; }
    STDMETHODIMP_(void) PostFree(BOOL) override {}
    STDMETHODIMP_(SIZE_T)
    PreRealloc(void* p, SIZE_T cb, void** out, BOOL spyed) override {
        *out = spyed ? Remove(p) : p;
        return cb;
    }
    STDMETHODIMP_(void*) PostRealloc(void* p, BOOL) override { return Add(p); }
    STDMETHODIMP_(void*) PreGetSize(void* p, BOOL) override { return p; }
    STDMETHODIMP_(SIZE_T) PostGetSize(SIZE_T cb, BOOL) override { return cb; }
    STDMETHODIMP_(void*) PreDidAlloc(void* p, BOOL) override { return p; }
    STDMETHODIMP_(int) PostDidAlloc(void*, BOOL, int actual) override { return actual; }
    STDMETHODIMP_(void) PreHeapMinimize() override {}
    STDMETHODIMP_(void) PostHeapMinimize() override {}

    LONG Outstanding(DWORD thread) {
        std::lock_guard<std::mutex> lock(mutex_);
        LONG n = 0;
        for (const auto& [block, owner] : live_) n += owner == thread;
        return n;
    }

    // Off once the tests are over: a thread that the process exit ends while it
    // holds the lock must not stall a later allocation.
    void Stop() { stopped_ = true; }

private:
    void* Add(void* p) {
        if (stopped_) return p;
        std::lock_guard<std::mutex> lock(mutex_);
        if (p) live_[p] = GetCurrentThreadId();
        return p;
    }
    void* Remove(void* p) {
        if (stopped_) return p;
        std::lock_guard<std::mutex> lock(mutex_);
        live_.erase(p);
        return p;
    }
    std::atomic<bool> stopped_{false};
    std::mutex mutex_;
    std::map<void*, DWORD> live_;
};

// Never destroyed: the runtime may still call the spy after static destructors.
CountingSpy& g_spy = *new CountingSpy;

// The test thread is in the MTA; the objects under test live in an STA. The
// proxy/stub is the one the prefix has registered: this build's.
class MarshalEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
        SetOaNoCache();  // BSTRs freed into oleaut32's cache would look like leaks
        ASSERT_EQ(CoRegisterMallocSpy(&g_spy), S_OK);
    }
    void TearDown() override {
        g_spy.Stop();
        CoRevokeMallocSpy();
        CoUninitialize();
    }
};
[[maybe_unused]] ::testing::Environment* const g_env = ::testing::AddGlobalTestEnvironment(new MarshalEnvironment);

// ---- text of what crossed

template <class T>
requires std::is_arithmetic_v<T> || std::is_enum_v<T> std::wstring S(T v) {
    return std::to_wstring(static_cast<long long>(v));
}
std::wstring S(const wchar_t* s) { return s ? L"\"" + std::wstring(s) + L"\"" : L"null"; }
std::wstring S(const FILETIME& t) { return S(t.dwHighDateTime) + L":" + S(t.dwLowDateTime); }
std::wstring S(const GUID& g) {
    wchar_t text[40];
    StringFromGUID2(g, text, 40);
    return text;
}
std::wstring S(const OPCHDA_TIME& t) { return L"{" + S(t.bString) + L"," + S(t.szTime) + L"," + S(t.ftTime) + L"}"; }
// Variants travel by the platform's own marshaler: a number and a text are enough
// to see that each element arrived in its place.
std::wstring S(const VARIANT& v) {
    return V_VT(&v) == VT_BSTR ? S(V_BSTR(&v)) : V_VT(&v) == VT_R8 ? std::to_wstring(V_R8(&v)) : L"vt" + S(V_VT(&v));
}
std::wstring S(const OPCHDA_ITEM& i);
std::wstring S(const OPCHDA_MODIFIEDITEM& i);
std::wstring S(const OPCHDA_ATTRIBUTE& a);
std::wstring S(const OPCHDA_ANNOTATION& a);
std::wstring S(const OPCHDA_ITEM* p);
template <class T>
std::wstring S(const T* p, DWORD n) {
    if (!p) return L"null";
    std::wstring s = L"[";
    for (DWORD i = 0; i < n; ++i) s += S(p[i]) + L";";
    return s + L"]";
}
std::wstring S(const OPCHDA_ITEM& i) {
    return L"item{" + S(i.hClient) + L"," + S(i.haAggregate) + L"," + S(i.dwCount) + S(i.pftTimeStamps, i.dwCount) +
           S(i.pdwQualities, i.dwCount) + S(i.pvDataValues, i.dwCount) + L"}";
}
std::wstring S(const OPCHDA_MODIFIEDITEM& i) {
    return L"modified{" + S(i.hClient) + L"," + S(i.dwCount) + S(i.pftTimeStamps, i.dwCount) +
           S(i.pdwQualities, i.dwCount) + S(i.pvDataValues, i.dwCount) + S(i.pftModificationTime, i.dwCount) +
           S(i.pEditType, i.dwCount) + S(i.szUser, i.dwCount) + L"}";
}
std::wstring S(const OPCHDA_ATTRIBUTE& a) {
    return L"attribute{" + S(a.hClient) + L"," + S(a.dwNumValues) + L"," + S(a.dwAttributeID) +
           S(a.ftTimeStamps, a.dwNumValues) + S(a.vAttributeValues, a.dwNumValues) + L"}";
}
std::wstring S(const OPCHDA_ANNOTATION& a) {
    return L"annotation{" + S(a.hClient) + L"," + S(a.dwNumValues) + S(a.ftTimeStamps, a.dwNumValues) +
           S(a.szAnnotation, a.dwNumValues) + S(a.ftAnnotationTime, a.dwNumValues) + S(a.szUser, a.dwNumValues) + L"}";
}
std::wstring S(const OPCHDA_ITEM* p) { return p ? S(*p) : L"null"; }

// What the callee received, in order.
std::wstring g_log;
template <class... A>
void Log(const wchar_t* method, const A&... args) {
    g_log += method;
    ((g_log += L" " + args), ...);
    g_log += L"\n";
}
// What the caller got back; each output is freed as the product frees it.
template <class T>
std::wstring Take(T* p, DWORD n) {
    std::wstring s = S(p, n);
    if constexpr (std::is_same_v<T, LPWSTR>)
        for (DWORD i = 0; p && i < n; ++i) CoTaskMemFree(p[i]);
    else if constexpr (std::is_class_v<T> && !std::is_same_v<T, FILETIME>)
        for (DWORD i = 0; p && i < n; ++i) ClearHistorianAnswer(p[i]);
    CoTaskMemFree(p);
    return s;
}
std::wstring Take(LPWSTR s) {
    std::wstring text = S(s);
    CoTaskMemFree(s);
    return text;
}

// ---- what a historian hands out: task memory, deterministic content

template <class T, class F>
T* Fill(DWORD n, F f) {
    T* p = n ? static_cast<T*>(CoTaskMemAlloc(n * sizeof(T))) : nullptr;
    for (DWORD i = 0; i < n; ++i) p[i] = f(i);
    return p;
}
LPWSTR TaskString(const std::wstring& s) {
    return Fill<wchar_t>(static_cast<DWORD>(s.size() + 1), [&](DWORD i) { return s.c_str()[i]; });
}
FILETIME Ft(ULONGLONG v) { return {static_cast<DWORD>(v), static_cast<DWORD>(v >> 32)}; }
FILETIME Stamp(DWORD h, DWORD i) { return Ft(132000000000000000ULL + h * 1000000000ULL + i * 10000000ULL + 1); }
// A double or a text beyond ASCII.
VARIANT Value(DWORD k) {
    VARIANT v;
    VariantInit(&v);
    if (k % 2) V_VT(&v) = VT_BSTR, V_BSTR(&v) = SysAllocString((L"text \u00e9\u4e2d " + S(k)).c_str());
    if (k % 2 == 0) V_VT(&v) = VT_R8, V_R8(&v) = k + 0.25;
    return v;
}
// Handle 7 is unknown: it fails and carries no values.
DWORD Count(DWORD h) { return h == 7 ? 0 : 2 + h % 3; }
HRESULT* Codes(DWORD n, const DWORD* h) {
    return Fill<HRESULT>(n, [&](DWORD i) {
        return h[i] == 7 ? OPC_E_INVALIDHANDLE : h[i] % 2 ? OPCHDA_S_MOREDATA : S_OK;
    });
}
OPCHDA_ITEM Item(DWORD h) {
    OPCHDA_ITEM r{};
    r.hClient = h + 1000;
    r.haAggregate = h % 25;
    r.dwCount = Count(h);
    r.pftTimeStamps = Fill<FILETIME>(r.dwCount, [&](DWORD i) { return Stamp(h, i); });
    r.pdwQualities = Fill<DWORD>(r.dwCount, [&](DWORD i) { return OPCHDA_RAW | 0xC0 | i; });
    r.pvDataValues = Fill<VARIANT>(r.dwCount, [&](DWORD i) { return Value(h + i); });
    return r;
}
OPCHDA_MODIFIEDITEM Modified(DWORD h) {
    OPCHDA_MODIFIEDITEM r{};
    r.hClient = h + 2000;
    r.dwCount = Count(h);
    r.pftTimeStamps = Fill<FILETIME>(r.dwCount, [&](DWORD i) { return Stamp(h, i); });
    r.pdwQualities = Fill<DWORD>(r.dwCount, [&](DWORD i) { return OPCHDA_CALCULATED | i; });
    r.pvDataValues = Fill<VARIANT>(r.dwCount, [&](DWORD i) { return Value(h + i); });
    r.pftModificationTime = Fill<FILETIME>(r.dwCount, [&](DWORD i) { return Stamp(h + 1, i); });
    r.pEditType =
        Fill<OPCHDA_EDITTYPE>(r.dwCount, [&](DWORD i) { return static_cast<OPCHDA_EDITTYPE>(1 + (h + i) % 4); });
    r.szUser = Fill<LPWSTR>(r.dwCount, [&](DWORD i) { return TaskString(L"user" + S(h) + L"." + S(i)); });
    return r;
}
OPCHDA_ATTRIBUTE Attribute(DWORD h, DWORD id) {
    OPCHDA_ATTRIBUTE r{};
    r.hClient = h;
    r.dwAttributeID = id;
    r.dwNumValues = id > 19 ? 0 : 1 + id % 3;
    r.ftTimeStamps = Fill<FILETIME>(r.dwNumValues, [&](DWORD i) { return Stamp(id, i); });
    r.vAttributeValues = Fill<VARIANT>(r.dwNumValues, [&](DWORD i) { return Value(id + i); });
    return r;
}
OPCHDA_ANNOTATION Annotation(DWORD h) {
    OPCHDA_ANNOTATION r{};
    r.hClient = h + 3000;
    r.dwNumValues = Count(h);
    r.ftTimeStamps = Fill<FILETIME>(r.dwNumValues, [&](DWORD i) { return Stamp(h, i); });
    r.szAnnotation = Fill<LPWSTR>(r.dwNumValues, [&](DWORD i) { return TaskString(L"note \u00fc " + S(h * 10 + i)); });
    r.ftAnnotationTime = Fill<FILETIME>(r.dwNumValues, [&](DWORD i) { return Stamp(h + 2, i); });
    r.szUser = Fill<LPWSTR>(r.dwNumValues, [&](DWORD i) { return TaskString(i % 2 ? L"" : L"operator"); });
    return r;
}

// ---- the objects

template <class First, class... Rest>
class Fake : public First, public Rest... {
public:
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        *out = nullptr;
        if (iid == IID_IUnknown || iid == __uuidof(First)) *out = static_cast<First*>(this);
        (void)((iid == __uuidof(Rest) && (*out = static_cast<Rest*>(this))) || ...);
        if (!*out) return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return InterlockedIncrement(&refs_); }
    STDMETHODIMP_(ULONG) Release() override {
        const ULONG n = InterlockedDecrement(&refs_);
        if (!n) delete this;
        return n;
    }
    virtual ~Fake() = default;

private:
    LONG refs_ = 1;
};

#define NOT_USED(...) \
    STDMETHODIMP __VA_ARGS__ override { return E_NOTIMPL; }

class Browser final : public Fake<IOPCHDA_Browser> {
public:
    NOT_USED(GetEnum(OPCHDA_BROWSETYPE, LPENUMSTRING*))
    STDMETHODIMP ChangeBrowsePosition(OPCHDA_BROWSEDIRECTION direction, LPCWSTR s) override {
        Log(L"ChangeBrowsePosition", S(direction), S(s));
        return direction == OPCHDA_BROWSE_DOWN ? S_OK : E_FAIL;
    }
    STDMETHODIMP GetItemID(LPCWSTR node, LPWSTR* id) override {
        Log(L"GetItemID", S(node));
        *id = TaskString(L"Plant.Area1." + std::wstring(node));
        return S_OK;
    }
    STDMETHODIMP GetBranchPosition(LPWSTR* position) override {
        *position = TaskString(L"Plant.Area \u00df1");
        return S_OK;
    }
};

class Historian final
    : public Fake<IOPCHDA_Server, IOPCCommon, IOPCServerList, IOPCHDA_SyncRead, IOPCHDA_SyncAnnotations> {
public:
    STDMETHODIMP GetItemAttributes(DWORD* n, DWORD** ids, LPWSTR** names, LPWSTR** descs, VARTYPE** types) override {
        *n = 3;
        *ids = Fill<DWORD>(3, [](DWORD i) { return i + 1; });
        *names = Fill<LPWSTR>(3, [](DWORD i) { return TaskString(L"Name \u00e4" + S(i)); });
        *descs = Fill<LPWSTR>(3, [](DWORD i) { return TaskString(i ? L"Description" : L""); });
        *types = Fill<VARTYPE>(3, [](DWORD i) { return static_cast<VARTYPE>(VT_I2 + i); });
        return S_OK;
    }
    STDMETHODIMP GetAggregates(DWORD* n, DWORD** ids, LPWSTR** names, LPWSTR** descs) override {
        *n = 0;  // a historian without aggregates hands out null arrays
        *ids = nullptr, *names = nullptr, *descs = nullptr;
        return S_OK;
    }
    STDMETHODIMP GetHistorianStatus(OPCHDA_SERVERSTATUS* status, FILETIME** now, FILETIME** start, WORD* major,
                                    WORD* minor, WORD* build, DWORD* maxValues, LPWSTR* text, LPWSTR* vendor) override {
        *status = OPCHDA_INDETERMINATE;
        *now = Fill<FILETIME>(1, [](DWORD) { return Ft(0x01DA000012345678ULL); });
        *start = nullptr;  // optional: some historians do not report it
        *major = 1, *minor = 20, *build = 300, *maxValues = 4000;
        *text = TaskString(L"Running");
        *vendor = TaskString(L"Fake Historian \u2122");
        return S_OK;
    }
    STDMETHODIMP GetItemHandles(DWORD n, LPWSTR* ids, OPCHANDLE* clients, OPCHANDLE** servers,
                                HRESULT** errors) override {
        Log(L"GetItemHandles", S(ids, n), S(clients, n));
        *servers = Fill<OPCHANDLE>(n, [](DWORD i) { return 100 + i; });
        *errors = Codes(n, clients);
        return S_FALSE;
    }
    NOT_USED(ReleaseItemHandles(DWORD, OPCHANDLE*, HRESULT**))
    NOT_USED(ValidateItemIDs(DWORD, LPWSTR*, HRESULT**))
    STDMETHODIMP CreateBrowse(DWORD n, DWORD* attributes, OPCHDA_OPERATORCODES* operators, VARIANT* filters,
                              IOPCHDA_Browser** browser, HRESULT** errors) override {
        Log(L"CreateBrowse", S(attributes, n), S(operators, n), S(filters, n));
        *browser = new Browser;
        *errors = Codes(n, attributes);
        return S_FALSE;
    }

    NOT_USED(SetLocaleID(LCID))
    NOT_USED(GetLocaleID(LCID*))
    STDMETHODIMP QueryAvailableLocaleIDs(DWORD* n, LCID** lcids) override {
        *n = 2;
        *lcids = Fill<LCID>(2, [](DWORD i) { return 0x0409u - 2 * i; });
        return S_OK;
    }
    STDMETHODIMP GetErrorString(HRESULT hr, LPWSTR* text) override {
        Log(L"GetErrorString", S(hr));
        *text = hr == OPCHDA_E_MAXEXCEEDED ? TaskString(L"Maximum exceeded") : nullptr;
        return *text ? S_OK : E_INVALIDARG;
    }
    STDMETHODIMP SetClientName(LPCWSTR name) override {
        Log(L"SetClientName", S(name));
        return S_OK;
    }

    NOT_USED(EnumClassesOfCategories(ULONG, CATID*, ULONG, CATID*, IEnumGUID**))
    STDMETHODIMP GetClassDetails(REFCLSID clsid, LPOLESTR* progid, LPOLESTR* userType) override {
        Log(L"GetClassDetails", S(clsid));
        const bool known = IsEqualGUID(clsid, CLSID_OpcServerList);
        *progid = known ? TaskString(L"Vendor.Historian.1") : nullptr;
        *userType = known ? TaskString(L"Vendor Historian") : nullptr;
        return known ? S_OK : REGDB_E_CLASSNOTREG;
    }
    NOT_USED(CLSIDFromProgID(LPCOLESTR, LPCLSID))

    // A historian resolves both bounds and reports them back.
    template <class T, class F>
    static HRESULT Answer(OPCHDA_TIME* start, OPCHDA_TIME* end, DWORD n, const DWORD* h, T** items, HRESULT** errors,
                          F make) {
        start->ftTime = Ft(0x01D0000011111111ULL);
        end->ftTime = Ft(0x01D0000022222222ULL);
        *items = Fill<T>(n, [&](DWORD i) { return make(h[i]); });
        *errors = Codes(n, h);
        return S_FALSE;
    }
    STDMETHODIMP ReadRaw(OPCHDA_TIME* start, OPCHDA_TIME* end, DWORD numValues, BOOL bounds, DWORD n, OPCHANDLE* h,
                         OPCHDA_ITEM** items, HRESULT** errors) override {
        Log(L"ReadRaw", S(*start), S(*end), S(numValues), S(bounds), S(h, n));
        return Answer(start, end, n, h, items, errors, Item);
    }
    NOT_USED(ReadProcessed(OPCHDA_TIME*, OPCHDA_TIME*, FILETIME, DWORD, OPCHANDLE*, DWORD*, OPCHDA_ITEM**, HRESULT**))
    NOT_USED(ReadAtTime(DWORD, FILETIME*, DWORD, OPCHANDLE*, OPCHDA_ITEM**, HRESULT**))
    STDMETHODIMP ReadModified(OPCHDA_TIME* start, OPCHDA_TIME* end, DWORD numValues, DWORD n, OPCHANDLE* h,
                              OPCHDA_MODIFIEDITEM** items, HRESULT** errors) override {
        Log(L"ReadModified", S(*start), S(*end), S(numValues), S(h, n));
        return Answer(start, end, n, h, items, errors, Modified);
    }
    STDMETHODIMP ReadAttribute(OPCHDA_TIME* start, OPCHDA_TIME* end, OPCHANDLE h, DWORD n, DWORD* ids,
                               OPCHDA_ATTRIBUTE** items, HRESULT** errors) override {
        Log(L"ReadAttribute", S(*start), S(*end), S(h), S(ids, n));
        return Answer(start, end, n, ids, items, errors, [&](DWORD id) { return Attribute(h, id); });
    }

    NOT_USED(QueryCapabilities(OPCHDA_ANNOTATIONCAPABILITIES*))
    STDMETHODIMP Read(OPCHDA_TIME* start, OPCHDA_TIME* end, DWORD n, OPCHANDLE* h, OPCHDA_ANNOTATION** items,
                      HRESULT** errors) override {
        Log(L"Read", S(*start), S(*end), S(h, n));
        return Answer(start, end, n, h, items, errors, Annotation);
    }
    STDMETHODIMP Insert(DWORD n, OPCHANDLE* h, FILETIME* stamps, OPCHDA_ANNOTATION* items, HRESULT** errors) override {
        Log(L"Insert", S(h, n), S(stamps, n), S(items, n));
        *errors = Codes(n, h);
        return S_FALSE;
    }
};

class Sink final : public Fake<IOPCHDA_DataCallback, IOPCShutdown> {
public:
    STDMETHODIMP OnDataChange(DWORD id, HRESULT status, DWORD n, OPCHDA_ITEM* items, HRESULT* errors) override {
        return Log(L"OnDataChange", S(id), S(status), S(items, n), S(errors, n)), S_OK;
    }
    STDMETHODIMP OnReadComplete(DWORD id, HRESULT status, DWORD n, OPCHDA_ITEM* items, HRESULT* errors) override {
        return Log(L"OnReadComplete", S(id), S(status), S(items, n), S(errors, n)), S_OK;
    }
    STDMETHODIMP OnReadModifiedComplete(DWORD id, HRESULT status, DWORD n, OPCHDA_MODIFIEDITEM* items,
                                        HRESULT* errors) override {
        return Log(L"OnReadModifiedComplete", S(id), S(status), S(items, n), S(errors, n)), S_OK;
    }
    STDMETHODIMP OnReadAttributeComplete(DWORD id, HRESULT status, OPCHANDLE client, DWORD n, OPCHDA_ATTRIBUTE* items,
                                         HRESULT* errors) override {
        return Log(L"OnReadAttributeComplete", S(id), S(status), S(client), S(items, n), S(errors, n)), S_OK;
    }
    STDMETHODIMP OnReadAnnotations(DWORD id, HRESULT status, DWORD n, OPCHDA_ANNOTATION* items,
                                   HRESULT* errors) override {
        return Log(L"OnReadAnnotations", S(id), S(status), S(items, n), S(errors, n)), S_OK;
    }
    STDMETHODIMP OnInsertAnnotations(DWORD id, HRESULT status, DWORD n, OPCHANDLE* clients, HRESULT* errors) override {
        return Log(L"OnInsertAnnotations", S(id), S(status), S(clients, n), S(errors, n)), S_OK;
    }
    STDMETHODIMP OnPlayback(DWORD id, HRESULT status, DWORD n, OPCHDA_ITEM** items, HRESULT* errors) override {
        return Log(L"OnPlayback", S(id), S(status), S(items, n), S(errors, n)), S_OK;
    }
    STDMETHODIMP OnUpdateComplete(DWORD id, HRESULT status, DWORD n, OPCHANDLE* clients, HRESULT* errors) override {
        return Log(L"OnUpdateComplete", S(id), S(status), S(clients, n), S(errors, n)), S_OK;
    }
    STDMETHODIMP OnCancelComplete(DWORD id) override { return Log(L"OnCancelComplete", S(id)), S_OK; }
    STDMETHODIMP ShutdownRequest(LPCWSTR reason) override { return Log(L"ShutdownRequest", S(reason)), S_OK; }
};

// ---- an object in a pumping STA of its own

class StaHost {
public:
    explicit StaHost(IUnknown* object) : object_(object) {
        ready_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        thread_ = CreateThread(nullptr, 0, &StaHost::Run, this, 0, &threadId_);
        WaitForSingleObject(ready_, 60000);
    }
    ~StaHost() {
        PostThreadMessageW(threadId_, WM_QUIT, 0, 0);
        WaitForSingleObject(thread_, 60000);
        CloseHandle(thread_);
        CloseHandle(ready_);
    }
    StaHost(const StaHost&) = delete;
    StaHost& operator=(const StaHost&) = delete;
    IUnknown* Proxy() {
        IUnknown* proxy = nullptr;
        EXPECT_EQ(CoGetInterfaceAndReleaseStream(stream_, IID_IUnknown, reinterpret_cast<void**>(&proxy)), S_OK);
        stream_ = nullptr;
        return proxy;
    }
    DWORD Thread() const { return threadId_; }

private:
    static DWORD WINAPI Run(void* p) {
        auto* self = static_cast<StaHost*>(p);
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        MSG msg;
        PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);  // the queue exists before anyone posts
        CoMarshalInterThreadInterfaceInStream(IID_IUnknown, self->object_, &self->stream_);
        SetEvent(self->ready_);
        while (GetMessageW(&msg, nullptr, 0, 0) > 0) DispatchMessageW(&msg);
        CoUninitialize();
        return 0;
    }
    IUnknown* object_;
    IStream* stream_ = nullptr;
    HANDLE ready_, thread_;
    DWORD threadId_ = 0;
};

template <class I>
ComPtr<I> Q(IUnknown* object) {
    ComPtr<I> p;
    EXPECT_EQ(object->QueryInterface(__uuidof(I), p.put_void()), S_OK);
    return p;
}

struct Row {
    const char* method;
    std::function<std::wstring(IUnknown*)> call;
    // Wine's stub keeps copies of [in,out] structures and in-arrays of
    // structures on the callee's side: there only the caller's side is counted.
    bool calleeCounted = true;
};

void Compare(IUnknown* object, const std::vector<Row>& rows) {
    StaHost host(object);
    IUnknown* proxy = host.Proxy();
    ASSERT_NE(proxy, nullptr);
    ASSERT_NE(proxy, object);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.method);
        g_log.clear();
        const std::wstring want = row.call(object) + L" <- " + g_log;
        row.call(proxy);  // the first call through an interface sets up the channel
        const LONG caller = g_spy.Outstanding(GetCurrentThreadId()), callee = g_spy.Outstanding(host.Thread());
        g_log.clear();
        const std::wstring got = row.call(proxy) + L" <- " + g_log;
        EXPECT_EQ(want, got);
        EXPECT_EQ(g_spy.Outstanding(GetCurrentThreadId()), caller) << "left behind on the caller's side";
        if (row.calleeCounted) {
            EXPECT_EQ(g_spy.Outstanding(host.Thread()), callee) << "left behind by the stub";
        }
    }
    proxy->Release();
}

// Appends in order: each call happens before what follows it reads its outputs.
struct Out {
    std::wstring text;
    Out& operator<<(const std::wstring& more) {
        text += more;
        return *this;
    }
};

std::wstring Hr(HRESULT hr) { return L"hr " + S(static_cast<ULONG>(hr)) + L" "; }

// Both time forms, as a client sends them; the text travels and comes back.
struct Times {
    wchar_t text[8] = L"NOW-1D";
    OPCHDA_TIME start{TRUE, text, Ft(5)}, end{FALSE, nullptr, Ft(0x01D00000AAAAAAAAULL)};
    std::wstring Back() const { return S(start) + S(end); }
};

TEST(Marshal, HistorianMembers) {
    auto* historian = new Historian;
    OPCHANDLE handles[] = {1, 7, 4};
    DWORD n = 0;
    HRESULT* errors = nullptr;
    const std::vector<Row> rows = {
        // The members that return a single string (our own glue around the
        // generated proxy; the browser's two are in the next row): nothing
        // stays behind on either side.
        {"single strings",
         [&](IUnknown* o) {
             OPCHDA_SERVERSTATUS status{};
             FILETIME *now = nullptr, *start = nullptr;
             WORD major = 0, minor = 0, build = 0;
             DWORD max = 0;
             LPWSTR text = nullptr, vendor = nullptr;
             Out s;
             s << Hr(Q<IOPCHDA_Server>(o)->GetHistorianStatus(&status, &now, &start, &major, &minor, &build, &max,
                                                              &text, &vendor));
             s << S(status) << Take(now, 1) << Take(start, 1) << S(major) << S(minor) << S(build) << S(max)
               << Take(text) << Take(vendor);
             auto common = Q<IOPCCommon>(o);
             s << Hr(common->GetErrorString(OPCHDA_E_MAXEXCEEDED, &text)) << Take(text);
             text = reinterpret_cast<LPWSTR>(1);  // a failing callee writes null: so must the proxy
             s << Hr(common->GetErrorString(E_FAIL, &text)) << (text ? L"not null" : L"null");
             LPOLESTR progid = nullptr, userType = nullptr;
             auto list = Q<IOPCServerList>(o);
             s << Hr(list->GetClassDetails(CLSID_NULL, &progid, &userType)) << S(progid) << S(userType);
             s << Hr(list->GetClassDetails(CLSID_OpcServerList, &progid, &userType)) << Take(progid) << Take(userType);
             return s.text;
         }},
        {"arrays and interfaces",
         [&](IUnknown* o) {
             auto server = Q<IOPCHDA_Server>(o);
             DWORD* ids = nullptr;
             LPWSTR *names = nullptr, *descs = nullptr;
             VARTYPE* types = nullptr;
             Out s;
             s << Hr(server->GetItemAttributes(&n, &ids, &names, &descs, &types));
             s << Take(ids, n) << Take(names, n) << Take(descs, n) << Take(types, n);
             s << Hr(server->GetAggregates(&n, &ids, &names, &descs)) << S(n) << Take(ids, n) << Take(names, n)
               << Take(descs, n);
             LPWSTR itemIds[] = {const_cast<LPWSTR>(L"Plant.Temp"), const_cast<LPWSTR>(L""),
                                 const_cast<LPWSTR>(L"Plant.\u00c4")};
             OPCHANDLE* servers = nullptr;
             s << Hr(server->GetItemHandles(3, itemIds, handles, &servers, &errors)) << Take(servers, 3)
               << Take(errors, 3);
             LCID* lcids = nullptr;
             s << Hr(Q<IOPCCommon>(o)->QueryAvailableLocaleIDs(&n, &lcids)) << Take(lcids, n);
             s << Hr(Q<IOPCCommon>(o)->SetClientName(L"OPC HDA Automation \u00e9"));

             DWORD attributes[] = {OPCHDA_ITEMID, 7};
             OPCHDA_OPERATORCODES operators[] = {OPCHDA_EQUAL, OPCHDA_NOTEQUAL};
             VARIANT filters[] = {Value(1), Value(3)};
             ComPtr<IOPCHDA_Browser> browser;
             s << Hr(server->CreateBrowse(2, attributes, operators, filters, browser.put(), &errors))
               << Take(errors, 2);
             for (VARIANT& v : filters) VariantClear(&v);
             if (!browser) return s.text;
             s << Hr(browser->ChangeBrowsePosition(OPCHDA_BROWSE_DOWN, L"Area1"))
               << Hr(browser->ChangeBrowsePosition(OPCHDA_BROWSE_UP, L""));
             LPWSTR text = nullptr;
             s << Hr(browser->GetBranchPosition(&text)) << Take(text);
             s << Hr(browser->GetItemID(L"Temp \u00e9", &text)) << Take(text);
             return s.text;
         },
         false},
        {"reads and annotations",
         [&](IUnknown* o) {
             auto read = Q<IOPCHDA_SyncRead>(o);
             Times t[4];
             OPCHDA_ITEM* items = nullptr;
             Out s;
             s << Hr(read->ReadRaw(&t[0].start, &t[0].end, 100, TRUE, 3, handles, &items, &errors));
             s << t[0].Back() << Take(items, 3) << Take(errors, 3);
             OPCHDA_MODIFIEDITEM* modified = nullptr;
             s << Hr(read->ReadModified(&t[1].start, &t[1].end, 0, 3, handles, &modified, &errors));
             s << t[1].Back() << Take(modified, 3) << Take(errors, 3);
             DWORD ids[] = {OPCHDA_DATA_TYPE, 99, OPCHDA_ENG_UNITS, OPCHDA_LOW_ENTRY_LIMIT};
             OPCHDA_ATTRIBUTE* attributes = nullptr;
             s << Hr(read->ReadAttribute(&t[2].start, &t[2].end, 42, 4, ids, &attributes, &errors));
             s << t[2].Back() << Take(attributes, 4) << Take(errors, 4);
             auto annotations = Q<IOPCHDA_SyncAnnotations>(o);
             OPCHDA_ANNOTATION* read_ = nullptr;
             s << Hr(annotations->Read(&t[3].start, &t[3].end, 3, handles, &read_, &errors));
             s << t[3].Back() << Take(read_, 3) << Take(errors, 3);
             OPCHDA_ANNOTATION in[] = {Annotation(10), Annotation(7), Annotation(11)};
             FILETIME stamps[] = {Ft(100), Ft(200), Ft(300)};
             s << Hr(annotations->Insert(3, handles, stamps, in, &errors)) << Take(errors, 3);
             for (auto& a : in) ClearHistorianAnswer(a);
             return s.text;
         },
         false},
    };
    Compare(static_cast<IOPCHDA_Server*>(historian), rows);
    historian->Release();
}

// The historian's calls into the client, as a scripting client's STA gets them.
TEST(Marshal, CallbackMembers) {
    auto* sink = new Sink;
    OPCHANDLE handles[] = {1, 7, 6};
    HRESULT errors[] = {S_OK, OPCHDA_S_NODATA, OPCHDA_E_DATAEXISTS};
    const std::vector<Row> rows = {
        {"results",
         [&](IUnknown* o) {
             OPCHDA_ITEM items[] = {Item(1), Item(7), Item(6)};
             OPCHDA_ITEM* slices[] = {&items[2], &items[0], nullptr};
             OPCHDA_MODIFIEDITEM modified[] = {Modified(1), Modified(7), Modified(6)};
             OPCHDA_ATTRIBUTE attributes[] = {Attribute(77, OPCHDA_DESCRIPTION), Attribute(77, 99)};
             OPCHDA_ANNOTATION annotations[] = {Annotation(1), Annotation(7), Annotation(6)};
             auto sink = Q<IOPCHDA_DataCallback>(o);
             Out s;
             s << Hr(sink->OnDataChange(11, S_OK, 3, items, errors))
               << Hr(sink->OnReadComplete(12, OPCHDA_S_MOREDATA, 3, items, errors))
               << Hr(sink->OnPlayback(13, S_OK, 3, slices, errors))
               << Hr(sink->OnReadModifiedComplete(14, S_FALSE, 3, modified, errors))
               << Hr(sink->OnReadAttributeComplete(15, S_OK, 77, 2, attributes, errors))
               << Hr(sink->OnReadAnnotations(16, S_OK, 3, annotations, errors));
             for (auto& i : items) ClearHistorianAnswer(i);
             for (auto& i : modified) ClearHistorianAnswer(i);
             for (auto& i : attributes) ClearHistorianAnswer(i);
             for (auto& i : annotations) ClearHistorianAnswer(i);
             return s.text;
         },
         false},
        {"completion notices and shutdown",
         [&](IUnknown* o) {
             auto sink = Q<IOPCHDA_DataCallback>(o);
             Out s;
             s << Hr(sink->OnInsertAnnotations(31, S_FALSE, 3, handles, errors))
               << Hr(sink->OnUpdateComplete(32, S_OK, 3, handles, errors)) << Hr(sink->OnCancelComplete(33))
               << Hr(Q<IOPCShutdown>(o)->ShutdownRequest(L"Historian stopping \u00e4"));
             return s.text;
         }},
    };
    Compare(static_cast<IOPCHDA_DataCallback*>(sink), rows);
    sink->Release();
}

// A null out pointer is refused by the proxy itself.
TEST(Marshal, NullOutPointerIsRefused) {
    auto* historian = new Historian;
    {
        StaHost host(static_cast<IOPCHDA_Server*>(historian));
        IUnknown* proxy = host.Proxy();
        EXPECT_EQ(Q<IOPCCommon>(proxy)->GetErrorString(OPCHDA_E_MAXEXCEEDED, nullptr),
                  HRESULT_FROM_WIN32(RPC_X_NULL_REF_POINTER));
        proxy->Release();
    }
    historian->Release();
}

// Both sides of every call share these constants, so no round trip would notice
// a wrong one; a real historian would. They are checked against the published values.
TEST(Marshal, OpcIdentifiersHaveThePublishedValues) {
    const std::pair<const GUID*, const wchar_t*> published[] = {
        {&IID_IOPCHDA_Server, L"{1F1217B0-DEE0-11D2-A5E5-000086339399}"},
        {&IID_IOPCHDA_Browser, L"{1F1217B1-DEE0-11D2-A5E5-000086339399}"},
        {&IID_IOPCHDA_SyncRead, L"{1F1217B2-DEE0-11D2-A5E5-000086339399}"},
        {&IID_IOPCHDA_SyncUpdate, L"{1F1217B3-DEE0-11D2-A5E5-000086339399}"},
        {&IID_IOPCHDA_SyncAnnotations, L"{1F1217B4-DEE0-11D2-A5E5-000086339399}"},
        {&IID_IOPCHDA_AsyncRead, L"{1F1217B5-DEE0-11D2-A5E5-000086339399}"},
        {&IID_IOPCHDA_AsyncUpdate, L"{1F1217B6-DEE0-11D2-A5E5-000086339399}"},
        {&IID_IOPCHDA_AsyncAnnotations, L"{1F1217B7-DEE0-11D2-A5E5-000086339399}"},
        {&IID_IOPCHDA_Playback, L"{1F1217B8-DEE0-11D2-A5E5-000086339399}"},
        {&IID_IOPCHDA_DataCallback, L"{1F1217B9-DEE0-11D2-A5E5-000086339399}"},
        {&__uuidof(IOPCHDA_DataCallback), L"{1F1217B9-DEE0-11D2-A5E5-000086339399}"},
        {&IID_IOPCShutdown, L"{F31DFDE1-07B6-11D2-B2D8-0060083BA1FB}"},
        {&IID_IOPCCommon, L"{F31DFDE2-07B6-11D2-B2D8-0060083BA1FB}"},
        {&IID_IOPCServerList, L"{13486D50-4821-11D2-A494-3CB306C10000}"},
        {&CLSID_OpcServerList, L"{13486D51-4821-11D2-A494-3CB306C10000}"},
        {&CATID_OPCHDAServer10, L"{7DE5B060-E089-11D2-A5E6-000086339399}"},
        {&CATID_OPCHDAServer10, CATID_OPCHDAServer10_STRING},
    };
    for (const auto& [guid, text] : published) EXPECT_EQ(S(*guid), text);
    EXPECT_TRUE(FAILED(OPCHDA_W_NOFILTER));
    EXPECT_TRUE(SUCCEEDED(OPCHDA_S_CURRENTVALUE));
}

}  // namespace
