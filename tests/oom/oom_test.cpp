// When memory runs out inside the component (linked in here, with an operator
// new that fails on demand; the simulator's DLL keeps its allocator), every
// call returns E_OUTOFMEMORY or its usual success, no exception leaves a COM
// method (on x86 it cannot unwind through a client's frames), nothing leaks.
#include <cmath>
#include <cstring>
#include <cstdlib>
#include <functional>
#include <new>

#include "module/class_factory.h"
#include "com/module_count.h"
#include "server/COPCHDAAutoServer.h"
#include "support/event_sink.h"
#include "support/historian_callbacks.h"
#include "support/item_requests.h"
#include "support/sim_fixture.h"

namespace {
volatile LONG g_countdown = -1;  // allocations left before one fails; negative: none fails
volatile LONG g_failed = 0;

bool ShouldFail() {
    if (InterlockedCompareExchange(&g_countdown, 0, 0) < 0 || InterlockedDecrement(&g_countdown) != -1) return false;
    InterlockedExchange(&g_failed, 1);
    return true;
}
}  // namespace

// The standard library's other forms of new and delete (arrays, nothrow) come down to these.
// GCC cannot see that the library's nothrow new comes down to the malloc
// below, and takes the free of an object it made for a mismatch.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t size) {
    void* p = ShouldFail() ? nullptr : std::malloc(size ? size : 1);
    if (!p) throw std::bad_alloc();
    return p;
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

using namespace comtest;

namespace {

struct Row {
    const char* name;
    std::function<HRESULT()> call;
};
constexpr LONG kItems = 3;

// Runs the row's call with the n-th allocation failing, for n = 0, 1, ... until
// a run in which none failed. Every run must return `success` (what the call
// answers with memory to spare: a read or a listing may answer S_FALSE) or
// E_OUTOFMEMORY; tidy() runs after each, with allocations working again.
void Sweep(const Row& row, HRESULT success, const std::function<void()>& tidy) {
    for (long n = 0; n < 100000; ++n) {
        InterlockedExchange(&g_failed, 0);
        InterlockedExchange(&g_countdown, n);
        HRESULT hr = E_UNEXPECTED;
        bool escaped = false;
        try {
            hr = row.call();
        } catch (...) {
            escaped = true;
        }
        const bool failed = InterlockedCompareExchange(&g_failed, 0, 0) != 0;
        InterlockedExchange(&g_countdown, -1);
        tidy();
        ASSERT_FALSE(escaped) << row.name << ": an exception left the call when allocation " << n << " failed";
        EXPECT_TRUE(hr == success || (failed && hr == E_OUTOFMEMORY))
            << row.name << ": allocation " << n << (failed ? " failed" : " did not fail") << ", result 0x" << std::hex
            << static_cast<unsigned long>(hr);
        if (!failed) return;
    }
    ADD_FAILURE() << row.name << ": never ran without a failed allocation";
}

// The server object of the component linked in here, over the in-process simulator.
class OutOfMemory : public ConnectedServer {
protected:
    void SetUp() override {
        ConnectedServer::SetUp();
        control_ = SimControl(Where::InProcess);
        ASSERT_TRUE(control_);
        control_->ResetDefaults();
        ComPtr<COPCHDAAutoServer> object = MakeObject<COPCHDAAutoServer>();
        ASSERT_TRUE(object);
        ASSERT_EQ(object->QueryInterface(IID_IOPCHDAAutoServer, server_.put_void()), S_OK);
        ASSERT_HRESULT_SUCCEEDED(server_->get_OPCHDAItems(items_.put()));
    }
    // The held answers go out now; a callback holds the server object while it fires, so the last reference
    // may go on the historian's thread, and the historian frees its answer only once that callback has returned.
    void TearDown() override {
        if (control_) control_->ClearFaults();
        items_ = nullptr;
        server_ = nullptr;
        LONG memory = 0;
        WaitUntil([&] { return !ComModule::UseCount() && (!control_ || (control_->OutstandingTaskMemory(&memory), !memory)); });
        EXPECT_EQ(ComModule::UseCount(), 0) << "an object of the component is still alive";
        ConnectedServer::TearDown();  // the historian's memory and item handles
    }
    HRESULT AddItems(UniqueSafeArray& handles) {
        UniqueSafeArray ids(MakeBstrArray({kRamp, kStep, kText})), clients(MakeLongArray({1, 2, 3}));
        SAFEARRAY *idp = ids.get(), *cp = clients.get();
        return items_->AddItems(kItems, &idp, &cp, handles.put(), errors_.put());
    }

