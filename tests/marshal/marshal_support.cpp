#include "marshal_support.h"

#include <gtest/gtest.h>

#include <iomanip>
#include <mutex>
#include <map>
#include <sstream>

// oleaut32 exports it; mingw-w64 does not declare it.
extern "C" void WINAPI SetOaNoCache(void);

namespace marshal_test {

// ---- apartments -----------------------------------------------------------------

ApartmentHost::ApartmentHost(DWORD coinit, const IID& iid, Factory make)
    : coinit_(coinit), iid_(iid), make_(std::move(make)) {
    ready_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    quit_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    thread_ = CreateThread(nullptr, 0, &ApartmentHost::run, this, 0, &thread_id_);
    WaitForSingleObject(ready_, INFINITE);
}

ApartmentHost::~ApartmentHost() {
    if (stream_) CoReleaseMarshalData(stream_), stream_->Release();
    SetEvent(quit_);
    WaitForSingleObject(thread_, INFINITE);
    CloseHandle(thread_);
    CloseHandle(quit_);
    CloseHandle(ready_);
}

HRESULT ApartmentHost::unmarshal(void** out) {
    if (FAILED(hr_)) return hr_;
    if (!stream_) return E_UNEXPECTED;
    IStream* s = stream_;
    stream_ = nullptr;
    return CoGetInterfaceAndReleaseStream(s, iid_, out);
}

DWORD WINAPI ApartmentHost::run(void* p) {
    auto* self = static_cast<ApartmentHost*>(p);
    CoInitializeEx(nullptr, self->coinit_);
    self->object_ = self->make_();
    self->hr_ = CoMarshalInterThreadInterfaceInStream(self->iid_, self->object_, &self->stream_);
    SetEvent(self->ready_);
    for (;;) {
        DWORD r = MsgWaitForMultipleObjects(1, &self->quit_, FALSE, INFINITE, QS_ALLINPUT);
        if (r == WAIT_OBJECT_0) break;
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
    }
    self->object_->Release();
    self->object_ = nullptr;
    CoUninitialize();
    return 0;
}

void run_in_apartment(DWORD coinit, const std::function<void()>& fn) {
    struct Ctx {
        DWORD coinit;
        const std::function<void()>* fn;
    } ctx{coinit, &fn};
    HANDLE t = CreateThread(
        nullptr, 0,
        [](void* p) -> DWORD {
            auto* c = static_cast<Ctx*>(p);
            CoInitializeEx(nullptr, c->coinit);
            (*c->fn)();
            CoUninitialize();
            return 0;
        },
        &ctx, 0, nullptr);
    WaitForSingleObject(t, INFINITE);
    CloseHandle(t);
}

// ---- task memory accounting -----------------------------------------------------

namespace {

class CountingSpy final : public IMallocSpy {
public:
    STDMETHODIMP QueryInterface(REFIID iid, void** ppv) override {
        if (iid == IID_IUnknown || iid == IID_IMallocSpy) {
            *ppv = this;
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }

    STDMETHODIMP_(SIZE_T) PreAlloc(SIZE_T cb) override { return cb; }
    STDMETHODIMP_(void*) PostAlloc(void* p) override {
        if (p) add(p);
        return p;
    }
    STDMETHODIMP_(void*) PreFree(void* p, BOOL spyed) override {
        if (p && spyed) remove(p);
        return p;
    }
    STDMETHODIMP_(void) PostFree(BOOL) override {}
    STDMETHODIMP_(SIZE_T) PreRealloc(void* p, SIZE_T cb, void** out, BOOL spyed) override {
        if (p && spyed) remove(p);
        *out = p;
        return cb;
    }
    STDMETHODIMP_(void*) PostRealloc(void* p, BOOL) override {
        if (p) add(p);
        return p;
    }
    STDMETHODIMP_(void*) PreGetSize(void* p, BOOL) override { return p; }
    STDMETHODIMP_(SIZE_T) PostGetSize(SIZE_T cb, BOOL) override { return cb; }
    STDMETHODIMP_(void*) PreDidAlloc(void* p, BOOL) override { return p; }
    STDMETHODIMP_(int) PostDidAlloc(void*, BOOL, int actual) override { return actual; }
    STDMETHODIMP_(void) PreHeapMinimize() override {}
    STDMETHODIMP_(void) PostHeapMinimize() override {}

    bool held_by(const void* block, DWORD thread) {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = live_.find(const_cast<void*>(block));
        return it != live_.end() && it->second == thread;
    }

    LONG outstanding(DWORD thread) {
        std::lock_guard<std::mutex> lock(mutex_);
        LONG n = 0;
        for (const auto& [block, tid] : live_) n += tid == thread;
        return n;
    }

private:
    void add(void* p) {
        std::lock_guard<std::mutex> lock(mutex_);
        live_[p] = GetCurrentThreadId();
    }
    void remove(void* p) {
        std::lock_guard<std::mutex> lock(mutex_);
        live_.erase(p);
    }
    std::mutex mutex_;
    std::map<void*, DWORD> live_;  // block -> allocating thread
};

// Never destroyed: the runtime may still call the spy while the process exits,
// after static destructors have run.
CountingSpy& g_spy = *new CountingSpy;

// The test thread is in the MTA; every object under test lives in another apartment.
class MarshalEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
        // BSTRs freed into oleaut32's cache would look like leaks.
        SetOaNoCache();
        ASSERT_EQ(S_OK, CoRegisterMallocSpy(&g_spy));
        // Register the proxy/stub that sits next to this executable, so the round
        // trips below always go through the current build of it.
        wchar_t path[MAX_PATH];
        DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
        std::wstring dll(path, n);
        dll = dll.substr(0, dll.find_last_of(L"\\/") + 1) + L"OPCHDAProxy.dll";
        proxy_ = LoadLibraryW(dll.c_str());
        ASSERT_NE(nullptr, proxy_) << "OPCHDAProxy.dll not found next to the test";
        auto reg =
            reinterpret_cast<HRESULT(WINAPI*)()>(reinterpret_cast<void*>(GetProcAddress(proxy_, "DllRegisterServer")));
        ASSERT_NE(nullptr, reg);
        ASSERT_EQ(S_OK, reg());
    }
    void TearDown() override {
        CoRevokeMallocSpy();
        CoUninitialize();
    }

private:
    HMODULE proxy_ = nullptr;
};

[[maybe_unused]] ::testing::Environment* const g_env = ::testing::AddGlobalTestEnvironment(new MarshalEnvironment);

}  // namespace

