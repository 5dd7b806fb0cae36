// The library's exports and its class object, called the way the COM runtime
// and clients call them; the object base's reference count as weak links see
// it; the type information's first load racing on many threads; the classes'
// own virtual operations in fixed slots of their first virtual table, right
// after the members of the interface they implement first (the object base
// adds no slot of its own, and each operation is declared in its place).
#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstring>
#include <thread>
#include <vector>

#include "browser/COPCHDABrowser.h"
#include "history/COPCHDAEntry.h"
#include "history/COPCHDAEnumHistory.h"
#include "history/COPCHDAHistory.h"
#include "history/COPCHDAValue.h"
#include "item/COPCHDAItem.h"
#include "server/COPCHDAAutoServer.h"
#include "com/implements.h"
#include "com/module_count.h"
#include "automation/type_info_holder.h"
#include "support/com_test.h"

using namespace comtest;

namespace {

using ClassObjectTest = ComTest;

// A refused instance must not stay alive: the last check would see it.
TEST_F(ClassObjectTest, OnlyTheServerClassIsAvailableAndItsObjectIsSharedAndKeepsTheLibraryLoaded) {
    ComPtr<IClassFactory> first, second;
    // Loading through the runtime first puts the library in the process.
    ASSERT_HRESULT_SUCCEEDED(
        CoGetClassObject(CLSID_OPCHDAServer, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory, second.put_void()));
    const auto getClassObject = reinterpret_cast<HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**)>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"OPCHDAAuto.dll"), "DllGetClassObject")));
    ASSERT_NE(getClassObject, nullptr);
    EXPECT_EQ(getClassObject(CLSID_OPCHDAItems, IID_IClassFactory, first.put_void()), CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_FALSE(first);
    EXPECT_EQ(getClassObject(IID_IUnknown, IID_IClassFactory, first.put_void()), CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(getClassObject(CLSID_OPCHDAServer, IID_IClassFactory, nullptr), E_POINTER);
    EXPECT_EQ(getClassObject(CLSID_OPCHDAServer, IID_IDispatch, first.put_void()), E_NOINTERFACE);

    ASSERT_EQ(getClassObject(CLSID_OPCHDAServer, IID_IClassFactory, first.put_void()), S_OK);
    ASSERT_EQ(getClassObject(CLSID_OPCHDAServer, IID_IUnknown, second.put_void()), S_OK);
    EXPECT_EQ(static_cast<IUnknown*>(first.get()), second.get());
    ComPtr<IUnknown> object;
    EXPECT_EQ(first->CreateInstance(second.get(), IID_IUnknown, object.put_void()), CLASS_E_NOAGGREGATION);
    EXPECT_FALSE(object);
    EXPECT_EQ(first->CreateInstance(nullptr, IID_IUnknown, nullptr), E_POINTER);
    EXPECT_EQ(first->CreateInstance(nullptr, IID_IClassFactory, object.put_void()), E_NOINTERFACE);
    EXPECT_FALSE(object);
    EXPECT_EQ(first->LockServer(TRUE), S_OK);
    first = second = nullptr;
    EXPECT_EQ(LibraryCanUnloadNow(), S_FALSE) << "locked";
    ASSERT_EQ(getClassObject(CLSID_OPCHDAServer, IID_IClassFactory, first.put_void()), S_OK);
    EXPECT_EQ(first->LockServer(FALSE), S_OK);
    EXPECT_EQ(LibraryCanUnloadNow(), S_FALSE) << "the class object is held";
    first = nullptr;
    EXPECT_EQ(LibraryCanUnloadNow(), S_OK);
}

// Once the count has reached 0 it never comes back, so a link that holds no
// reference of its own (an item's link to its server) cannot revive an object
// that is tearing itself down.
class Probe final : public Implements<Probe, IUnknown> {
public:
    explicit Probe(bool* revivedInTeardown) : revivedInTeardown_(revivedInTeardown) {}

private:
    friend Implements;
    void FinalRelease() { *revivedInTeardown_ = TryAddRef(); }
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
    EXPECT_EQ(ComModule::UseCount(), 0);
}

// The first calls of a process race to load the type information: threads
// released together must all see the whole name cache or none of it.
TEST(TypeInfoHolderRace, FirstCallsOnManyThreadsAllResolve) {
    ASSERT_HRESULT_SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    const wchar_t* names[] = {L"OPCHDAItems",   L"ServerName", L"ClientName", L"LocaleID",
                              L"CreateBrowser", L"Connect",    L"Disconnect", L"GetErrorString"};
    TypeInfoHolder& holder = DispatchImpl<IOPCHDAAutoServer>::Holder();
    auto resolve = [&](size_t i) {
        LPOLESTR name = const_cast<LPOLESTR>(names[i]);
        DISPID id = DISPID_UNKNOWN;
        return holder.GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &id) == S_OK ? id : DISPID_UNKNOWN;
    };
    std::vector<DISPID> ids;
    for (size_t i = 0; i < std::size(names); ++i) ids.push_back(resolve(i));
    ASSERT_EQ(std::count(ids.begin(), ids.end(), DISPID_UNKNOWN), 0);
    std::atomic<int> wrong{0};
    for (int round = 0; round < 60; ++round) {
        TypeInfoHolder::ReleaseAll(false);  // as in a fresh process
        std::atomic<bool> go{false};
        std::vector<std::thread> threads;
        for (int t = 0; t < 6; ++t) {
            threads.emplace_back([&, t] {
                CoInitializeEx(nullptr, COINIT_MULTITHREADED);
                while (!go.load()) {}
                for (size_t k = 0; k < 40; ++k) {
                    const size_t i = (static_cast<size_t>(t) + k) % std::size(names);
                    if (resolve(i) != ids[i]) ++wrong;
                }
                CoUninitialize();
            });
        }
        go = true;
        for (auto& thread : threads) thread.join();
    }
    EXPECT_EQ(wrong.load(), 0);
    CoUninitialize();
}

