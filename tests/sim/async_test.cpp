// Asynchronous requests, advises, playback, cancellation and shutdown: answers
// come later from the simulator's worker thread through the client's sink, in
// the multithreaded apartment and in a single-threaded apartment that pumps.
#include "sim_fixture.h"

#include <thread>

namespace simtest {
namespace {

const std::wstring kRamp = L"Plant/Lab/Calibration/Ramp";
const Ticks kNow = kT0 + 24 * 60 * kMinute;

double ramp_at(Ticks t) { return static_cast<double>((t / 100000000) % 1000); }

class AsyncTest : public SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        if (HasFatalFailure()) return;
        sink = new Sink();
        ASSERT_HRESULT_SUCCEEDED(
            advise(server.get(), IID_IOPCHDA_DataCallback, static_cast<IOPCHDA_DataCallback*>(sink), &cookie));
        ASSERT_HRESULT_SUCCEEDED(server->QueryInterface(IID_IOPCHDA_AsyncRead, async.put_void()));
        h = handles({kRamp});
    }
    void TearDown() override {
        if (server && cookie) unadvise(server.get(), IID_IOPCHDA_DataCallback, cookie);
        async.reset();
        if (sink) sink->Release();
        SimTest::TearDown();
    }
    DWORD read_raw(DWORD tid, Ticks start, Ticks end) {
        OPCHDA_TIME s = htime(start), e = htime(end);
        DWORD cancel_id = 0;
        HRESULT* errors = nullptr;
        EXPECT_EQ(async->ReadRaw(tid, &s, &e, 0, FALSE, 1, h.data(), &cancel_id, &errors), S_OK);
        if (errors) {
            EXPECT_EQ(errors[0], S_OK);
            CoTaskMemFree(errors);
        }
        return cancel_id;
    }

    Sink* sink = nullptr;
    DWORD cookie = 0;
    Ref<IOPCHDA_AsyncRead> async;
    std::vector<OPCHANDLE> h;
};

TEST_P(AsyncTest, ReadIsAcceptedAtOnceAndAnsweredFromAnotherThread) {
    DWORD id = read_raw(42, kT0, kT0 + kMinute);
    EXPECT_NE(id, 0u);
    ASSERT_TRUE(sink->wait_for(1));
    Event e = sink->events()[0];
    EXPECT_EQ(e.kind, "ReadComplete");
    EXPECT_EQ(e.transaction, 42u);
    EXPECT_NE(e.thread, GetCurrentThreadId());
    ASSERT_EQ(e.clients, (std::vector<OPCHANDLE>{1}));
    ASSERT_EQ(e.values[0].size(), 6u);
    for (size_t k = 0; k < 6; ++k)
        EXPECT_DOUBLE_EQ(e.values[0][k], ramp_at(kT0 + static_cast<Ticks>(k) * 10 * kSecond));
    LONG pending = -1;
    control->PendingRequests(&pending);
    EXPECT_EQ(pending, 0);
}

TEST_P(AsyncTest, CancelBeforeDeliveryAnswersOnlyOnCancelComplete) {
    ASSERT_HRESULT_SUCCEEDED(control->HoldCallbacks(TRUE, FALSE));
    DWORD id = read_raw(5, kT0, kT0 + kMinute);
    LONG pending = 0;
    control->PendingRequests(&pending);
    EXPECT_EQ(pending, 1);
    EXPECT_EQ(async->Cancel(id), S_OK);
    EXPECT_EQ(async->Cancel(id), E_FAIL);  // already gone
    ASSERT_HRESULT_SUCCEEDED(control->HoldCallbacks(FALSE, FALSE));
    ASSERT_TRUE(sink->wait_for(1));
    Sleep(200);
    auto events = sink->events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].kind, "CancelComplete");
    EXPECT_EQ(events[0].transaction, id);
}

TEST_P(AsyncTest, HeldCallbacksAreReleasedInReverseOrderOnRequest) {
    control->HoldCallbacks(TRUE, FALSE);
    read_raw(1, kT0, kT0 + kMinute);
    read_raw(2, kT0, kT0 + kMinute);
    Sleep(100);
    EXPECT_TRUE(sink->events().empty());
    control->HoldCallbacks(FALSE, TRUE);
    ASSERT_TRUE(sink->wait_for(2));
    auto events = sink->events();
    EXPECT_EQ(events[0].transaction, 2u);
    EXPECT_EQ(events[1].transaction, 1u);
}

