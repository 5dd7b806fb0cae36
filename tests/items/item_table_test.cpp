// The items collection's table and its array conventions, against the
// historian simulator in process and as a local server.
#include <windows.h>
#include <oleauto.h>

#include <gtest/gtest.h>

#include <string>

#include "OPCHDAAuto.h"
#include "com_holders.h"
#include "sim_control.h"
#include "support/com_test.h"

using namespace comtest;

namespace {

constexpr HRESULT kUnknownItemId = static_cast<HRESULT>(0xC0040007);
constexpr HRESULT kInvalidItemId = static_cast<HRESULT>(0xC0040008);
constexpr HRESULT kInvalidHandle = static_cast<HRESULT>(0xC0040001);
constexpr wchar_t kSine[] = L"Plant/Lab/Calibration/Sine";
constexpr wchar_t kRamp[] = L"Plant/Lab/Calibration/Ramp";
constexpr wchar_t kStep[] = L"Plant/Lab/Calibration/Step";

struct Where {
    const wchar_t* progID;
    const CLSID* control;
    bool counts_task_memory;  // out of process the stubs free everything
};
const Where kInProc{L"Sim.HdaHistorian", &CLSID_HdaSimControl, true};
const Where kLocal{L"Sim.HdaHistorian.Local", &CLSID_HdaSimControlLocal, false};

// A deliberately bogus pointer: members must overwrite (null) it, never free it.
SAFEARRAY* const kSentinel = reinterpret_cast<SAFEARRAY*>(static_cast<uintptr_t>(0x1234));

SAFEARRAY* MakeTwoDimLongs() {
    SAFEARRAYBOUND bounds[2] = {{3, 1}, {2, 1}};
    return SafeArrayCreate(VT_I4, 2, bounds);
}

class ItemTable : public ComTest, public testing::WithParamInterface<Where> {
protected:
    void SetUp() override {
        ComTest::SetUp();
        ASSERT_HRESULT_SUCCEEDED(CreateServer(server));
        ASSERT_HRESULT_SUCCEEDED(server->get_OPCHDAItems(items.put()));
        UniqueBstr progID(GetParam().progID);
        ASSERT_HRESULT_SUCCEEDED(server->Connect(progID.get(), VarEmpty()));
        ASSERT_HRESULT_SUCCEEDED(
            CoCreateInstance(*GetParam().control, nullptr, CLSCTX_ALL, IID_IHdaSimControl, control.put_void()));
        // The local server's counters sum over every historian it serves,
        // including those of other test processes: count from here.
        ASSERT_HRESULT_SUCCEEDED(control->OutstandingHandles(&baseHandles));
    }
    void TearDown() override {
        if (server && control) {
            // Everything the historian handed over has been freed by now.
            if (GetParam().counts_task_memory) {
                LONG memory = -1;
                EXPECT_HRESULT_SUCCEEDED(control->OutstandingTaskMemory(&memory));
                EXPECT_EQ(memory, 0);
            }
            EXPECT_HRESULT_SUCCEEDED(items->RemoveAll());
            EXPECT_EQ(OutstandingHandles(), 0);
        }
        items = nullptr;
        server = nullptr;
        control = nullptr;
        ComTest::TearDown();
    }

    LONG Count() {
        LONG n = -1;
        EXPECT_HRESULT_SUCCEEDED(items->get_Count(&n));
        return n;
    }
    LONG OutstandingHandles() {
        LONG n = -1;
        EXPECT_HRESULT_SUCCEEDED(control->OutstandingHandles(&n));
        return n - baseHandles;
    }
    ComPtr<OPCHDAItem> Add(const wchar_t* id, LONG client) {
        ComPtr<OPCHDAItem> item;
        UniqueBstr text(id);
        EXPECT_HRESULT_SUCCEEDED(items->AddItem(text.get(), client, item.put()));
        return item;
    }
    static LONG ClientOf(OPCHDAItem* item) {
        LONG v = -1;
        item->get_ClientHandle(&v);
        return v;
    }
    static LONG HandleOf(OPCHDAItem* item) {
        LONG v = -1;
        item->get_ServerHandle(&v);
        return v;
    }
    ComPtr<OPCHDAItem> ItemAt(VARIANT spec, HRESULT expected = S_OK) {
        ComPtr<OPCHDAItem> item;
        EXPECT_EQ(items->Item(spec, item.put()), expected);
        VariantClear(&spec);
        return item;
    }

