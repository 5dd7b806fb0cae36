// Events end to end: the simulated historian (in process and as a local
// server) answers a request and announces its shutdown through the sink that
// Connect advised; the server object raises the events to WithEvents-style
// sinks in a single-threaded apartment that pumps and in the multithreaded
// apartment. Also the shutdown notice and error-information answers driven
// directly.
#include "event_sink.h"

#include "module_state.h"
#include "server_test_support.h"

namespace eventtest {
namespace {

using servertest::Where;

constexpr LONGLONG kSecond = 10'000'000;
constexpr LONGLONG kT0 = 133485408000000000LL;
const wchar_t kRamp[] = L"Plant/Lab/Calibration/Ramp";

double RampAt(LONGLONG t) { return static_cast<double>((t / 100000000) % 1000); }

OPCHDA_TIME AbsoluteTime(LONGLONG t) {
    OPCHDA_TIME h{};
    h.bString = FALSE;
    h.ftTime.dwLowDateTime = static_cast<DWORD>(t);
    h.ftTime.dwHighDateTime = static_cast<DWORD>(t >> 32);
    return h;
}

void Pump(DWORD ms) {
    HANDLE never = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD index = 0;
    CoWaitForMultipleHandles(0, ms, 1, &never, &index);
    CloseHandle(never);
}

struct Case {
    Where where;
    bool sta;
};
std::string CaseName(const testing::TestParamInfo<Case>& info) {
    return std::string(info.param.where == Where::InProcess ? "InProc" : "Local") + (info.param.sta ? "Sta" : "Mta");
}

class DeliveryTest : public testing::TestWithParam<Case> {
protected:
    void SetUp() override {
        ASSERT_HRESULT_SUCCEEDED(
            CoInitializeEx(nullptr, GetParam().sta ? COINIT_APARTMENTTHREADED : COINIT_MULTITHREADED));
        control_ = servertest::SimControl(GetParam().where);
        ASSERT_TRUE(control_);
        control_->ResetDefaults();
        server_ = servertest::NewLinkedServer();
        ASSERT_TRUE(server_);
        UniqueBstr progID(servertest::ProgIDOf(GetParam().where));
        ASSERT_EQ(server_->Connect(progID.get(), comtest::VarEmpty()), S_OK);
        historian_ = servertest::RecordingRuntime::LastHistorian();
        ASSERT_TRUE(historian_);
    }
    void TearDown() override {
        historian_ = nullptr;
        servertest::RecordingRuntime::LastHistorian() = nullptr;
        server_ = nullptr;
        // A callback holds the server object while it fires, so the last
        // reference (and with it the release of the items at the historian)
        // may go on the historian's thread after the event has arrived; that
        // release reaches a single-threaded apartment only while it pumps.
        for (int i = 0; i < 400 && Module::LockCount() != 0; ++i) Pump(50);
        EXPECT_EQ(Module::LockCount(), 0) << "an object of the component is still alive";
        if (control_) {
            LONG handles = -1;
            control_->OutstandingHandles(&handles);
            EXPECT_EQ(handles, 0);
            control_->ResetDefaults();
        }
        control_ = nullptr;
        CoUninitialize();
    }

