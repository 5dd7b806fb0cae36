// Round trips of the OPC custom interfaces through OPCHDAProxy.dll: each member called on the object and
// through a proxy from another apartment must give the same text, and leave no task memory behind. Last,
// the simulator's counters that these and the product's tests rely on.
#include <objbase.h>
#include <oleauto.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "opc/historian_answers.h"
#include "com/com_holders.h"
#include "com/implements.h"
#include "opc_hda.h"
#include "sim_control.h"
#include "support/com_test.h"
#include "support/file_time.h"
#include "support/malloc_spy.h"
#include "support/refusing_historian.h"

namespace {

using comtest::Ft;

// Never destroyed: the runtime may still call the spy after static destructors.
comtest::MallocSpy& g_spy = *new comtest::MallocSpy;

// ---- text of what crossed

template <class T>
struct Array {
    const T* p;
    DWORD n = 1;
};
template <class T>
Array<T> A(const T* p, DWORD n) {
    return {p, n};
}
template <class T>
requires std::is_arithmetic_v<T> || std::is_enum_v<T> std::wstring S(T v) {
    return std::to_wstring(static_cast<long long>(v));
}
std::wstring S(const wchar_t* s) { return s ? L"\"" + std::wstring(s) + L"\"" : L"null"; }
std::wstring S(const FILETIME& t) { return S(comtest::Units(t)); }
std::wstring S(const GUID& g) {
    wchar_t text[40];
    StringFromGUID2(g, text, 40);
    return text;
}
std::wstring S(const OPCHDA_TIME& t) { return L"{" + S(t.bString) + S(t.szTime) + S(t.ftTime) + L"}"; }
std::wstring S(const VARIANT& v) {
    VARIANT text;
    VariantInit(&text);
    std::wstring s = S(V_VT(&v)) + L":";
    if (SUCCEEDED(VariantChangeType(&text, const_cast<VARIANT*>(&v), VARIANT_ALPHABOOL, VT_BSTR)))
        s += S(V_BSTR(&text));
    VariantClear(&text);
    return s;
}
std::wstring S(const OPCHDA_ITEM&), S(const OPCHDA_MODIFIEDITEM&), S(const OPCHDA_ATTRIBUTE&),
    S(const OPCHDA_ANNOTATION&), S(const OPCHDA_ITEM*p);
template <class T>
std::wstring S(Array<T> a) {
    if (!a.p) return L"null";
    std::wstring s = L"[";
    for (DWORD i = 0; i < a.n; ++i) s += S(a.p[i]) + L";";
    return s + L"]";
}
template <class... T>
std::wstring J(const T&... v) {
    std::wstring s = L"(";
    ((s += S(v) + L" "), ...);
    return s + L")";
}
std::wstring S(const OPCHDA_ITEM& i) {
    return J(i.hClient, i.haAggregate, A(i.pftTimeStamps, i.dwCount), A(i.pdwQualities, i.dwCount),
             A(i.pvDataValues, i.dwCount));
}
std::wstring S(const OPCHDA_ITEM* p) { return p ? S(*p) : L"null"; }
std::wstring S(const OPCHDA_MODIFIEDITEM& i) {
    const DWORD n = i.dwCount;
    return J(i.hClient, A(i.pftTimeStamps, n), A(i.pdwQualities, n), A(i.pvDataValues, n), A(i.pftModificationTime, n),
             A(i.pEditType, n), A(i.szUser, n));
}
std::wstring S(const OPCHDA_ATTRIBUTE& a) {
    return J(a.hClient, a.dwAttributeID, A(a.ftTimeStamps, a.dwNumValues), A(a.vAttributeValues, a.dwNumValues));
}
std::wstring S(const OPCHDA_ANNOTATION& a) {
    const DWORD n = a.dwNumValues;
    return J(a.hClient, A(a.ftTimeStamps, n), A(a.szAnnotation, n), A(a.ftAnnotationTime, n), A(a.szUser, n));
}

// An output the call fills, printed and then freed as the product frees it; `count`
// points at the element count when the callee reports it.
template <class T>
struct Out {
    explicit Out(int n = 1) : n(n) {}
    explicit Out(const DWORD* count) : count(count) {}
    ~Out() { Take(); }
    operator T**() { return &p; }
    std::wstring Take() {
        const DWORD size = count ? *count : n;
        std::wstring s = L"untouched";  // a callee that fails must still write its outputs
        if (p == Junk()) return s;
        if constexpr (std::is_base_of_v<IUnknown, T>) {
            s = p ? L"object" : L"null";
            if (p) p->Release();
        } else {
            s = std::is_same_v<T, wchar_t> ? S(reinterpret_cast<LPWSTR>(p)) : S(A(p, size));
            TaskArray<T, ElementsOf>::attach(p, size);  // freed with what its elements hold
        }
        p = Junk();
        return s;
    }
    static T* Junk() {
        static char junk;
        return reinterpret_cast<T*>(&junk);
    }
    using ElementsOf = std::conditional_t<
        std::is_same_v<T, LPWSTR>, TaskStringElements,
        std::conditional_t<std::is_class_v<T> && !std::is_same_v<T, FILETIME>, HistorianAnswerElements, PlainElements>>;
    T* p = Junk();
    DWORD n = 1;
    const DWORD* count = nullptr;
};
// A single value the call writes.
template <class T>
struct Val {
    operator T*() { return &v; }
    std::wstring Take() { return S(v); }
    T v{};
};
// Both time forms, as a client sends them: the historian writes back what it resolved.
struct Times {
    explicit Times(const wchar_t* relative) { wcscpy(text, relative); }
    explicit Times(FILETIME at) : time{FALSE, nullptr, at} {}
    operator OPCHDA_TIME*() { return &time; }
    std::wstring Take() { return S(time); }
    wchar_t text[8] = L"";
    OPCHDA_TIME time{TRUE, text, {}};
};
template <class T>
std::wstring Print(T& arg) {
    if constexpr (requires { arg.Take(); }) return arg.Take() + L" ";
    return {};
}

template <class I>
ComPtr<I> Q(IUnknown* object) {
    ComPtr<I> p;
    EXPECT_EQ(object->QueryInterface(__uuidof(I), p.put_void()), S_OK);
    return p;
}
// Calls `member` on `object` and gives the result and every output as text.
template <class I, class... P, class... T>
std::wstring Call(IUnknown* object, HRESULT (STDMETHODCALLTYPE I::*member)(P...), T&&... args) {
    const HRESULT hr = (Q<I>(object).get()->*member)(args...);
    return L"hr " + S(static_cast<ULONG>(hr)) + L" " + (Print(args) + ... + std::wstring());
}

// What the sink received, in order.
std::wstring g_log;
template <class... T>
HRESULT Log(const wchar_t* member, const T&... v) {
    g_log += member + J(v...) + L"\n";
    return S_OK;
}

#define SINK_MEMBER(member, params, ...) \
    STDMETHODIMP member params override { return Log(L## #member, __VA_ARGS__); }

class Sink final : public Implements<Sink, IOPCHDA_DataCallback, IOPCShutdown> {
public:
    SINK_MEMBER(OnDataChange, (DWORD id, HRESULT hr, DWORD n, OPCHDA_ITEM* v, HRESULT* e), id, hr, A(v, n), A(e, n))
    SINK_MEMBER(OnReadComplete, (DWORD id, HRESULT hr, DWORD n, OPCHDA_ITEM* v, HRESULT* e), id, hr, A(v, n), A(e, n))
    SINK_MEMBER(OnReadModifiedComplete, (DWORD id, HRESULT hr, DWORD n, OPCHDA_MODIFIEDITEM* v, HRESULT* e), id, hr,
                A(v, n), A(e, n))
    SINK_MEMBER(OnReadAttributeComplete, (DWORD id, HRESULT hr, OPCHANDLE h, DWORD n, OPCHDA_ATTRIBUTE* v, HRESULT* e),
                id, hr, h, A(v, n), A(e, n))
    SINK_MEMBER(OnReadAnnotations, (DWORD id, HRESULT hr, DWORD n, OPCHDA_ANNOTATION* v, HRESULT* e), id, hr, A(v, n),
                A(e, n))
    SINK_MEMBER(OnInsertAnnotations, (DWORD id, HRESULT hr, DWORD n, OPCHANDLE* h, HRESULT* e), id, hr, A(h, n),
                A(e, n))
    SINK_MEMBER(OnPlayback, (DWORD id, HRESULT hr, DWORD n, OPCHDA_ITEM** v, HRESULT* e), id, hr, A(v, n), A(e, n))
    SINK_MEMBER(OnUpdateComplete, (DWORD id, HRESULT hr, DWORD n, OPCHANDLE* h, HRESULT* e), id, hr, A(h, n), A(e, n))
    SINK_MEMBER(OnCancelComplete, (DWORD id), id)
    SINK_MEMBER(ShutdownRequest, (LPCWSTR reason), reason)
};

// A historian that leaves out what it may: no start time, no status texts, no
// aggregates (null arrays). Every null must cross as a null.
class Sparse final : public Implements<Sparse, comtest::RefusingHistorian<>> {
public:
    STDMETHODIMP GetAggregates(DWORD* n, DWORD** ids, LPWSTR** names, LPWSTR** descriptions) override {
        return *n = 0, *ids = nullptr, *names = *descriptions = nullptr, S_OK;
    }
    STDMETHODIMP GetHistorianStatus(OPCHDA_SERVERSTATUS* status, FILETIME** now, FILETIME** start, WORD* major,
                                    WORD* minor, WORD* build, DWORD* max, LPWSTR* text, LPWSTR* vendor) override {
        *status = OPCHDA_DOWN, *now = *start = nullptr, *major = *minor = *build = 0, *max = 0;
        return *text = *vendor = nullptr, S_OK;
    }
};

// An object reached through a proxy from a pumping STA of its own.
class StaHost {
public:
    explicit StaHost(IUnknown* object) : thread_([this, object] { Run(object); }) { ready_.wait(false); }
    ~StaHost() {
        PostThreadMessageW(threadId_, WM_QUIT, 0, 0);
        thread_.join();
    }
    ComPtr<IUnknown> Proxy() {
        ComPtr<IUnknown> proxy;
        EXPECT_EQ(CoGetInterfaceAndReleaseStream(stream_, IID_IUnknown, proxy.put_void()), S_OK);
        return proxy;
    }
    DWORD threadId_ = 0;

private:
    void Run(IUnknown* object) {
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        MSG msg;
        PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);  // the queue exists before anyone posts
        threadId_ = GetCurrentThreadId();
        CoMarshalInterThreadInterfaceInStream(IID_IUnknown, object, &stream_);
        ready_ = true;
        ready_.notify_all();
        while (GetMessageW(&msg, nullptr, 0, 0) > 0) DispatchMessageW(&msg);
        CoUninitialize();
    }
    IStream* stream_ = nullptr;
    std::atomic<bool> ready_{false};
    std::thread thread_;
};

struct Row {
    const char* member;
    std::function<std::wstring(IUnknown*)> call;
    bool calleeCounted = true;
};
// One member's row; KEPT where Wine's stub keeps its copies of [in,out] structures
// and in-arrays (NDR's own, counted on the stub's thread), so that only the caller's side is counted.
// clang-format off
#define ROW_OF(counted, member, ...) Row{#member, [&](IUnknown* o) { return Call(o, member, __VA_ARGS__); }, counted}
#define ROW(...) ROW_OF(true, __VA_ARGS__)
#define KEPT(...) ROW_OF(false, __VA_ARGS__)
// clang-format on

void Compare(IUnknown* object, const std::vector<Row>& rows) {
    StaHost host(object);
    ComPtr<IUnknown> proxy = host.Proxy();
    ASSERT_TRUE(proxy && proxy.get() != object);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.member);
        g_log.clear();
        const std::wstring want = row.call(object) + L" <- " + g_log;
        row.call(proxy.get());  // the first call through an interface sets up the channel
        const size_t caller = g_spy.LiveCount(GetCurrentThreadId()), callee = g_spy.LiveCount(host.threadId_);
        g_log.clear();
        EXPECT_EQ(want, row.call(proxy.get()) + L" <- " + g_log);
        EXPECT_EQ(g_spy.LiveCount(GetCurrentThreadId()), caller) << "left behind on the caller's side";
        if (row.calleeCounted) {
            EXPECT_EQ(g_spy.LiveCount(host.threadId_), callee) << "left behind by the stub";
        }
    }
}

