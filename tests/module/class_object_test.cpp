// The library's exports and its class object, called the way the COM runtime
// and clients call them; the type information's first load racing on many threads; the classes'
// own virtual operations in fixed slots of their first virtual table, right
// after the members of the interface they implement first (the object base
// adds no slot of its own, and each operation is declared in its place).
#include <algorithm>
#include <atomic>
#include <cstddef>
#include <sstream>
#include <thread>

#include "browser/COPCHDABrowser.h"
#include "history/COPCHDAEntry.h"
#include "history/COPCHDAEnumHistory.h"
#include "history/COPCHDAHistory.h"
#include "history/COPCHDAValue.h"
#include "item/COPCHDAItem.h"
#include "server/COPCHDAAutoServer.h"
#include "com/implements.h"
#include "automation/type_info_holder.h"
#include "opc_hda.h"
#include "support/event_sink.h"
#include "support/sim_fixture.h"

using namespace comtest;

namespace {

using ClassObjectTest = ComTest;

// A refused instance must not stay alive: the last check would see it.
TEST_F(ClassObjectTest, OnlyTheServerClassIsAvailableAndItsObjectIsSharedAndKeepsTheLibraryLoaded) {
    ComPtr<IClassFactory> first, second;
    // Loading through the runtime first puts the library in the process.
    ASSERT_HRESULT_SUCCEEDED(
        CoGetClassObject(CLSID_OPCHDAServer, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory, second.put_void()));
    const auto getClassObject = LibraryExport<HRESULT STDAPICALLTYPE(REFCLSID, REFIID, void**)>("DllGetClassObject");
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
    EXPECT_TRUE(first->CreateInstance(nullptr, IID_IClassFactory, object.put_void()) == E_NOINTERFACE && !object);
    EXPECT_EQ(first->LockServer(TRUE), S_OK);
    first = second = nullptr;
    EXPECT_EQ(LibraryCanUnloadNow(), S_FALSE) << "locked";
    ASSERT_EQ(getClassObject(CLSID_OPCHDAServer, IID_IClassFactory, first.put_void()), S_OK);
    EXPECT_EQ(first->LockServer(FALSE), S_OK);
    EXPECT_EQ(LibraryCanUnloadNow(), S_FALSE) << "the class object is held";
    first = nullptr;
    EXPECT_EQ(LibraryCanUnloadNow(), S_OK);
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

#define EXPECT_SLOT(operation, slot) EXPECT_EQ(SlotOf(&operation), slot) << #operation

TEST(VtableLayout, OwnOperationsFollowTheFirstInterface) {
    EXPECT_SLOT(COPCHDAAutoServer::TimeArgToHdaTime, kUnknown + 2);
    EXPECT_SLOT(COPCHDAHistory::SetAnnotations, kDispatch + 3);
    EXPECT_SLOT(COPCHDAHistory::SetModifiedValues, kDispatch + 4);
    EXPECT_SLOT(COPCHDAHistory::SetAttributeValues, kDispatch + 5);
    EXPECT_SLOT(COPCHDAHistory::SetItemValues, kDispatch + 6);
    EXPECT_SLOT(COPCHDAEnumHistory::Init, kUnknown + 4);
    EXPECT_SLOT(COPCHDAValue::SetValue, kDispatch + 3);
    EXPECT_SLOT(COPCHDAEntry::SetEntry, kDispatch + 6);
    EXPECT_SLOT(COPCHDAItem::Initialize, kDispatch + 9);
    EXPECT_SLOT(COPCHDABrowser::AttachBrowser, kDispatch + 9);
}

// Every COM object of the library in one table, as clients meet it: what its
// QueryInterface answers and refuses (a refusal nulls the caller's pointer),
// one identity, and for the automation objects IDispatch by name (as scripting
// hosts bind) and type information that the caller owns.
struct ObjectRow {
    const char* name;
    ComPtr<IUnknown> object;
    std::vector<const IID*> answers;  // besides IUnknown
    const IID* dual = nullptr;        // the automation interface, or none
    const wchar_t* properties = L"";  // read by name through `dual`, separated by spaces
};

// clang-format off
const IID kEveryInterface[] = {
    IID_IOPCHDAAutoServer, IID_IOPCHDAItems, IID_OPCHDAItem, IID_OPCHDABrowser, IID_OPCHDAValue, IID_OPCHDAEntry,
    IID_OPCHDAHistory, IID_IDispatch, IID_IEnumVARIANT, IID_IConnectionPointContainer, IID_IConnectionPoint,
    IID_ISupportErrorInfo, IID_IClassFactory, IID_IEnumConnections, IID_IEnumConnectionPoints, IID_IPersist,
    IID_IOPCShutdown, IID_IOPCHDA_DataCallback};
// clang-format on

class Objects : public ConnectedServer {
protected:
    void SetUp() override {
        ConnectedServer::SetUp();
        Connect(Where::InProcess);
        if (HasFatalFailure()) return;
        TimeRange times(L"NOW-2H", L"NOW");
        UniqueSafeArray handles(MakeLongArray({rampHandle_, textHandle_})), values, notes, errors;
        SAFEARRAY* h = handles.get();
        ASSERT_EQ(items_->SyncReadRaw(times.start.get(), times.end.get(), 0, 0, 1, &h, values.put(), errors.put()),
                  S_OK);
        ASSERT_EQ(items_->SyncReadAnnotations(times.start.get(), times.end.get(), 2, &h, notes.put(), errors.put()),
                  S_OK);
        ComPtr<OPCHDAHistory> history = HistoryAt(values.get(), 1), annotations = HistoryAt(notes.get(), 2);
        ASSERT_TRUE(history && annotations);
        ComPtr<OPCHDAValue> value, entry;
        ComPtr<OPCHDABrowser> browser;
        ASSERT_TRUE(history->Item(VarI4(1), value.put()) == S_OK && annotations->Item(VarI4(1), entry.put()) == S_OK);
        ASSERT_EQ(server_->CreateBrowser(0, VarMissing(), VarMissing(), VarMissing(), nullptr, browser.put()), S_OK);
        ComPtr<IUnknown> historyWalk, itemsWalk;
        ASSERT_TRUE(history->get__NewEnum(historyWalk.put()) == S_OK && items_->get__NewEnum(itemsWalk.put()) == S_OK);
        ComPtr<IConnectionPointContainer> container;
        ComPtr<IConnectionPoint> point = PointOf(server_.get(), DIID__IOPCHDAItemEvents);
        ComPtr<IEnumConnections> connections;
        ComPtr<IEnumConnectionPoints> points;
        ASSERT_TRUE(point && point->EnumConnections(connections.put()) == S_OK);
        ASSERT_EQ(server_.query(IID_IConnectionPointContainer, container), S_OK);
        ASSERT_EQ(container->EnumConnectionPoints(points.put()), S_OK);
        ComPtr<IClassFactory> factory;
        ASSERT_EQ(
            CoGetClassObject(CLSID_OPCHDAServer, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory, factory.put_void()),
            S_OK);

        auto u = [](const auto& p) { return ComPtr<IUnknown>(static_cast<IUnknown*>(p.get())); };
        // The items collection is the server object itself.
        const std::vector<const IID*> server = {
            &IID_IConnectionPointContainer, &IID_IDispatch,    &IID_IOPCHDAAutoServer,   &IID_IOPCHDAItems,
            &IID_ISupportErrorInfo,         &IID_IOPCShutdown, &IID_IOPCHDA_DataCallback};
        // clang-format off
        rows_ = {
            {"server", u(server_), server, &IID_IOPCHDAAutoServer,
             L"OPCHDAItems ServerName ServerNode ClientName LocaleID"},  // the rest: in the server tests
            {"items", u(items_), server, &IID_IOPCHDAItems, L"Parent Count _NewEnum"},
            {"item", u(ramp_), {&IID_OPCHDAItem}, &IID_OPCHDAItem, L"Parent ClientHandle ServerHandle ItemID"},
            {"history", u(history), {&IID_OPCHDAHistory}, &IID_OPCHDAHistory, L"Count _NewEnum"},
            {"value", u(value), {&IID_OPCHDAValue}, &IID_OPCHDAValue, L"TimeStamp DataValue Quality"},
            {"entry", u(entry), {&IID_OPCHDAValue, &IID_OPCHDAEntry}, &IID_OPCHDAEntry,
             L"TimeStamp DataValue Quality EntryTime EntryType User"},
            {"browser", u(browser), {&IID_OPCHDABrowser}, &IID_OPCHDABrowser,
             L"CurrentPosition OPCHDABranches OPCHDALeaves"},
            {"history enumerator", historyWalk, {&IID_IEnumVARIANT}},
            {"items enumerator", itemsWalk, {&IID_IEnumVARIANT}},
            {"connection point", u(point), {&IID_IConnectionPoint}},
            {"connections enumerator", u(connections), {&IID_IEnumConnections}},
            {"points enumerator", u(points), {&IID_IEnumConnectionPoints}},
            {"class factory", u(factory), {&IID_IClassFactory}},
        };
        // clang-format on
    }
    void TearDown() override {
        rows_.clear();
        ConnectedServer::TearDown();
    }

    std::vector<ObjectRow> rows_;
};

TEST_F(Objects, EachAnswersItsQueryInterfaceTableAndAutomationObjectsByNameWithTypeInformationOfTheirOwn) {
    for (const ObjectRow& row : rows_) {
        SCOPED_TRACE(row.name);
        ASSERT_TRUE(row.object);
        ComPtr<IUnknown> identity;
        ASSERT_EQ(row.object->QueryInterface(IID_IUnknown, identity.put_void()), S_OK);
        EXPECT_EQ(row.object->QueryInterface(IID_IUnknown, nullptr), E_POINTER);
        for (const IID& iid : kEveryInterface) {
            bool answered =
                std::any_of(row.answers.begin(), row.answers.end(), [&](const IID* a) { return *a == iid; });
            void* out = reinterpret_cast<void*>(0x1234);
            HRESULT hr = row.object->QueryInterface(iid, &out);
            if (!answered) {
                EXPECT_EQ(hr, E_NOINTERFACE);
                EXPECT_EQ(out, nullptr) << "a refusal must null the caller's pointer";
                continue;
            }
            ASSERT_EQ(hr, S_OK);
            ComPtr<IUnknown> got = ComPtr<IUnknown>::attach(static_cast<IUnknown*>(out)), again;
            ASSERT_EQ(got->QueryInterface(IID_IUnknown, again.put_void()), S_OK);
            // The connection point answers for itself; every other object has one identity.
            EXPECT_TRUE(iid == IID_IConnectionPoint || again.get() == identity.get()) << "another identity";
        }
        if (!row.dual) continue;
        ComPtr<IUnknown> dual;
        ASSERT_EQ(row.object->QueryInterface(*row.dual, dual.put_void()), S_OK);
        IDispatch* dispatch = static_cast<IDispatch*>(dual.get());
        UINT count = 0;
        EXPECT_TRUE(dispatch->GetTypeInfoCount(&count) == S_OK && count == 1u);
        ComPtr<ITypeInfo> info, second;
        EXPECT_EQ(dispatch->GetTypeInfo(1, LOCALE_USER_DEFAULT, info.put()), DISP_E_BADINDEX);
        ASSERT_EQ(dispatch->GetTypeInfo(0, LOCALE_USER_DEFAULT, info.put()), S_OK);
        auto refs = [&info] { return info->AddRef(), info->Release(); };
        const ULONG before = refs();
        ASSERT_EQ(dispatch->GetTypeInfo(0, LOCALE_USER_DEFAULT, second.put()), S_OK);
        EXPECT_EQ(refs(), before + 1) << "GetTypeInfo must add a reference for each caller";

        std::wistringstream names(row.properties);
        for (std::wstring text; names >> text;) {
            const wchar_t* name = text.c_str();
            std::wstring lower(name);
            for (wchar_t& c : lower) c = towlower(c);
            DISPID id = 1, lowerId = 2;
            LPOLESTR names[] = {const_cast<LPOLESTR>(name)}, lowerNames[] = {lower.data()};
            ASSERT_EQ(dispatch->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id), S_OK) << name;
            // The library is registered for US English; a German host binds in any case.
            EXPECT_EQ(dispatch->GetIDsOfNames(IID_NULL, lowerNames, 1, MAKELCID(0x0407, SORT_DEFAULT), &lowerId), S_OK);
            EXPECT_EQ(lowerId, id) << name;
            UniqueVariant value;
            EXPECT_TRUE(GetProperty(dispatch, name, value.get()) == S_OK && value->vt != VT_EMPTY) << name;
        }
        DISPID id = 0, ids[2] = {0, -1};
        LPOLESTR unknownName[] = {const_cast<LPOLESTR>(L"NoSuchMember")};
        EXPECT_EQ(dispatch->GetIDsOfNames(IID_NULL, unknownName, 1, LOCALE_USER_DEFAULT, &id), DISP_E_UNKNOWNNAME);
        UniqueVariant result;
        DISPPARAMS none{nullptr, nullptr, 0, 0};
        EXPECT_EQ(dispatch->Invoke(DISPID_VALUE, IID_IUnknown, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &none,
                                   result.get(), nullptr, nullptr),
                  DISP_E_UNKNOWNINTERFACE);
        if (row.object.get() != rows_[0].object.get()) continue;
        // The server's: error information, a property put, and named arguments
        // (VB6, Python, PowerShell): the member, then its parameters' positions.
        ComPtr<ISupportErrorInfo> errorInfo;
        ASSERT_EQ(row.object->QueryInterface(IID_ISupportErrorInfo, errorInfo.put_void()), S_OK);
        EXPECT_EQ(errorInfo->InterfaceSupportsErrorInfo(IID_IOPCHDAAutoServer), S_OK);
        EXPECT_EQ(errorInfo->InterfaceSupportsErrorInfo(IID_IOPCHDAItems), S_FALSE);
        ASSERT_EQ(InvokeByName(dispatch, L"ClientName", DISPATCH_PROPERTYPUT, {VarBstr(L"plant engineer")}, nullptr),
                  S_OK);
        UniqueBstr direct;
        ASSERT_EQ(server_->get_ClientName(direct.put()), S_OK);
        EXPECT_STREQ(direct.get(), L"plant engineer");
        LPOLESTR named[] = {const_cast<LPOLESTR>(L"GetErrorString"), const_cast<LPOLESTR>(L"ErrorCode")};
        ASSERT_EQ(dispatch->GetIDsOfNames(IID_NULL, named, 2, LOCALE_USER_DEFAULT, ids), S_OK);
        EXPECT_EQ(ids[1], 0) << "ErrorCode is the first parameter";
    }
}

}  // namespace
