// The server object's event sources, driven as a historian calls them and end
// to end through the simulator, to sinks written as VBA WithEvents sinks are.
#include <windows.h>
#include <ocidl.h>
#include <olectl.h>

#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "OPCHDAAuto.h"
#include "com_holders.h"
#include "opc_hda.h"
#include "support/com_test.h"
#include "support/enum_conformance.h"
#include "support/sim_fixture.h"

namespace eventtest {
namespace {

using comtest::Where;

std::vector<double> HistoryValues(IDispatch* history) {
    std::vector<double> values;
    UniqueVariant count;
    if (FAILED(comtest::GetProperty(history, L"Count", count.get())) ||
        FAILED(VariantChangeType(count.get(), count.get(), 0, VT_I4)))
        return {-1.0};
    for (LONG k = 1; k <= V_I4(count.get()); ++k) {
        UniqueVariant element, value;
        bool read = SUCCEEDED(comtest::CallMethod(history, L"Item", {comtest::VarI4(k)}, element.get())) &&
                    V_VT(element.get()) == VT_DISPATCH &&
                    SUCCEEDED(comtest::GetProperty(V_DISPATCH(element.get()), L"DataValue", value.get())) &&
                    SUCCEEDED(VariantChangeType(value.get(), value.get(), 0, VT_R8));
        values.push_back(read ? V_R8(value.get()) : -1.0);
    }
    return values;
}

struct Arg {
    VARTYPE vt = VT_EMPTY;
    LONG number = 0;                             // VT_I4
    std::wstring text;                           // VT_BSTR
    LONG lower = 0;                              // arrays
    std::vector<LONG> longs;                     // VT_ARRAY|VT_I4
    std::vector<VARTYPE> types;                  // VT_ARRAY|VT_VARIANT: each element's type
    std::vector<std::vector<double>> histories;  // per element: the history's values, or none
};

struct Event {
    DISPID id = 0;
    WORD flags = 0;
    LCID lcid = 0;
    UINT named = 0;
    DWORD thread = 0;
    std::vector<Arg> args;
    LONG Long(size_t k) const { return args.at(k).number; }
};

class EventSink final : public IDispatch {
public:
    static ComPtr<EventSink> Make(REFIID eventIid) { return ComPtr<EventSink>(new EventSink(eventIid)); }

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        bool ok = riid == IID_IUnknown || riid == IID_IDispatch || (eventIid_ != GUID_NULL && riid == eventIid_);
        *ppv = ok ? static_cast<IDispatch*>(this) : nullptr;
        if (ok) AddRef();
        return ok ? S_OK : E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return InterlockedIncrement(&refs_); }
    STDMETHODIMP_(ULONG) Release() override {
        LONG n = InterlockedDecrement(&refs_);
        if (n == 0) delete this;
        return n;
    }
    STDMETHODIMP GetTypeInfoCount(UINT* n) override { return *n = 0, S_OK; }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    STDMETHODIMP Invoke(DISPID id, REFIID, LCID lcid, WORD flags, DISPPARAMS* params, VARIANT*, EXCEPINFO*,
                        UINT*) override {
        Event e{id, flags, lcid, params ? params->cNamedArgs : 0, GetCurrentThreadId(), {}};
        for (UINT k = params ? params->cArgs : 0; k-- > 0;) e.args.push_back(Decode(params->rgvarg[k]));
        {
            std::lock_guard<std::mutex> g(lock_);
            events_.push_back(e);
        }
        if (onEvent) onEvent(e);
        SetEvent(arrived_);
        return invokeResult;
    }

    std::vector<Event> Events() {
        std::lock_guard<std::mutex> g(lock_);
        return events_;
    }
    size_t Count() { return Events().size(); }
    bool WaitFor(size_t count, DWORD ms = 10000) {
        for (DWORD start = GetTickCount(), index = 0; Count() < count;) {
            if (GetTickCount() - start > ms) return false;
            CoWaitForMultipleHandles(0, 50, 1, &arrived_, &index);
        }
        return true;
    }

