// What the synchronous requests and the item shortcuts give back from the
// simulator, in process and as a local server (their argument checks and
// codes are the request table's business).
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
    // A whole second in the past that holds no sample of the ramp (samples
    // fall on whole ten seconds).
    static DATE FreeStamp(double hoursAgo = 1) {
        return (std::floor((LocalNow() - hoursAgo * kHour) * 8640) + 0.5) / 8640;
    }
    HRESULT Write(HRESULT (STDMETHODCALLTYPE IOPCHDAItems::*member)(LONG, SAFEARRAY**, SAFEARRAY**, SAFEARRAY**,
                                                                    SAFEARRAY**, SAFEARRAY**),
                  std::initializer_list<LONG> handles, std::initializer_list<DATE> stamps,
                  std::initializer_list<VARIANT> values) {
        UniqueSafeArray h(MakeLongArray(handles)), t(MakeDateArray(stamps)), v(MakeVariantArray(values)),
            q(MakeLongArray({0xC0, 0xC0}));
        for (VARIANT value : values) VariantClear(&value);
        SAFEARRAY *hp = h.get(), *tp = t.get(), *vp = v.get(), *qp = q.get();
        HRESULT hr = (items_.get()->*member)(static_cast<LONG>(handles.size()), &hp, &tp, &vp, &qp, errors_.put());
        ExpectAnswerFreed();
        return hr;
    }
    // Element 1 of the histories `read` gave.
    ComPtr<OPCHDAValue> FirstOf(SAFEARRAY* values, LONG index = 1) {
        ComPtr<OPCHDAHistory> history = HistoryAt(values, index);
        ComPtr<OPCHDAValue> value;
        if (history) {
            EXPECT_EQ(history->Item(VarI4(1), value.put()), S_OK);
        }
        return value;
    }
    static ComPtr<OPCHDAHistory> AsHistory(const VARIANT& v) {
        ComPtr<OPCHDAHistory> history;
        EXPECT_EQ(v.vt, VT_DISPATCH);
        if (v.vt == VT_DISPATCH) v.pdispVal->QueryInterface(IID_OPCHDAHistory, history.put_void());
        return history;
    }
    static DATE StampOf(OPCHDAValue* value) {
        DATE stamp = 0;
        if (value) value->get_TimeStamp(&stamp);
        return stamp;
    }
    UniqueSafeArray values_, errors_;
};

TEST_P(SyncResults, RawReadsTheDomainAndWritesItsDatesBack) {
    TimeRange times(L"NOW-1H", L"NOW");
    UniqueSafeArray handles(MakeLongArray({rampHandle_, stepHandle_}));
    SAFEARRAY* h = handles.get();
    ASSERT_EQ(items_->SyncReadRaw(times.start.get(), times.end.get(), 0, 0, 2, &h, values_.put(), errors_.put()), S_OK);
    EXPECT_NEAR(times.end->date - times.start->date, kHour, 2 * kSecond);
    EXPECT_NEAR(times.end->date, LocalNow(), 60 * kSecond);
    EXPECT_NEAR(CountOf(HistoryAt(values_.get(), 1).get()), 360, 2);  // a sample every 10 s
    EXPECT_NEAR(CountOf(HistoryAt(values_.get(), 2).get()), 60, 2);   // a sample every minute
    DATE first = StampOf(FirstOf(values_.get()).get());
    EXPECT_GE(first, times.start->date - kSecond);
    EXPECT_LE(first, times.start->date + 11 * kSecond);

    // No data is an empty history, not an empty element.
    TimeRange later(L"NOW+1D", L"NOW+2D");
    ASSERT_EQ(items_->SyncReadRaw(later.start.get(), later.end.get(), 0, 0, 1, &h, values_.put(), errors_.put()), S_OK);
    EXPECT_EQ(LongAt(errors_.get(), 1), kNoData);
    EXPECT_EQ(CountOf(HistoryAt(values_.get(), 1).get()), 0);
}

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
    // The first interval begins at the start, not at the end.
    EXPECT_NEAR(StampOf(FirstOf(values_.get()).get()), times.start->date, kSecond);
    UniqueVariant n;
    FirstOf(values_.get(), 2)->get_DataValue(n.get());
    ASSERT_EQ(VariantChangeType(n.get(), n.get(), 0, VT_R8), S_OK);
    EXPECT_NEAR(n->dblVal, 360, 1);  // samples every 10 s in an hour
}