LONG outstanding_task_memory() { return g_spy.outstanding(GetCurrentThreadId()); }
bool task_block_held_by(const void* block, DWORD thread) { return g_spy.held_by(block, thread); }

// ---- builders and free routines -------------------------------------------------

LPWSTR task_string(const wchar_t* s) {
    size_t bytes = (wcslen(s) + 1) * sizeof(wchar_t);
    auto* p = static_cast<LPWSTR>(CoTaskMemAlloc(bytes));
    memcpy(p, s, bytes);
    return p;
}

FILETIME filetime(ULONGLONG v) {
    FILETIME ft;
    ft.dwLowDateTime = static_cast<DWORD>(v);
    ft.dwHighDateTime = static_cast<DWORD>(v >> 32);
    return ft;
}

void make_variant(VARIANT* v, unsigned k, double base) {
    VariantInit(v);
    switch (k % 4) {
        case 0:
            V_VT(v) = VT_R8;
            V_R8(v) = base + 0.25;
            break;
        case 1: {
            V_VT(v) = VT_BSTR;
            std::wstring s = L"text \u00e9\u4e2d " + std::to_wstring(static_cast<long long>(base));
            V_BSTR(v) = SysAllocStringLen(s.c_str(), static_cast<UINT>(s.size()));
            break;
        }
        case 2:
            V_VT(v) = VT_BOOL;
            V_BOOL(v) = (static_cast<long long>(base) % 2) ? VARIANT_TRUE : VARIANT_FALSE;
            break;
        default: {
            SAFEARRAY* sa = SafeArrayCreateVector(VT_R8, 1, 3);
            double* d = nullptr;
            SafeArrayAccessData(sa, reinterpret_cast<void**>(&d));
            for (int i = 0; i < 3; ++i) d[i] = base * 10 + i;
            SafeArrayUnaccessData(sa);
            V_VT(v) = VT_ARRAY | VT_R8;
            V_ARRAY(v) = sa;
            break;
        }
    }
}