TEST_P(AsyncTest, AdviseDeliversEveryUpdateIntervalOfTheClockUntilCancelled) {
    OPCHDA_TIME s = htime(kNow - kMinute);
    DWORD id = 0;
    HRESULT* errors = nullptr;
    ASSERT_EQ(async->AdviseRaw(9, &s, ft(10 * kSecond), 1, h.data(), &id, &errors), S_OK);
    CoTaskMemFree(errors);
    ASSERT_TRUE(sink->wait_for(1));
    EXPECT_EQ(sink->events()[0].values[0].size(), 6u);  // the minute up to now
    // The clock stands still: nothing more until it moves.
    Sleep(200);
    EXPECT_EQ(sink->events().size(), 1u);
    control->ClockStep(10 * kSecond);
    ASSERT_TRUE(sink->wait_for(2));
    Event second = sink->events()[1];
    EXPECT_EQ(second.kind, "DataChange");
    EXPECT_EQ(second.transaction, 9u);
    ASSERT_EQ(second.times[0], (std::vector<Ticks>{kNow}));
    EXPECT_DOUBLE_EQ(second.values[0][0], ramp_at(kNow));

    ASSERT_EQ(async->Cancel(id), S_OK);
    ASSERT_TRUE(sink->wait_for(3));
    EXPECT_EQ(sink->events()[2].kind, "CancelComplete");
    control->ClockStep(60 * kSecond);
    Sleep(200);
    EXPECT_EQ(sink->events().size(), 3u);
}

TEST_P(AsyncTest, PlaybackDeliversOneSliceEveryUpdateIntervalAndEnds) {
    Ref<IOPCHDA_Playback> playback;
    ASSERT_HRESULT_SUCCEEDED(server->QueryInterface(IID_IOPCHDA_Playback, playback.put_void()));
    OPCHDA_TIME s = htime(kT0), e = htime(kT0 + 3 * kMinute);
    DWORD id = 0;
    HRESULT* errors = nullptr;
    ASSERT_EQ(playback->ReadRawWithUpdate(3, &s, &e, 0, ft(kMinute), ft(5 * kSecond), 1, h.data(), &id, &errors), S_OK);
    CoTaskMemFree(errors);
    ASSERT_TRUE(sink->wait_for(1));
    control->ClockStep(5 * kSecond);
    ASSERT_TRUE(sink->wait_for(2));
    control->ClockStep(5 * kSecond);
    ASSERT_TRUE(sink->wait_for(3));
    control->ClockStep(5 * kSecond);
    Sleep(200);
    auto events = sink->events();
    ASSERT_EQ(events.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(events[i].kind, "Playback");
        ASSERT_EQ(events[i].times[0].size(), 6u);
        EXPECT_EQ(events[i].times[0][0], kT0 + static_cast<Ticks>(i) * kMinute);
    }
    LONG pending = -1;
    control->PendingRequests(&pending);
    EXPECT_EQ(pending, 0);
}

TEST_P(AsyncTest, AsyncInsertCompletesWithClientHandlesAndIsReadBack) {
    Ref<IOPCHDA_AsyncUpdate> update;
    ASSERT_HRESULT_SUCCEEDED(server->QueryInterface(IID_IOPCHDA_AsyncUpdate, update.put_void()));
    FILETIME when = ft(kT0 + 5 * kSecond);
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_R8;
    v.dblVal = 12.25;
    DWORD quality = 0xC0, id = 0;
    HRESULT* errors = nullptr;
    ASSERT_EQ(update->Insert(77, 1, h.data(), &when, &v, &quality, &id, &errors), S_OK);
    CoTaskMemFree(errors);
    ASSERT_TRUE(sink->wait_for(1));
    Event done = sink->events()[0];
    EXPECT_EQ(done.kind, "UpdateComplete");
    EXPECT_EQ(done.transaction, 77u);
    EXPECT_EQ(done.clients, (std::vector<OPCHANDLE>{1}));
    EXPECT_EQ(done.errors, (std::vector<HRESULT>{S_OK}));
    read_raw(78, kT0, kT0 + 10 * kSecond);
    ASSERT_TRUE(sink->wait_for(2));
    Event read = sink->events()[1];
    ASSERT_EQ(read.values[0].size(), 2u);
    EXPECT_DOUBLE_EQ(read.values[0][1], 12.25);
}