// Modified values and annotations are entries whose every text field is filled:
// the historian's strings are freed by the component, the entries' by COM.
TEST_P(SyncResults, ModifiedValuesAndAnnotationsAreEntriesWithTheirUsers) {
    UniqueBstr engineer(L"plant engineer");
    ASSERT_EQ(server_->put_ClientName(engineer.get()), S_OK);
    DATE stamp = FreeStamp();
    ASSERT_EQ(Write(&IOPCHDAItems::SyncInsertReplace, {rampHandle_}, {stamp}, {VarR8(1234.5)}), S_OK);
    EXPECT_EQ(LongAt(errors_.get(), 1), kInserted);

    struct Read {
        HRESULT (*call)(IOPCHDAItems*, TimeRange&, SAFEARRAY**, SAFEARRAY**, SAFEARRAY**);
        LONG handle;
        const wchar_t* user;
        LONG entryType;
    };
    const Read reads[] = {
        {[](IOPCHDAItems* i, TimeRange& t, SAFEARRAY** h, SAFEARRAY** v, SAFEARRAY** e) {
             return i->SyncReadModified(t.start.get(), t.end.get(), 0, 1, h, v, e);
         },
         rampHandle_, L"plant engineer", OPCHDAInsertReplace},
        {[](IOPCHDAItems* i, TimeRange& t, SAFEARRAY** h, SAFEARRAY** v, SAFEARRAY** e) {
             return i->SyncReadAnnotations(t.start.get(), t.end.get(), 1, h, v, e);
         },
         textHandle_, L"lab technician", 5},
    };
    for (const Read& read : reads) {
        TimeRange times(L"NOW-2H", L"NOW");
        UniqueSafeArray handles(MakeLongArray({read.handle}));
        SAFEARRAY* h = handles.get();
        ASSERT_EQ(read.call(items_.get(), times, &h, values_.put(), errors_.put()), S_OK);
        ExpectAnswerFreed();
        ComPtr<OPCHDAEntry> entry;
        ComPtr<OPCHDAValue> first = FirstOf(values_.get());
        ASSERT_TRUE(first);
        ASSERT_EQ(first.query(IID_OPCHDAEntry, entry), S_OK);
        UniqueBstr user;
        ASSERT_EQ(entry->get_User(user.put()), S_OK);
        EXPECT_STREQ(user.get(), read.user);
        LONG type = 0;
        entry->get_EntryType(&type);
        EXPECT_EQ(type, read.entryType);
    }
}

TEST_P(SyncResults, HistoriesOutliveTheServerObject) {
    TimeRange times;
    UniqueSafeArray handles(MakeLongArray({rampHandle_}));
    SAFEARRAY* h = handles.get();
    ASSERT_EQ(items_->SyncReadRaw(times.start.get(), times.end.get(), 0, 0, 1, &h, values_.put(), errors_.put()), S_OK);
    ComPtr<OPCHDAHistory> history = HistoryAt(values_.get(), 1);
    values_.reset();
    ramp_ = step_ = text_ = nullptr;
    items_ = nullptr;
    server_ = nullptr;
    ASSERT_TRUE(history);
    EXPECT_NEAR(CountOf(history.get()), 60, 2);
    // Neighbouring ramp values differ by one, ten seconds apart.
    ComPtr<OPCHDAValue> a, b;
    ASSERT_EQ(history->Item(VarI4(1), a.put()), S_OK);
    ASSERT_EQ(history->Item(VarI4(2), b.put()), S_OK);
    UniqueVariant va, vb;
    a->get_DataValue(va.get());
    b->get_DataValue(vb.get());
    EXPECT_DOUBLE_EQ(vb->dblVal - va->dblVal, 1.0);
    EXPECT_NEAR((StampOf(b.get()) - StampOf(a.get())) * 86400.0, 10.0, 1e-3);
}

