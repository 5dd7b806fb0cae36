// The items collection's table against the historian simulator, in process
// and as a local server (its array conventions are the request table's).
// The fixture's table holds the ramp, the step and the text, client handles 1 to 3.
#include "support/enum_conformance.h"
#include "support/sim_fixture.h"

using namespace comtest;

namespace {

constexpr HRESULT kInvalidItemId = static_cast<HRESULT>(0xC0040008);
constexpr wchar_t kSine[] = L"Plant/Lab/Calibration/Sine";

class ItemTable : public ConnectedServerAt {
protected:
    LONG Count() {
        LONG n = -1;
        EXPECT_HRESULT_SUCCEEDED(items_->get_Count(&n));
        return n;
    }
    ComPtr<OPCHDAItem> Add(const wchar_t* id, LONG client) {
        ComPtr<OPCHDAItem> item;
        UniqueBstr text(id);
        EXPECT_HRESULT_SUCCEEDED(items_->AddItem(text.get(), client, item.put()));
        return item;
    }
    static LONG ClientOf(OPCHDAItem* item) {
        LONG v = -1;
        if (item) item->get_ClientHandle(&v);
        return v;
    }
    ComPtr<OPCHDAItem> ItemAt(VARIANT spec, HRESULT expected = S_OK) {
        ComPtr<OPCHDAItem> item;
        EXPECT_EQ(items_->Item(spec, item.put()), expected);
        VariantClear(&spec);
        return item;
    }
};

TEST_P(ItemTable, AddReportsEachItemAndAddsOnlyTheGoodOnes) {
    UniqueSafeArray ids(MakeBstrArray({kSine, L"Plant/NoSuchItem", kRamp}));
    UniqueSafeArray clients(MakeLongArray({11, 12, 13}));
    SAFEARRAY *idsRaw = ids.get(), *clientsRaw = clients.get();
    UniqueSafeArray handles, errors;
    EXPECT_EQ(items_->AddItems(3, &idsRaw, &clientsRaw, handles.put(), errors.put()), S_FALSE);
    ASSERT_TRUE(handles && errors);
    EXPECT_EQ(BoundsOf(handles.get()), std::make_pair(1L, 3L));
    EXPECT_EQ(LongAt(handles.get(), 2), 0);
    EXPECT_EQ(LongAt(errors.get(), 1), S_OK);
    EXPECT_EQ(LongAt(errors.get(), 2), kUnknownItemID);
    EXPECT_EQ(LongAt(errors.get(), 3), S_OK);
    EXPECT_EQ(Count(), 5);
    EXPECT_EQ(OutstandingHandles(), 5);
    ComPtr<OPCHDAItem> last = ItemAt(VarI4(5));
    EXPECT_EQ(ClientOf(last.get()), 13);
    LONG handle = 0;
    last->get_ServerHandle(&handle);
    EXPECT_EQ(handle, LongAt(handles.get(), 3));

    // One item: its own code, and nothing added.
    ComPtr<OPCHDAItem> item;
    UniqueBstr unknown(L"Plant/NoSuchItem");
    EXPECT_EQ(items_->AddItem(unknown.get(), 1, item.put()), kUnknownItemID);
    EXPECT_FALSE(item);
    EXPECT_EQ(items_->AddItem(nullptr, 1, item.put()), kInvalidItemId);
    EXPECT_EQ(items_->AddItem(unknown.get(), 1, nullptr), E_POINTER);
    EXPECT_EQ(Count(), 5);

    // Validate asks the historian and adds nothing.
    UniqueSafeArray candidates(MakeBstrArray({kSine, L"Plant/NoSuchItem", L""}));
    SAFEARRAY* raw = candidates.get();
    EXPECT_HRESULT_SUCCEEDED(items_->Validate(3, &raw, errors.put()));
    EXPECT_EQ(LongAt(errors.get(), 1), S_OK);
    EXPECT_EQ(LongAt(errors.get(), 2), kUnknownItemID);
    EXPECT_EQ(LongAt(errors.get(), 3), kInvalidItemId);
    EXPECT_EQ(OutstandingHandles(), 5);
}

TEST_P(ItemTable, ItemFindsByPositionByTextAndByServerHandle) {
    Add(kRamp, 4);                                           // duplicates are allowed and make a new entry
    EXPECT_EQ(ClientOf(ItemAt(VarBstr(kRamp)).get()), 1);    // the first of the two
    EXPECT_EQ(ClientOf(ItemAt(VarI4(4)).get()), 4);          // the count: the last added
    EXPECT_EQ(ClientOf(ItemAt(VarR8(2.7)).get()), 3);        // rounded by the platform
    ItemAt(VarBstr(L"2"), E_FAIL);                           // a text is an item ID, never a position
    ItemAt(VarBstr(L"plant/lab/calibration/ramp"), E_FAIL);  // case-sensitive

    // Out of range and not a number: E_INVALIDARG and the output untouched.
    for (VARIANT spec : {VarI4(0), VarI4(-1), VarI4(5), VarEmpty(), VarDate(45000.0)}) {
        OPCHDAItem* untouched = reinterpret_cast<OPCHDAItem*>(static_cast<uintptr_t>(0x5678));
        EXPECT_EQ(items_->Item(spec, &untouched), E_INVALIDARG) << spec.vt;
        EXPECT_EQ(untouched, reinterpret_cast<OPCHDAItem*>(static_cast<uintptr_t>(0x5678)));
    }
    EXPECT_EQ(items_->Item(VarI4(1), nullptr), E_POINTER);

    ComPtr<OPCHDAItem> found;
    EXPECT_EQ(items_->GetOPCHDAItem(stepHandle_, found.put()), S_OK);
    EXPECT_EQ(ClientOf(found.get()), 2);
    EXPECT_EQ(items_->GetOPCHDAItem(rampHandle_ + stepHandle_ + textHandle_ + 1000, found.put()), E_FAIL);
    EXPECT_FALSE(found);
    EXPECT_EQ(items_->GetOPCHDAItem(0, nullptr), E_POINTER);
}

TEST_P(ItemTable, RemoveTakesOneEntryPerHandleAndPassesEveryHandleOn) {
    // The same handle twice, and one the table never held.
    UniqueSafeArray handles(MakeLongArray({rampHandle_, rampHandle_, 0x7FFF0000}));
    SAFEARRAY* raw = handles.get();
    UniqueSafeArray errors;
    EXPECT_EQ(items_->Remove(3, &raw, errors.put()), S_FALSE);
    EXPECT_EQ(LongAt(errors.get(), 1), S_OK);
    EXPECT_EQ(LongAt(errors.get(), 2), kInvalidHandle);  // already released by the first
    EXPECT_EQ(LongAt(errors.get(), 3), kInvalidHandle);
    EXPECT_EQ(Count(), 2);
    EXPECT_EQ(OutstandingHandles(), 2);

    // The removed item still answers as an object, but is no longer found.
    UniqueBstr id;
    EXPECT_EQ(ramp_->get_ItemID(id.put()), S_OK);
    EXPECT_STREQ(id.get(), kRamp);
    EXPECT_EQ(ClientOf(ramp_.get()), 1);
    ComPtr<OPCHDAItem> found;
    EXPECT_EQ(items_->GetOPCHDAItem(rampHandle_, found.put()), E_FAIL);
    ItemAt(VarBstr(kRamp), E_FAIL);

    EXPECT_EQ(items_->RemoveAll(), S_OK);
    EXPECT_EQ(Count(), 0);
    EXPECT_EQ(OutstandingHandles(), 0);
    EXPECT_EQ(items_->RemoveAll(), S_OK);
}

TEST_P(ItemTable, ConnectingAgainDisconnectingAndLettingGoReleaseTheItems) {
    UniqueBstr progID(ProgIDOf(where_));
    ASSERT_EQ(server_->Connect(progID.get(), VarEmpty()), S_OK);
    EXPECT_EQ(Count(), 0) << "a second Connect starts with an empty table";
    EXPECT_EQ(OutstandingHandles(), 0) << "and released the first connection's handles";

    ComPtr<OPCHDAItem> kept = Add(kStep, 3);
    ASSERT_EQ(OutstandingHandles(), 1);
    EXPECT_EQ(server_->Disconnect(), S_OK);
    EXPECT_EQ(Count(), 0);
    EXPECT_EQ(OutstandingHandles(), 0);
    EXPECT_EQ(ClientOf(kept.get()), 3) << "an item the client holds stays usable as an object";
    ASSERT_EQ(server_->Connect(progID.get(), VarEmpty()), S_OK);

    // A script that drops its last reference without Disconnect.
    Add(kSine, 4);
    ASSERT_EQ(OutstandingHandles(), 1);
    ramp_ = step_ = text_ = nullptr;
    items_ = nullptr;
    server_ = nullptr;
    EXPECT_EQ(OutstandingHandles(), 0) << "the final release removes the items at the historian";
    ComPtr<IOPCHDAAutoServer> parent;
    EXPECT_EQ(kept->get_Parent(parent.put()), E_FAIL);
    EXPECT_FALSE(parent);
}

TEST_P(ItemTable, NewEnumIsASnapshot) {
    ComPtr<IUnknown> unknown;
    ASSERT_EQ(items_->get__NewEnum(unknown.put()), S_OK);
    ComPtr<IEnumVARIANT> walk;
    ASSERT_EQ(unknown.query(IID_IEnumVARIANT, walk), S_OK);
    Add(kSine, 4);  // later changes do not show
    EXPECT_EQ(items_->RemoveAll(), S_OK);
    ExpectEnumeratorConforms<IEnumVARIANT, VARIANT>(walk.get(), 3);
    walk->Reset();
    VARIANT got[3];
    ULONG fetched = 0;
    ASSERT_EQ(walk->Next(3, got, &fetched), S_OK);
    for (LONG i = 0; i < 3; ++i) {
        ComPtr<OPCHDAItem> item;
        ASSERT_EQ(got[i].pdispVal->QueryInterface(IID_OPCHDAItem, item.put_void()), S_OK);
        EXPECT_EQ(ClientOf(item.get()), i + 1);
        VariantClear(&got[i]);
    }
    ASSERT_EQ(items_->get__NewEnum(unknown.put()), S_OK);
    ASSERT_EQ(unknown.query(IID_IEnumVARIANT, walk), S_OK);
    ExpectEnumeratorConforms<IEnumVARIANT, VARIANT>(walk.get(), 0);
    EXPECT_EQ(items_->get__NewEnum(nullptr), E_POINTER);
}

TEST_P(ItemTable, ItemsShareTheirParentAndHandOutNewStrings) {
    ComPtr<IOPCHDAAutoServer> viaItem, viaItems;
    ASSERT_EQ(ramp_->get_Parent(viaItem.put()), S_OK);
    ASSERT_EQ(items_->get_Parent(viaItems.put()), S_OK);
    EXPECT_EQ(viaItem.get(), viaItems.get());
    EXPECT_EQ(viaItem.get(), server_.get());
    UniqueBstr first, second;
    ASSERT_EQ(ramp_->get_ItemID(first.put()), S_OK);
    ASSERT_EQ(ramp_->get_ItemID(second.put()), S_OK);
    EXPECT_NE(first.get(), second.get());
    EXPECT_STREQ(second.get(), kRamp);
}

// As a compiled late-bound client calls: typed arrays by reference, the
// default member, For Each.
TEST_P(ItemTable, ThroughIDispatch) {
    // The dual pointer a client is handed is its dispatch interface (a query
    // for IDispatch answers the server object's other face).
    ComPtr<IDispatch> collection(static_cast<IDispatch*>(items_.get()));
    UniqueVariant added;
    ASSERT_EQ(CallMethod(collection.get(), L"AddItem", {VarBstr(kSine), VarI4(5)}, added.get()), S_OK);
    ASSERT_EQ(added->vt, VT_DISPATCH);
    UniqueSafeArray ids(MakeBstrArray({kSine, kStep}));
    UniqueSafeArray clients(MakeLongArray({6, 7}));
    SAFEARRAY *idsRaw = ids.get(), *clientsRaw = clients.get(), *handles = nullptr, *errors = nullptr;
    ASSERT_EQ(CallMethod(collection.get(), L"AddItems",
                         {VarI4(2), Ref(VT_ARRAY | VT_BSTR, &idsRaw), Ref(VT_ARRAY | VT_I4, &clientsRaw),
                          Ref(VT_ARRAY | VT_I4, &handles), Ref(VT_ARRAY | VT_I4, &errors)}),
              S_OK);
    UniqueSafeArray handlesOwned(handles), errorsOwned(errors);
    ASSERT_TRUE(handles && errors);
    EXPECT_EQ(LongAt(errors, 2), S_OK);

    UniqueVariant second;
    VARIANT index = VarI4(5);
    DISPPARAMS params{&index, nullptr, 1, 0};
    ASSERT_EQ(collection->Invoke(DISPID_VALUE, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD | DISPATCH_PROPERTYGET,
                                 &params, second.get(), nullptr, nullptr),
              S_OK);
    UniqueVariant client;
    ASSERT_EQ(GetProperty(second->pdispVal, L"ClientHandle", client.get()), S_OK);
    EXPECT_EQ(client->lVal, 6);

    UniqueVariant enumerator;
    DISPPARAMS none{};
    ASSERT_EQ(collection->Invoke(DISPID_NEWENUM, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &none,
                                 enumerator.get(), nullptr, nullptr),
              S_OK);
    ComPtr<IEnumVARIANT> walk;
    ASSERT_EQ(enumerator->punkVal->QueryInterface(IID_IEnumVARIANT, walk.put_void()), S_OK);
    EXPECT_EQ((CountRest<IEnumVARIANT, VARIANT>(walk.get(), 4)), 6u);
}

INSTANTIATE_TEST_SUITE_P(Sim, ItemTable, ::testing::ValuesIn(kBothSides), NameOf);

}  // namespace