LPWSTR W(const wchar_t* s) { return const_cast<LPWSTR>(s); }
using Server = IOPCHDA_Server;
using Read = IOPCHDA_SyncRead;
using Callback = IOPCHDA_DataCallback;

// The simulator plays the historian, its clock stopped so that every call gets the same answer.
// The test thread is in the MTA; the objects are reached from an STA. The spy
// goes in before the simulator would register its own.
TEST(Marshal, EveryKindOfArgumentCrossesAsItWasSent) {
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    SetOaNoCache();  // BSTRs freed into oleaut32's cache would look like leaks
    ASSERT_EQ(CoRegisterMallocSpy(&g_spy), S_OK);
    ComPtr<IUnknown> sim, list;
    ASSERT_EQ(CoCreateInstance(CLSID_HdaSimHistorian, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, sim.put_void()),
              S_OK);
    ASSERT_EQ(CoCreateInstance(CLSID_OpcServerList, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, list.put_void()),
              S_OK);
    LONGLONG now = 0;
    ASSERT_EQ(Q<IHdaSimControl>(sim.get())->ClockSetSpeed(0.0), S_OK);
    ASSERT_EQ(Q<IHdaSimControl>(sim.get())->ClockGet(&now), S_OK);
    const FILETIME end = Ft(now);
    LPWSTR ids[] = {W(L"Plant/Lab/Calibration/Ramp"), W(L"Plant/Lab/Calibration/Text"), W(L"Plant/Nowhere")};
    OPCHANDLE clients[] = {1, 2, 3}, h[3];
    Out<OPCHANDLE> handles(3);
    ASSERT_EQ(Q<Server>(sim.get())->GetItemHandles(3, ids, clients, handles, Out<HRESULT>(3)), S_FALSE);
    std::copy_n(handles.p, 3, h);
    DWORD n = 0, attributes[] = {OPCHDA_DATA_TYPE, OPCHDA_DESCRIPTION, 77};
    OPCHDA_OPERATORCODES operators[] = {OPCHDA_EQUAL, OPCHDA_GREATER};
    const LONGLONG minute = 600'000'000, sample = now - now % minute - minute;
    FILETIME stamps[] = {Ft(sample), Ft(sample + 1)};  // a sample of both items; none
    DWORD qualities[] = {OPCHDA_RAW | 0xC0, 0xC0};
    VARIANT values[2] = {comtest::VarR8(2.5), comtest::VarBstr(L"\u00e4")};
    LPWSTR texts[] = {W(L"Checked \u00fc"), W(L"Inspector")};
    OPCHDA_ANNOTATION note{h[1], 1, stamps, texts, stamps, texts + 1};
    ComPtr<IOPCHDA_Browser> browser;
    ASSERT_EQ(Q<Server>(sim.get())->CreateBrowse(0, nullptr, nullptr, nullptr, browser.put(), Out<HRESULT>(0)), S_OK);
    // clang-format off
    Compare(sim.get(), {
        ROW(&IOPCCommon::SetClientName, L"Operator \u00e9"),
        ROW(&IOPCCommon::GetErrorString, OPC_E_INVALIDHANDLE, Out<wchar_t>()),
        ROW(&IOPCCommon::QueryAvailableLocaleIDs, &n, Out<LCID>(&n)),
        ROW(&Server::GetHistorianStatus, Val<OPCHDA_SERVERSTATUS>(), Out<FILETIME>(), Out<FILETIME>(), Val<WORD>(),
            Val<WORD>(), Val<WORD>(), Val<DWORD>(), Out<wchar_t>(), Out<wchar_t>()),
        ROW(&Server::GetItemAttributes, &n, Out<DWORD>(&n), Out<LPWSTR>(&n), Out<LPWSTR>(&n), Out<VARTYPE>(&n)),
        ROW(&Server::GetAggregates, &n, Out<DWORD>(&n), Out<LPWSTR>(&n), Out<LPWSTR>(&n)),
        KEPT(&Server::ValidateItemIDs, 3, ids, Out<HRESULT>(3)),
        ROW(&Server::ReleaseItemHandles, 1, &h[2], Out<HRESULT>(1)),
        KEPT(&Server::CreateBrowse, 2, attributes, operators, values, Out<IOPCHDA_Browser>(), Out<HRESULT>(2)),
        KEPT(&IOPCHDA_SyncUpdate::Replace, 2, h, stamps, values, qualities, Out<HRESULT>(2)),
        KEPT(&Read::ReadRaw, Times(L"NOW-2M"), Times(end), 0, TRUE, 3, h, Out<OPCHDA_ITEM>(3), Out<HRESULT>(3)),
        KEPT(&Read::ReadModified, Times(L"NOW-2M"), Times(end), 0, 3, h, Out<OPCHDA_MODIFIEDITEM>(3), Out<HRESULT>(3)),
        KEPT(&Read::ReadAttribute, Times(L"NOW-2M"), Times(end), h[0], 3, attributes, Out<OPCHDA_ATTRIBUTE>(3),
             Out<HRESULT>(3)),
        KEPT(&IOPCHDA_SyncAnnotations::Insert, 1, &h[1], stamps, &note, Out<HRESULT>(1)),  // before Read: more notes
        KEPT(&IOPCHDA_SyncAnnotations::Read, Times(L"NOW-2H"), Times(end), 3, h, Out<OPCHDA_ANNOTATION>(3),
             Out<HRESULT>(3)),
    });
    Compare(browser.get(), {
        ROW(&IOPCHDA_Browser::ChangeBrowsePosition, OPCHDA_BROWSE_DIRECT, L"Plant/Lab"),
        ROW(&IOPCHDA_Browser::GetBranchPosition, Out<wchar_t>()),
        ROW(&IOPCHDA_Browser::GetItemID, L"Calibration", Out<wchar_t>()),
    });
    Compare(MakeObject<Sparse>().get(), {
        ROW(&Server::GetHistorianStatus, Val<OPCHDA_SERVERSTATUS>(), Out<FILETIME>(), Out<FILETIME>(), Val<WORD>(),
            Val<WORD>(), Val<WORD>(), Val<DWORD>(), Out<wchar_t>(), Out<wchar_t>()),
        ROW(&Server::GetAggregates, &n, Out<DWORD>(&n), Out<LPWSTR>(&n), Out<LPWSTR>(&n)),
    });
    Compare(list.get(), {
        ROW(&IOPCServerList::GetClassDetails, CLSID_HdaSimHistorian, Out<wchar_t>(), Out<wchar_t>()),
    });

    // The historian's calls into the client, carrying the simulator's answers.
    HistorianAnswer<OPCHDA_ITEM> items(3);
    HistorianAnswer<OPCHDA_MODIFIEDITEM> modified(3);
    HistorianAnswer<OPCHDA_ATTRIBUTE> read(3);
    HistorianAnswer<OPCHDA_ANNOTATION> notes(3);
    Times from(L"NOW-2H"), to(end);
    Q<Read>(sim.get())->ReadRaw(from, to, 0, TRUE, 3, h, items.put(), Out<HRESULT>(3));
    Q<Read>(sim.get())->ReadModified(from, to, 0, 3, h, modified.put(), Out<HRESULT>(3));
    Q<Read>(sim.get())->ReadAttribute(from, to, h[0], 3, attributes, read.put(), Out<HRESULT>(3));
    Q<IOPCHDA_SyncAnnotations>(sim.get())->Read(from, to, 3, h, notes.put(), Out<HRESULT>(3));
    OPCHDA_ITEM* slices[] = {&items[1], &items[0], nullptr};
    HRESULT codes[] = {S_OK, OPCHDA_S_NODATA, OPC_E_INVALIDHANDLE};
    ComPtr<Sink> sink = MakeObject<Sink>();
    Compare(static_cast<Callback*>(sink.get()), {
        KEPT(&Callback::OnDataChange, 11, S_OK, 3, items.get(), codes),
        KEPT(&Callback::OnReadComplete, 12, S_FALSE, 3, items.get(), codes),
        KEPT(&Callback::OnPlayback, 13, S_OK, 3, slices, codes),
        KEPT(&Callback::OnReadModifiedComplete, 14, S_OK, 3, modified.get(), codes),
        KEPT(&Callback::OnReadAttributeComplete, 15, S_OK, 9, 3, read.get(), codes),
        KEPT(&Callback::OnReadAnnotations, 16, S_OK, 3, notes.get(), codes),
        ROW(&Callback::OnInsertAnnotations, 17, S_FALSE, 3, clients, codes),
        ROW(&Callback::OnUpdateComplete, 18, S_OK, 3, clients, codes),
        ROW(&Callback::OnCancelComplete, 19),
        ROW(&IOPCShutdown::ShutdownRequest, L"Stopping \u00e4"),
    });
    // clang-format on
    VariantClear(&values[1]);
    g_spy.stopped = true;
}