TEST_P(SyncResults, UpdatesReportEachValuesCode) {
    DATE a = FreeStamp(1), b = FreeStamp(0.5);
    EXPECT_EQ(Write(&IOPCHDAItems::SyncReplace, {rampHandle_, rampHandle_}, {a, b}, {VarR8(1), VarR8(2)}), S_FALSE);
    EXPECT_EQ(LongAt(errors_.get(), 2), kNoDataExists);
    EXPECT_EQ(Write(&IOPCHDAItems::SyncInsert, {rampHandle_, rampHandle_}, {a, b}, {VarR8(7), VarBstr(L"8")}), S_OK);
    EXPECT_EQ(BoundsOf(errors_.get()), std::make_pair(1L, 2L));
    EXPECT_EQ(Write(&IOPCHDAItems::SyncInsert, {rampHandle_, textHandle_}, {a, b}, {VarR8(7), VarR8(8)}), S_FALSE);
    EXPECT_EQ(LongAt(errors_.get(), 1), kDataExists);
    EXPECT_EQ(LongAt(errors_.get(), 2), S_OK);
    EXPECT_EQ(Write(&IOPCHDAItems::SyncInsertReplace, {rampHandle_, stepHandle_}, {a, b}, {VarR8(9), VarI4(9)}), S_OK);
    EXPECT_EQ(LongAt(errors_.get(), 1), kReplaced);
    EXPECT_EQ(LongAt(errors_.get(), 2), kInserted);

    // The client's values are copied, not taken.
    UniqueSafeArray h(MakeLongArray({textHandle_})), t(MakeDateArray({FreeStamp(2)})),
        v(MakeVariantArray({VarBstr(L"kept")})), q(MakeLongArray({0xC0}));
    SAFEARRAY *hp = h.get(), *tp = t.get(), *vp = v.get(), *qp = q.get();
    ASSERT_EQ(items_->SyncInsert(1, &hp, &tp, &vp, &qp, errors_.put()), S_OK);
    UniqueVariant value;
    ASSERT_EQ(VariantAt(v.get(), 1, value.get()), S_OK);
    ASSERT_EQ(value->vt, VT_BSTR);
    EXPECT_STREQ(value->bstrVal, L"kept");
}

// ---- the item shortcuts ----

TEST_P(SyncResults, ItemReadRawPassesItsArgumentsAndGivesTheItemsCode) {
    TimeRange times(L"NOW-10M", L"NOW");
    UniqueVariant values;
    ASSERT_EQ(ramp_->ReadRaw(times.start.get(), times.end.get(), 5, 0, values.put()), kMoreData);
    ExpectAnswerFreed();
    EXPECT_EQ(times.start->vt, VT_DATE);
    EXPECT_EQ(CountOf(AsHistory(*values.get()).get()), 5) << "NumValues limits the read";
    ASSERT_EQ(ramp_->ReadRaw(times.start.get(), times.end.get(), 1, 1, values.put()), kMoreData);
    EXPECT_EQ(CountOf(AsHistory(*values.get()).get()), 1);
    ASSERT_EQ(ramp_->ReadRaw(times.start.get(), times.end.get(), 0, 1, values.put()), S_OK);
    EXPECT_NEAR(CountOf(AsHistory(*values.get()).get()), 61, 2) << "with bounds";

    // A success code other than S_OK is the method's result, with the history.
    TimeRange later(L"NOW+1D", L"NOW+2D");
    EXPECT_EQ(ramp_->ReadRaw(later.start.get(), later.end.get(), 0, 0, values.put()), kNoData);
    EXPECT_EQ(values->vt, VT_DISPATCH);

    // A failure code of the item: its code, and nothing written.
    control_->SetItemCode(kRamp, kUnknownItemID);
    TimeRange again;
    UniqueVariant untouched;
    EXPECT_EQ(ramp_->ReadRaw(again.start.get(), again.end.get(), 0, 0, untouched.get()), kUnknownItemID);
    EXPECT_EQ(untouched->vt, VT_EMPTY);
    EXPECT_EQ(ramp_->ReadRaw(again.start.get(), again.end.get(), 0, 0, nullptr), E_POINTER);
}