TEST_P(AsyncTest, ShutdownRequestReachesTheShutdownSink) {
    Sink* shutdown = new Sink();
    DWORD c = 0;
    Ref<IOPCCommon> common;
    ASSERT_HRESULT_SUCCEEDED(server->QueryInterface(IID_IOPCCommon, common.put_void()));
    ASSERT_HRESULT_SUCCEEDED(advise(common.get(), IID_IOPCShutdown, static_cast<IOPCShutdown*>(shutdown), &c));
    LONG data = 0, downs = 0;
    control->AdviseCount(&data, &downs);
    EXPECT_EQ(data, 1);
    EXPECT_EQ(downs, 1);
    ASSERT_HRESULT_SUCCEEDED(control->SendShutdown(L"maintenance"));
    ASSERT_TRUE(shutdown->wait_for(1));
    EXPECT_EQ(shutdown->events()[0].text, L"maintenance");
    EXPECT_EQ(unadvise(common.get(), IID_IOPCShutdown, c), S_OK);
    control->AdviseCount(&data, &downs);
    EXPECT_EQ(downs, 0);
    shutdown->Release();
}

INSTANTIATE_TEST_SUITE_P(Sim, AsyncTest, testing::Values(Where::InProc, Where::Local), where_name);

// A client in a single-threaded apartment gets its callbacks on its own
// thread while it pumps messages.
class StaTest : public testing::TestWithParam<Where> {};

TEST_P(StaTest, CallbacksArriveOnThePumpingApartmentThread) {
    Where where = GetParam();
    DWORD sta_thread = 0;
    std::vector<Event> events;
    bool arrived = false;
    std::thread t([&] {
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        sta_thread = GetCurrentThreadId();
        {
            Ref<IOPCHDA_Server> server;
            if (SUCCEEDED(create_historian(where, server.put()))) {
                Ref<IHdaSimControl> control;
                server->QueryInterface(IID_IHdaSimControl, control.put_void());
                control->ClockSetSpeed(0);
                control->ClockSet(kNow);
                Sink* sink = new Sink();
                DWORD cookie = 0;
                advise(server.get(), IID_IOPCHDA_DataCallback, static_cast<IOPCHDA_DataCallback*>(sink), &cookie);
                LPWSTR id = const_cast<LPWSTR>(kRamp.c_str());
                OPCHANDLE client = 3, *h = nullptr;
                HRESULT* errors = nullptr;
                server->GetItemHandles(1, &id, &client, &h, &errors);
                CoTaskMemFree(errors);
                Ref<IOPCHDA_AsyncRead> async;
                server->QueryInterface(IID_IOPCHDA_AsyncRead, async.put_void());
                OPCHDA_TIME s = htime(kT0), e = htime(kT0 + kMinute);
                DWORD cancel_id = 0;
                async->ReadRaw(11, &s, &e, 0, FALSE, 1, h, &cancel_id, &errors);
                CoTaskMemFree(errors);
                arrived = sink->wait_for(1);  // pumps while waiting
                events = sink->events();
                unadvise(server.get(), IID_IOPCHDA_DataCallback, cookie);
                server->ReleaseItemHandles(1, h, &errors);
                CoTaskMemFree(errors);
                CoTaskMemFree(h);
                control->ClockSetSpeed(1.0);
                sink->Release();
            }
        }
        CoUninitialize();
    });
    t.join();
    ASSERT_TRUE(arrived);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].transaction, 11u);
    EXPECT_EQ(events[0].clients, (std::vector<OPCHANDLE>{3}));
    EXPECT_EQ(events[0].thread, sta_thread);
}

INSTANTIATE_TEST_SUITE_P(Sim, StaTest, testing::Values(Where::InProc, Where::Local), where_name);

}  // namespace
}  // namespace simtest