// A pointer to a virtual member function holds 1 + its byte offset in the
// virtual table (the ABI GCC uses on Windows); anything else is no virtual.
template <class F>
ptrdiff_t SlotOf(F member) {
    struct Raw {
        ptrdiff_t pointer;
        ptrdiff_t adjustment;
    };
    static_assert(sizeof(F) == sizeof(Raw));
    Raw raw;
    std::memcpy(&raw, &member, sizeof raw);
    if (!(raw.pointer & 1) || raw.adjustment != 0) return -1;
    return (raw.pointer - 1) / static_cast<ptrdiff_t>(sizeof(void*));
}

constexpr ptrdiff_t kUnknown = 3;              // QueryInterface, AddRef, Release
constexpr ptrdiff_t kDispatch = kUnknown + 4;  // GetTypeInfoCount .. Invoke

struct Slot {
    const char* operation;
    ptrdiff_t actual;
    ptrdiff_t expected;
};

TEST(VtableLayout, OwnOperationsFollowTheFirstInterface) {
    const Slot slots[] = {
        {"COPCHDAAutoServer::TimeArgToHdaTime", SlotOf(&COPCHDAAutoServer::TimeArgToHdaTime), kUnknown + 2},
        {"COPCHDAHistory::SetAnnotations", SlotOf(&COPCHDAHistory::SetAnnotations), kDispatch + 3},
        {"COPCHDAHistory::SetModifiedValues", SlotOf(&COPCHDAHistory::SetModifiedValues), kDispatch + 4},
        {"COPCHDAHistory::SetAttributeValues", SlotOf(&COPCHDAHistory::SetAttributeValues), kDispatch + 5},
        {"COPCHDAHistory::SetItemValues", SlotOf(&COPCHDAHistory::SetItemValues), kDispatch + 6},
        {"COPCHDAEnumHistory::Init", SlotOf(&COPCHDAEnumHistory::Init), kUnknown + 4},
        {"COPCHDAValue::SetValue", SlotOf(&COPCHDAValue::SetValue), kDispatch + 3},
        {"COPCHDAEntry::SetEntry", SlotOf(&COPCHDAEntry::SetEntry), kDispatch + 6},
        {"COPCHDAItem::Initialize", SlotOf(&COPCHDAItem::Initialize), kDispatch + 9},
        {"COPCHDABrowser::AttachBrowser", SlotOf(&COPCHDABrowser::AttachBrowser), kDispatch + 9},
    };
    for (const Slot& s : slots) EXPECT_EQ(s.actual, s.expected) << s.operation;
}

}  // namespace
