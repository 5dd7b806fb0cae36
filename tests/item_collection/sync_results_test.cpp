// What the synchronous requests and the item shortcuts give back from the
// simulator (argument checks and codes: the request table's).
#include <cmath>
#include <thread>
#include <utility>
#include <vector>

#include "support/sim_fixture.h"

using namespace comtest;

namespace {

constexpr HRESULT kMoreData = static_cast<HRESULT>(0x40041003);

class SyncResults : public ConnectedServerAt {
protected:
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

TEST_P(SyncResults, ProcessedAppliesAggregateKToHandleKFromTheStart) {
    TimeRange times(L"HOUR-3H", L"HOUR");
    UniqueSafeArray values, errors, handles(MakeLongArray({rampHandle_, rampHandle_})),
        aggregates(MakeLongArray({OPCHDAAverage, OPCHDACount}));
    SAFEARRAY *h = handles.get(), *a = aggregates.get();
    ASSERT_EQ(
        items_->SyncReadProcessed(times.start.get(), times.end.get(), kHour, 2, &h, &a, values.put(), errors.put()),
        S_OK);
    EXPECT_EQ(CountOf(HistoryAt(values.get(), 1).get()), 3);
    ComPtr<OPCHDAValue> average = FirstOf(values, 1), count = FirstOf(values, 2);
    ASSERT_TRUE(average && count);
    DATE first = 0;  // the first interval begins at the start, not at the end
    ASSERT_EQ(average->get_TimeStamp(&first), S_OK);
    EXPECT_NEAR(first, times.start->date, kSecond);
    UniqueVariant n;
    count->get_DataValue(n.get());
    ASSERT_EQ(VariantChangeType(n.get(), n.get(), 0, VT_R8), S_OK);
    EXPECT_NEAR(n->dblVal, 360, 1);  // samples every 10 s in an hour
}

// Every text field filled: the historian's strings are freed by the component
// (the task-memory check), the entries' by COM.
TEST_P(SyncResults, ModifiedValuesAndAnnotationsAreEntriesWithTheirUsers) {
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

TEST_P(SyncResults, ItemShortcutsPassTheirArgumentsAndGiveTheItemsCode) {
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
TEST_P(SyncResults, HistoriesKeepTheAnswerAndOutliveTheServerObject) {
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

INSTANTIATE_TEST_SUITE_P(Sim, SyncResults, ::testing::ValuesIn(kBothSides), NameOf);

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