    HRESULT invokeResult = S_OK;
    std::function<void(const Event&)> onEvent;  // runs inside Invoke, after recording
    bool keepHistories = false;
    std::vector<ComPtr<IDispatch>> kept;  // with keepHistories: every history received

private:
    explicit EventSink(REFIID eventIid) : eventIid_(eventIid), arrived_(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}
    ~EventSink() { CloseHandle(arrived_); }

    Arg Decode(const VARIANT& v) {
        Arg a;
        a.vt = V_VT(&v);
        if (a.vt == VT_I4) a.number = V_I4(&v);
        if (a.vt == VT_BSTR) a.text.assign(V_BSTR(&v) ? V_BSTR(&v) : L"", SysStringLen(V_BSTR(&v)));
        if (!(a.vt & VT_ARRAY) || !V_ARRAY(&v)) return a;
        LONG upper = 0;
        SafeArrayGetLBound(V_ARRAY(&v), 1, &a.lower);
        SafeArrayGetUBound(V_ARRAY(&v), 1, &upper);
        for (LONG i = a.lower; i <= upper; ++i) {
            if (a.vt == (VT_ARRAY | VT_I4)) {
                a.longs.push_back(comtest::LongAt(V_ARRAY(&v), i));
                continue;
            }
            UniqueVariant e;
            comtest::VariantAt(V_ARRAY(&v), i, e.get());
            a.types.push_back(V_VT(e.get()));
            bool history = V_VT(e.get()) == VT_DISPATCH && V_DISPATCH(e.get());
            a.histories.push_back(history ? HistoryValues(V_DISPATCH(e.get())) : std::vector<double>{});
            std::lock_guard<std::mutex> g(lock_);
            if (history && keepHistories) kept.push_back(ComPtr<IDispatch>(V_DISPATCH(e.get())));
        }
        return a;
    }