// Both sides of every call share these constants, so no round trip would notice a wrong one;
// a real historian would.
TEST(Marshal, OpcIdentifiersHaveThePublishedValues) {
    const IID* hda[] = {&IID_IOPCHDA_Server,      &IID_IOPCHDA_Browser,          &IID_IOPCHDA_SyncRead,
                        &IID_IOPCHDA_SyncUpdate,  &IID_IOPCHDA_SyncAnnotations,  &IID_IOPCHDA_AsyncRead,
                        &IID_IOPCHDA_AsyncUpdate, &IID_IOPCHDA_AsyncAnnotations, &IID_IOPCHDA_Playback,
                        &IID_IOPCHDA_DataCallback};
    for (int i = 0; i < 10; ++i) EXPECT_EQ(S(*hda[i]), L"{1F1217B" + S(i) + L"-DEE0-11D2-A5E5-000086339399}");
    EXPECT_EQ(S(IID_IOPCShutdown), L"{F31DFDE1-07B6-11D2-B2D8-0060083BA1FB}");
    EXPECT_EQ(S(IID_IOPCCommon), L"{F31DFDE2-07B6-11D2-B2D8-0060083BA1FB}");
    EXPECT_EQ(S(IID_IOPCServerList), L"{13486D50-4821-11D2-A494-3CB306C10000}");
    EXPECT_EQ(S(CLSID_OpcServerList), L"{13486D51-4821-11D2-A494-3CB306C10000}");
    EXPECT_EQ(S(CATID_OPCHDAServer10), L"{7DE5B060-E089-11D2-A5E6-000086339399}");
    EXPECT_EQ(S(CATID_OPCHDAServer10), CATID_OPCHDAServer10_STRING);
    EXPECT_TRUE(FAILED(OPCHDA_W_NOFILTER));
    EXPECT_TRUE(SUCCEEDED(OPCHDA_S_CURRENTVALUE));
}

