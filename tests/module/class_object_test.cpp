// The library's exports and its class object, called the way the COM runtime
// and clients call them; the object base's reference count as weak links see it.
#include "implements.h"
#include "module_state.h"
#include "support/com_test.h"

using namespace comtest;

namespace {

class ClassObjectTest : public ComTest {
protected:
    void SetUp() override {
        ComTest::SetUp();
        // Loading through the runtime first puts the library in the process.
        ComPtr<IClassFactory> warm;
        ASSERT_HRESULT_SUCCEEDED(
            CoGetClassObject(CLSID_OPCHDAServer, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory, warm.put_void()));
        get_ = reinterpret_cast<decltype(get_)>(
            reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"OPCHDAAuto.dll"), "DllGetClassObject")));
        ASSERT_NE(get_, nullptr);
    }
    HRESULT(STDAPICALLTYPE* get_)(REFCLSID, REFIID, void**) = nullptr;  // DllGetClassObject
};

TEST_F(ClassObjectTest, OnlyTheServerClassIsAvailableAndItsObjectIsSharedAndKeepsTheLibraryLoaded) {
    ComPtr<IClassFactory> first, second;
    EXPECT_EQ(get_(CLSID_OPCHDAItems, IID_IClassFactory, first.put_void()), CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_FALSE(first);
    EXPECT_EQ(get_(IID_IUnknown, IID_IClassFactory, first.put_void()), CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(get_(CLSID_OPCHDAServer, IID_IClassFactory, nullptr), E_POINTER);
    EXPECT_EQ(get_(CLSID_OPCHDAServer, IID_IDispatch, first.put_void()), E_NOINTERFACE);

    ASSERT_EQ(get_(CLSID_OPCHDAServer, IID_IClassFactory, first.put_void()), S_OK);
    ASSERT_EQ(get_(CLSID_OPCHDAServer, IID_IUnknown, second.put_void()), S_OK);
    EXPECT_EQ(static_cast<IUnknown*>(first.get()), second.get());
    EXPECT_EQ(first->LockServer(TRUE), S_OK);
    first = second = nullptr;
    EXPECT_EQ(LibraryCanUnloadNow(), S_FALSE) << "locked";
    ASSERT_EQ(get_(CLSID_OPCHDAServer, IID_IClassFactory, first.put_void()), S_OK);
    EXPECT_EQ(first->LockServer(FALSE), S_OK);
    EXPECT_EQ(LibraryCanUnloadNow(), S_FALSE) << "the class object is held";
    first = nullptr;
    EXPECT_EQ(LibraryCanUnloadNow(), S_OK);
}

TEST_F(ClassObjectTest, CreateInstanceRefusesAggregationAndBadArguments) {
    ComPtr<IClassFactory> factory;
    ASSERT_EQ(get_(CLSID_OPCHDAServer, IID_IClassFactory, factory.put_void()), S_OK);
    ComPtr<IUnknown> object, outer;
    ASSERT_EQ(get_(CLSID_OPCHDAServer, IID_IUnknown, outer.put_void()), S_OK);  // any non-null outer
    EXPECT_EQ(factory->CreateInstance(outer.get(), IID_IUnknown, object.put_void()), CLASS_E_NOAGGREGATION);
    EXPECT_FALSE(object);
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, nullptr), E_POINTER);
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IClassFactory, object.put_void()), E_NOINTERFACE);
    EXPECT_FALSE(object);
    outer = nullptr;
    factory = nullptr;
    EXPECT_EQ(LibraryCanUnloadNow(), S_OK) << "a refused instance must not stay alive";

    ComPtr<IOPCHDAAutoServer> server;
    ASSERT_EQ(CreateServer(server), S_OK);
    ComPtr<ISupportErrorInfo> errorInfo;
    ASSERT_EQ(server.query(IID_ISupportErrorInfo, errorInfo), S_OK);
    EXPECT_EQ(errorInfo->InterfaceSupportsErrorInfo(IID_IOPCHDAAutoServer), S_OK);
    for (const IID* iid : {&IID_IOPCHDAItems, &IID_IDispatch, &IID_IUnknown})
        EXPECT_EQ(errorInfo->InterfaceSupportsErrorInfo(*iid), S_FALSE);
}

// Once the count has reached 0 it never comes back, so a link that holds no
// reference of its own (an item's link to its server) cannot revive an object
// that is tearing itself down.
class Probe final : public Implements<Probe, IUnknown> {
public:
    explicit Probe(bool* revivedInTeardown) : revivedInTeardown_(revivedInTeardown) {}

private:
    void FinalRelease() override { *revivedInTeardown_ = TryAddRef(); }
    bool* revivedInTeardown_;
};

TEST(ObjectLifetime, TryAddRefOnlyWhileSomebodyHoldsTheObject) {
    bool revived = true;
    {
        ComPtr<Probe> probe = MakeObject<Probe>(&revived);
        ASSERT_TRUE(probe && probe->TryAddRef());
        probe->Release();
    }  // the last reference: the teardown asks once more
    EXPECT_FALSE(revived) << "a reference was taken on an object in teardown";
    EXPECT_EQ(Module::LockCount(), 0);
}

}  // namespace
