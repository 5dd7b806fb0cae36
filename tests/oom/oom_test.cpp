// When memory runs out inside the component, every call returns (an exception
// must never leave a COM method: on x86 it cannot unwind through a client's
// frames) with E_OUTOFMEMORY or its usual success, and nothing leaks.
#include "allocation_failure.h"

#include <ocidl.h>

#include <cmath>
#include <functional>
#include <vector>

#include "module/class_factory.h"
#include "module/module_state.h"
#include "opc_hda.h"
#include "server/COPCHDAAutoServer.h"
#include "sim_control.h"
#include "support/com_test.h"

using namespace comtest;
using oomtest::Sweep;

namespace {

constexpr wchar_t kItemIDs[][40] = {L"Plant/Lab/Calibration/Ramp", L"Plant/Lab/Calibration/Step",
                                    L"Plant/Lab/Calibration/Text"};
constexpr LONG kItems = 3;

class OutOfMemory : public ComTest {
protected:
    void SetUp() override {
        ComTest::SetUp();
        ASSERT_HRESULT_SUCCEEDED(CoCreateInstance(CLSID_HdaSimControl, nullptr, CLSCTX_INPROC_SERVER,
                                                  IID_IHdaSimControl, control_.put_void()));
        control_->ResetDefaults();
        ComPtr<COPCHDAAutoServer> object = MakeObject<COPCHDAAutoServer>();
        ASSERT_TRUE(object);
        ASSERT_EQ(object->QueryInterface(IID_IOPCHDAAutoServer, server_.put_void()), S_OK);
        ASSERT_HRESULT_SUCCEEDED(server_->get_OPCHDAItems(items_.put()));
    }
    void TearDown() override {
        items_ = nullptr;
        server_ = nullptr;
        EXPECT_EQ(Module::LockCount(), 0) << "an object of the component is still alive";
        LONG memory = -1, handles = -1;
        control_->OutstandingTaskMemory(&memory);
        control_->OutstandingHandles(&handles);
        EXPECT_EQ(memory, 0) << "task memory of the historian not freed";
        EXPECT_EQ(handles, 0) << "item handles not released at the historian";
        control_ = nullptr;
        ComTest::TearDown();
    }
    void Connect() {
        UniqueBstr progID(L"Sim.HdaHistorian");
        VARIANT node;
        VariantInit(&node);
        ASSERT_EQ(server_->Connect(progID.get(), node), S_OK);
    }
    // Adds the three items; their server handles in `handles`.
    void AddAll(UniqueSafeArray& handles) {
        UniqueSafeArray ids(MakeBstrArray({kItemIDs[0], kItemIDs[1], kItemIDs[2]})), clients(MakeLongArray({1, 2, 3}));
        SAFEARRAY *idp = ids.get(), *cp = clients.get();
        UniqueSafeArray errors;
        ASSERT_EQ(items_->AddItems(kItems, &idp, &cp, handles.put(), errors.put()), S_OK);
    }