// What the product's tests rely on but cannot see for themselves: the simulator's counters. "Task memory 0"
// proves something only if every block the historian hands out (each non-null pointer, strings inside arrays
// too) is on the books. The simulator fills every string it has; an empty one would hide nothing.
template <class... P>
long Blocks(P*... p) {
    return ((p != nullptr) + ... + 0);
}
long Strings(LPWSTR* s, DWORD n) {
    long count = 0;
    for (DWORD i = 0; s && i < n; ++i) {
        EXPECT_TRUE(s[i] && *s[i]) << "string " << i << " not filled";
        count += s[i] != nullptr;
    }
    return count;
}
long BlocksOf(const OPCHDA_ITEM& i) { return Blocks(i.pftTimeStamps, i.pdwQualities, i.pvDataValues); }
long BlocksOf(const OPCHDA_MODIFIEDITEM& i) {
    EXPECT_GT(i.dwCount, 0u);
    return Blocks(i.pftTimeStamps, i.pdwQualities, i.pvDataValues, i.pftModificationTime, i.pEditType, i.szUser) +
           Strings(i.szUser, i.dwCount);
}
long BlocksOf(const OPCHDA_ATTRIBUTE& a) { return Blocks(a.ftTimeStamps, a.vAttributeValues); }
long BlocksOf(const OPCHDA_ANNOTATION& a) {
    EXPECT_GT(a.dwNumValues, 0u);
    return Blocks(a.ftTimeStamps, a.szAnnotation, a.ftAnnotationTime, a.szUser) +
           Strings(a.szAnnotation, a.dwNumValues) + Strings(a.szUser, a.dwNumValues);
}

