// What the synchronous requests and the item shortcuts give back from the
// simulator, in process and as a local server (argument checks and codes are
// the request table's; values the script and example clients print).
#include <cmath>
#include <thread>

#include "support/sim_fixture.h"

using namespace comtest;

namespace {

constexpr HRESULT kMoreData = static_cast<HRESULT>(0x40041003);

class SyncResults : public ConnectedServerAt {
protected:
    void TearDown() override {
        values_.reset();
        errors_.reset();
        ConnectedServerAt::TearDown();
    }
    // A whole second in the past that holds no sample (samples fall on whole ten seconds).
    static DATE FreeStamp() { return (std::floor((LocalNow() - kHour) * 8640) + 0.5) / 8640; }
    ComPtr<OPCHDAValue> FirstOf(SAFEARRAY* values, LONG index = 1) {
        ComPtr<OPCHDAHistory> history = HistoryAt(values, index);
        ComPtr<OPCHDAValue> value;
        if (!history) return value;
        EXPECT_EQ(history->Item(VarI4(1), value.put()), S_OK);
        return value;
    }
    LONG CountIn(const UniqueVariant& v) {
        ComPtr<OPCHDAHistory> history;
        EXPECT_EQ(v->vt, VT_DISPATCH);
        if (v->vt == VT_DISPATCH) v->pdispVal->QueryInterface(IID_OPCHDAHistory, history.put_void());
        return history ? CountOf(history.get()) : -1;
    }
    // The first value of the first history read is an entry of `user`.
    void ExpectEntry(const wchar_t* user, LONG entryType) {
        ExpectAnswerFreed();
        ComPtr<OPCHDAEntry> entry;
        ComPtr<OPCHDAValue> first = FirstOf(values_.get());
        ASSERT_TRUE(first);
        ASSERT_EQ(first.query(IID_OPCHDAEntry, entry), S_OK);
        UniqueBstr name;
        ASSERT_EQ(entry->get_User(name.put()), S_OK);
        EXPECT_STREQ(name.get(), user);
        LONG type = 0;
        entry->get_EntryType(&type);
        EXPECT_EQ(type, entryType);
    }
    UniqueSafeArray values_, errors_;
};

TEST_P(SyncResults, ProcessedAppliesAggregateKToHandleKFromTheStart) {
    TimeRange times(L"HOUR-3H", L"HOUR");
    UniqueSafeArray handles(MakeLongArray({rampHandle_, rampHandle_}));
    UniqueSafeArray aggregates(MakeLongArray({OPCHDAAverage, OPCHDACount}));
    SAFEARRAY *h = handles.get(), *a = aggregates.get();
    ASSERT_EQ(
        items_->SyncReadProcessed(times.start.get(), times.end.get(), kHour, 2, &h, &a, values_.put(), errors_.put()),
        S_OK);
    EXPECT_NEAR(times.end->date - times.start->date, 3 * kHour, kSecond);
    EXPECT_EQ(CountOf(HistoryAt(values_.get(), 1).get()), 3);  // one-hour intervals
    DATE first = 0;                                            // the first interval begins at the start, not at the end
    ComPtr<OPCHDAValue> firstValue = FirstOf(values_.get());
    ASSERT_TRUE(firstValue);
    ASSERT_EQ(firstValue->get_TimeStamp(&first), S_OK);
    EXPECT_NEAR(first, times.start->date, kSecond);
    UniqueVariant n;
    FirstOf(values_.get(), 2)->get_DataValue(n.get());
    ASSERT_EQ(VariantChangeType(n.get(), n.get(), 0, VT_R8), S_OK);
    EXPECT_NEAR(n->dblVal, 360, 1);  // samples every 10 s in an hour
}

// Every text field filled: the historian's strings are freed by the component
// (the fixture's task-memory check), the entries' by COM.
TEST_P(SyncResults, ModifiedValuesAndAnnotationsAreEntriesWithTheirUsers) {
    UniqueBstr engineer(L"plant engineer");
    ASSERT_EQ(server_->put_ClientName(engineer.get()), S_OK);
    UniqueSafeArray h(MakeLongArray({rampHandle_})), t(MakeDateArray({FreeStamp()})),
        v(MakeVariantArray({VarBstr(L"1234.5")})), q(MakeLongArray({0xC0}));
    SAFEARRAY *hp = h.get(), *tp = t.get(), *vp = v.get(), *qp = q.get();
    ASSERT_EQ(items_->SyncInsertReplace(1, &hp, &tp, &vp, &qp, errors_.put()), S_OK);
    EXPECT_EQ(LongAt(errors_.get(), 1), kInserted);
    UniqueVariant kept;  // the client's values are copied, not taken
    ASSERT_EQ(VariantAt(v.get(), 1, kept.get()), S_OK);
    EXPECT_STREQ(kept->vt == VT_BSTR ? kept->bstrVal : L"", L"1234.5");

    TimeRange times(L"NOW-2H", L"NOW");
    UniqueSafeArray text(MakeLongArray({textHandle_}));
    SAFEARRAY* textRaw = text.get();
    ASSERT_EQ(items_->SyncReadModified(times.start.get(), times.end.get(), 0, 1, &hp, values_.put(), errors_.put()),
              S_OK);
    ExpectEntry(L"plant engineer", OPCHDAInsertReplace);
    ASSERT_EQ(
        items_->SyncReadAnnotations(times.start.get(), times.end.get(), 1, &textRaw, values_.put(), errors_.put()),
        S_OK);
    ExpectEntry(L"lab technician", 5);
}

TEST_P(SyncResults, HistoriesAndItemsOutliveTheServerObject) {
    TimeRange times;
    UniqueSafeArray handles(MakeLongArray({rampHandle_}));
    SAFEARRAY* h = handles.get();
    ASSERT_EQ(items_->SyncReadRaw(times.start.get(), times.end.get(), 0, 0, 1, &h, values_.put(), errors_.put()), S_OK);
    ComPtr<OPCHDAHistory> history = HistoryAt(values_.get(), 1);
    ComPtr<OPCHDAItem> item = ramp_;
    values_.reset();
    ramp_ = step_ = text_ = nullptr;
    items_ = nullptr;
    server_ = nullptr;
    ASSERT_TRUE(history);
    EXPECT_NEAR(CountOf(history.get()), 60, 2);
    // The item's shortcuts answer E_FAIL, and write nothing back.
    TimeRange again;
    UniqueVariant values;
    EXPECT_EQ(item->ReadRaw(again.start.get(), again.end.get(), 0, 0, values.get()), E_FAIL);
    EXPECT_EQ(item->Update(LocalNow(), VarR8(1), 0xC0, OPCHDAInsertReplace), E_FAIL);
    EXPECT_EQ(item->DeleteRaw(again.start.get(), again.end.get()), E_FAIL);
    EXPECT_EQ(again.start->vt, VT_BSTR);
}

TEST_P(SyncResults, ItemReadsPassTheirArgumentsAndGiveTheItemsCode) {
    TimeRange times(L"NOW-10M", L"NOW");
    UniqueVariant values;
    const struct {
        LONG numValues, bounds;
        HRESULT expected;
        LONG count;
    } kReads[] = {{5, 0, kMoreData, 5}, {1, 1, kMoreData, 1}, {0, 1, S_OK, 61}};
    for (const auto& r : kReads) {
        SCOPED_TRACE(r.numValues);
        ASSERT_EQ(ramp_->ReadRaw(times.start.get(), times.end.get(), r.numValues, r.bounds, values.put()), r.expected);
        EXPECT_NEAR(CountIn(values), r.count, 2);
    }
    TimeRange hours(L"HOUR-2H", L"HOUR");
    ASSERT_EQ(ramp_->ReadProcessed(hours.start.get(), hours.end.get(), kHour, OPCHDAAverage, values.put()), S_OK);
    EXPECT_EQ(CountIn(values), 2);
    UniqueSafeArray stamps(MakeDateArray({LocalNow() - kHour, LocalNow() - 0.5 * kHour}));
    SAFEARRAY* t = stamps.get();
    ASSERT_EQ(step_->ReadAtTime(2, &t, values.put()), S_OK);
    EXPECT_EQ(CountIn(values), 2);
    ExpectAnswerFreed();
    // A success code other than S_OK is the method's result, with the history.
    TimeRange later(L"NOW+1D", L"NOW+2D");
    EXPECT_EQ(ramp_->ReadRaw(later.start.get(), later.end.get(), 0, 0, values.put()), kNoData);
    EXPECT_EQ(CountIn(values), 0);
    // A failure code of the item: its code, and nothing written.
    control_->SetItemCode(kRamp, kUnknownItemID);
    UniqueVariant untouched;
    EXPECT_EQ(ramp_->ReadRaw(times.start.get(), times.end.get(), 0, 0, untouched.get()), kUnknownItemID);
    EXPECT_EQ(untouched->vt, VT_EMPTY);
    EXPECT_EQ(ramp_->ReadRaw(times.start.get(), times.end.get(), 0, 0, nullptr), E_POINTER);
}

TEST_P(SyncResults, ItemUpdateDispatchesOnEditType) {
    const DATE stamp = FreeStamp();
    const struct {
        LONG editType;
        HRESULT expected;
    } kEdits[] = {
        {OPCHDAInsertReplace, kInserted}, {OPCHDAInsert, kDataExists}, {OPCHDAReplace, S_OK}, {OPCHDADelete, S_OK},
        {OPCHDADelete, kNoDataExists},    {OPCHDAAnnotate, E_NOTIMPL}};
    for (const auto& e : kEdits) EXPECT_EQ(ramp_->Update(stamp, VarR8(3), 0xC0, e.editType), e.expected) << e.editType;

    auto sent = [this] {
        return CallCount(L"Insert") + CallCount(L"Replace") + CallCount(L"InsertReplace") + CallCount(L"DeleteAtTime");
    };
    LONG before = sent();
    EXPECT_EQ(ramp_->Update(stamp, VarR8(6), 0xC0, 0), E_INVALIDARG);
    EXPECT_EQ(ramp_->Update(stamp, VarR8(6), 0xC0, 6), E_INVALIDARG);
    // A value the platform cannot copy: the copy's own failure, found while
    // the arrays are built, before the edit type is looked at.
    VARIANT uncopyable = VarEmpty();
    uncopyable.vt = 15;  // a reserved type
    EXPECT_EQ(ramp_->Update(stamp, uncopyable, 0xC0, OPCHDAInsertReplace), DISP_E_BADVARTYPE);
    EXPECT_EQ(ramp_->Update(stamp, uncopyable, 0xC0, 6), DISP_E_BADVARTYPE);
    EXPECT_EQ(sent(), before);
    ExpectAnswerFreed();
}

INSTANTIATE_TEST_SUITE_P(Sim, SyncResults, ::testing::ValuesIn(kBothSides), NameOf);

// An item racing its server object's last release: a shortcut reaches a
// living server (which keeps its item while it lives) or answers E_FAIL, never
// a server that is already tearing itself down. The window is a few
// instructions wide, so it takes many rounds (in process, where one is quickest).
class ItemRace : public ConnectedServer {};

TEST_F(ItemRace, ShortcutsSeeTheServerAliveOrGoneNeverDying) {
    for (int round = 0; round < 200 && !HasFailure(); ++round) {
        SCOPED_TRACE(testing::Message() << "round " << round);
        Connect(Where::InProcess);  // a new server object and its items
        if (HasFatalFailure()) return;
        ComPtr<OPCHDAItem> item = ramp_;
        ramp_ = step_ = text_ = nullptr;
        items_ = nullptr;
        HRESULT unexpected = S_OK;
        LONG itemsSeen = 3;
        std::thread reader([&] {
            CoInitializeEx(nullptr, COINIT_MULTITHREADED);
            for (int call = 0;; ++call) {
                HRESULT hr;
                if (call % 8 == 7) {
                    TimeRange times(L"NOW-1M", L"NOW");
                    UniqueVariant values;
                    hr = item->ReadRaw(times.start.get(), times.end.get(), 0, 0, values.get());
                } else {
                    // A server handed out is alive: its table still holds the three items.
                    ComPtr<IOPCHDAAutoServer> parent;
                    ComPtr<IOPCHDAItems> items;
                    hr = item->get_Parent(parent.put());
                    if (SUCCEEDED(hr) && SUCCEEDED(hr = parent.query(IID_IOPCHDAItems, items)) &&
                        SUCCEEDED(hr = items->get_Count(&itemsSeen)) && itemsSeen != 3)
                        break;
                }
                if (FAILED(hr)) {
                    if (hr != E_FAIL) unexpected = hr;
                    break;  // E_FAIL: the server object is gone
                }
            }
            CoUninitialize();
        });
        Sleep(round % 3);   // the release lands at varying points of the reader's calls
        server_ = nullptr;  // the last reference, unless the reader holds one for a moment
        reader.join();
        EXPECT_EQ(unexpected, S_OK);
        EXPECT_EQ(itemsSeen, 3) << "a server in teardown was handed out";
    }
}

}  // namespace