    ComPtr<IHdaSimControl> control_;
    ComPtr<IOPCHDAAutoServer> server_;
    ComPtr<IOPCHDAItems> items_;
};

TEST_F(OutOfMemory, CreateInstanceAndQueryInterface) {
    ComPtr<IClassFactory> factory;
    ASSERT_EQ(ServerClassObject()->QueryInterface(IID_IClassFactory, factory.put_void()), S_OK);
    ComPtr<IOPCHDAAutoServer> created;
    Sweep(
        "CreateInstance", S_OK,
        [&] { return factory->CreateInstance(nullptr, IID_IOPCHDAAutoServer, created.put_void()); },
        [&] { created = nullptr; });
    factory = nullptr;

    ComPtr<IUnknown> itf;
    const GUID unknown = {0x5e1f0a11, 0x0e0e, 0x4d4d, {1, 2, 3, 4, 5, 6, 7, 8}};
    Sweep(
        "QueryInterface", S_OK, [&] { return server_->QueryInterface(IID_IDispatch, itf.put_void()); },
        [&] { itf = nullptr; });
    Sweep(
        "QueryInterface (refused)", E_NOINTERFACE, [&] { return server_->QueryInterface(unknown, itf.put_void()); },
        [&] { itf = nullptr; });
}

TEST_F(OutOfMemory, AddItems) {
    Connect();
    UniqueSafeArray ids(MakeBstrArray({kItemIDs[0], kItemIDs[1], kItemIDs[2]})), clients(MakeLongArray({1, 2, 3}));
    SAFEARRAY *idp = ids.get(), *cp = clients.get();
    UniqueSafeArray handles, errors;
    Sweep(
        "AddItems", S_OK, [&] { return items_->AddItems(kItems, &idp, &cp, handles.put(), errors.put()); },
        [&] {
            handles.reset();
            errors.reset();
            items_->RemoveAll();
        });
}

TEST_F(OutOfMemory, SyncInsert) {
    Connect();
    UniqueSafeArray handles;
    AddAll(handles);
    SAFEARRAY* hp = handles.get();
    UniqueSafeArray values(MakeVariantArray({VarR8(1.5), VarR8(2.5), VarBstr(L"text")})),
        qualities(MakeLongArray({0xC0, 0xC0, 0xC0})), errors;
    SAFEARRAY *vp = values.get(), *qp = qualities.get();
    // An hour or more ago, half-way between the simulator's 10-second samples.
    SYSTEMTIME now;
    GetLocalTime(&now);
    DATE start = 0;
    SystemTimeToVariantTime(&now, &start);
    const double slot = std::floor((start - 1.0 / 24) * 8640);
    // Every run inserts in its own slot (its array made before the run).
    long run = 0;
    UniqueSafeArray stamps;
    auto nextStamps = [&] {
        DATE stamp = (slot + 0.5 - ++run) / 8640;
        stamps.reset(MakeDateArray({stamp, stamp, stamp}));
    };
    nextStamps();
    Sweep(
        "SyncInsert", S_OK,
        [&] {
            SAFEARRAY* tp = stamps.get();
            return items_->SyncInsert(kItems, &hp, &tp, &vp, &qp, errors.put());
        },
        [&] {
            errors.reset();
            nextStamps();
        });
}

// One request of the asynchronous half: the historian's callbacks are held
// back while the sweep runs, so that only the request itself meets the failure.
struct AsyncRow {
    const char* name;
    std::function<HRESULT(IOPCHDAItems*, SAFEARRAY**, VARIANT*, VARIANT*, SAFEARRAY**, LONG*)> call;
};

VARIANT Text(const wchar_t* text) { return VarBstr(text); }

TEST_F(OutOfMemory, AsynchronousRequests) {
    Connect();
    UniqueSafeArray handles;
    AddAll(handles);
    control_->HoldCallbacks(TRUE, FALSE);
    SAFEARRAY* hp = handles.get();
    UniqueSafeArray aggregates(MakeLongArray({2, 3, 4})), attributes(MakeLongArray({1})),
        stamps(MakeDateArray({40000.5, 40000.5, 40000.5})),
        values(MakeVariantArray({VarR8(1.5), VarR8(2.5), VarBstr(L"text")})),
        qualities(MakeLongArray({0xC0, 0xC0, 0xC0}));
    SAFEARRAY *ap = aggregates.get(), *atp = attributes.get(), *tp = stamps.get(), *vp = values.get(),
              *qp = qualities.get();
    const double minute = 1.0 / 1440;
    const AsyncRow rows[] = {
        {"AsyncReadRaw", [&](IOPCHDAItems* i, SAFEARRAY** e, VARIANT* s, VARIANT* t, SAFEARRAY** h,
                             LONG* c) { return i->AsyncReadRaw(1, s, t, 10, FALSE, kItems, h, e, c); }},
        {"AsyncAdviseRaw", [&](IOPCHDAItems* i, SAFEARRAY** e, VARIANT* s, VARIANT*, SAFEARRAY** h,
                               LONG* c) { return i->AsyncAdviseRaw(2, s, minute, kItems, h, e, c); }},
        {"AsyncReadProcessed", [&](IOPCHDAItems* i, SAFEARRAY** e, VARIANT* s, VARIANT* t, SAFEARRAY** h,
                                   LONG* c) { return i->AsyncReadProcessed(3, s, t, minute, kItems, h, &ap, e, c); }},
        {"AsyncReadAtTime", [&](IOPCHDAItems* i, SAFEARRAY** e, VARIANT*, VARIANT*, SAFEARRAY** h,
                                LONG* c) { return i->AsyncReadAtTime(4, kItems, &tp, kItems, h, e, c); }},
        {"AsyncReadModified", [&](IOPCHDAItems* i, SAFEARRAY** e, VARIANT* s, VARIANT* t, SAFEARRAY** h,
                                  LONG* c) { return i->AsyncReadModified(5, s, t, 10, kItems, h, e, c); }},
        {"AsyncReadAttribute",
         [&](IOPCHDAItems* i, SAFEARRAY** e, VARIANT* s, VARIANT* t, SAFEARRAY**, LONG* c) {
             return i->AsyncReadAttribute(6, s, t, LongAt(handles.get(), 1), 1, &atp, e, c);
         }},
        {"AsyncInsertReplace", [&](IOPCHDAItems* i, SAFEARRAY** e, VARIANT*, VARIANT*, SAFEARRAY** h,
                                   LONG* c) { return i->AsyncInsertReplace(7, kItems, h, &tp, &vp, &qp, e, c); }},
        {"AsyncDeleteAtTime", [&](IOPCHDAItems* i, SAFEARRAY** e, VARIANT*, VARIANT*, SAFEARRAY** h,
                                  LONG* c) { return i->AsyncDeleteAtTime(8, kItems, h, &tp, e, c); }},
        {"AsyncReadAnnotations", [&](IOPCHDAItems* i, SAFEARRAY** e, VARIANT* s, VARIANT* t, SAFEARRAY** h,
                                     LONG* c) { return i->AsyncReadAnnotations(9, s, t, kItems, h, e, c); }},
        {"AsyncPlaybackRaw",
         [&](IOPCHDAItems* i, SAFEARRAY** e, VARIANT* s, VARIANT* t, SAFEARRAY** h, LONG* c) {
             return i->AsyncPlaybackRaw(10, s, t, 10, minute, minute, kItems, h, e, c);
         }},
        {"AsyncPlaybackProcessed",
         [&](IOPCHDAItems* i, SAFEARRAY** e, VARIANT* s, VARIANT* t, SAFEARRAY** h, LONG* c) {
             return i->AsyncPlaybackProcessed(11, s, t, minute, 5, minute, kItems, h, &ap, e, c);
         }},
    };
    for (const AsyncRow& row : rows) {
        UniqueSafeArray errors;
        VARIANT start = Text(L"NOW-1H"), end = Text(L"NOW");
        LONG cancelID = 0;
        Sweep(
            row.name, S_OK, [&] { return row.call(items_.get(), errors.put(), &start, &end, &hp, &cancelID); },
            [&] {
                errors.reset();
                VariantClear(&start);
                VariantClear(&end);
                start = Text(L"NOW-1H");
                end = Text(L"NOW");
            });
        VariantClear(&start);
        VariantClear(&end);
    }
    // The held answers go out now; a callback holds the server object while
    // it fires, so the last reference may go on the historian's thread.
    control_->ClearFaults();
    items_ = nullptr;
    server_ = nullptr;
    for (int i = 0; i < 400 && Module::LockCount() != 0; ++i) Sleep(25);
}

// The historian's callbacks, driven directly into the server object with a
// WithEvents-style sink advised: each answers S_OK or E_OUTOFMEMORY.
class NullSink final : public IDispatch {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        *ppv = IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch) ||
                       IsEqualIID(riid, DIID__IOPCHDAItemEvents)
                   ? this
                   : nullptr;
        return *ppv ? S_OK : E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    STDMETHODIMP Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override { return S_OK; }
};

