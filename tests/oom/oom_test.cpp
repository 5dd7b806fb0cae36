// When memory runs out inside the component (linked in here, with an operator
// new that fails on demand; the simulator's DLL keeps its allocator), every
// call returns E_OUTOFMEMORY or its usual success, no exception leaves a COM
// method (on x86 it cannot unwind through a client's frames), nothing leaks.
#include <cmath>
#include <cstdlib>
#include <functional>
#include <new>

#include "module/class_factory.h"
#include "com/module_count.h"
#include "server/COPCHDAAutoServer.h"
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
    std::function<void()> tidy = [] {};  // after the common tidy: what this call alone leaves
};

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

constexpr LONG kItems = 3;

// The historian's callbacks go to a WithEvents-style sink.
struct NullSink final : IDispatch {
    STDMETHODIMP QueryInterface(REFIID iid, void** ppv) override {
        *ppv = iid == IID_IUnknown || iid == IID_IDispatch || iid == DIID__IOPCHDAItemEvents ? this : nullptr;
        return *ppv ? S_OK : E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    STDMETHODIMP Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override { return S_OK; }
};

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
        for (int k = 0;
             control_ && k < 400 && (ComModule::UseCount() || (control_->OutstandingTaskMemory(&memory), memory)); ++k)
            Sleep(25);
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

// One table: object creation, the item table, the synchronous reads (each
// history keeps its item's arrays of the historian's answer, so a failure
// half-way through the items must free what was kept and what was not, each
// once), the updates, the asynchronous requests (the historian's callbacks
// held back, so that only the request meets the failure), the historian's
// callbacks driven straight into the server object, and the browser.
TEST_F(OutOfMemory, EveryCallAnswersOutOfMemoryOrItsSuccessAndLeavesNothing) {
    ComPtr<IClassFactory> factory;
    ASSERT_EQ(ServerClassObject()->QueryInterface(IID_IClassFactory, factory.put_void()), S_OK);
    UniqueBstr progID(L"Sim.HdaHistorian");
    ASSERT_EQ(server_->Connect(progID.get(), VarEmpty()), S_OK);
    UniqueSafeArray handles;
    SAFEARRAY* h = nullptr;
    ComPtr<OPCHDAItem> item;
    ComPtr<OPCHDABrowser> browser, made;
    ASSERT_EQ(server_->CreateBrowser(0, VarMissing(), VarMissing(), VarMissing(), nullptr, browser.put()), S_OK);
    ComPtr<IOPCHDA_DataCallback> callback;
    ComPtr<IConnectionPointContainer> container;
    ComPtr<IConnectionPoint> point;
    ASSERT_EQ(server_.query(IID_IOPCHDA_DataCallback, callback), S_OK);
    ASSERT_EQ(server_.query(IID_IConnectionPointContainer, container), S_OK);
    ASSERT_EQ(container->FindConnectionPoint(DIID__IOPCHDAItemEvents, point.put()), S_OK);
    NullSink sink;
    DWORD cookie = 0;
    ASSERT_EQ(point->Advise(&sink, &cookie), S_OK);
    control_->HoldCallbacks(TRUE, FALSE);

    UniqueSafeArray aggregates(MakeLongArray({2, 3, 4})), attributes(MakeLongArray({1})),
        stamps(MakeDateArray({LocalNow() - kHour, LocalNow() - 0.5 * kHour, LocalNow() - 0.25 * kHour})),
        values(MakeVariantArray({VarR8(1.5), VarR8(2.5), VarBstr(L"text")})),
        qualities(MakeLongArray({0xC0, 0xC0, 0xC0}));
    SAFEARRAY *a = aggregates.get(), *at = attributes.get(), *t = stamps.get(), *v = values.get(), *q = qualities.get();
    // An hour or more ago, half-way between the simulator's 10-second samples;
    // every run inserts in its own slot.
    const double slot = std::floor((LocalNow() - kHour) * 8640), minute = 1.0 / 1440;
    long run = 0;
    UniqueSafeArray inserts, read;
    SAFEARRAY* in = nullptr;
    UniqueVariant start, end, one, listing;
    UniqueBstr text, lab(L"Plant/Lab/Calibration"), ramp(L"Ramp");
    ComPtr<IUnknown> created;
    VARIANT *s = start.get(), *e = end.get();
    LONG c = 0;
    auto reset = [&] {  // what the next call's put() would not free
        one.reset();
        listing.reset();
        created = nullptr;
        made = nullptr;
        start.reset(VarBstr(L"NOW-1H"));
        end.reset(VarBstr(L"NOW"));
        const DATE stamp = (slot + 0.5 - ++run) / 8640;
        inserts.reset(MakeDateArray({stamp, stamp, stamp}));
        in = inserts.get();
    };
    auto out = [&] { return errors_.put(); };
    IOPCHDAItems* i = items_.get();

    FILETIME times[3] = {{1, 30000000}, {2, 30000000}, {3, 30000000}};
    DWORD qs[3] = {0xC0, 0xC0, 0xC0};
    VARIANT vs[3] = {VarR8(1), VarR8(2), VarR8(3)};
    OPCHDA_ITEM answer{7, 2, 3, times, qs, vs};
    OPCHDA_ITEM* slices[1] = {&answer};
    OPCHDA_MODIFIEDITEM modified{7, 3, times, qs, vs, times, reinterpret_cast<OPCHDA_EDITTYPE*>(qs), nullptr};
    OPCHDA_ATTRIBUTE attribute{7, 1, 3, times, vs};
    OPCHDA_ANNOTATION annotation{7, 0, nullptr, nullptr, nullptr, nullptr};
    HRESULT codes[1] = {S_OK};
    OPCHANDLE clients[1] = {7};
    const GUID other = {0x5e1f0a11, 0x0e0e, 0x4d4d, {1, 2, 3, 4, 5, 6, 7, 8}};
    const Row rows[] = {
        {"AddItems", [&] { return AddItems(handles); },
         [&] {
             items_->RemoveAll();
             handles.reset();
         }},
        {"CreateInstance", [&] { return factory->CreateInstance(nullptr, IID_IOPCHDAAutoServer, created.put_void()); }},
        {"QueryInterface", [&] { return server_->QueryInterface(IID_IDispatch, created.put_void()); }},
        {"QueryInterface (refused)", [&] { return server_->QueryInterface(other, created.put_void()); }},
        {"SyncReadRaw", [&] { return i->SyncReadRaw(s, e, 10, FALSE, kItems, &h, read.put(), out()); }},
        {"SyncReadProcessed", [&] { return i->SyncReadProcessed(s, e, minute, kItems, &h, &a, read.put(), out()); }},
        {"SyncReadAtTime", [&] { return i->SyncReadAtTime(2, &t, kItems, &h, read.put(), out()); }},
        {"SyncReadModified", [&] { return i->SyncReadModified(s, e, 10, kItems, &h, read.put(), out()); }},
        {"SyncReadAttribute", [&] { return i->SyncReadAttribute(s, e, LongAt(h, 1), 1, &at, read.put(), out()); }},
        {"SyncReadAnnotations", [&] { return i->SyncReadAnnotations(s, e, kItems, &h, read.put(), out()); }},
        {"Item.ReadRaw", [&] { return item->ReadRaw(s, e, 10, FALSE, one.get()); }},
        {"Item.ReadProcessed", [&] { return item->ReadProcessed(s, e, minute, 2, one.get()); }},
        {"Item.ReadAtTime", [&] { return item->ReadAtTime(2, &t, one.get()); }},
        {"SyncInsert", [&] { return i->SyncInsert(kItems, &h, &in, &v, &q, out()); }},
        {"AsyncReadRaw", [&] { return i->AsyncReadRaw(1, s, e, 10, FALSE, kItems, &h, out(), &c); }},
        {"AsyncAdviseRaw", [&] { return i->AsyncAdviseRaw(2, s, minute, kItems, &h, out(), &c); }},
        {"AsyncReadProcessed", [&] { return i->AsyncReadProcessed(3, s, e, minute, kItems, &h, &a, out(), &c); }},
        {"AsyncReadAtTime", [&] { return i->AsyncReadAtTime(4, kItems, &t, kItems, &h, out(), &c); }},
        {"AsyncReadModified", [&] { return i->AsyncReadModified(5, s, e, 10, kItems, &h, out(), &c); }},
        {"AsyncReadAttribute", [&] { return i->AsyncReadAttribute(6, s, e, LongAt(h, 1), 1, &at, out(), &c); }},
        {"AsyncInsertReplace", [&] { return i->AsyncInsertReplace(7, kItems, &h, &in, &v, &q, out(), &c); }},
        {"AsyncDeleteAtTime", [&] { return i->AsyncDeleteAtTime(8, kItems, &h, &t, out(), &c); }},
        {"AsyncReadAnnotations", [&] { return i->AsyncReadAnnotations(9, s, e, kItems, &h, out(), &c); }},
        {"AsyncPlaybackRaw", [&] { return i->AsyncPlaybackRaw(10, s, e, 10, minute, minute, kItems, &h, out(), &c); }},
        {"AsyncPlaybackProcessed",
         [&] { return i->AsyncPlaybackProcessed(11, s, e, minute, 5, minute, kItems, &h, &a, out(), &c); }},
        {"OnDataChange", [&] { return callback->OnDataChange(1, S_OK, 1, &answer, codes); }},
        {"OnReadComplete", [&] { return callback->OnReadComplete(2, S_OK, 1, &answer, codes); }},
        {"OnReadModifiedComplete", [&] { return callback->OnReadModifiedComplete(3, S_OK, 1, &modified, codes); }},
        {"OnReadAttributeComplete",
         [&] { return callback->OnReadAttributeComplete(4, S_OK, 7, 1, &attribute, codes); }},
        {"OnReadAnnotations", [&] { return callback->OnReadAnnotations(5, S_OK, 1, &annotation, codes); }},
        {"OnInsertAnnotations", [&] { return callback->OnInsertAnnotations(6, S_OK, 1, clients, codes); }},
        {"OnPlayback", [&] { return callback->OnPlayback(7, S_OK, 1, slices, codes); }},
        {"OnUpdateComplete", [&] { return callback->OnUpdateComplete(8, S_OK, 1, clients, codes); }},
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
    for (const Row& row : rows) {
        if (&row != rows && !handles) {  // AddItems sweeps an empty table; the others need the three items
            ASSERT_EQ(AddItems(handles), S_OK);
            h = handles.get();
            ASSERT_EQ(items_->GetOPCHDAItem(LongAt(h, 1), item.put()), S_OK);
        }
        reset();
        const HRESULT success = row.call();
        reset();
        row.tidy();
        Sweep(row, success, [&] {
            reset();
            row.tidy();
        });
    }
    reset();
    point->Unadvise(cookie);
}

}  // namespace