template <class T>
static T* task_array(DWORD n) {
    return n ? static_cast<T*>(CoTaskMemAlloc(n * sizeof(T))) : nullptr;
}

static ULONGLONG stamp(OPCHANDLE h, DWORD i) { return 132000000000000000ULL + h * 1000000000ULL + i * 10000000ULL + 1; }

void fill_item(OPCHDA_ITEM& item, OPCHANDLE h, DWORD count) {
    item.hClient = h + 1000;
    item.haAggregate = h % 25;
    item.dwCount = count;
    item.pftTimeStamps = task_array<FILETIME>(count);
    item.pdwQualities = task_array<DWORD>(count);
    item.pvDataValues = task_array<VARIANT>(count);
    for (DWORD i = 0; i < count; ++i) {
        item.pftTimeStamps[i] = filetime(stamp(h, i));
        item.pdwQualities[i] = OPCHDA_RAW | 0xC0 | i;
        make_variant(&item.pvDataValues[i], h + i, h * 100.0 + i);
    }
}

void fill_modified(OPCHDA_MODIFIEDITEM& item, OPCHANDLE h, DWORD count) {
    item.hClient = h + 2000;
    item.dwCount = count;
    item.pftTimeStamps = task_array<FILETIME>(count);
    item.pdwQualities = task_array<DWORD>(count);
    item.pvDataValues = task_array<VARIANT>(count);
    item.pftModificationTime = task_array<FILETIME>(count);
    item.pEditType = task_array<OPCHDA_EDITTYPE>(count);
    item.szUser = task_array<LPWSTR>(count);
    for (DWORD i = 0; i < count; ++i) {
        item.pftTimeStamps[i] = filetime(stamp(h, i));
        item.pdwQualities[i] = OPCHDA_CALCULATED | i;
        make_variant(&item.pvDataValues[i], h + i, h * 7.0 + i);
        item.pftModificationTime[i] = filetime(stamp(h, i) + 5);
        item.pEditType[i] = static_cast<OPCHDA_EDITTYPE>(1 + (h + i) % 4);
        item.szUser[i] = task_string((L"user" + std::to_wstring(h) + L"." + std::to_wstring(i)).c_str());
    }
}

void fill_attribute(OPCHDA_ATTRIBUTE& attr, OPCHANDLE h, DWORD id, DWORD count) {
    attr.hClient = h;
    attr.dwNumValues = count;
    attr.dwAttributeID = id;
    attr.ftTimeStamps = task_array<FILETIME>(count);
    attr.vAttributeValues = task_array<VARIANT>(count);
    for (DWORD i = 0; i < count; ++i) {
        attr.ftTimeStamps[i] = filetime(stamp(id, i));
        make_variant(&attr.vAttributeValues[i], id + i, id * 3.0 + i);
    }
}

void fill_annotation(OPCHDA_ANNOTATION& ann, OPCHANDLE h, DWORD count) {
    ann.hClient = h + 3000;
    ann.dwNumValues = count;
    ann.ftTimeStamps = task_array<FILETIME>(count);
    ann.szAnnotation = task_array<LPWSTR>(count);
    ann.ftAnnotationTime = task_array<FILETIME>(count);
    ann.szUser = task_array<LPWSTR>(count);
    for (DWORD i = 0; i < count; ++i) {
        ann.ftTimeStamps[i] = filetime(stamp(h, i));
        ann.szAnnotation[i] = task_string((L"note \u00fc " + std::to_wstring(h * 10 + i)).c_str());
        ann.ftAnnotationTime[i] = filetime(stamp(h, i) + 99);
        ann.szUser[i] = task_string(i % 2 ? L"" : L"operator");
    }
}

// ---- snapshots ------------------------------------------------------------------

std::wstring snap(const FILETIME& ft) {
    std::wostringstream o;
    o << std::hex << ft.dwHighDateTime << L':' << ft.dwLowDateTime;
    return o.str();
}

