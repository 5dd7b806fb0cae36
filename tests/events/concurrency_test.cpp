// Callbacks on several historian threads at once while the client advises,
// unadvises and finally releases the server object: a sink that stays
// subscribed receives every event exactly once, nothing crashes, and the
// module count is 0 at the end.
#include "event_sink.h"

#include <atomic>
#include <set>
#include <thread>

#include "opc_hda.h"
#include "support/com_test.h"

namespace eventtest {
namespace {

constexpr int kThreads = 4;
constexpr int kCallbacksPerThread = 150;

class ConcurrencyTest : public comtest::ComTest {};

TEST_F(ConcurrencyTest, HistorianThreadsWhileTheClientChurnsSubscriptions) {
    ComPtr<IOPCHDAAutoServer> server;
    ASSERT_HRESULT_SUCCEEDED(comtest::CreateServer(server));
    ComPtr<EventSink> stayer = EventSink::Make(DIID__IOPCHDAItemEvents);
    ASSERT_NE(Advise(server.get(), DIID__IOPCHDAItemEvents, static_cast<IDispatch*>(stayer.get())), 0u);

    std::atomic<int> started{0};
    std::vector<std::thread> historian;
    for (int t = 0; t < kThreads; ++t) {
        ComPtr<IOPCHDA_DataCallback> callback;
        ASSERT_HRESULT_SUCCEEDED(server.query(IID_IOPCHDA_DataCallback, callback));
        historian.emplace_back([callback, t, &started]() mutable {
            CoInitializeEx(nullptr, COINIT_MULTITHREADED);
            ++started;
            VARIANT value;
            VariantInit(&value);
            V_VT(&value) = VT_R8;
            FILETIME time{0, 0x01DB0000};
            DWORD quality = 0xC0;
            for (int i = 0; i < kCallbacksPerThread; ++i) {
                V_R8(&value) = i;
                OPCHDA_ITEM item{static_cast<OPCHANDLE>(t), 0, 1, &time, &quality, &value};
                HRESULT code = S_OK;
                callback->OnDataChange(static_cast<DWORD>(t * 10000 + i), S_OK, 1, &item, &code);
            }
            callback = nullptr;  // the historian lets go of the object
            CoUninitialize();
        });
    }
    while (started < kThreads) Sleep(1);
    // Meanwhile the client subscribes and unsubscribes other sinks.
    std::vector<ComPtr<EventSink>> churn;
    for (int round = 0; round < 60; ++round) {
        churn.push_back(EventSink::Make(DIID__IOPCHDAItemEvents));
        DWORD cookie = Advise(server.get(), DIID__IOPCHDAItemEvents, static_cast<IDispatch*>(churn.back().get()));
        EXPECT_NE(cookie, 0u);
        if (round % 2) {
            EXPECT_EQ(Unadvise(server.get(), DIID__IOPCHDAItemEvents, cookie), S_OK);
        }
    }
    server = nullptr;  // the client's last reference goes while callbacks still run
    for (std::thread& t : historian) t.join();

    std::vector<Event> events = stayer->Events();
    std::set<LONG> ids;
    for (const Event& e : events) ids.insert(e.Long(0));
    EXPECT_EQ(events.size(), static_cast<size_t>(kThreads * kCallbacksPerThread));
    EXPECT_EQ(ids.size(), events.size()) << "an event arrived twice";
    for (const Event& e : events) {
        // Each event carries its own values, whatever ran beside it.
        ASSERT_EQ(e.args[5].histories.size(), 1u);
        EXPECT_EQ(e.args[5].histories[0], (std::vector<double>{static_cast<double>(e.Long(0) % 10000)}));
        EXPECT_EQ(e.args[3].longs, (std::vector<LONG>{e.Long(0) / 10000}));
    }
    // The object went with the last callback reference, and every sink with it.
    EXPECT_EQ(comtest::LibraryCanUnloadNow(), S_OK);
    EXPECT_EQ(stayer->AddRef(), 2u);
    stayer->Release();
}

}  // namespace
}  // namespace eventtest