    servertest::RecordingRuntime runtime_;
    ComPtr<IHdaSimControl> control_;
    ComPtr<IOPCHDAAutoServer> server_;
    ComPtr<IHdaSimControl> historian_;
};

TEST_P(DeliveryTest, AnAsynchronousReadArrivesAsAsyncReadComplete) {
    ComPtr<IOPCHDAItems> items;
    ASSERT_EQ(server_->get_OPCHDAItems(items.put()), S_OK);
    ComPtr<OPCHDAItem> item;
    UniqueBstr id(kRamp);
    ASSERT_EQ(items->AddItem(id.get(), 7, item.put()), S_OK);
    LONG serverHandle = 0;
    ASSERT_EQ(item->get_ServerHandle(&serverHandle), S_OK);

    ComPtr<EventSink> sink = EventSink::Make(DIID__IOPCHDAItemEvents);
    DWORD cookie = Advise(server_.get(), DIID__IOPCHDAItemEvents, static_cast<IDispatch*>(sink.get()));
    ASSERT_NE(cookie, 0u);

    ComPtr<IOPCHDA_AsyncRead> async;
    ASSERT_EQ(historian_.query(IID_IOPCHDA_AsyncRead, async), S_OK);
    OPCHDA_TIME start = AbsoluteTime(kT0), end = AbsoluteTime(kT0 + 60 * kSecond);
    OPCHANDLE handle = static_cast<OPCHANDLE>(serverHandle);
    DWORD cancelID = 0;
    HRESULT* errors = nullptr;
    ASSERT_EQ(async->ReadRaw(42, &start, &end, 0, FALSE, 1, &handle, &cancelID, &errors), S_OK);
    CoTaskMemFree(errors);
    ASSERT_TRUE(sink->WaitFor(1));
    Event e = sink->Events()[0];
    EXPECT_EQ(e.id, 2);
    EXPECT_EQ(e.Long(0), 42);
    EXPECT_EQ(e.Long(2), 1);
    EXPECT_EQ(e.args[3].longs, (std::vector<LONG>{7}));
    ASSERT_EQ(e.args[5].histories.size(), 1u);
    std::vector<double> expected;
    for (int k = 0; k < 6; ++k) expected.push_back(RampAt(kT0 + k * 10 * kSecond));
    EXPECT_EQ(e.args[5].histories[0], expected);
    // A single-threaded apartment gets its events on its own thread.
    if (GetParam().sta) {
        EXPECT_EQ(e.thread, GetCurrentThreadId());
    }

    EXPECT_EQ(Unadvise(server_.get(), DIID__IOPCHDAItemEvents, cookie), S_OK);
    item = nullptr;
    items = nullptr;
    async = nullptr;
}

TEST_P(DeliveryTest, AShutdownReachesEverySinkOnceAndTheObjectStaysConnected) {
    ComPtr<EventSink> first = EventSink::Make(DIID__IOPCHDAAutoServerEvents);
    ComPtr<EventSink> second = EventSink::Make(DIID__IOPCHDAAutoServerEvents);
    ComPtr<EventSink> itemSink = EventSink::Make(DIID__IOPCHDAItemEvents);
    DWORD c1 = Advise(server_.get(), DIID__IOPCHDAAutoServerEvents, static_cast<IDispatch*>(first.get()));
    DWORD c2 = Advise(server_.get(), DIID__IOPCHDAAutoServerEvents, static_cast<IDispatch*>(second.get()));
    DWORD c3 = Advise(server_.get(), DIID__IOPCHDAItemEvents, static_cast<IDispatch*>(itemSink.get()));
    // The simulator waits for its notice to be delivered (pumping meanwhile).
    ASSERT_EQ(control_->SendShutdown(L"maintenance at noon"), S_OK);
    ASSERT_TRUE(first->WaitFor(1));
    ASSERT_TRUE(second->WaitFor(1));
    Sleep(100);
    for (EventSink* sink : {first.get(), second.get()}) {
        std::vector<Event> events = sink->Events();
        ASSERT_EQ(events.size(), 1u);
        EXPECT_EQ(events[0].id, 1);
        ASSERT_EQ(events[0].args.size(), 1u);
        EXPECT_EQ(events[0].args[0].vt, VT_BSTR);
        EXPECT_EQ(events[0].args[0].text, L"maintenance at noon");
    }
    EXPECT_EQ(itemSink->Count(), 0u);
    // Reacting is the client's business: the object is still connected.
    DATE now = 0;
    EXPECT_EQ(server_->get_CurrentTime(&now), S_OK);
    LONG data = 0, shutdowns = 0;
    servertest::AdviseCounts(historian_.get(), &data, &shutdowns);
    EXPECT_EQ(shutdowns, 1);
    for (auto [iid, cookie] : {std::pair{&DIID__IOPCHDAAutoServerEvents, c1},
                               {&DIID__IOPCHDAAutoServerEvents, c2},
                               {&DIID__IOPCHDAItemEvents, c3}})
        EXPECT_EQ(Unadvise(server_.get(), *iid, cookie), S_OK);
}

INSTANTIATE_TEST_SUITE_P(Historian, DeliveryTest,
                         testing::Values(Case{Where::InProcess, false}, Case{Where::InProcess, true},
                                         Case{Where::LocalServer, false}, Case{Where::LocalServer, true}),
                         CaseName);

class NoticeTest : public comtest::ComTest {};

TEST_F(NoticeTest, ShutdownTextsArriveAsEmptyStringsWhenNull) {
    ComPtr<IOPCHDAAutoServer> server;
    ASSERT_HRESULT_SUCCEEDED(comtest::CreateServer(server));
    ComPtr<IOPCShutdown> shutdown;
    ASSERT_HRESULT_SUCCEEDED(server.query(IID_IOPCShutdown, shutdown));
    // Nobody listening: nothing happens.
    EXPECT_EQ(shutdown->ShutdownRequest(L"nobody hears this"), S_OK);
    ComPtr<EventSink> sink = EventSink::Make(DIID__IOPCHDAAutoServerEvents);
    DWORD cookie = Advise(server.get(), DIID__IOPCHDAAutoServerEvents, static_cast<IDispatch*>(sink.get()));
    EXPECT_EQ(shutdown->ShutdownRequest(nullptr), S_OK);
    EXPECT_EQ(shutdown->ShutdownRequest(L""), S_OK);
    std::vector<Event> events = sink->Events();
    ASSERT_EQ(events.size(), 2u);
    for (const Event& e : events) {
        EXPECT_EQ(e.args.at(0).vt, VT_BSTR);
        EXPECT_EQ(e.args[0].text, L"");
    }
    EXPECT_EQ(Unadvise(server.get(), DIID__IOPCHDAAutoServerEvents, cookie), S_OK);
}

}  // namespace
}  // namespace eventtest