    LONG refs_ = 0;
    IID eventIid_;
    std::mutex lock_;
    std::vector<Event> events_;
    HANDLE arrived_;
};

inline DWORD Advise(IUnknown* source, REFIID iid, IDispatch* sink) {
    ComPtr<IConnectionPointContainer> container;
    ComPtr<IConnectionPoint> point;
    DWORD cookie = 0;
    if (SUCCEEDED(source->QueryInterface(IID_IConnectionPointContainer, container.put_void())) &&
        SUCCEEDED(container->FindConnectionPoint(iid, point.put())))
        point->Advise(sink, &cookie);
    return cookie;
}

constexpr HRESULT kNoData = 0x40041002;
constexpr HRESULT kInvalidHandle = 0xC0040001;

// What the rows send: items 11 (three values, aggregate 2) and 12 (one value,
// aggregate 3, failed at the historian), and broken variants of them.
struct Sent {
    DWORD tid;
    HRESULT status;
    FILETIME t[4] = {{1, 0x01DB0000}, {2, 0x01DB0000}, {3, 0x01DB0000}, {4, 0x01DB0000}};
    VARIANT v[4] = {comtest::VarR8(1.5), comtest::VarR8(2.5), comtest::VarR8(3.5), comtest::VarR8(9.0)};
    DWORD q[4] = {0xC0, 0xC0, 0xC0, 0xC0};
    OPCHDA_EDITTYPE edits[4] = {OPCHDA_INSERT, OPCHDA_INSERT, OPCHDA_INSERT, OPCHDA_INSERT};
    LPWSTR notes[4] = {const_cast<LPWSTR>(L"a"), notes[0], notes[0], notes[0]};
    HRESULT codes[2] = {S_OK, kInvalidHandle}, ok[2] = {S_OK, S_OK}, noData[1] = {kNoData};
    OPCHANDLE handles[2] = {11, 12};
    OPCHDA_ITEM items[2] = {{11, 2, 3, t, q, v}, {12, 3, 1, t + 3, q + 3, v + 3}}, empty[1] = {{5, 0, 0, t, q, v}};
    OPCHDA_ITEM huge[2] = {items[0], {12, 3, 0xFFFFFFFFu, nullptr, nullptr, nullptr}};  // cannot be a history
    OPCHDA_ITEM *slice[2] = {&items[0], &items[1]}, *half[2] = {&items[0], nullptr};
    OPCHDA_MODIFIEDITEM modified[2] = {{11, 3, t, q, v, t, edits, notes}, {12, 1, t + 3, q, v + 3, t, edits, notes}};
    OPCHDA_ATTRIBUTE attributes[2] = {{0, 3, 11, t, v}, {0, 1, 12, t + 3, v + 3}};
    OPCHDA_ANNOTATION annotations[2] = {{11, 3, t, notes, t, notes}, {12, 1, t + 3, notes, t, notes}};
};
using Callback = IOPCHDA_DataCallback;

struct Row {
    const char* name;
    DISPID id;          // 0: nothing raised, the historian is told E_OUTOFMEMORY
    const char* shape;  // per argument: I number, K keys (handles or attribute IDs), A aggregates, V values, E errors
    std::vector<LONG> keys, aggregates;
    std::vector<VARTYPE> values;
    std::vector<LONG> errors;
    std::vector<double> first;  // the first history, read in the handler and again after the event
    HRESULT (*call)(Callback*, Sent&);
};

const std::vector<LONG> kKeys{11, 12}, kAggregates{2, 3}, kErrors{S_OK, kInvalidHandle}, kMissing{E_POINTER, E_POINTER};
const std::vector<VARTYPE> kFirstOnly{VT_DISPATCH, VT_EMPTY}, kNone{VT_EMPTY, VT_EMPTY};
const std::vector<double> kFirst{1.5, 2.5, 3.5};

// clang-format off
const Row kRows[] = {
    {"OnDataChange", 1, "IIIKAVE", kKeys, kAggregates, kFirstOnly, kErrors, kFirst, [](Callback* c, Sent& s) { return c->OnDataChange(s.tid, s.status, 2, s.items, s.codes); }},
    {"OnReadComplete", 2, "IIIKAVE", kKeys, kAggregates, kFirstOnly, kErrors, kFirst, [](Callback* c, Sent& s) { return c->OnReadComplete(s.tid, s.status, 2, s.items, s.codes); }},
    {"OnReadModifiedComplete", 3, "IIIKVE", kKeys, {}, kFirstOnly, kErrors, kFirst, [](Callback* c, Sent& s) { return c->OnReadModifiedComplete(s.tid, s.status, 2, s.modified, s.codes); }},
    {"OnReadAttributeComplete", 4, "IIIIKVE", kKeys, {}, kFirstOnly, kErrors, kFirst, [](Callback* c, Sent& s) { return c->OnReadAttributeComplete(s.tid, s.status, 99, 2, s.attributes, s.codes); }},
    {"OnReadAnnotations", 5, "IIIKVE", kKeys, {}, kFirstOnly, kErrors, {-1, -1, -1}, [](Callback* c, Sent& s) { return c->OnReadAnnotations(s.tid, s.status, 2, s.annotations, s.codes); }},
    {"OnInsertAnnotations", 6, "IIIKE", kKeys, {}, {}, kErrors, {}, [](Callback* c, Sent& s) { return c->OnInsertAnnotations(s.tid, s.status, 2, s.handles, s.codes); }},
    {"OnPlayback", 7, "IIIKAVE", kKeys, kAggregates, kFirstOnly, kErrors, kFirst, [](Callback* c, Sent& s) { return c->OnPlayback(s.tid, s.status, 2, s.slice, s.codes); }},
    {"OnUpdateComplete", 8, "IIIKE", kKeys, {}, {}, kErrors, {}, [](Callback* c, Sent& s) { return c->OnUpdateComplete(s.tid, s.status, 2, s.handles, s.codes); }},
    // No data is an empty history; no items, empty arrays.
    {"NoData", 2, "IIIKAVE", {5}, {0}, {VT_DISPATCH}, {kNoData}, {}, [](Callback* c, Sent& s) { return c->OnReadComplete(s.tid, s.status, 1, s.empty, s.noData); }},
    {"NoItems", 1, "IIIKAVE", {}, {}, {}, {}, {}, [](Callback* c, Sent& s) { return c->OnDataChange(s.tid, s.status, 0, nullptr, nullptr); }},
    {"NoHandles", 8, "IIIKE", {}, {}, {}, {}, {}, [](Callback* c, Sent& s) { return c->OnUpdateComplete(s.tid, s.status, 0, nullptr, nullptr); }},
    {"HistoryTooLarge", 1, "IIIKAVE", kKeys, kAggregates, kFirstOnly, {S_OK, E_OUTOFMEMORY}, kFirst, [](Callback* c, Sent& s) { return c->OnDataChange(s.tid, s.status, 2, s.huge, s.ok); }},
    // A historian breaking its promises (a failure code it sent for the item stands).
    {"NullItems", 1, "IIIKAVE", {0, 0}, {0, 0}, kNone, kMissing, {}, [](Callback* c, Sent& s) { return c->OnDataChange(s.tid, s.status, 2, nullptr, s.ok); }},
    {"NullErrors", 2, "IIIKAVE", kKeys, kAggregates, kNone, kMissing, {}, [](Callback* c, Sent& s) { return c->OnReadComplete(s.tid, s.status, 2, s.items, nullptr); }},
    {"NullInSlice", 7, "IIIKAVE", {11, 0}, {2, 0}, kFirstOnly, kErrors, kFirst, [](Callback* c, Sent& s) { return c->OnPlayback(s.tid, s.status, 2, s.half, s.codes); }},
    {"NullSlice", 7, "IIIKAVE", {0, 0}, {0, 0}, kNone, kMissing, {}, [](Callback* c, Sent& s) { return c->OnPlayback(s.tid, s.status, 2, nullptr, nullptr); }},
    {"NullHandles", 8, "IIIKE", {0, 0}, {}, {}, {E_POINTER, kInvalidHandle}, {}, [](Callback* c, Sent& s) { return c->OnUpdateComplete(s.tid, s.status, 2, nullptr, s.codes); }},
    {"NullAnnotationHandles", 6, "IIIKE", {0}, {}, {}, {E_POINTER}, {}, [](Callback* c, Sent& s) { return c->OnInsertAnnotations(s.tid, s.status, 1, nullptr, nullptr); }},
    {"NullAnnotations", 5, "IIIKVE", {0}, {}, {VT_EMPTY}, {E_POINTER}, {}, [](Callback* c, Sent& s) { return c->OnReadAnnotations(s.tid, s.status, 1, nullptr, s.ok); }},
    {"CountTooLargeForHandles", 0, "", {}, {}, {}, {}, {}, [](Callback* c, Sent& s) { return c->OnUpdateComplete(s.tid, s.status, 0x40000000u, nullptr, nullptr); }},
    {"CountTooLargeForItems", 0, "", {}, {}, {}, {}, {}, [](Callback* c, Sent& s) { return c->OnDataChange(s.tid, s.status, 0xFFFFFFFFu, nullptr, nullptr); }},
};
// clang-format on

class Events : public comtest::ComTest {
protected:
    void SetUp() override {
        ComTest::SetUp();
        ASSERT_HRESULT_SUCCEEDED(comtest::CreateServer(server_));
        ASSERT_HRESULT_SUCCEEDED(server_.query(IID_IOPCHDA_DataCallback, callback_));
        ASSERT_HRESULT_SUCCEEDED(server_.query(IID_IConnectionPointContainer, container_));
        ASSERT_HRESULT_SUCCEEDED(container_->FindConnectionPoint(DIID__IOPCHDAItemEvents, items_.put()));
    }
    void TearDown() override {
        items_ = nullptr;
        container_ = nullptr;
        callback_ = nullptr;
        server_ = nullptr;
        ComTest::TearDown();
    }
    void Raise(DWORD id = 1) { EXPECT_EQ(callback_->OnCancelComplete(id), S_OK); }
    DWORD AdviseItems(EventSink* sink) {
        DWORD cookie = 0;
        EXPECT_EQ(items_->Advise(sink, &cookie), S_OK);
        EXPECT_NE(cookie, 0u);
        return cookie;
    }
    static ComPtr<EventSink> NewSink() { return EventSink::Make(DIID__IOPCHDAItemEvents); }

