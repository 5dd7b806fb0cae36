// The items collection's table and what the synchronous requests and the
// item shortcuts give back, against the simulator in process and as a local
// server (argument checks and codes: the request table's; AddItems, Validate
// and Remove through a script are in tests/scripts). The fixture's table
// holds the ramp, the step and the text, client handles 1 to 3.
#include <cmath>
#include <thread>
#include <utility>
#include <vector>

#include "support/enum_conformance.h"
#include "support/sim_fixture.h"

using namespace comtest;

namespace {

constexpr HRESULT kInvalidItemId = static_cast<HRESULT>(0xC0040008);
constexpr HRESULT kMoreData = static_cast<HRESULT>(0x40041003);
constexpr wchar_t kSine[] = L"Plant/Lab/Calibration/Sine";

class Items : public ConnectedServerAt {
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
    // A whole second in the past that holds no sample (samples fall on whole ten seconds).
    static DATE FreeStamp() { return (std::floor((LocalNow() - kHour) * 8640) + 0.5) / 8640; }
    ComPtr<OPCHDAValue> FirstOf(const UniqueSafeArray& values, LONG index) {
        ComPtr<OPCHDAHistory> history = HistoryAt(values.get(), index);
        ComPtr<OPCHDAValue> value;
        EXPECT_TRUE(!history || history->Item(VarI4(1), value.put()) == S_OK);
        return value;
    }
    LONG CountIn(const UniqueVariant& v) {
        ComPtr<OPCHDAHistory> history;
        if (v->vt == VT_DISPATCH) v->pdispVal->QueryInterface(IID_OPCHDAHistory, history.put_void());
        return history ? CountOf(history.get()) : -1;
    }
    void ExpectEntry(const UniqueSafeArray& values, const wchar_t* user, LONG entryType) {
        ComPtr<OPCHDAValue> first = FirstOf(values, 1);
        ComPtr<OPCHDAEntry> entry;
        ASSERT_TRUE(first && first.query(IID_OPCHDAEntry, entry) == S_OK);
        UniqueBstr name;
        LONG type = 0;
        EXPECT_TRUE(entry->get_User(name.put()) == S_OK && name && !wcscmp(name.get(), user)) << user;
        EXPECT_TRUE(entry->get_EntryType(&type) == S_OK && type == entryType) << type;
    }
};

TEST_P(Items, ItemFindsByPositionByTextAndByServerHandle) {
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
TEST_P(Items, RemoveConnectAndDisconnectReleaseTheHandles) {
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

TEST_P(Items, NewEnumIsASnapshot) {
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

// Every text field filled: the historian's strings are freed by the component
// (the task-memory check), the entries' by COM.
TEST_P(Items, ModifiedValuesAndAnnotationsAreEntriesWithTheirUsers) {
    UniqueBstr engineer(L"plant engineer");
    ASSERT_EQ(server_->put_ClientName(engineer.get()), S_OK);
    UniqueSafeArray values, errors, h(MakeLongArray({rampHandle_})), t(MakeDateArray({FreeStamp()})),
        v(MakeVariantArray({VarBstr(L"1234.5")})), q(MakeLongArray({0xC0})), text(MakeLongArray({textHandle_}));
    SAFEARRAY *hp = h.get(), *tp = t.get(), *vp = v.get(), *qp = q.get(), *textp = text.get();
    ASSERT_EQ(items_->SyncInsertReplace(1, &hp, &tp, &vp, &qp, errors.put()), S_OK);
    EXPECT_EQ(LongAt(errors.get(), 1), kInserted);
    UniqueVariant kept;  // the client's values are copied, not taken
    ASSERT_EQ(VariantAt(v.get(), 1, kept.get()), S_OK);
    EXPECT_STREQ(kept->vt == VT_BSTR ? kept->bstrVal : L"", L"1234.5");
    TimeRange times(L"NOW-2H", L"NOW");
    ASSERT_EQ(items_->SyncReadModified(times.start.get(), times.end.get(), 0, 1, &hp, values.put(), errors.put()),
              S_OK);
    ExpectEntry(values, L"plant engineer", OPCHDAInsertReplace);
    ASSERT_EQ(items_->SyncReadAnnotations(times.start.get(), times.end.get(), 1, &textp, values.put(), errors.put()),
              S_OK);
    ExpectEntry(values, L"lab technician", 5);
}

TEST_P(Items, ItemShortcutsPassTheirArgumentsAndGiveTheItemsCode) {
    TimeRange times(L"NOW-10M", L"NOW"), hours(L"HOUR-2H", L"HOUR"), later(L"NOW+1D", L"NOW+2D");
    UniqueVariant values;
    const struct {
        LONG numValues, bounds;
        HRESULT expected;
        LONG count;
    } kReads[] = {{5, 0, kMoreData, 5}, {1, 1, kMoreData, 1}, {0, 1, S_OK, 61}};
    for (const auto& r : kReads) {
        ASSERT_EQ(ramp_->ReadRaw(times.start.get(), times.end.get(), r.numValues, r.bounds, values.put()), r.expected);
        EXPECT_NEAR(CountIn(values), r.count, 2) << r.numValues;
    }
    ASSERT_EQ(ramp_->ReadProcessed(hours.start.get(), hours.end.get(), kHour, OPCHDAAverage, values.put()), S_OK);
    EXPECT_EQ(CountIn(values), 2);
    UniqueSafeArray stamps(MakeDateArray({LocalNow() - kHour, LocalNow() - 0.5 * kHour}));
    SAFEARRAY* t = stamps.get();
    ASSERT_EQ(step_->ReadAtTime(2, &t, values.put()), S_OK);
    EXPECT_EQ(CountIn(values), 2);
    const DATE stamp = FreeStamp();  // Update dispatches on its edit type
    const std::pair<LONG, HRESULT> kEdits[] = {
        {OPCHDAInsertReplace, kInserted}, {OPCHDAInsert, kDataExists}, {OPCHDAReplace, S_OK}, {OPCHDADelete, S_OK},
        {OPCHDADelete, kNoDataExists},    {OPCHDAAnnotate, E_NOTIMPL}};
    for (auto [edit, expected] : kEdits) EXPECT_EQ(ramp_->Update(stamp, VarR8(3), 0xC0, edit), expected) << edit;
    // A value the platform cannot copy (a reserved type) fails before the edit type is looked at.
    const VARIANT uncopyable = Typed(15, 0);
    const std::pair<VARIANT, LONG> kRefused[] = {
        {VarR8(6), 0}, {VarR8(6), 6}, {uncopyable, OPCHDAInsertReplace}, {uncopyable, 6}};
    for (auto [value, edit] : kRefused)
        EXPECT_EQ(ramp_->Update(stamp, value, 0xC0, edit), value.vt == 15 ? DISP_E_BADVARTYPE : E_INVALIDARG) << edit;
    // A success code other than S_OK is the method's result, with the history;
    // a failure code of the item is its result, with nothing written.
    EXPECT_EQ(ramp_->ReadRaw(later.start.get(), later.end.get(), 0, 0, values.put()), kNoData);
    EXPECT_EQ(CountIn(values), 0);
    control_->SetItemCode(kRamp, kUnknownItemID);
    EXPECT_EQ(ramp_->ReadRaw(times.start.get(), times.end.get(), 0, 0, values.put()), kUnknownItemID);
    EXPECT_EQ(values->vt, VT_EMPTY);
    EXPECT_EQ(ramp_->ReadRaw(times.start.get(), times.end.get(), 0, 0, nullptr), E_POINTER);
}

// A read's histories keep the historian's answer: the task memory stays out
// while they live (the simulator counts it in process), they read the same
// once the server object and its items are gone, and the memory comes back
// when they go.
TEST_P(Items, HistoriesKeepTheAnswerAndOutliveTheServerObject) {
    TimeRange times(L"NOW-10M", L"NOW");
    UniqueSafeArray values, errors, handles(MakeLongArray({rampHandle_, stepHandle_}));
    SAFEARRAY* h = handles.get();
    ASSERT_HRESULT_SUCCEEDED(
        items_->SyncReadRaw(times.start.get(), times.end.get(), 0, 0, 2, &h, values.put(), errors.put()));
    ComPtr<OPCHDAHistory> ramp = HistoryAt(values.get(), 1), step = HistoryAt(values.get(), 2);
    values.reset();
    ASSERT_TRUE(ramp && step);
    auto readAll = [&](OPCHDAHistory* history) {
        std::vector<std::pair<DATE, double>> read;
        for (LONG k = 1, n = CountOf(history); k <= n; ++k) {
            ComPtr<OPCHDAValue> value;
            UniqueVariant data;
            DATE stamp = 0;
            if (FAILED(history->Item(VarI4(k), value.put())) || FAILED(value->get_TimeStamp(&stamp)) ||
                FAILED(value->get_DataValue(data.get())) || FAILED(VariantChangeType(data.get(), data.get(), 0, VT_R8)))
                read.emplace_back(-1, -1);
            else
                read.emplace_back(stamp, data->dblVal);
        }
        return read;
    };
    const auto rampValues = readAll(ramp.get()), stepValues = readAll(step.get());
    EXPECT_GT(rampValues.size(), 50u);
    if (where_ == Where::InProcess) {
        EXPECT_GT(OutstandingTaskMemory(), 0) << "the answer was copied, not kept";
    }
    ramp_ = step_ = text_ = nullptr;
    items_ = nullptr;
    server_ = nullptr;
    EXPECT_EQ(readAll(ramp.get()), rampValues);
    EXPECT_EQ(readAll(step.get()), stepValues);
    ramp = step = nullptr;
    if (where_ == Where::InProcess) {
        EXPECT_EQ(OutstandingTaskMemory(), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Sim, Items, ::testing::ValuesIn(kBothSides), NameOf);

// An item racing its server object's last release reaches a living server
// (which keeps its items while it lives) or answers E_FAIL, never a server
// tearing itself down. The window is a few instructions wide: many rounds.
class ItemRace : public ConnectedServer {};

TEST_F(ItemRace, ShortcutsSeeTheServerAliveOrGoneNeverDying) {
    for (int round = 0; round < 200 && !HasFailure(); ++round) {
        SCOPED_TRACE(testing::Message() << "round " << round);
        Connect(Where::InProcess);
        if (HasFatalFailure()) return;
        ComPtr<OPCHDAItem> item = ramp_;
        ramp_ = step_ = text_ = nullptr;
        items_ = nullptr;
        HRESULT unexpected = S_OK;
        LONG itemsSeen = 3;
        std::thread reader([&] {
            CoInitializeEx(nullptr, COINIT_MULTITHREADED);
            for (;;) {  // the shortcuts reach the server through the same link as Parent
                ComPtr<IOPCHDAAutoServer> parent;
                ComPtr<IOPCHDAItems> items;
                HRESULT hr = item->get_Parent(parent.put());
                if (SUCCEEDED(hr) && SUCCEEDED(hr = parent.query(IID_IOPCHDAItems, items)) &&
                    SUCCEEDED(hr = items->get_Count(&itemsSeen)) && itemsSeen != 3)
                    break;
                if (FAILED(hr)) {
                    if (hr != E_FAIL) unexpected = hr;
                    break;
                }
            }
            CoUninitialize();
        });
        Sleep(round % 3);   // the release lands at varying points of the reader's calls
        server_ = nullptr;  // the last reference, unless the reader holds one for a moment
        reader.join();
        EXPECT_EQ(unexpected, S_OK);
        EXPECT_EQ(itemsSeen, 3) << "a server in teardown was handed out";
        TimeRange times;  // once it is gone: E_FAIL, nothing written back
        UniqueVariant values;
        EXPECT_EQ(item->ReadRaw(times.start.get(), times.end.get(), 0, 0, values.get()), E_FAIL);
        EXPECT_EQ(item->Update(LocalNow(), VarR8(1), 0xC0, OPCHDAInsertReplace), E_FAIL);
        EXPECT_EQ(item->DeleteRaw(times.start.get(), times.end.get()), E_FAIL);
        EXPECT_EQ(times.start->vt, VT_BSTR);
    }
}

}  // namespace
