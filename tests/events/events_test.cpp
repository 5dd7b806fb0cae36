// The server object's event sources, driven as a historian calls them and end
// to end through the simulator, to sinks written as VBA WithEvents sinks are.
#include <olectl.h>

#include <array>
#include <optional>
#include <set>
#include <thread>

#include "com/implements.h"
#include "opc_hda.h"
#include "server/COPCHDAAutoServer.h"
#include "server/historian_sink.h"
#include "support/event_sink.h"
#include "support/historian_callbacks.h"
#include "support/sim_fixture.h"

namespace {

using namespace comtest;

class Events : public ComTest {
protected:
    void SetUp() override {
        ComTest::SetUp();
        ASSERT_HRESULT_SUCCEEDED(CreateServer(server_));
        ASSERT_HRESULT_SUCCEEDED(server_.query(IID_IOPCHDA_DataCallback, callback_));
        ASSERT_HRESULT_SUCCEEDED(server_.query(IID_IConnectionPointContainer, container_));
        ASSERT_HRESULT_SUCCEEDED(container_->FindConnectionPoint(DIID__IOPCHDAItemEvents, items_.put()));
    }
    void TearDown() override {
        Drop();
        EXPECT_EQ(EndSinks(), 0) << "a dropped sink was called or referenced";
        ComTest::TearDown();
    }
    void Drop() { items_ = nullptr, container_ = nullptr, callback_ = nullptr, server_ = nullptr; }
    void Raise(DWORD id = 1) { EXPECT_EQ(callback_->OnCancelComplete(id), S_OK); }
    DWORD AdviseItems(Sink* sink) { return Subscribe(server_.get(), sink); }

