// When memory runs out inside the component, every call returns (an exception
// must never leave a COM method: on x86 it cannot unwind through a client's
// frames) with E_OUTOFMEMORY or its usual success, and nothing leaks.
#include "allocation_failure.h"

#include <cmath>

#include "module/class_factory.h"
#include "module/module_state.h"
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

}  // namespace