TEST_P(SyncResults, ItemReadProcessedAtTimeAndDeleteRaw) {
    TimeRange times(L"HOUR-2H", L"HOUR");
    UniqueVariant values;
    ASSERT_EQ(ramp_->ReadProcessed(times.start.get(), times.end.get(), kHour, OPCHDAAverage, values.get()), S_OK);
    EXPECT_EQ(CountOf(AsHistory(*values.get()).get()), 2);
    DATE now = LocalNow();
    UniqueSafeArray stamps(MakeDateArray({now - kHour, now - 0.5 * kHour}));
    SAFEARRAY* t = stamps.get();
    ASSERT_EQ(step_->ReadAtTime(2, &t, values.put()), S_OK);
    EXPECT_EQ(CountOf(AsHistory(*values.get()).get()), 2);
    TimeRange old(L"NOW-3D", L"NOW-3D+1M");
    EXPECT_EQ(step_->DeleteRaw(old.start.get(), old.end.get()), S_OK);
    EXPECT_EQ(old.start->vt, VT_DATE);
    EXPECT_EQ(step_->DeleteRaw(nullptr, old.end.get()), E_POINTER);
    ExpectAnswerFreed();
}

TEST_P(SyncResults, ItemUpdateDispatchesOnEditType) {
    DATE stamp = FreeStamp();
    LONG inserts = CallCount(L"IOPCHDA_SyncUpdate::InsertReplace");
    EXPECT_EQ(ramp_->Update(stamp, VarR8(3), 0xC0, OPCHDAInsertReplace), kInserted);
    EXPECT_EQ(CallCount(L"IOPCHDA_SyncUpdate::InsertReplace"), inserts + 1);
    EXPECT_EQ(ramp_->Update(stamp, VarR8(4), 0xC0, OPCHDAInsert), kDataExists);
    EXPECT_EQ(ramp_->Update(stamp, VarR8(5), 0xC0, OPCHDAReplace), S_OK);
    EXPECT_EQ(ramp_->Update(stamp, VarEmpty(), 0, OPCHDADelete), S_OK);
    EXPECT_EQ(ramp_->Update(stamp, VarEmpty(), 0, OPCHDADelete), kNoDataExists);
    EXPECT_EQ(ramp_->Update(stamp, VarBstr(L"note"), 0, OPCHDAAnnotate), E_NOTIMPL);

    auto sent = [this] {
        return CallCount(L"Insert") + CallCount(L"Replace") + CallCount(L"InsertReplace") + CallCount(L"DeleteAtTime");
    };
    LONG before = sent();
    EXPECT_EQ(ramp_->Update(stamp, VarR8(6), 0xC0, 0), E_INVALIDARG);
    EXPECT_EQ(ramp_->Update(stamp, VarR8(6), 0xC0, 6), E_INVALIDARG);
    // A value the platform cannot copy: the copy's own failure, found while
    // the arrays are built, before the edit type is looked at.
    VARIANT uncopyable;
    VariantInit(&uncopyable);
    uncopyable.vt = 15;  // a reserved type
    EXPECT_EQ(ramp_->Update(stamp, uncopyable, 0xC0, OPCHDAInsertReplace), DISP_E_BADVARTYPE);
    EXPECT_EQ(ramp_->Update(stamp, uncopyable, 0xC0, 6), DISP_E_BADVARTYPE);
    EXPECT_EQ(sent(), before);
    ExpectAnswerFreed();
}

TEST_P(SyncResults, ItemsOutlivingTheServerObjectAnswerEFail) {
    ComPtr<OPCHDAItem> item = ramp_;
    ramp_ = step_ = text_ = nullptr;
    items_ = nullptr;
    server_ = nullptr;
    TimeRange times;
    UniqueVariant values;
    EXPECT_EQ(item->ReadRaw(times.start.get(), times.end.get(), 0, 0, values.get()), E_FAIL);
    EXPECT_EQ(item->Update(LocalNow(), VarR8(1), 0xC0, 3), E_FAIL);
    EXPECT_EQ(item->DeleteRaw(times.start.get(), times.end.get()), E_FAIL);
    EXPECT_EQ(times.start->vt, VT_BSTR);
}

INSTANTIATE_TEST_SUITE_P(Sim, SyncResults, ::testing::ValuesIn(kBothSides), NameOf);

// An item racing its server object's last release: a shortcut reaches a
// living server (which keeps its item while it lives) or answers E_FAIL, never
// a server that is already tearing itself down. The race lies in this
// process, so the historian runs here too, where a round is quickest; the
// window is a few instructions wide, so it takes many rounds.
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