    ComPtr<IOPCHDAAutoServer> server_;
    ComPtr<IOPCHDA_DataCallback> callback_;
    ComPtr<IConnectionPointContainer> container_;
    ComPtr<IConnectionPoint> items_;
};

// Only the two event interfaces are found, and only a sink of the point's own interface is taken. Every
// subscription is a slot of its own with a cookie never reused; sinks are called in slot order and a
// failing one, or one that unadvises itself, stops nobody; an enumerator lists a snapshot.
TEST_F(Events, ConnectionPointsSlotsAndCookies) {
    for (auto [iid, expected] : {std::pair{&DIID__IOPCHDAAutoServerEvents, S_OK},
                                 {&DIID__IOPCHDAItemEvents, S_OK},
                                 {&IID_IDispatch, CONNECT_E_NOCONNECTION},
                                 {&IID_IOPCHDA_DataCallback, CONNECT_E_NOCONNECTION}}) {
        ComPtr<IConnectionPoint> point;
        EXPECT_EQ(container_->FindConnectionPoint(*iid, point.put()), expected);
    }
    EXPECT_EQ(container_->FindConnectionPoint(DIID__IOPCHDAItemEvents, nullptr), E_POINTER);
    EXPECT_EQ(container_->EnumConnectionPoints(nullptr), E_POINTER);
    EXPECT_EQ(items_->EnumConnections(nullptr), E_POINTER);
    ComPtr<Sink> dispatchOnly = Sink::Make(kNoEvents), serverSink = Sink::Make(kServerEvents);
    for (IDispatch* refused : {static_cast<IDispatch*>(dispatchOnly.get()), static_cast<IDispatch*>(serverSink.get()),
                               static_cast<IDispatch*>(nullptr)}) {
        DWORD cookie = 77;
        EXPECT_EQ(items_->Advise(refused, &cookie), refused ? CONNECT_E_CANNOTCONNECT : E_POINTER);
        EXPECT_EQ(cookie, 0u);
    }
    EXPECT_EQ(items_->Advise(Sink::Make().get(), nullptr), E_POINTER);

    std::vector<int> order;
    std::vector<ComPtr<Sink>> sinks;
    std::vector<DWORD> cookies;
    for (int i = 0; i < 5; ++i) {
        sinks.push_back(Sink::Make());
        sinks.back()->onEvent = [&order, i](DISPID, const DISPPARAMS&) { order.push_back(i); };
        cookies.push_back(AdviseItems(sinks[i].get()));
    }
    EXPECT_EQ(items_->Unadvise(cookies[1]), S_OK);
    for (DWORD gone : {cookies[1], 0ul, cookies[4] + 1000})
        EXPECT_EQ(items_->Unadvise(gone), CONNECT_E_NOCONNECTION) << gone;
    EXPECT_EQ(sinks[1]->AddRef(), 2u) << "the list's reference went with the subscription";
    sinks[1]->Release();
    // The same sink twice is two subscriptions; an emptied slot is reused, its cookie not.
    const DWORD again = AdviseItems(sinks[4].get());
    for (DWORD c : cookies) EXPECT_NE(again, c);
    ComPtr<IEnumConnections> snapshot;
    ASSERT_EQ(items_->EnumConnections(snapshot.put()), S_OK);
    sinks[0]->invokeResult = DISP_E_EXCEPTION;
    sinks[2]->onEvent = [&](DISPID, const DISPPARAMS&) {
        order.push_back(2);
        EXPECT_EQ(items_->Unadvise(cookies[2]), S_OK);
    };
    Raise(5);
    EXPECT_EQ(items_->Unadvise(again), S_OK);
    Raise(6);
    EXPECT_EQ(order, (std::vector<int>{0, 4, 2, 3, 4, 0, 3, 4}));
    EXPECT_EQ(std::tuple(sinks[0]->Events().at(0).id, sinks[0]->Events().at(0).args), std::tuple(9, L"5"));
    EXPECT_EQ(dispatchOnly->Count() + serverSink->Count(), 0u);
    for (int i : {0, 3, 4}) EXPECT_EQ(items_->Unadvise(cookies[i]), S_OK);
    CONNECTDATA all[6]{};
    ULONG fetched = 0;
    EXPECT_EQ(snapshot->Next(6, all, &fetched), S_FALSE);
    std::set<DWORD> listed;
    for (ULONG k = 0; k < fetched; ++k) {
        listed.insert(all[k].dwCookie);
        EXPECT_EQ(all[k].pUnk, static_cast<IDispatch*>(sinks[k == 1 ? 4 : k].get()) /* slot order */);
        all[k].pUnk->Release();
    }
    EXPECT_EQ(listed, (std::set<DWORD>{cookies[0], again, cookies[2], cookies[3], cookies[4]}));
}

// An enumerator or the historian's reference keeps the object alive, a firing too when a handler drops the last
// one; the object's end releases every sink.
TEST_F(Events, EnumeratorsAndLifetime) {
    ComPtr<Sink> sink = Sink::Make(), notices = Sink::Make(kServerEvents);
    for (int i = 0; i < 3; ++i) AdviseItems(sink.get());
    ComPtr<IEnumConnections> connections;
    ASSERT_EQ(items_->EnumConnections(connections.put()), S_OK);
    CONNECTDATA one[2]{};
    ULONG fetched = 9;
    EXPECT_EQ(connections->Next(1, nullptr, &fetched), E_POINTER);
    EXPECT_EQ(connections->Next(2, one, nullptr), E_POINTER);
    ASSERT_EQ(connections->Next(2, one, &fetched), S_OK);
    for (CONNECTDATA& each : one) each.pUnk->Release();  // its own reference: the sink's count is checked at the end
    connections = nullptr;
    ComPtr<IEnumConnectionPoints> points;
    ASSERT_EQ(container_->EnumConnectionPoints(points.put()), S_OK);
    for (int i = 0; i < 2; ++i) Subscribe(server_.get(), notices.get(), DIID__IOPCHDAAutoServerEvents);
    // A historian's notice without a reason still reaches the sinks.
    ComPtr<IOPCShutdown> shutdown;
    ASSERT_HRESULT_SUCCEEDED(server_.query(IID_IOPCShutdown, shutdown));
    EXPECT_EQ(shutdown->ShutdownRequest(nullptr), S_OK);
    EXPECT_EQ(notices->Count(), 2u);

    shutdown = nullptr;
    Drop();
    EXPECT_EQ(LibraryCanUnloadNow(), S_FALSE);
    for (const IID& expected : {DIID__IOPCHDAAutoServerEvents, DIID__IOPCHDAItemEvents}) {
        ComPtr<IConnectionPoint> listed;
        IID iid{};
        ASSERT_EQ(points->Next(1, listed.put(), nullptr), S_OK);
        EXPECT_EQ(listed->GetConnectionInterface(&iid), S_OK);
        EXPECT_EQ(iid, expected);
        ASSERT_EQ(listed->GetConnectionPointContainer(container_.put()), S_OK);
    }
    ASSERT_EQ(container_.query(IID_IOPCHDA_DataCallback, callback_), S_OK);
    container_ = nullptr;
    points = nullptr;
    IOPCHDA_DataCallback* last = callback_.detach();
    sink->onEvent = [&last](DISPID, const DISPPARAMS&) {
        if (last) std::exchange(last, nullptr)->Release();
    };
    Sent sent{1, S_OK};
    EXPECT_EQ(last->OnDataChange(1, S_OK, 1, sent.items, sent.codes), S_OK);
    EXPECT_EQ(sink->Count(), 3u);
    sink->kept.clear();
    EXPECT_EQ(LibraryCanUnloadNow(), S_OK);
    for (Sink* s : {sink.get(), notices.get()}) {
        EXPECT_EQ(s->AddRef(), 2u) << "a subscription outlived the object";
        s->Release();
    }
}

// Through the sink the historian actually holds, which forwards every argument to the server object.
TEST_F(Events, EachDeliveryRaisesItsOwnEventWithItsOwnArguments) {
    ComPtr<COPCHDAAutoServer> linked = MakeObject<COPCHDAAutoServer>();
    ASSERT_TRUE(linked);
    ComPtr<HistorianSink> forwarder = MakeObject<HistorianSink>(linked.get());
    ASSERT_TRUE(forwarder);
    ComPtr<Sink> sink = Sink::Make();
    Subscribe(static_cast<IOPCHDA_DataCallback*>(linked.get()), sink.get());
    for (const CallbackRow& row : kCallbacks) {
        // Transaction 0 and a failure status pass unchanged, as any other.
        for (auto [tid, status] : {std::pair<DWORD, HRESULT>{0, S_OK}, {0xFFFFFFF0u, E_FAIL}}) {
            SCOPED_TRACE(std::string(row.name) + (tid ? " failed" : ""));
            const size_t before = sink->Count();
            {
                Sent sent{tid, status};
                ASSERT_EQ(row.call(forwarder.get(), sent), row.id ? S_OK : E_OUTOFMEMORY);
                for (VARIANT& value : sent.v) value = VarR8(-1);  // the historian's memory is its own again
            }
            ASSERT_EQ(sink->Count(), before + (row.id ? 1 : 0));
            if (!row.id) continue;
            EXPECT_EQ(sink->Events().back().id, row.id);
            const std::wstring args = sink->Events().back().args;
            EXPECT_EQ(args, (tid ? L"0xFFFFFFF0 0x80004005 " : L"0 0 ") + std::wstring(row.args));
            for (const auto& history : sink->kept)
                EXPECT_NE(args.find(Show(Typed(VT_DISPATCH, history.get()))), std::wstring::npos)
                    << "a kept history is a copy";
            sink->kept.clear();
        }
    }
    forwarder->Detach();
}

// The slot list is read under the connection point's lock: events raised on
// several threads while another thread grows the list and empties its slots
// all reach the sink that stays, and no dropped sink is called.
TEST_F(Events, FiringOnSeveralThreadsWhileTheSlotListGrowsAndShrinks) {
    constexpr int kFirers = 4, kEach = 10000;
    ComPtr<Sink> steady = Sink::Make();
    AdviseItems(steady.get());
    std::atomic<bool> stop{false};
    std::atomic<int> failed{0};
    std::thread churn([&] {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        while (!stop) {
            std::vector<DWORD> cookies;
            for (int i = 0; i < 24; ++i)  // the point holds the only reference
                cookies.push_back(AdviseItems(Sink::Make().get()));
            for (DWORD cookie : cookies) items_->Unadvise(cookie);
        }
        CoUninitialize();
    });
    std::vector<std::thread> firers;
    for (int t = 0; t < kFirers; ++t)
        firers.emplace_back([&] {
            CoInitializeEx(nullptr, COINIT_MULTITHREADED);
            for (int i = 0; i < kEach; ++i)
                if (callback_->OnCancelComplete(static_cast<DWORD>(i)) != S_OK) ++failed;
            CoUninitialize();
        });
    for (std::thread& f : firers) f.join();
    stop = true;
    churn.join();
    EXPECT_EQ(failed, 0);
    EXPECT_EQ(steady->Count(), static_cast<size_t>(kFirers * kEach));
}

// The historian's sink must not let the server object go while a callback it forwarded still runs in it, whether or
// not its wait works: Detach waits for a callback blocked in a client's handler. The platform calls the sink depends
// on fail through this program's import table, where the statically linked sink finds them.
// Points one of this program's import slots elsewhere while it lives. mingw names a slot __imp_ and the function's
// link name: on x86 that is the stdcall name, with its underscore and argument bytes.
template <class F>
class ScopedImportPatch {
public:
    ScopedImportPatch(F*& slot, F* replacement) : slot_(slot), saved_(Swap(replacement)) {}
    ~ScopedImportPatch() { Swap(saved_); }

private:
    F* Swap(F* to) {
        DWORD was = 0;
        VirtualProtect(&slot_, sizeof slot_, PAGE_READWRITE, &was);
        F* from = std::exchange(slot_, to);
        VirtualProtect(&slot_, sizeof slot_, was, &was);
        return from;
    }
    F*& slot_;
    F* saved_;
};
#ifdef _WIN64
#define IMPORT_SLOT(function, argument_bytes) "__imp_" #function
#else
#define IMPORT_SLOT(function, argument_bytes) "__imp__" #function "@" #argument_bytes
#endif
extern "C" decltype(&CreateEventW) createEventSlot __asm__(IMPORT_SLOT(CreateEventW, 16));
extern "C" decltype(&CoWaitForMultipleHandles) coWaitSlot __asm__(IMPORT_SLOT(CoWaitForMultipleHandles, 20));

HRESULT WINAPI WaitFails(DWORD, DWORD, ULONG, LPHANDLE, LPDWORD) { return RPC_E_CHANGED_MODE; }
HANDLE WINAPI NoEvent(LPSECURITY_ATTRIBUTES, BOOL, BOOL, LPCWSTR) { return nullptr; }

enum class Broken { Nothing, Wait, Event };
class SinkDetach : public Events, public testing::WithParamInterface<Broken> {};

TEST_P(SinkDetach, WaitsForTheCallbackRunningInTheOwner) {
    ComPtr<COPCHDAAutoServer> owner = MakeObject<COPCHDAAutoServer>();
    ASSERT_TRUE(owner);
    ComPtr<HistorianSink> sink;
    {
        std::optional<ScopedImportPatch<decltype(CreateEventW)>> noEvent;
        if (GetParam() == Broken::Event) noEvent.emplace(createEventSlot, &NoEvent);
        sink = MakeObject<HistorianSink>(owner.get());
    }
    ASSERT_TRUE(sink);
    std::atomic<bool> entered = false, release = false, detached = false;
    ComPtr<Sink> subscriber = Sink::Make(kServerEvents);
    subscriber->onEvent = [&](DISPID, const DISPPARAMS&) {  // a handler that does not return until it is let go
        entered = true;
        while (!release) Sleep(1);
    };
    Subscribe(static_cast<IOPCHDA_DataCallback*>(owner.get()), subscriber.get(), DIID__IOPCHDAAutoServerEvents);
    std::thread historian([&] {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        EXPECT_EQ(sink->ShutdownRequest(L"maintenance"), S_OK);
        CoUninitialize();
    });
    for (int i = 0; i < 1000 && !entered; ++i) Sleep(10);
    std::thread releasing([&] {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        std::optional<ScopedImportPatch<decltype(CoWaitForMultipleHandles)>> failingWait;
        if (GetParam() == Broken::Wait) failingWait.emplace(coWaitSlot, &WaitFails);
        sink->Detach();
        detached = true;
        CoUninitialize();
    });
    // A slow machine can only make this pass when it should fail, never the other way.
    Sleep(300);
    EXPECT_TRUE(entered);
    EXPECT_FALSE(detached) << "the owner may go while its callback runs";
    release = true;
    releasing.join();
    historian.join();
    EXPECT_TRUE(detached);
}

INSTANTIATE_TEST_SUITE_P(Broken, SinkDetach, testing::Values(Broken::Nothing, Broken::Wait, Broken::Event),
                         [](const auto& info) {
                             return std::string(std::array{"Nothing", "Wait", "Event"}[static_cast<int>(info.param)]);
                         });

class Delivery : public ConnectedServer, public testing::WithParamInterface<std::tuple<Where, bool>> {
protected:
    void SetUp() override {
        ASSERT_HRESULT_SUCCEEDED(CoInitializeEx(nullptr, sta() ? COINIT_APARTMENTTHREADED : COINIT_MULTITHREADED));
        Connect(std::get<0>(GetParam()));
    }
    void TearDown() override {
        ramp_ = step_ = text_ = nullptr;
        items_ = nullptr;
        server_ = nullptr;
        WaitUntilUnloadable(20000);  // the last reference may go on the historian's thread
        EXPECT_EQ(EndSinks(), 0) << "a dropped sink was called or referenced";
        ConnectedServer::TearDown();
    }
    bool sta() const { return std::get<1>(GetParam()); }
};

TEST_P(Delivery, AReadCompletesAndAShutdownReachesEverySinkOnce) {
    ComPtr<Sink> itemSink = Sink::Make(), notices[] = {Sink::Make(kServerEvents), Sink::Make(kServerEvents)};
    Subscribe(server_.get(), itemSink.get());
    for (auto& sink : notices) Subscribe(server_.get(), sink.get(), DIID__IOPCHDAAutoServerEvents);

    TimeRange range(L"NOW-1M", L"NOW");
    UniqueSafeArray handles(MakeLongArray({rampHandle_})), errors;
    SAFEARRAY* handleArray = handles.get();
    LONG cancelID = 0;
    ASSERT_EQ(items_->AsyncReadRaw(42, range.start.get(), range.end.get(), 0, FALSE, 1, &handleArray, errors.put(),
                                   &cancelID),
              S_OK);
    ASSERT_TRUE(itemSink->WaitFor(1));
    Event e = itemSink->Events()[0];
    EXPECT_EQ(e.id, 2);
    EXPECT_EQ(e.args.substr(0, 16), L"42 0 1 [1] [0] {") << "the ramp's client handle";
    ComPtr<OPCHDAHistory> history;
    ASSERT_EQ(itemSink->kept.at(0).query(IID_OPCHDAHistory, history), S_OK);
    EXPECT_GE(CountOf(history.get()), 6);
    EXPECT_EQ(sta() ? e.thread : GetCurrentThreadId(), GetCurrentThreadId()) << "off the apartment's thread";

    ASSERT_EQ(control_->SendShutdown(L"maintenance at noon"), S_OK);
    for (auto& sink : notices) ASSERT_TRUE(sink->WaitFor(1));
    Sleep(100);
    for (auto& sink : notices) {
        ASSERT_EQ(sink->Count(), 1u);
        EXPECT_EQ(std::tuple(sink->Events()[0].id, sink->Events()[0].args), std::tuple(1, L"'maintenance at noon'"));
    }
    EXPECT_EQ(itemSink->Count(), 1u);
    DATE now = 0;
    EXPECT_EQ(server_->get_CurrentTime(&now), S_OK) << "reacting is the client's business";
    // A handler reached through the historian's sink drops the last reference: the release returns (the sink does
    // not wait for the call running on its own thread), and the library unloads once the call is over.
    history = nullptr;
    itemSink->kept.clear();
    std::atomic<bool> released = false;
    notices[0]->onEvent = [&](DISPID, const DISPPARAMS&) {
        ramp_ = step_ = text_ = nullptr;
        items_ = nullptr;
        server_ = nullptr;
        released = true;
    };
    ASSERT_EQ(control_->SendShutdown(L"last"), S_OK);
    EXPECT_TRUE(WaitUntil([&] { return released && LibraryCanUnloadNow() == S_OK; })) << "released: " << released;
}

INSTANTIATE_TEST_SUITE_P(Historian, Delivery, testing::Combine(testing::ValuesIn(kBothSides), testing::Bool()),
                         [](const testing::TestParamInfo<std::tuple<Where, bool>>& info) {
                             return std::string(std::get<0>(info.param) == Where::InProcess ? "InProc" : "Local") +
                                    (std::get<1>(info.param) ? "Sta" : "Mta");
                         });

}  // namespace