std::wstring snap(const VARIANT& v) {
    std::wostringstream o;
    o << L"vt" << V_VT(&v) << L'=';
    switch (V_VT(&v)) {
        case VT_EMPTY: break;
        case VT_R8: o << std::setprecision(17) << V_R8(&v); break;
        case VT_BOOL: o << V_BOOL(&v); break;
        case VT_I4: o << V_I4(&v); break;
        case VT_BSTR: o << L'"' << std::wstring(V_BSTR(&v), SysStringLen(V_BSTR(&v))) << L'"'; break;
        case VT_ARRAY | VT_R8: {
            SAFEARRAY* sa = V_ARRAY(&v);
            LONG lo = 0, hi = -1;
            SafeArrayGetLBound(sa, 1, &lo);
            SafeArrayGetUBound(sa, 1, &hi);
            o << L"dims" << SafeArrayGetDim(sa) << L'[' << lo << L".." << hi << L"]{";
            for (LONG i = lo; i <= hi; ++i) {
                double d = 0;
                SafeArrayGetElement(sa, &i, &d);
                o << d << L',';
            }
            o << L'}';
            break;
        }
        default: o << L"?"; break;
    }
    return o.str();
}

std::wstring snap(const OPCHDA_TIME& t) {
    return L"time{" + std::to_wstring(t.bString) + L"," +
           (t.szTime ? L"\"" + std::wstring(t.szTime) + L"\"" : std::wstring(L"null")) + L"," + snap(t.ftTime) + L"}";
}

template <class T>
static std::wstring list(const T* p, DWORD n) {
    if (!p) return L"null";
    std::wstring s = L"[";
    for (DWORD i = 0; i < n; ++i) {
        if constexpr (std::is_same_v<T, LPWSTR>)
            s += p[i] ? L"\"" + std::wstring(p[i]) + L"\"" : L"null";
        else if constexpr (std::is_integral_v<T> || std::is_enum_v<T>)
            s += std::to_wstring(static_cast<long long>(p[i]));
        else
            s += snap(p[i]);
        s += L";";
    }
    return s + L"]";
}

std::wstring snap(const OPCHDA_ITEM& item) {
    return L"item{" + std::to_wstring(item.hClient) + L"," + std::to_wstring(item.haAggregate) + L"," +
           std::to_wstring(item.dwCount) + L"," + list(item.pftTimeStamps, item.dwCount) + L"," +
           list(item.pdwQualities, item.dwCount) + L"," + list(item.pvDataValues, item.dwCount) + L"}";
}

std::wstring snap(const OPCHDA_MODIFIEDITEM& item) {
    return L"modified{" + std::to_wstring(item.hClient) + L"," + std::to_wstring(item.dwCount) + L"," +
           list(item.pftTimeStamps, item.dwCount) + L"," + list(item.pdwQualities, item.dwCount) + L"," +
           list(item.pvDataValues, item.dwCount) + L"," + list(item.pftModificationTime, item.dwCount) + L"," +
           list(item.pEditType, item.dwCount) + L"," + list(item.szUser, item.dwCount) + L"}";
}

std::wstring snap(const OPCHDA_ATTRIBUTE& attr) {
    return L"attribute{" + std::to_wstring(attr.hClient) + L"," + std::to_wstring(attr.dwNumValues) + L"," +
           std::to_wstring(attr.dwAttributeID) + L"," + list(attr.ftTimeStamps, attr.dwNumValues) + L"," +
           list(attr.vAttributeValues, attr.dwNumValues) + L"}";
}

std::wstring snap(const OPCHDA_ANNOTATION& ann) {
    return L"annotation{" + std::to_wstring(ann.hClient) + L"," + std::to_wstring(ann.dwNumValues) + L"," +
           list(ann.ftTimeStamps, ann.dwNumValues) + L"," + list(ann.szAnnotation, ann.dwNumValues) + L"," +
           list(ann.ftAnnotationTime, ann.dwNumValues) + L"," + list(ann.szUser, ann.dwNumValues) + L"}";
}

std::wstring snap_hresults(DWORD n, const HRESULT* hr) {
    if (!hr) return L"null";
    std::wostringstream o;
    o << std::hex;
    for (DWORD i = 0; i < n; ++i) o << static_cast<unsigned long>(hr[i]) << L';';
    return o.str();
}

}  // namespace marshal_test