TEST_F(OutOfMemory, Callbacks) {
    ComPtr<IOPCHDA_DataCallback> callback;
    ASSERT_EQ(server_->QueryInterface(IID_IOPCHDA_DataCallback, callback.put_void()), S_OK);
    ComPtr<IConnectionPointContainer> container;
    ComPtr<IConnectionPoint> point;
    ASSERT_EQ(server_->QueryInterface(IID_IConnectionPointContainer, container.put_void()), S_OK);
    ASSERT_EQ(container->FindConnectionPoint(DIID__IOPCHDAItemEvents, point.put()), S_OK);
    NullSink sink;
    DWORD cookie = 0;
    ASSERT_EQ(point->Advise(&sink, &cookie), S_OK);

    FILETIME times[3] = {{1, 30000000}, {2, 30000000}, {3, 30000000}};
    DWORD qualities[3] = {0xC0, 0xC0, 0xC0};
    VARIANT values[3] = {VarR8(1), VarR8(2), VarR8(3)};
    OPCHDA_ITEM item{7, 2, 3, times, qualities, values};
    OPCHDA_ITEM* items[1] = {&item};
    OPCHDA_MODIFIEDITEM modified{
        7, 3, times, qualities, values, times, reinterpret_cast<OPCHDA_EDITTYPE*>(qualities), nullptr};
    OPCHDA_ATTRIBUTE attribute{7, 1, 3, times, values};
    OPCHDA_ANNOTATION annotation{7, 0, nullptr, nullptr, nullptr, nullptr};
    HRESULT codes[1] = {S_OK};
    OPCHANDLE clients[1] = {7};
    using Row = std::pair<const char*, std::function<HRESULT()>>;
    const Row rows[] = {
        {"OnDataChange", [&] { return callback->OnDataChange(1, S_OK, 1, &item, codes); }},
        {"OnReadComplete", [&] { return callback->OnReadComplete(2, S_OK, 1, &item, codes); }},
        {"OnReadModifiedComplete", [&] { return callback->OnReadModifiedComplete(3, S_OK, 1, &modified, codes); }},
        {"OnReadAttributeComplete",
         [&] { return callback->OnReadAttributeComplete(4, S_OK, 7, 1, &attribute, codes); }},
        {"OnReadAnnotations", [&] { return callback->OnReadAnnotations(5, S_OK, 1, &annotation, codes); }},
        {"OnInsertAnnotations", [&] { return callback->OnInsertAnnotations(6, S_OK, 1, clients, codes); }},
        {"OnPlayback", [&] { return callback->OnPlayback(7, S_OK, 1, items, codes); }},
        {"OnUpdateComplete", [&] { return callback->OnUpdateComplete(8, S_OK, 1, clients, codes); }},
        {"OnCancelComplete", [&] { return callback->OnCancelComplete(9); }},
    };
    for (const Row& row : rows) Sweep(row.first, S_OK, row.second, [] {});
    point->Unadvise(cookie);
}