    ComPtr<IOPCHDAAutoServer> server;
    ComPtr<IOPCHDAItems> items;
    ComPtr<IHdaSimControl> control;
    LONG baseHandles = 0;
};

TEST_P(ItemTable, AddItemsReportsEachItemAndAddsOnlyTheGoodOnes) {
    UniqueSafeArray ids(MakeBstrArray({kSine, L"Plant/NoSuchItem", kRamp}));
    UniqueSafeArray clients(MakeLongArray({11, 12, 13}));
    SAFEARRAY* idsRaw = ids.get();
    SAFEARRAY* clientsRaw = clients.get();
    UniqueSafeArray handles, errors;
    EXPECT_EQ(items->AddItems(3, &idsRaw, &clientsRaw, handles.put(), errors.put()), S_FALSE);
    ASSERT_TRUE(handles && errors);
    EXPECT_NE(LongAt(handles.get(), 1), 0);
    EXPECT_EQ(LongAt(handles.get(), 2), 0);
    EXPECT_NE(LongAt(handles.get(), 3), 0);
    EXPECT_EQ(LongAt(errors.get(), 1), S_OK);
    EXPECT_EQ(LongAt(errors.get(), 2), kUnknownItemId);
    EXPECT_EQ(LongAt(errors.get(), 3), S_OK);
    LONG lower = -1, upper = -1;
    SafeArrayGetLBound(handles.get(), 1, &lower);
    SafeArrayGetUBound(handles.get(), 1, &upper);
    EXPECT_EQ(lower, 1);
    EXPECT_EQ(upper, 3);
    EXPECT_EQ(Count(), 2);
    EXPECT_EQ(OutstandingHandles(), 2);

    ComPtr<OPCHDAItem> third = ItemAt(VarI4(2));
    ASSERT_TRUE(third);
    EXPECT_EQ(ClientOf(third.get()), 13);
    EXPECT_EQ(HandleOf(third.get()), LongAt(handles.get(), 3));
}

TEST_P(ItemTable, AddItemFailsWithTheItemsOwnCode) {
    ComPtr<OPCHDAItem> item;
    UniqueBstr unknown(L"Plant/NoSuchItem");
    EXPECT_EQ(items->AddItem(unknown.get(), 1, item.put()), kUnknownItemId);
    EXPECT_FALSE(item);
    EXPECT_EQ(items->AddItem(nullptr, 1, item.put()), kInvalidItemId);
    EXPECT_EQ(Count(), 0);
    EXPECT_EQ(items->AddItem(unknown.get(), 1, nullptr), E_POINTER);
    EXPECT_EQ(OutstandingHandles(), 0);
}

TEST_P(ItemTable, ItemFindsByPositionByTextAndRoundsNumbers) {
    Add(kSine, 1);
    Add(kRamp, 2);
    Add(kSine, 3);  // duplicates are allowed and make a new entry
    Add(kStep, 4);
    EXPECT_EQ(Count(), 4);

    EXPECT_EQ(ClientOf(ItemAt(VarBstr(kSine)).get()), 1);  // the first of the two
    EXPECT_EQ(ClientOf(ItemAt(VarI4(1)).get()), 1);
    EXPECT_EQ(ClientOf(ItemAt(VarI4(4)).get()), 4);          // the count: the last added
    EXPECT_EQ(ClientOf(ItemAt(VarR8(2.7)).get()), 3);        // rounded by the platform
    ItemAt(VarBstr(L"2"), E_FAIL);                           // a text is an item ID, never a position
    ItemAt(VarBstr(L"plant/lab/calibration/sine"), E_FAIL);  // case-sensitive

    // Out of range and not a number: E_INVALIDARG and the output untouched.
    for (VARIANT spec : {VarI4(0), VarI4(-1), VarI4(5), VarEmpty(), VarDate(45000.0)}) {
        OPCHDAItem* untouched = reinterpret_cast<OPCHDAItem*>(static_cast<uintptr_t>(0x5678));
        EXPECT_EQ(items->Item(spec, &untouched), E_INVALIDARG) << spec.vt;
        EXPECT_EQ(untouched, reinterpret_cast<OPCHDAItem*>(static_cast<uintptr_t>(0x5678)));
    }
    EXPECT_EQ(items->Item(VarI4(1), nullptr), E_POINTER);
}

TEST_P(ItemTable, GetOPCHDAItemFindsByServerHandle) {
    ComPtr<OPCHDAItem> sine = Add(kSine, 1);
    ComPtr<OPCHDAItem> ramp = Add(kRamp, 2);
    ComPtr<OPCHDAItem> found;
    EXPECT_EQ(items->GetOPCHDAItem(HandleOf(ramp.get()), found.put()), S_OK);
    EXPECT_EQ(ClientOf(found.get()), 2);
    EXPECT_EQ(items->GetOPCHDAItem(HandleOf(ramp.get()) + HandleOf(sine.get()) + 1000, found.put()), E_FAIL);
    EXPECT_FALSE(found);
    EXPECT_EQ(items->GetOPCHDAItem(0, nullptr), E_POINTER);
}

TEST_P(ItemTable, RemoveTakesOneEntryPerHandleAndPassesEveryHandleOn) {
    ComPtr<OPCHDAItem> sine = Add(kSine, 1);
    ComPtr<OPCHDAItem> ramp = Add(kRamp, 2);
    const LONG h = HandleOf(sine.get());
    // The same handle twice, and one the table never held.
    UniqueSafeArray handles(MakeLongArray({h, h, 0x7FFF0000}));
    SAFEARRAY* raw = handles.get();
    UniqueSafeArray errors;
    EXPECT_EQ(items->Remove(3, &raw, errors.put()), S_FALSE);
    ASSERT_TRUE(errors);
    EXPECT_EQ(LongAt(errors.get(), 1), S_OK);
    EXPECT_EQ(LongAt(errors.get(), 2), kInvalidHandle);  // already released by the first
    EXPECT_EQ(LongAt(errors.get(), 3), kInvalidHandle);
    EXPECT_EQ(Count(), 1);
    EXPECT_EQ(OutstandingHandles(), 1);

    // The removed item still answers as an object, but is no longer found.
    BSTR id = nullptr;
    EXPECT_EQ(sine->get_ItemID(&id), S_OK);
    EXPECT_STREQ(id, kSine);
    SysFreeString(id);
    EXPECT_EQ(ClientOf(sine.get()), 1);
    EXPECT_EQ(HandleOf(sine.get()), h);
    ComPtr<OPCHDAItem> found;
    EXPECT_EQ(items->GetOPCHDAItem(h, found.put()), E_FAIL);
    ItemAt(VarBstr(kSine), E_FAIL);
}

TEST_P(ItemTable, RemoveAllReleasesEveryHandle) {
    Add(kSine, 1);
    Add(kRamp, 2);
    Add(kSine, 3);
    EXPECT_EQ(OutstandingHandles(), 3);
    EXPECT_EQ(items->RemoveAll(), S_OK);
    EXPECT_EQ(Count(), 0);
    EXPECT_EQ(OutstandingHandles(), 0);
    EXPECT_EQ(items->RemoveAll(), S_OK);
}

TEST_P(ItemTable, ConnectingAgainDisconnectingAndLettingGoReleaseTheItems) {
    Add(kSine, 1);
    Add(kRamp, 2);
    ASSERT_EQ(OutstandingHandles(), 2);
    UniqueBstr progID(GetParam().progID);
    ASSERT_EQ(server->Connect(progID.get(), VarEmpty()), S_OK);
    EXPECT_EQ(Count(), 0) << "a second Connect starts with an empty table";
    EXPECT_EQ(OutstandingHandles(), 0) << "and released the first connection's handles";

    ComPtr<OPCHDAItem> kept = Add(kStep, 3);
    ASSERT_EQ(OutstandingHandles(), 1);
    EXPECT_EQ(server->Disconnect(), S_OK);
    EXPECT_EQ(Count(), 0);
    EXPECT_EQ(OutstandingHandles(), 0);
    EXPECT_EQ(ClientOf(kept.get()), 3) << "an item the client holds stays usable as an object";
    ASSERT_EQ(server->Connect(progID.get(), VarEmpty()), S_OK);

    // A script that drops its last reference without Disconnect.
    Add(kSine, 4);
    ASSERT_EQ(OutstandingHandles(), 1);
    items = nullptr;
    server = nullptr;
    EXPECT_EQ(OutstandingHandles(), 0) << "the final release removes the items at the historian";
    ComPtr<IOPCHDAAutoServer> parent;
    EXPECT_EQ(kept->get_Parent(parent.put()), E_FAIL);
}

TEST_P(ItemTable, ValidateAsksTheHistorianAndAddsNothing) {
    UniqueSafeArray ids(MakeBstrArray({kSine, L"Plant/NoSuchItem", L""}));
    SAFEARRAY* raw = ids.get();
    UniqueSafeArray errors;
    HRESULT hr = items->Validate(3, &raw, errors.put());
    EXPECT_TRUE(hr == S_FALSE || hr == S_OK) << std::hex << hr;
    ASSERT_TRUE(errors);
    EXPECT_EQ(LongAt(errors.get(), 1), S_OK);
    EXPECT_EQ(LongAt(errors.get(), 2), kUnknownItemId);
    EXPECT_EQ(LongAt(errors.get(), 3), kInvalidItemId);
    EXPECT_EQ(Count(), 0);
    EXPECT_EQ(OutstandingHandles(), 0);
}

// The array conventions, on the three table members that take arrays.
TEST_P(ItemTable, ArrayConventions) {
    UniqueSafeArray ids(MakeBstrArray({kSine, kRamp}));
    UniqueSafeArray clients(MakeLongArray({1, 2}));
    SAFEARRAY* idsRaw = ids.get();
    SAFEARRAY* clientsRaw = clients.get();
    SAFEARRAY* nullArray = nullptr;
    SAFEARRAY* out1 = kSentinel;
    SAFEARRAY* out2 = kSentinel;

    // Pointers first, then the count; outputs untouched so far.
    EXPECT_EQ(items->AddItems(2, nullptr, &clientsRaw, &out1, &out2), E_POINTER);
    EXPECT_EQ(items->AddItems(2, &nullArray, &clientsRaw, &out1, &out2), E_POINTER);
    EXPECT_EQ(items->AddItems(2, &idsRaw, &clientsRaw, nullptr, &out2), E_POINTER);
    EXPECT_EQ(items->AddItems(0, &idsRaw, &clientsRaw, &out1, &out2), E_INVALIDARG);
    EXPECT_EQ(items->AddItems(-1, &idsRaw, &clientsRaw, &out1, &out2), E_INVALIDARG);
    EXPECT_EQ(out1, kSentinel);
    EXPECT_EQ(out2, kSentinel);

    // A short array: outputs are null from here on.
    EXPECT_EQ(items->AddItems(3, &idsRaw, &clientsRaw, &out1, &out2), E_INVALIDARG);
    EXPECT_EQ(out1, nullptr);
    EXPECT_EQ(out2, nullptr);

    // Wrong element types: longs where texts go, texts and variants where longs go.
    EXPECT_EQ(items->AddItems(2, &clientsRaw, &clientsRaw, &out1, &out2), E_INVALIDARG);
    EXPECT_EQ(items->AddItems(2, &idsRaw, &idsRaw, &out1, &out2), E_INVALIDARG);
    UniqueSafeArray variants(MakeVariantArray({VarI4(1), VarI4(2)}));
    SAFEARRAY* variantsRaw = variants.get();
    EXPECT_EQ(items->AddItems(2, &idsRaw, &variantsRaw, &out1, &out2), E_INVALIDARG);
    EXPECT_EQ(items->Remove(2, &variantsRaw, &out1), E_INVALIDARG);
    EXPECT_EQ(items->Remove(1, &idsRaw, &out1), E_INVALIDARG);
    EXPECT_EQ(items->Validate(2, &clientsRaw, &out1), E_INVALIDARG);
    UniqueSafeArray twoDims(MakeTwoDimLongs());
    SAFEARRAY* twoDimsRaw = twoDims.get();
    EXPECT_EQ(items->Remove(2, &twoDimsRaw, &out1), E_INVALIDARG);
    EXPECT_EQ(Count(), 0);
    EXPECT_EQ(OutstandingHandles(), 0);

    // Lower bound 2: E_INVALIDARG even with enough elements.
    UniqueSafeArray fromTwo(MakeLongArray({7, 8, 9}, 2));
    SAFEARRAY* fromTwoRaw = fromTwo.get();
    EXPECT_EQ(items->Remove(1, &fromTwoRaw, &out1), E_INVALIDARG);
    EXPECT_EQ(out1, nullptr);

    // Lower bound 0: element 0 is ignored, so the count must stop one short.
    ComPtr<OPCHDAItem> sine = Add(kSine, 1);
    ComPtr<OPCHDAItem> ramp = Add(kRamp, 2);
    UniqueSafeArray fromZero(MakeLongArray({HandleOf(sine.get()), HandleOf(ramp.get())}, 0));
    SAFEARRAY* fromZeroRaw = fromZero.get();
    EXPECT_EQ(items->Remove(2, &fromZeroRaw, &out1), E_INVALIDARG);
    EXPECT_EQ(Count(), 2);
    UniqueSafeArray errors;
    EXPECT_EQ(items->Remove(1, &fromZeroRaw, errors.put()), S_OK);
    EXPECT_EQ(Count(), 1);
    ComPtr<OPCHDAItem> left = ItemAt(VarI4(1));
    EXPECT_EQ(ClientOf(left.get()), 1);  // element 0 (the sine's handle) was not read

    // Bad arrays are reported before the connection is looked at.
    ASSERT_HRESULT_SUCCEEDED(server->Disconnect());
    EXPECT_EQ(items->Remove(1, &variantsRaw, &out1), E_INVALIDARG);
    EXPECT_EQ(items->Remove(1, &clientsRaw, &out1), E_FAIL);
    EXPECT_EQ(items->AddItems(2, &idsRaw, &clientsRaw, &out1, &out2), E_FAIL);
    EXPECT_EQ(items->Validate(2, &idsRaw, &out1), E_FAIL);
    ComPtr<OPCHDAItem> none;
    UniqueBstr sineId(kSine);
    EXPECT_EQ(items->AddItem(sineId.get(), 1, none.put()), E_FAIL);
    EXPECT_EQ(items->RemoveAll(), S_OK);
}

TEST_P(ItemTable, NewEnumIsASnapshot) {
    Add(kSine, 1);
    Add(kRamp, 2);
    Add(kStep, 3);
    ComPtr<IUnknown> unknown;
    ASSERT_EQ(items->get__NewEnum(unknown.put()), S_OK);
    ComPtr<IEnumVARIANT> walk;
    ASSERT_EQ(unknown.query(IID_IEnumVARIANT, walk), S_OK);
    Add(kSine, 4);  // later changes do not show
    EXPECT_EQ(items->RemoveAll(), S_OK);

    VARIANT got[3];
    ULONG fetched = 0;
    ASSERT_EQ(walk->Next(2, got, &fetched), S_OK);
    EXPECT_EQ(fetched, 2u);
    ComPtr<IEnumVARIANT> clone;
    ASSERT_EQ(walk->Clone(clone.put()), S_OK);
    for (LONG i = 0; i < 2; ++i) {
        ASSERT_EQ(got[i].vt, VT_DISPATCH);
        ComPtr<OPCHDAItem> item;
        ASSERT_EQ(got[i].pdispVal->QueryInterface(IID_OPCHDAItem, item.put_void()), S_OK);
        EXPECT_EQ(ClientOf(item.get()), i + 1);
        VariantClear(&got[i]);
    }
    ASSERT_EQ(walk->Next(3, got, &fetched), S_FALSE);
    EXPECT_EQ(fetched, 1u);
    VariantClear(&got[0]);
    EXPECT_EQ(walk->Skip(1), S_FALSE);
    EXPECT_EQ(walk->Reset(), S_OK);
    EXPECT_EQ(walk->Skip(3), S_OK);
    EXPECT_EQ(walk->Next(1, got, nullptr), S_FALSE);

    ASSERT_EQ(clone->Next(1, got, nullptr), S_OK);  // the clone goes on from 3
    ComPtr<OPCHDAItem> item;
    ASSERT_EQ(got[0].pdispVal->QueryInterface(IID_OPCHDAItem, item.put_void()), S_OK);
    EXPECT_EQ(ClientOf(item.get()), 3);
    VariantClear(&got[0]);

    // An empty table gives an enumerator that yields nothing.
    ComPtr<IUnknown> empty;
    ASSERT_EQ(items->get__NewEnum(empty.put()), S_OK);
    ComPtr<IEnumVARIANT> emptyWalk;
    ASSERT_EQ(empty.query(IID_IEnumVARIANT, emptyWalk), S_OK);
    EXPECT_EQ(emptyWalk->Next(1, got, &fetched), S_FALSE);
    EXPECT_EQ(fetched, 0u);
    EXPECT_EQ(items->get__NewEnum(nullptr), E_POINTER);
}

TEST_P(ItemTable, ItemIdentityAndParent) {
    ComPtr<OPCHDAItem> item = Add(kSine, 42);
    ComPtr<IDispatch> dispatchOnly;
    EXPECT_EQ(item->QueryInterface(IID_IDispatch, dispatchOnly.put_void()), E_NOINTERFACE);
    ComPtr<IUnknown> unknown;
    EXPECT_EQ(item->QueryInterface(IID_IUnknown, unknown.put_void()), S_OK);

    ComPtr<IOPCHDAAutoServer> viaItem, viaItems;
    ASSERT_EQ(item->get_Parent(viaItem.put()), S_OK);
    ASSERT_EQ(items->get_Parent(viaItems.put()), S_OK);
    EXPECT_EQ(viaItem.get(), viaItems.get());
    EXPECT_EQ(viaItem.get(), server.get());

    BSTR first = nullptr, second = nullptr;
    ASSERT_EQ(item->get_ItemID(&first), S_OK);
    ASSERT_EQ(item->get_ItemID(&second), S_OK);
    EXPECT_NE(first, second);  // a new string every time
    SysFreeString(first);
    EXPECT_STREQ(second, kSine);
    SysFreeString(second);
}

// An item kept after its server object went must not reach the freed object.
TEST_P(ItemTable, ItemOutlivesItsServer) {
    ComPtr<OPCHDAItem> item = Add(kSine, 7);
    ASSERT_HRESULT_SUCCEEDED(server->Disconnect());
    items = nullptr;
    server = nullptr;
    ComPtr<IOPCHDAAutoServer> parent;
    EXPECT_EQ(item->get_Parent(parent.put()), E_FAIL);
    EXPECT_FALSE(parent);
    EXPECT_EQ(ClientOf(item.get()), 7);
    VARIANT start = VarBstr(L"NOW-1H"), end = VarBstr(L"NOW");
    UniqueVariant values;
    EXPECT_EQ(item->ReadRaw(&start, &end, 0, 0, values.get()), E_FAIL);
    VariantClear(&start);
    VariantClear(&end);
    EXPECT_EQ(item->DeleteRaw(&start, &end), E_FAIL);
}

// The same members as a script reaches them, through IDispatch by name.
TEST_P(ItemTable, ThroughIDispatch) {
    // The dual pointer a client is handed is its dispatch interface (a query
    // for IDispatch answers the server object's other face).
    ComPtr<IDispatch> collection(static_cast<IDispatch*>(items.get()));
    UniqueVariant added;
    ASSERT_EQ(CallMethod(collection.get(), L"AddItem", {VarBstr(kRamp), VarI4(5)}, added.get()), S_OK);
    ASSERT_EQ(added->vt, VT_DISPATCH);

    // AddItems with typed arrays by reference, as a compiled client passes them.
    UniqueSafeArray ids(MakeBstrArray({kSine, kStep}));
    UniqueSafeArray clients(MakeLongArray({6, 7}));
    SAFEARRAY* idsRaw = ids.get();
    SAFEARRAY* clientsRaw = clients.get();
    SAFEARRAY* handles = nullptr;
    SAFEARRAY* errors = nullptr;
    VARIANT args[5];
    for (VARIANT& a : args) VariantInit(&a);
    args[0] = VarI4(2);
    args[1].vt = VT_BYREF | VT_ARRAY | VT_BSTR;
    args[1].pparray = &idsRaw;
    args[2].vt = VT_BYREF | VT_ARRAY | VT_I4;
    args[2].pparray = &clientsRaw;
    args[3].vt = VT_BYREF | VT_ARRAY | VT_I4;
    args[3].pparray = &handles;
    args[4].vt = VT_BYREF | VT_ARRAY | VT_I4;
    args[4].pparray = &errors;
    ASSERT_EQ(CallMethod(collection.get(), L"AddItems", {args[0], args[1], args[2], args[3], args[4]}), S_OK);
    UniqueSafeArray handlesOwned(handles), errorsOwned(errors);
    ASSERT_TRUE(handles && errors);
    EXPECT_EQ(LongAt(errors, 2), S_OK);

    UniqueVariant count;
    ASSERT_EQ(GetProperty(collection.get(), L"Count", count.get()), S_OK);
    EXPECT_EQ(count->vt, VT_I4);
    EXPECT_EQ(count->lVal, 3);

    // Item is the default member; the item's ClientHandle by name.
    UniqueVariant second;
    DISPPARAMS params{};
    VARIANT index = VarI4(2);
    params.rgvarg = &index;
    params.cArgs = 1;
    ASSERT_EQ(collection->Invoke(DISPID_VALUE, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD | DISPATCH_PROPERTYGET,
                                 &params, second.get(), nullptr, nullptr),
              S_OK);
    ASSERT_EQ(second->vt, VT_DISPATCH);
    UniqueVariant client;
    ASSERT_EQ(GetProperty(second->pdispVal, L"ClientHandle", client.get()), S_OK);
    EXPECT_EQ(client->lVal, 6);

    // For Each reaches _NewEnum as DISPID -4.
    UniqueVariant enumerator;
    DISPPARAMS none{};
    ASSERT_EQ(collection->Invoke(DISPID_NEWENUM, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &none,
                                 enumerator.get(), nullptr, nullptr),
              S_OK);
    ASSERT_TRUE(enumerator->vt == VT_UNKNOWN || enumerator->vt == VT_DISPATCH);
    ComPtr<IEnumVARIANT> walk;
    ASSERT_EQ(enumerator->punkVal->QueryInterface(IID_IEnumVARIANT, walk.put_void()), S_OK);
    VARIANT got[4];
    ULONG fetched = 0;
    EXPECT_EQ(walk->Next(4, got, &fetched), S_FALSE);
    EXPECT_EQ(fetched, 3u);
    for (ULONG i = 0; i < fetched; ++i) VariantClear(&got[i]);
}

INSTANTIATE_TEST_SUITE_P(Sim, ItemTable, testing::Values(kInProc, kLocal),
                         [](const testing::TestParamInfo<Where>& info) {
                             return std::string(info.param.control == &CLSID_HdaSimControl ? "InProc" : "Local");
                         });

}  // namespace