// Every kind of answer, with a modification and an annotation so that user names and texts are there to be
// counted: on the books while the client holds them, off them once the product's routines free them; every
// call counted once.
TEST(SimSeams, EveryBlockOfEveryAnswerIsOnTheBooksUntilFreed) {
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    ComPtr<IUnknown> sim;
    ASSERT_EQ(CoCreateInstance(CLSID_HdaSimHistorian, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, sim.put_void()),
              S_OK);
    auto server = Q<Server>(sim.get());
    auto control = Q<IHdaSimControl>(sim.get());
    auto read = Q<Read>(sim.get());
    auto annotations = Q<IOPCHDA_SyncAnnotations>(sim.get());
    const LONGLONG t0 = 133485408000000000LL;  // 2024-01-01 00:00:00 UTC
    control->ClockSetSpeed(0.0);
    control->ClockSet(t0 + 864'000'000'000LL);
    auto counter = [&](HRESULT (STDMETHODCALLTYPE IHdaSimControl::*get)(LONG*)) {
        LONG n = -1;
        EXPECT_EQ((control.get()->*get)(&n), S_OK);
        return n;
    };
    const LONG memory = counter(&IHdaSimControl::OutstandingTaskMemory);
    ASSERT_EQ(Q<IOPCCommon>(sim.get())->SetClientName(L"operator"), S_OK);

    LPWSTR ids[] = {W(L"Plant/Lab/Calibration/Ramp"), W(L"Plant/Unknown")};
    OPCHANDLE clients[] = {1, 2}, *handles = nullptr;
    HRESULT* errors = nullptr;
    ASSERT_EQ(server->GetItemHandles(2, ids, clients, &handles, &errors), S_FALSE);
    EXPECT_EQ(counter(&IHdaSimControl::OutstandingTaskMemory), memory + 2);
    CoTaskMemFree(errors);
    OPCHANDLE h = handles[0];
    CoTaskMemFree(handles);

    FILETIME edited = Ft(t0 + 5 * 10'000'000LL);  // between two samples
    VARIANT value = comtest::VarR8(1.5);
    DWORD quality = OPCHDA_RAW | 0xC0;
    LPWSTR note = W(L"calibrated");
    OPCHDA_ANNOTATION annotation{1, 1, &edited, &note, &edited, nullptr};
    ASSERT_EQ(Q<IOPCHDA_SyncUpdate>(sim.get())->Insert(1, &h, &edited, &value, &quality, Out<HRESULT>()), S_OK);
    ASSERT_EQ(annotations->Insert(1, &h, &edited, &annotation, Out<HRESULT>()), S_OK);
    ASSERT_EQ(counter(&IHdaSimControl::OutstandingTaskMemory), memory);

    OPCHDA_TIME start{FALSE, nullptr, Ft(t0)}, end{FALSE, nullptr, Ft(t0 + 600 * 10'000'000LL)};
    DWORD aggregate = OPCHDA_AVERAGE, attributes[] = {OPCHDA_DATA_TYPE, OPCHDA_DESCRIPTION};
    FILETIME stamps[] = {Ft(t0), edited};
    auto check = [&](const wchar_t* method, DWORD n, auto* items, auto call) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(method)));
        LONG before = -1, after = -1;
        control->CallCount(method, &before);
        EXPECT_EQ(call(&items, &errors), S_OK);
        control->CallCount(method, &after);
        EXPECT_EQ(after, before + 1);
        long blocks = Blocks(items, errors);
        for (DWORD i = 0; items && i < n; ++i) blocks += BlocksOf(items[i]);
        EXPECT_EQ(counter(&IHdaSimControl::OutstandingTaskMemory), memory + blocks) << "blocks not on the books";
        FreeHistorianAnswer(items, n);
        CoTaskMemFree(errors);
        EXPECT_EQ(counter(&IHdaSimControl::OutstandingTaskMemory), memory) << "freed blocks still on the books";
    };
    check(L"IOPCHDA_SyncRead::ReadRaw", 1, static_cast<OPCHDA_ITEM*>(nullptr),
          [&](auto v, auto e) { return read->ReadRaw(&start, &end, 0, TRUE, 1, &h, v, e); });
    check(L"IOPCHDA_SyncRead::ReadProcessed", 1, static_cast<OPCHDA_ITEM*>(nullptr),
          [&](auto v, auto e) { return read->ReadProcessed(&start, &end, Ft(600'000'000), 1, &h, &aggregate, v, e); });
    check(L"IOPCHDA_SyncRead::ReadAtTime", 1, static_cast<OPCHDA_ITEM*>(nullptr),
          [&](auto v, auto e) { return read->ReadAtTime(2, stamps, 1, &h, v, e); });
    check(L"IOPCHDA_SyncRead::ReadModified", 1, static_cast<OPCHDA_MODIFIEDITEM*>(nullptr),
          [&](auto v, auto e) { return read->ReadModified(&start, &end, 0, 1, &h, v, e); });
    check(L"IOPCHDA_SyncRead::ReadAttribute", 2, static_cast<OPCHDA_ATTRIBUTE*>(nullptr),
          [&](auto v, auto e) { return read->ReadAttribute(&start, &end, h, 2, attributes, v, e); });
    check(L"IOPCHDA_SyncAnnotations::Read", 1, static_cast<OPCHDA_ANNOTATION*>(nullptr),
          [&](auto v, auto e) { return annotations->Read(&start, &end, 1, &h, v, e); });
    ASSERT_EQ(server->ReleaseItemHandles(1, &h, Out<HRESULT>()), S_OK);
    EXPECT_EQ(counter(&IHdaSimControl::OutstandingTaskMemory), memory);
    control.reset();
    server.reset();
    CoUninitialize();
}

}  // namespace
