// The server object's connection points as clients use them: finding them,
// advising and unadvising (cookies, slots, the same sink twice), both
// enumerators and their snapshots, and how a firing treats sinks that fail,
// unadvise themselves or are advised twice. Events are raised by calling the
// object's data callback the way a historian does.
#include "event_sink.h"

#include <set>

#include <olectl.h>

#include "opc_hda.h"
#include "support/com_test.h"
#include "support/enum_conformance.h"

namespace eventtest {
namespace {

constexpr DISPID kCancelComplete = 9;

class ConnectionPointTest : public comtest::ComTest {
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
    // One AsyncCancelComplete event carrying `id`.
    void Raise(DWORD id = 1) { EXPECT_EQ(callback_->OnCancelComplete(id), S_OK); }
    DWORD AdviseItems(EventSink* sink) {
        DWORD cookie = 0;
        EXPECT_EQ(items_->Advise(static_cast<IDispatch*>(sink), &cookie), S_OK);
        EXPECT_NE(cookie, 0u);
        return cookie;
    }
    static void Free(std::vector<CONNECTDATA>& all) {
        for (CONNECTDATA& c : all) c.pUnk->Release();
    }

    ComPtr<IOPCHDAAutoServer> server_;
    ComPtr<IOPCHDA_DataCallback> callback_;
    ComPtr<IConnectionPointContainer> container_;
    ComPtr<IConnectionPoint> items_;
};

TEST_F(ConnectionPointTest, FindsExactlyTheTwoEventInterfaces) {
    struct Row {
        const IID* iid;
        HRESULT expected;
    } rows[] = {{&DIID__IOPCHDAAutoServerEvents, S_OK},
                {&DIID__IOPCHDAItemEvents, S_OK},
                {&IID_IDispatch, CONNECT_E_NOCONNECTION},
                {&IID_IOPCHDA_DataCallback, CONNECT_E_NOCONNECTION},
                {&IID_IOPCHDAAutoServer, CONNECT_E_NOCONNECTION}};
    ComPtr<IUnknown> identity;
    ASSERT_HRESULT_SUCCEEDED(server_.query(IID_IUnknown, identity));
    for (const Row& row : rows) {
        ComPtr<IConnectionPoint> point;
        EXPECT_EQ(container_->FindConnectionPoint(*row.iid, point.put()), row.expected);
        EXPECT_EQ(static_cast<bool>(point), row.expected == S_OK);
        if (!point) continue;
        IID iid{};
        EXPECT_EQ(point->GetConnectionInterface(&iid), S_OK);
        EXPECT_TRUE(IsEqualIID(iid, *row.iid));
        ComPtr<IConnectionPointContainer> back;
        ASSERT_EQ(point->GetConnectionPointContainer(back.put()), S_OK);
        ComPtr<IUnknown> backIdentity;
        ASSERT_HRESULT_SUCCEEDED(back.query(IID_IUnknown, backIdentity));
        EXPECT_EQ(backIdentity.get(), identity.get());
    }
    EXPECT_EQ(container_->FindConnectionPoint(DIID__IOPCHDAItemEvents, nullptr), E_POINTER);
    EXPECT_EQ(container_->EnumConnectionPoints(nullptr), E_POINTER);
}

TEST_F(ConnectionPointTest, APointsReferenceKeepsTheServerAlive) {
    ComPtr<IConnectionPoint> point = items_;
    ComPtr<EventSink> sink = EventSink::Make(DIID__IOPCHDAItemEvents);
    DWORD cookie = AdviseItems(sink.get());
    server_ = nullptr;
    container_ = nullptr;
    items_ = nullptr;
    Raise(3);  // the callback reference still holds the object too
    callback_ = nullptr;
    EXPECT_EQ(comtest::LibraryCanUnloadNow(), S_FALSE);
    EXPECT_EQ(point->Unadvise(cookie), S_OK);
    point = nullptr;
    EXPECT_EQ(sink->Count(), 1u);
}

TEST_F(ConnectionPointTest, AdviseRefusals) {
    ComPtr<EventSink> dispatchOnly = EventSink::Make(GUID_NULL);
    ComPtr<EventSink> sink = EventSink::Make(DIID__IOPCHDAItemEvents);
    DWORD cookie = 77;
    EXPECT_EQ(items_->Advise(static_cast<IDispatch*>(dispatchOnly.get()), &cookie), CONNECT_E_CANNOTCONNECT);
    EXPECT_EQ(cookie, 0u);
    cookie = 77;
    EXPECT_EQ(items_->Advise(nullptr, &cookie), E_POINTER);
    EXPECT_EQ(cookie, 0u);
    EXPECT_EQ(items_->Advise(static_cast<IDispatch*>(sink.get()), nullptr), E_POINTER);
    // A sink of the other event interface cannot subscribe to item events.
    ComPtr<EventSink> serverSink = EventSink::Make(DIID__IOPCHDAAutoServerEvents);
    EXPECT_EQ(items_->Advise(static_cast<IDispatch*>(serverSink.get()), &cookie), CONNECT_E_CANNOTCONNECT);
    Raise();
    EXPECT_EQ(dispatchOnly->Count() + sink->Count() + serverSink->Count(), 0u);
}

TEST_F(ConnectionPointTest, UnadviseEndsExactlyTheNamedSubscription) {
    ComPtr<EventSink> sink = EventSink::Make(DIID__IOPCHDAItemEvents);
    // The same sink twice: two subscriptions, two cookies, every event twice.
    DWORD first = AdviseItems(sink.get());
    DWORD second = AdviseItems(sink.get());
    EXPECT_NE(first, second);
    Raise();
    EXPECT_EQ(sink->Count(), 2u);
    EXPECT_EQ(items_->Unadvise(second), S_OK);
    EXPECT_EQ(items_->Unadvise(second), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(items_->Unadvise(0), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(items_->Unadvise(first + second + 1000), CONNECT_E_NOCONNECTION);
    Raise();
    EXPECT_EQ(sink->Count(), 3u);
    // The list's reference went with the subscription: ours is the last.
    EXPECT_EQ(items_->Unadvise(first), S_OK);
    EXPECT_EQ(sink->AddRef(), 2u);
    sink->Release();
}

TEST_F(ConnectionPointTest, SinksAreCalledInSlotOrderAndEmptySlotsAreReused) {
    std::vector<int> order;
    std::vector<ComPtr<EventSink>> sinks;
    std::vector<DWORD> cookies;
    for (int i = 0; i < 6; ++i) {
        sinks.push_back(EventSink::Make(DIID__IOPCHDAItemEvents));
        sinks.back()->onEvent = [&order, i](const Event&) { order.push_back(i); };
    }
    for (int i = 0; i < 5; ++i) cookies.push_back(AdviseItems(sinks[i].get()));
    EXPECT_EQ(items_->Unadvise(cookies[1]), S_OK);
    DWORD sixth = AdviseItems(sinks[5].get());
    for (DWORD c : cookies) {
        EXPECT_NE(sixth, c) << "a cookie is only reused once nobody holds it";
    }
    Raise();
    EXPECT_EQ(order, (std::vector<int>{0, 5, 2, 3, 4}));
    // Event shape: a method call with the locale of the user, no named arguments.
    Event e = sinks[0]->Events().at(0);
    EXPECT_EQ(e.id, kCancelComplete);
    EXPECT_EQ(e.flags, DISPATCH_METHOD);
    EXPECT_EQ(e.lcid, static_cast<LCID>(0x400));
    EXPECT_EQ(e.named, 0u);
    ASSERT_EQ(e.args.size(), 1u);
    EXPECT_EQ(e.args[0].vt, VT_I4);
    EXPECT_EQ(e.Long(0), 1);  // the cancel identifier
}

TEST_F(ConnectionPointTest, FailingAndSelfUnadvisingSinksDoNotStopTheOthers) {
    ComPtr<EventSink> failing = EventSink::Make(DIID__IOPCHDAItemEvents);
    ComPtr<EventSink> leaving = EventSink::Make(DIID__IOPCHDAItemEvents);
    ComPtr<EventSink> last = EventSink::Make(DIID__IOPCHDAItemEvents);
    failing->invokeResult = DISP_E_EXCEPTION;
    AdviseItems(failing.get());
    DWORD leavingCookie = AdviseItems(leaving.get());
    AdviseItems(last.get());
    ComPtr<IConnectionPoint> point = items_;
    leaving->onEvent = [&](const Event&) { EXPECT_EQ(point->Unadvise(leavingCookie), S_OK); };
    Raise();
    Raise();
    EXPECT_EQ(failing->Count(), 2u);
    EXPECT_EQ(leaving->Count(), 1u);
    EXPECT_EQ(last->Count(), 2u);
    leaving->onEvent = nullptr;
}

TEST_F(ConnectionPointTest, EnumeratorsConformAndListThePointsInOrder) {
    std::vector<ComPtr<EventSink>> sinks;
    for (int i = 0; i < 3; ++i) {
        sinks.push_back(EventSink::Make(DIID__IOPCHDAItemEvents));
        AdviseItems(sinks.back().get());
    }
    ComPtr<IEnumConnections> e;
    ASSERT_EQ(items_->EnumConnections(e.put()), S_OK);
    comtest::ExpectEnumeratorConforms<IEnumConnections, CONNECTDATA>(e.get(), 3);
    CONNECTDATA one[2]{};
    ULONG fetched = 9;
    EXPECT_EQ(e->Next(1, nullptr, &fetched), E_POINTER);
    EXPECT_EQ(e->Next(2, one, nullptr), E_POINTER);
    EXPECT_EQ(items_->EnumConnections(nullptr), E_POINTER);
    ComPtr<IEnumConnectionPoints> points;
    ASSERT_EQ(container_->EnumConnectionPoints(points.put()), S_OK);
    comtest::ExpectEnumeratorConforms<IEnumConnectionPoints, IConnectionPoint*>(points.get(), 2);
    // The enumerator keeps the server object alive by itself.
    ASSERT_EQ(points->Reset(), S_OK);
    server_ = nullptr;
    container_ = nullptr;
    items_ = nullptr;
    callback_ = nullptr;
    IConnectionPoint* both[3]{};
    EXPECT_EQ(points->Next(3, both, &fetched), S_FALSE);
    ASSERT_EQ(fetched, 2u);
    const IID* expected[] = {&DIID__IOPCHDAAutoServerEvents, &DIID__IOPCHDAItemEvents};
    for (int i = 0; i < 2; ++i) {
        IID iid{};
        both[i]->GetConnectionInterface(&iid);
        EXPECT_TRUE(IsEqualIID(iid, *expected[i]));
        both[i]->Release();
    }
    EXPECT_EQ(comtest::LibraryCanUnloadNow(), S_FALSE);
}

TEST_F(ConnectionPointTest, CookiesStayUniqueAndNonZeroUnderChurn) {
    ComPtr<EventSink> sink = EventSink::Make(DIID__IOPCHDAItemEvents);
    std::vector<DWORD> live;
    for (int round = 0; round < 200; ++round) {
        live.push_back(AdviseItems(sink.get()));
        if (round % 3 == 2) {
            // End one from the middle; its cookie names nothing afterwards.
            DWORD gone = live[live.size() / 2];
            live.erase(live.begin() + static_cast<long>(live.size() / 2));
            ASSERT_EQ(items_->Unadvise(gone), S_OK);
            ASSERT_EQ(items_->Unadvise(gone), CONNECT_E_NOCONNECTION);
        }
    }
    std::set<DWORD> unique(live.begin(), live.end());
    EXPECT_EQ(unique.size(), live.size());
    EXPECT_EQ(unique.count(0), 0u);
    // An enumerator is a snapshot: a later Unadvise does not change it.
    ComPtr<IEnumConnections> before, after;
    ASSERT_EQ(items_->EnumConnections(before.put()), S_OK);
    ASSERT_EQ(items_->Unadvise(live.back()), S_OK);
    ASSERT_EQ(items_->EnumConnections(after.put()), S_OK);
    for (IEnumConnections* e : {before.get(), after.get()}) {
        std::vector<CONNECTDATA> listed(live.size() + 1);
        ULONG fetched = 0;
        EXPECT_EQ(e->Next(static_cast<ULONG>(listed.size()), listed.data(), &fetched), S_FALSE);
        listed.resize(fetched);
        std::set<DWORD> enumerated;
        for (CONNECTDATA& c : listed) {
            enumerated.insert(c.dwCookie);
            EXPECT_EQ(c.pUnk, static_cast<IDispatch*>(sink.get()));
        }
        Free(listed);
        EXPECT_EQ(enumerated, unique);
        unique.erase(live.back());
    }
    Raise();
    EXPECT_EQ(sink->Count(), live.size() - 1);
}

TEST_F(ConnectionPointTest, TheServersEndReleasesEverySink) {
    ComPtr<EventSink> sink = EventSink::Make(DIID__IOPCHDAAutoServerEvents);
    EXPECT_NE(Advise(server_.get(), DIID__IOPCHDAAutoServerEvents, static_cast<IDispatch*>(sink.get())), 0u);
    EXPECT_NE(Advise(server_.get(), DIID__IOPCHDAAutoServerEvents, static_cast<IDispatch*>(sink.get())), 0u);
    items_ = nullptr;
    container_ = nullptr;
    callback_ = nullptr;
    server_ = nullptr;
    EXPECT_EQ(sink->AddRef(), 2u);
    sink->Release();
}

}  // namespace
}  // namespace eventtest
