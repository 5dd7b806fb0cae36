// Events end to end, from the simulated historian in process and as a local
// server to sinks in a single-threaded apartment that pumps and in the
// multithreaded apartment: an asynchronous read completes as
// AsyncReadComplete, and a shutdown notice reaches every server-events sink
// once while the object stays connected.
#include "event_sink.h"

#include "support/sim_fixture.h"

namespace eventtest {
namespace {

using comtest::Where;

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
        // The last reference may go on the historian's thread after the event
        // has arrived; a single-threaded apartment sees it only while it pumps.
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
    DWORD cookies[] = {Advise(server_.get(), DIID__IOPCHDAItemEvents, itemSink.get()),
                       Advise(server_.get(), DIID__IOPCHDAAutoServerEvents, notices[0].get()),
                       Advise(server_.get(), DIID__IOPCHDAAutoServerEvents, notices[1].get())};
    for (DWORD cookie : cookies) ASSERT_NE(cookie, 0u);

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

    // The simulator waits until its notice is delivered (pumping meanwhile).
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