TEST_F(OutOfMemory, Browser) {
    Connect();
    ComPtr<OPCHDABrowser> browser;
    Sweep(
        "CreateBrowser", S_OK,
        [&] { return server_->CreateBrowser(0, VarMissing(), VarMissing(), VarMissing(), nullptr, browser.put()); },
        [&] { browser = nullptr; });
    ASSERT_EQ(server_->CreateBrowser(0, VarMissing(), VarMissing(), VarMissing(), nullptr, browser.put()), S_OK);
    UniqueVariant listing;
    UniqueBstr text, lab(L"Plant/Lab/Calibration"), ramp(L"Ramp");
    using Row = std::pair<const char*, std::function<HRESULT()>>;
    const Row rows[] = {
        {"MoveTo", [&] { return browser->MoveTo(lab.get()); }},
        {"OPCHDALeaves", [&] { return browser->get_OPCHDALeaves(listing.get()); }},
        {"OPCHDAItems", [&] { return browser->get_OPCHDAItems(listing.get()); }},
        {"GetItemID", [&] { return browser->GetItemID(ramp.get(), text.put()); }},
        {"CurrentPosition", [&] { return browser->get_CurrentPosition(text.put()); }},
        {"MoveToRoot", [&] { return browser->MoveToRoot(); }},
        {"OPCHDABranches", [&] { return browser->get_OPCHDABranches(listing.get()); }},
    };
    for (const Row& row : rows) {
        // A listing answers with the enumerator's own success code.
        const HRESULT success = row.second();
        listing.reset();
        text.reset();
        Sweep(row.first, success, row.second, [&] {
            listing.reset();
            text.reset();
        });
    }
}

}  // namespace