    ComPtr<IOPCHDAAutoServer> server_;
    ComPtr<IOPCHDA_DataCallback> callback_;
    ComPtr<IConnectionPointContainer> container_;
    ComPtr<IConnectionPoint> items_;
};

TEST_F(Events, FindAndAdviseAnswerOnlyTheTwoEventInterfaces) {
    const struct {
        const IID* iid;
        HRESULT expected;
    } rows[] = {{&DIID__IOPCHDAAutoServerEvents, S_OK},
                {&DIID__IOPCHDAItemEvents, S_OK},
                {&IID_IDispatch, CONNECT_E_NOCONNECTION},
                {&IID_IOPCHDA_DataCallback, CONNECT_E_NOCONNECTION}};
    for (const auto& row : rows) {
        ComPtr<IConnectionPoint> point;
        EXPECT_EQ(container_->FindConnectionPoint(*row.iid, point.put()), row.expected);
        if (!point) continue;
        IID iid{};
        EXPECT_EQ(point->GetConnectionInterface(&iid), S_OK);
        EXPECT_EQ(iid, *row.iid);
        ComPtr<IConnectionPointContainer> container;
        EXPECT_EQ(point->GetConnectionPointContainer(container.put()), S_OK);
        EXPECT_EQ(container.get(), container_.get());
    }
    EXPECT_EQ(container_->FindConnectionPoint(DIID__IOPCHDAItemEvents, nullptr), E_POINTER);
    EXPECT_EQ(container_->EnumConnectionPoints(nullptr), E_POINTER);
    EXPECT_EQ(items_->EnumConnections(nullptr), E_POINTER);

    // Refused: a sink without the event interface (or with the other one), no sink, no cookie.
    ComPtr<EventSink> dispatchOnly = EventSink::Make(GUID_NULL),
                      serverSink = EventSink::Make(DIID__IOPCHDAAutoServerEvents);
    for (IDispatch* refused : {static_cast<IDispatch*>(dispatchOnly.get()), static_cast<IDispatch*>(serverSink.get()),
                               static_cast<IDispatch*>(nullptr)}) {
        DWORD cookie = 77;
        EXPECT_EQ(items_->Advise(refused, &cookie), refused ? CONNECT_E_CANNOTCONNECT : E_POINTER);
        EXPECT_EQ(cookie, 0u);
    }
    EXPECT_EQ(items_->Advise(NewSink().get(), nullptr), E_POINTER);
    Raise();
    EXPECT_EQ(dispatchOnly->Count() + serverSink->Count(), 0u);
}

TEST_F(Events, SubscriptionsAreSlotsWithCookiesOfTheirOwn) {
    // The same sink twice: two subscriptions, every event twice.
    ComPtr<EventSink> twice = NewSink();
    DWORD first = AdviseItems(twice.get()), second = AdviseItems(twice.get());
    EXPECT_NE(first, second);
    Raise();
    EXPECT_EQ(twice->Count(), 2u);
    EXPECT_EQ(items_->Unadvise(second), S_OK);
    for (DWORD gone : {second, 0ul, first + second + 1000})
        EXPECT_EQ(items_->Unadvise(gone), CONNECT_E_NOCONNECTION) << gone;
    Raise();
    EXPECT_EQ(twice->Count(), 3u);
    EXPECT_EQ(items_->Unadvise(first), S_OK);
    EXPECT_EQ(twice->AddRef(), 2u) << "the list's reference went with the subscription";
    twice->Release();

    // Sinks are called in slot order; an emptied slot is reused, its cookie not.
    std::vector<int> order;
    std::vector<ComPtr<EventSink>> sinks;
    std::vector<DWORD> cookies;
    for (int i = 0; i < 6; ++i) {
        sinks.push_back(NewSink());
        sinks.back()->onEvent = [&order, i](const Event&) { order.push_back(i); };
        if (i < 5) cookies.push_back(AdviseItems(sinks[i].get()));
    }
    EXPECT_EQ(items_->Unadvise(cookies[1]), S_OK);
    DWORD sixth = AdviseItems(sinks[5].get());
    for (DWORD c : cookies) EXPECT_NE(sixth, c);
    Raise(5);
    EXPECT_EQ(order, (std::vector<int>{0, 5, 2, 3, 4}));
    Event e = sinks[0]->Events().at(0);
    ASSERT_EQ(e.args.size(), 1u);
    EXPECT_EQ(std::tuple(e.id, e.flags, e.lcid, e.named, e.args[0].vt, e.Long(0)),
              std::tuple(9, DISPATCH_METHOD, 0x400, 0, VT_I4, 5));
    // An enumerator lists the subscriptions as a snapshot: Unadvise does not change it.
    ComPtr<IEnumConnections> snapshot;
    ASSERT_EQ(items_->EnumConnections(snapshot.put()), S_OK);
    std::set<DWORD> live{cookies[0], cookies[2], cookies[3], cookies[4], sixth}, listed;
    for (DWORD c : live) EXPECT_EQ(items_->Unadvise(c), S_OK);
    CONNECTDATA all[6]{};
    ULONG fetched = 0;
    EXPECT_EQ(snapshot->Next(6, all, &fetched), S_FALSE);
    for (ULONG k = 0; k < fetched; ++k) {
        listed.insert(all[k].dwCookie);
        EXPECT_EQ(all[k].pUnk, static_cast<IDispatch*>(sinks[k == 1 ? 5 : k].get()) /* slot order */);
        all[k].pUnk->Release();
    }
    EXPECT_EQ(listed, live);
}

TEST_F(Events, SinksThatFailUnadviseOrReleaseTheServerDoNotStopTheOthers) {
    ComPtr<EventSink> failing = NewSink(), leaving = NewSink(), last = NewSink();
    failing->invokeResult = DISP_E_EXCEPTION;
    DWORD failingCookie = AdviseItems(failing.get());
    DWORD leavingCookie = AdviseItems(leaving.get());
    AdviseItems(last.get());
    leaving->onEvent = [this, leavingCookie](const Event&) { EXPECT_EQ(items_->Unadvise(leavingCookie), S_OK); };
    Raise();
    Raise();
    EXPECT_EQ(failing->Count(), 2u);
    EXPECT_EQ(leaving->Count(), 1u);
    EXPECT_EQ(last->Count(), 2u);

    // A historian's notice without a reason still reaches the sinks.
    ComPtr<IOPCShutdown> shutdown;
    ComPtr<EventSink> notices = EventSink::Make(DIID__IOPCHDAAutoServerEvents);
    ASSERT_HRESULT_SUCCEEDED(server_.query(IID_IOPCShutdown, shutdown));
    ASSERT_NE(Advise(server_.get(), DIID__IOPCHDAAutoServerEvents, notices.get()), 0u);
    EXPECT_EQ(shutdown->ShutdownRequest(nullptr), S_OK);
    EXPECT_EQ(notices->Count(), 1u);

    // A handler drops the last reference mid-firing: the firing completes, then the object goes.
    shutdown = nullptr;
    IOPCHDA_DataCallback* raw = callback_.detach();
    failing->onEvent = [&](const Event&) {
        EXPECT_EQ(items_->Unadvise(failingCookie), S_OK);
        items_ = nullptr;
        container_ = nullptr;
        server_ = nullptr;
        raw->Release();
    };
    Sent sent{1, S_OK};
    EXPECT_EQ(raw->OnDataChange(1, S_OK, 1, sent.items, sent.codes), S_OK);
    EXPECT_EQ(last->Count(), 3u);
    EXPECT_EQ(comtest::LibraryCanUnloadNow(), S_OK);
}

// A point or an enumerator keeps the object alive; the object's end releases every sink.
TEST_F(Events, EnumeratorsAndLifetime) {
    ComPtr<EventSink> sink = NewSink(), notices = EventSink::Make(DIID__IOPCHDAAutoServerEvents);
    for (int i = 0; i < 3; ++i) AdviseItems(sink.get());
    ComPtr<IEnumConnections> connections;
    ASSERT_EQ(items_->EnumConnections(connections.put()), S_OK);
    comtest::ExpectEnumeratorConforms<IEnumConnections, CONNECTDATA>(connections.get(), 3);
    CONNECTDATA one[2]{};
    ULONG fetched = 9;
    EXPECT_EQ(connections->Next(1, nullptr, &fetched), E_POINTER);
    EXPECT_EQ(connections->Next(2, one, nullptr), E_POINTER);
    connections = nullptr;
    ComPtr<IEnumConnectionPoints> points;
    ASSERT_EQ(container_->EnumConnectionPoints(points.put()), S_OK);
    comtest::ExpectEnumeratorConforms<IEnumConnectionPoints, IConnectionPoint*>(points.get(), 2);
    ASSERT_EQ(points->Reset(), S_OK);
    for (int i = 0; i < 2; ++i) ASSERT_NE(Advise(server_.get(), DIID__IOPCHDAAutoServerEvents, notices.get()), 0u);

    ComPtr<IConnectionPoint> point = items_;
    server_ = nullptr;
    container_ = nullptr;
    items_ = nullptr;
    Raise(3);  // the callback's reference holds the object too
    callback_ = nullptr;
    EXPECT_EQ(comtest::LibraryCanUnloadNow(), S_FALSE);
    point = nullptr;
    for (const IID& expected : {DIID__IOPCHDAAutoServerEvents, DIID__IOPCHDAItemEvents}) {
        ComPtr<IConnectionPoint> listed;
        IID iid{};
        ASSERT_EQ(points->Next(1, listed.put(), nullptr), S_OK);
        EXPECT_EQ(listed->GetConnectionInterface(&iid), S_OK);
        EXPECT_EQ(iid, expected);
    }
    EXPECT_EQ(comtest::LibraryCanUnloadNow(), S_FALSE);
    points = nullptr;
    EXPECT_EQ(sink->Count(), 3u);
    for (EventSink* s : {sink.get(), notices.get()}) {
        EXPECT_EQ(s->AddRef(), 2u) << "a subscription outlived the object";
        s->Release();
    }
}

TEST_F(Events, EachDeliveryRaisesItsOwnEventWithItsOwnArguments) {
    ComPtr<EventSink> sink = NewSink();
    sink->keepHistories = true;
    AdviseItems(sink.get());
    for (const Row& row : kRows) {
        // Transaction 0 and a failure status pass unchanged, as any other.
        for (auto [tid, status] : {std::pair<DWORD, HRESULT>{0, S_OK}, {0xFFFFFFF0u, E_FAIL}}) {
            SCOPED_TRACE(std::string(row.name) + (tid ? " failed" : ""));
            size_t before = sink->Count();
            {
                Sent sent{tid, status};
                ASSERT_EQ(row.call(callback_.get(), sent), row.id ? S_OK : E_OUTOFMEMORY);
            }
            ASSERT_EQ(sink->Count(), before + (row.id ? 1 : 0));
            if (!row.id) continue;
            Event e = sink->Events().back();
            EXPECT_EQ(e.id, row.id);
            std::string shape = row.shape;
            ASSERT_EQ(e.args.size(), shape.size());
            EXPECT_EQ(static_cast<DWORD>(e.Long(0)), tid);
            EXPECT_EQ(e.Long(1), status);
            const size_t keysAt = shape.find('K');
            EXPECT_EQ(e.Long(keysAt - 1), static_cast<LONG>(row.keys.size()));
            EXPECT_EQ(e.Long(2), keysAt == 4 ? 99 : static_cast<LONG>(row.keys.size()));  // attributes: the item once
            for (size_t k = 0; k < shape.size(); ++k) {
                const Arg& a = e.args[k];
                const char kind = shape[k];
                EXPECT_EQ(a.vt, kind == 'I' ? VT_I4 : kind == 'V' ? VT_ARRAY | VT_VARIANT : VT_ARRAY | VT_I4) << k;
                EXPECT_EQ(a.lower, kind == 'I' ? 0 : 1) << k;
                const std::vector<LONG> none;
                EXPECT_EQ(a.longs, kind == 'K'   ? row.keys
                                   : kind == 'A' ? row.aggregates
                                   : kind == 'E' ? row.errors
                                                 : none);
                EXPECT_EQ(a.types, kind == 'V' ? row.values : std::vector<VARTYPE>{}) << k;
                bool history = kind == 'V' && !a.types.empty() && a.types[0] == VT_DISPATCH;
                EXPECT_EQ(history ? a.histories.at(0) : row.first, row.first);
            }
            // The historian's memory has gone: a kept history holds copies.
            std::vector<double> kept = sink->kept.empty() ? row.first : HistoryValues(sink->kept[0].get());
            EXPECT_EQ(kept, row.first);
            sink->kept.clear();
        }
    }
}

class Delivery : public comtest::ConnectedServer, public testing::WithParamInterface<std::pair<Where, bool>> {
protected:
    void SetUp() override {
        ASSERT_HRESULT_SUCCEEDED(CoInitializeEx(nullptr, sta() ? COINIT_APARTMENTTHREADED : COINIT_MULTITHREADED));
        Connect(GetParam().first);
    }
    void TearDown() override {
        ramp_ = step_ = text_ = nullptr;
        items_ = nullptr;
        server_ = nullptr;
        // The last reference may go on the historian's thread; an STA sees it only while it pumps.
        HANDLE never = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        DWORD index = 0;
        for (int i = 0; i < 400 && comtest::LibraryCanUnloadNow() != S_OK; ++i)
            CoWaitForMultipleHandles(0, 50, 1, &never, &index);
        CloseHandle(never);
        ConnectedServer::TearDown();
    }
    bool sta() const { return GetParam().second; }
};

TEST_P(Delivery, AReadCompletesAndAShutdownReachesEverySinkOnce) {
    ComPtr<EventSink> itemSink = EventSink::Make(DIID__IOPCHDAItemEvents);
    ComPtr<EventSink> notices[] = {EventSink::Make(DIID__IOPCHDAAutoServerEvents),
                                   EventSink::Make(DIID__IOPCHDAAutoServerEvents)};
    Advise(server_.get(), DIID__IOPCHDAItemEvents, itemSink.get());
    for (auto& sink : notices) Advise(server_.get(), DIID__IOPCHDAAutoServerEvents, sink.get());

    comtest::TimeRange range(L"NOW-1M", L"NOW");
    UniqueSafeArray handles(comtest::MakeLongArray({rampHandle_})), errors;
    SAFEARRAY* handleArray = handles.get();
    LONG cancelID = 0;
    ASSERT_EQ(items_->AsyncReadRaw(42, range.start.get(), range.end.get(), 0, FALSE, 1, &handleArray, errors.put(),
                                   &cancelID),
              S_OK);
    ASSERT_TRUE(itemSink->WaitFor(1));
    Event e = itemSink->Events()[0];
    EXPECT_EQ(std::tuple(e.id, e.Long(0), e.Long(1)), std::tuple(2, 42, S_OK));
    EXPECT_EQ(e.args[3].longs, (std::vector<LONG>{1}));  // the ramp's client handle
    ASSERT_EQ(e.args[5].histories.size(), 1u);
    EXPECT_GE(e.args[5].histories[0].size(), 6u);
    EXPECT_EQ(sta() ? e.thread : GetCurrentThreadId(), GetCurrentThreadId()) << "off the apartment's thread";

    ASSERT_EQ(control_->SendShutdown(L"maintenance at noon"), S_OK);
    for (auto& sink : notices) ASSERT_TRUE(sink->WaitFor(1));
    Sleep(100);
    for (auto& sink : notices) {
        ASSERT_EQ(sink->Count(), 1u);
        EXPECT_EQ(sink->Events()[0].id, 1);
        EXPECT_EQ(sink->Events()[0].args.at(0).text, L"maintenance at noon");
    }
    EXPECT_EQ(itemSink->Count(), 1u);
    DATE now = 0;
    EXPECT_EQ(server_->get_CurrentTime(&now), S_OK) << "reacting is the client's business";
}

INSTANTIATE_TEST_SUITE_P(Historian, Delivery,
                         testing::Values(std::pair(Where::InProcess, false), std::pair(Where::InProcess, true),
                                         std::pair(Where::LocalServer, false), std::pair(Where::LocalServer, true)),
                         [](const testing::TestParamInfo<std::pair<Where, bool>>& info) {
                             return std::string(info.param.first == Where::InProcess ? "InProc" : "Local") +
                                    (info.param.second ? "Sta" : "Mta");
                         });

}  // namespace
}  // namespace eventtest