    UniqueSafeArray errors_;
};

// Object creation, every request of the items collection (each history keeps its item's arrays of the
// historian's answer, so a failure half-way through the items must free what was kept and what was not, each
// once; the historian's callbacks held back, so that only the request meets the failure), the item shortcuts,
// every delivery of the historian's callbacks, and the browser.
TEST_F(OutOfMemory, EveryCallAnswersOutOfMemoryOrItsSuccessAndLeavesNothing) {
    ComPtr<IClassFactory> factory;
    ASSERT_EQ(ServerClassObject()->QueryInterface(IID_IClassFactory, factory.put_void()), S_OK);
    UniqueBstr progID(L"Sim.HdaHistorian");
    ASSERT_EQ(server_->Connect(progID.get(), VarEmpty()), S_OK);
    UniqueSafeArray handles;
    ComPtr<OPCHDAItem> item;
    ComPtr<OPCHDABrowser> browser, made;
    ASSERT_EQ(server_->CreateBrowser(0, VarMissing(), VarMissing(), VarMissing(), nullptr, browser.put()), S_OK);
    ComPtr<IOPCHDA_DataCallback> callback;
    ASSERT_EQ(server_.query(IID_IOPCHDA_DataCallback, callback), S_OK);
    Sink sink(kItemEvents, false);
    const DWORD cookie = Subscribe(server_.get(), &sink);
    ASSERT_NE(cookie, 0u);
    control_->HoldCallbacks(TRUE, FALSE);

    // An hour or more ago, half-way between the simulator's 10-second samples; every run updates in its own slot.
    const double slot = std::floor((LocalNow() - kHour) * 8640), minute = 1.0 / 1440;
    long run = 0;
    UniqueSafeArray stamps(MakeDateArray({LocalNow() - kHour, LocalNow() - 0.5 * kHour}));
    SAFEARRAY* t = stamps.get();
    UniqueVariant one, listing;
    UniqueBstr text, lab(L"Plant/Lab/Calibration"), ramp(L"Ramp");
    ComPtr<IUnknown> created;
    TimeRange times(L"NOW-1H", L"NOW");
    auto reset = [&] {  // what the next call's put() would not free
        one.reset();
        listing.reset();
        created = nullptr;
        made = nullptr;
        times.start.reset(VarBstr(L"NOW-1H"));
        times.end.reset(VarBstr(L"NOW"));
    };
    auto request = [&](const Member& m) {
        Request r(LongAt(handles.get(), 1), LongAt(handles.get(), 2));
        const DATE stamp = (slot + 0.5 - ++run) / 8640;
        r.arrays[kTimeStamps].reset(MakeDateArray({kNotADate, stamp, stamp, kNotADate}, 0));
        if (std::strstr(m.name, "Delete")) {  // in the run's own slot: what one run deletes, the next would miss
            r.times.start.reset(VarDate(stamp - kSecond));
            r.times.end.reset(VarDate(stamp + kSecond));
        }
        const HRESULT hr = m.call(items_.get(), r);
        for (SAFEARRAY* out : {r.itemValues, r.errors})
            if (out != kJunkArray) UniqueSafeArray released(out);
        return hr;
    };
    const GUID other = {0x5e1f0a11, 0x0e0e, 0x4d4d, {1, 2, 3, 4, 5, 6, 7, 8}};
    VARIANT *s = times.start.get(), *e = times.end.get();
    std::vector<Row> rows = {
        {"CreateInstance", [&] { return factory->CreateInstance(nullptr, IID_IOPCHDAAutoServer, created.put_void()); }},
        {"QueryInterface", [&] { return server_->QueryInterface(IID_IDispatch, created.put_void()); }},
        {"QueryInterface (refused)", [&] { return server_->QueryInterface(other, created.put_void()); }},
        {"Item.ReadRaw", [&] { return item->ReadRaw(s, e, 10, FALSE, one.get()); }},
        {"Item.ReadProcessed", [&] { return item->ReadProcessed(s, e, minute, 2, one.get()); }},
        {"Item.ReadAtTime", [&] { return item->ReadAtTime(2, &t, one.get()); }},
        {"OnCancelComplete", [&] { return callback->OnCancelComplete(9); }},
        {"CreateBrowser",
         [&] { return server_->CreateBrowser(0, VarMissing(), VarMissing(), VarMissing(), nullptr, made.put()); }},
        {"MoveTo", [&] { return browser->MoveTo(lab.get()); }},
        {"OPCHDALeaves", [&] { return browser->get_OPCHDALeaves(listing.get()); }},
        {"OPCHDAItems", [&] { return browser->get_OPCHDAItems(listing.get()); }},
        {"GetItemID", [&] { return browser->GetItemID(ramp.get(), text.put()); }},
        {"CurrentPosition", [&] { return browser->get_CurrentPosition(text.put()); }},
        {"MoveToRoot", [&] { return browser->MoveToRoot(); }},
        {"OPCHDABranches", [&] { return browser->get_OPCHDABranches(listing.get()); }},
    };
    for (const Member& m : Members()) rows.push_back({m.name, [&] { return request(m); }});
    for (const CallbackRow& c : kCallbacks) rows.push_back({c.name, [&] {
        Sent sent{1, S_OK};
        return c.call(callback.get(), sent);
    }});
    for (const Row& row : rows) {
        auto tidy = [&] {  // the three items again, if the call changed the table
            reset();
            LONG count = 0;
            if (handles && SUCCEEDED(items_->get_Count(&count)) && count == kItems) return;
            items_->RemoveAll();
            ASSERT_EQ(AddItems(handles), S_OK);
            ASSERT_EQ(items_->GetOPCHDAItem(LongAt(handles.get(), 1), item.put()), S_OK);
        };
        tidy();
        const HRESULT success = row.call();
        tidy();
        Sweep(row, success, tidy);
    }
    reset();
    Unsubscribe(server_.get(), cookie);
}

}  // namespace
