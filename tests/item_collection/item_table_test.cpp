// The items collection's table against the simulator, in process and as a
// local server (its array checks are the request table's; AddItems, Validate
// and Remove through a script are in tests/scripts). The fixture's table
// holds the ramp, the step and the text, client handles 1 to 3.
#include "support/enum_conformance.h"
#include "support/sim_fixture.h"

using namespace comtest;

namespace {

constexpr HRESULT kInvalidItemId = static_cast<HRESULT>(0xC0040008);
constexpr wchar_t kSine[] = L"Plant/Lab/Calibration/Sine";

class ItemTable : public ConnectedServerAt {
protected:
    LONG Count() { return Counted(items_.get(), &IOPCHDAItems::get_Count); }
    ComPtr<OPCHDAItem> Add(const wchar_t* id, LONG client, HRESULT expected = S_OK) {
        ComPtr<OPCHDAItem> item;
        UniqueBstr text(id);
        EXPECT_EQ(items_->AddItem(text.get(), client, item.put()), expected);
        return item;
    }
    static LONG ClientOf(OPCHDAItem* item) { return item ? Counted(item, &OPCHDAItem::get_ClientHandle) : -1; }
    ComPtr<OPCHDAItem> ItemAt(VARIANT spec, HRESULT expected = S_OK) {
        ComPtr<OPCHDAItem> item;
        EXPECT_EQ(items_->Item(spec, item.put()), expected);
        VariantClear(&spec);
        return item;
    }
};

TEST_P(ItemTable, ItemFindsByPositionByTextAndByServerHandle) {
    EXPECT_FALSE(Add(L"Plant/NoSuchItem", 9, kUnknownItemID));  // the item's own code, nothing added
    EXPECT_FALSE(Add(nullptr, 9, kInvalidItemId));
    Add(kRamp, 4);                                           // duplicates are allowed and make a new entry
    EXPECT_EQ(ClientOf(ItemAt(VarBstr(kRamp)).get()), 1);    // the first of the two
    EXPECT_EQ(ClientOf(ItemAt(VarI4(4)).get()), 4);          // the count: the last added
    EXPECT_EQ(ClientOf(ItemAt(VarR8(2.7)).get()), 3);        // rounded by the platform
    ItemAt(VarBstr(L"2"), E_FAIL);                           // a text is an item ID, never a position
    ItemAt(VarBstr(L"plant/lab/calibration/ramp"), E_FAIL);  // case-sensitive
    for (VARIANT spec : {VarI4(0), VarI4(-1), VarI4(5), VarEmpty(), VarDate(45000.0)}) {
        OPCHDAItem* untouched = reinterpret_cast<OPCHDAItem*>(static_cast<uintptr_t>(0x5678));
        EXPECT_EQ(items_->Item(spec, &untouched), E_INVALIDARG) << spec.vt;
        EXPECT_EQ(untouched, reinterpret_cast<OPCHDAItem*>(static_cast<uintptr_t>(0x5678)));
    }
    ComPtr<OPCHDAItem> found;
    EXPECT_EQ(items_->GetOPCHDAItem(stepHandle_, found.put()), S_OK);
    EXPECT_EQ(ClientOf(found.get()), 2);
    EXPECT_EQ(items_->GetOPCHDAItem(rampHandle_ + stepHandle_ + textHandle_ + 1000, found.put()), E_FAIL);
    EXPECT_FALSE(found);
    UniqueBstr first, second;  // a new string each time
    EXPECT_TRUE(ramp_->get_ItemID(first.put()) == S_OK && ramp_->get_ItemID(second.put()) == S_OK &&
                first.get() != second.get());
    EXPECT_TRUE(items_->AddItem(first.get(), 1, nullptr) == E_POINTER && items_->Item(VarI4(1), nullptr) == E_POINTER &&
                items_->GetOPCHDAItem(0, nullptr) == E_POINTER && items_->get__NewEnum(nullptr) == E_POINTER);
    ComPtr<IOPCHDAAutoServer> parent, itemsParent;
    EXPECT_TRUE(ramp_->get_Parent(parent.put()) == S_OK && parent.get() == server_.get());
    EXPECT_TRUE(items_->get_Parent(itemsParent.put()) == S_OK && itemsParent.get() == server_.get());
}

// Remove passes every handle on; Connect again and Disconnect empty the table.
// (The simulator counts the handles of the historians it serves: released ones count none.)
TEST_P(ItemTable, RemoveConnectAndDisconnectReleaseTheHandles) {
    UniqueSafeArray handles(MakeLongArray({rampHandle_, rampHandle_, 0x7FFF0000}));  // 0x7FFF0000: never held
    SAFEARRAY* raw = handles.get();
    UniqueSafeArray errors;
    EXPECT_EQ(items_->Remove(3, &raw, errors.put()), S_FALSE);
    EXPECT_EQ(LongAt(errors.get(), 1), S_OK);
    EXPECT_EQ(LongAt(errors.get(), 2), kInvalidHandle);  // already released by the first
    EXPECT_EQ(LongAt(errors.get(), 3), kInvalidHandle);
    EXPECT_EQ(Count(), 2);
    EXPECT_EQ(OutstandingHandles(), 2);
    EXPECT_EQ(ClientOf(ramp_.get()), 1);  // still an object, no longer found
    ItemAt(VarBstr(kRamp), E_FAIL);
    EXPECT_EQ(items_->RemoveAll(), S_OK);
    EXPECT_EQ(OutstandingHandles(), 0);

    Add(kStep, 3);
    UniqueBstr progID(ProgIDOf(where_));
    ASSERT_EQ(server_->Connect(progID.get(), VarEmpty()), S_OK);
    EXPECT_EQ(Count(), 0) << "a second Connect starts with an empty table";
    ComPtr<OPCHDAItem> kept = Add(kStep, 3);
    ASSERT_EQ(OutstandingHandles(), 1);
    EXPECT_EQ(server_->Disconnect(), S_OK);
    EXPECT_EQ(Count(), 0);
    EXPECT_EQ(ClientOf(kept.get()), 3) << "an item the client holds stays usable as an object";
    ASSERT_EQ(server_->Connect(progID.get(), VarEmpty()), S_OK);
    Add(kSine, 4);
}

TEST_P(ItemTable, NewEnumIsASnapshot) {
    ComPtr<IUnknown> unknown;
    ComPtr<IEnumVARIANT> walk;
    ASSERT_EQ(items_->get__NewEnum(unknown.put()), S_OK);
    ASSERT_EQ(unknown.query(IID_IEnumVARIANT, walk), S_OK);
    Add(kSine, 4);  // later changes do not show
    EXPECT_EQ(items_->RemoveAll(), S_OK);
    ExpectEnumeratorConforms<IEnumVARIANT, VARIANT>(walk.get(), 3);
    walk->Reset();
    for (LONG i = 1; i <= 3; ++i) {
        UniqueVariant got;
        ComPtr<OPCHDAItem> item;
        ASSERT_EQ(walk->Next(1, got.get(), nullptr), S_OK);
        ASSERT_EQ(got->pdispVal->QueryInterface(IID_OPCHDAItem, item.put_void()), S_OK);
        EXPECT_EQ(ClientOf(item.get()), i);
    }
    ASSERT_EQ(items_->get__NewEnum(unknown.put()), S_OK);
    ASSERT_EQ(unknown.query(IID_IEnumVARIANT, walk), S_OK);
    ExpectEnumeratorConforms<IEnumVARIANT, VARIANT>(walk.get(), 0);
}

INSTANTIATE_TEST_SUITE_P(Sim, ItemTable, ::testing::ValuesIn(kBothSides), NameOf);

}  // namespace
