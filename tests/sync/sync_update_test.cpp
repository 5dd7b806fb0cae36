// The synchronous updates and the item shortcuts against the simulator,
// through vtables and through IDispatch.
#include "sync_fixture.h"

#include <cmath>
#include <thread>

using namespace comtest;

namespace synctest {
namespace {

class SyncUpdate : public ConnectedServer, public ::testing::WithParamInterface<Where> {
protected:
    void SetUp() override {
        ConnectedServer::SetUp();
        Connect(GetParam());
    }
    // A whole second in the past hour that holds no sample of the ramp
    // (samples fall on whole ten seconds).
    static DATE FreeStamp(double hoursAgo = 1) {
        return (std::floor((LocalNow() - hoursAgo * kHour) * 8640) + 0.5) / 8640;
    }
    HRESULT Write(HRESULT (STDMETHODCALLTYPE IOPCHDAItems::*member)(LONG, SAFEARRAY**, SAFEARRAY**, SAFEARRAY**,
                                                                    SAFEARRAY**, SAFEARRAY**),
                  std::initializer_list<LONG> handles, std::initializer_list<DATE> stamps,
                  std::initializer_list<VARIANT> values, std::initializer_list<LONG> qualities) {
        UniqueSafeArray h(MakeLongArray(handles)), t(MakeDateArray(stamps)), v(MakeVariantArray(values)),
            q(MakeLongArray(qualities));
        for (VARIANT value : values) VariantClear(&value);
        SAFEARRAY *hp = h.get(), *tp = t.get(), *vp = v.get(), *qp = q.get();
        HRESULT hr = (items_.get()->*member)(static_cast<LONG>(handles.size()), &hp, &tp, &vp, &qp, errors_.put());
        ExpectAnswerFreed();
        return hr;
    }
    UniqueSafeArray errors_;
};

TEST_P(SyncUpdate, InsertReplaceReportsInsertedThenReplaced) {
    DATE stamp = FreeStamp();
    ASSERT_EQ(Write(&IOPCHDAItems::SyncInsertReplace, {rampHandle_}, {stamp}, {VarR8(1.5)}, {0xC0}), S_OK);
    EXPECT_EQ(LongAt(errors_.get(), 1), kInserted);
    ASSERT_HRESULT_SUCCEEDED(Write(&IOPCHDAItems::SyncInsertReplace, {rampHandle_}, {stamp}, {VarR8(2.5)}, {0xC0}));
    EXPECT_EQ(LongAt(errors_.get(), 1), kReplaced);
}

TEST_P(SyncUpdate, OneCallCarriesSeveralValuesOfOneItem) {
    DATE a = FreeStamp(1), b = FreeStamp(0.5);
    EXPECT_EQ(
        Write(&IOPCHDAItems::SyncInsert, {rampHandle_, rampHandle_}, {a, b}, {VarR8(7), VarBstr(L"8")}, {0xC0, 0x40}),
        S_OK);
    LONG upper = 0;
    SafeArrayGetUBound(errors_.get(), 1, &upper);
    EXPECT_EQ(upper, 2);
    // Again: both exist now, per value, and the call reports the mixed result.
    EXPECT_EQ(Write(&IOPCHDAItems::SyncInsert, {rampHandle_, rampHandle_}, {a, b}, {VarR8(7), VarR8(8)}, {0xC0, 0xC0}),
              S_FALSE);
    EXPECT_EQ(LongAt(errors_.get(), 1), kDataExists);
    EXPECT_EQ(LongAt(errors_.get(), 2), kDataExists);
}

TEST_P(SyncUpdate, ReplaceWhereNothingIsAndDeleteAtTime) {
    DATE stamp = FreeStamp();
    EXPECT_EQ(Write(&IOPCHDAItems::SyncReplace, {rampHandle_}, {stamp}, {VarR8(1)}, {0xC0}), S_FALSE);
    EXPECT_EQ(LongAt(errors_.get(), 1), kNoDataExists);
    ASSERT_EQ(Write(&IOPCHDAItems::SyncInsert, {rampHandle_}, {stamp}, {VarR8(1)}, {0xC0}), S_OK);

    UniqueSafeArray h(MakeLongArray({rampHandle_})), t(MakeDateArray({stamp}));
    SAFEARRAY *hp = h.get(), *tp = t.get();
    ASSERT_EQ(items_->SyncDeleteAtTime(1, &hp, &tp, errors_.put()), S_OK);
    EXPECT_EQ(LongAt(errors_.get(), 1), S_OK);
    ExpectAnswerFreed();
}

TEST_P(SyncUpdate, DeleteRawWritesTimesBackOnlyAfterSuccess) {
    UniqueVariant start, end;
    start->vt = VT_BSTR;
    start->bstrVal = SysAllocString(L"NOW-2D");
    end->vt = VT_BSTR;
    end->bstrVal = SysAllocString(L"NOW-2D+1M");
    UniqueSafeArray h(MakeLongArray({stepHandle_}));
    SAFEARRAY* hp = h.get();
    control_->FailMethod(L"IOPCHDA_SyncUpdate::DeleteRaw", E_ACCESSDENIED);
    SAFEARRAY* errors = reinterpret_cast<SAFEARRAY*>(1);
    EXPECT_EQ(items_->SyncDeleteRaw(start.get(), end.get(), 1, &hp, &errors), E_ACCESSDENIED);
    EXPECT_EQ(errors, nullptr);
    EXPECT_EQ(start->vt, VT_BSTR);
    control_->ClearFaults();
    ASSERT_HRESULT_SUCCEEDED(items_->SyncDeleteRaw(start.get(), end.get(), 1, &hp, errors_.put()));
    ExpectAnswerFreed();
    ASSERT_EQ(start->vt, VT_DATE);
    ASSERT_EQ(end->vt, VT_DATE);
    EXPECT_NEAR(end->date - start->date, 60 * kSecond, kSecond);
}

TEST_P(SyncUpdate, ValuesOfTheClientAreCopiedNotTaken) {
    UniqueSafeArray h(MakeLongArray({textHandle_})), t(MakeDateArray({FreeStamp()})),
        v(MakeVariantArray({VarBstr(L"kept")})), q(MakeLongArray({0xC0}));
    SAFEARRAY *hp = h.get(), *tp = t.get(), *vp = v.get(), *qp = q.get();
    ASSERT_HRESULT_SUCCEEDED(items_->SyncInsert(1, &hp, &tp, &vp, &qp, errors_.put()));
    UniqueVariant value;
    ASSERT_EQ(VariantAt(v.get(), 1, value.get()), S_OK);
    ASSERT_EQ(value->vt, VT_BSTR);
    EXPECT_STREQ(value->bstrVal, L"kept");
}

// ---- the item shortcuts ----

TEST_P(SyncUpdate, ItemReadRawGivesTheHistoryAndTheItemsCode) {
    UniqueVariant start, end, values;
    start->vt = VT_BSTR;
    start->bstrVal = SysAllocString(L"NOW-10M");
    end->vt = VT_BSTR;
    end->bstrVal = SysAllocString(L"NOW");
    ASSERT_EQ(ramp_->ReadRaw(start.get(), end.get(), 0, 0, values.get()), S_OK);
    ExpectAnswerFreed();
    EXPECT_EQ(start->vt, VT_DATE);
    ASSERT_EQ(values->vt, VT_DISPATCH);
    ComPtr<OPCHDAHistory> history;
    ASSERT_EQ(values->pdispVal->QueryInterface(IID_OPCHDAHistory, history.put_void()), S_OK);
    EXPECT_NEAR(CountOf(history.get()), 60, 2);

    // A success code other than S_OK is the method's result, with the history.
    UniqueVariant later, laterEnd, none;
    later->vt = VT_BSTR;
    later->bstrVal = SysAllocString(L"NOW+1D");
    laterEnd->vt = VT_BSTR;
    laterEnd->bstrVal = SysAllocString(L"NOW+2D");
    EXPECT_EQ(ramp_->ReadRaw(later.get(), laterEnd.get(), 0, 0, none.get()), kNoData);
    EXPECT_EQ(none->vt, VT_DISPATCH);

    // A failure code of the item: its code, and nothing written.
    control_->SetItemCode(kRamp, kUnknownItemID);
    UniqueVariant again, againEnd, untouched;
    again->vt = VT_BSTR;
    again->bstrVal = SysAllocString(L"NOW-10M");
    againEnd->vt = VT_BSTR;
    againEnd->bstrVal = SysAllocString(L"NOW");
    EXPECT_EQ(ramp_->ReadRaw(again.get(), againEnd.get(), 0, 0, untouched.get()), kUnknownItemID);
    EXPECT_EQ(untouched->vt, VT_EMPTY);
    EXPECT_EQ(ramp_->ReadRaw(again.get(), againEnd.get(), 0, 0, nullptr), E_POINTER);
}

TEST_P(SyncUpdate, ItemReadProcessedAndAtTime) {
    UniqueVariant start, end, values;
    start->vt = VT_BSTR;
    start->bstrVal = SysAllocString(L"HOUR-2H");
    end->vt = VT_BSTR;
    end->bstrVal = SysAllocString(L"HOUR");
    ASSERT_EQ(ramp_->ReadProcessed(start.get(), end.get(), kHour, OPCHDAAverage, values.get()), S_OK);
    ASSERT_EQ(values->vt, VT_DISPATCH);
    UniqueVariant atTime;
    DATE now = LocalNow();
    UniqueSafeArray stamps(MakeDateArray({now - kHour, now - 0.5 * kHour}));
    SAFEARRAY* t = stamps.get();
    ASSERT_EQ(step_->ReadAtTime(2, &t, atTime.get()), S_OK);
    ASSERT_EQ(atTime->vt, VT_DISPATCH);
    ComPtr<OPCHDAHistory> history;
    ASSERT_EQ(atTime->pdispVal->QueryInterface(IID_OPCHDAHistory, history.put_void()), S_OK);
    EXPECT_EQ(CountOf(history.get()), 2);
    ExpectAnswerFreed();
}

TEST_P(SyncUpdate, ItemUpdateDispatchesOnEditType) {
    DATE stamp = FreeStamp();
    LONG inserts = CallCount(L"IOPCHDA_SyncUpdate::InsertReplace");
    EXPECT_EQ(ramp_->Update(stamp, VarR8(3), 0xC0, OPCHDAInsertReplace), kInserted);
    EXPECT_EQ(CallCount(L"IOPCHDA_SyncUpdate::InsertReplace"), inserts + 1);
    EXPECT_EQ(ramp_->Update(stamp, VarR8(4), 0xC0, OPCHDAInsert), kDataExists);
    EXPECT_EQ(ramp_->Update(stamp, VarR8(5), 0xC0, OPCHDAReplace), S_OK);
    EXPECT_EQ(ramp_->Update(stamp, VarEmpty(), 0, OPCHDADelete), S_OK);
    EXPECT_EQ(ramp_->Update(stamp, VarEmpty(), 0, OPCHDADelete), kNoDataExists);
    EXPECT_EQ(ramp_->Update(stamp, VarBstr(L"note"), 0, OPCHDAAnnotate), E_NOTIMPL);

    LONG sent = CallCount(L"Insert") + CallCount(L"Replace") + CallCount(L"InsertReplace") + CallCount(L"DeleteAtTime");
    EXPECT_EQ(ramp_->Update(stamp, VarR8(6), 0xC0, 0), E_INVALIDARG);
    EXPECT_EQ(ramp_->Update(stamp, VarR8(6), 0xC0, 6), E_INVALIDARG);
    // A value the platform cannot copy: the copy's own failure, found while
    // the arrays are built, before the edit type is looked at.
    VARIANT uncopyable;
    VariantInit(&uncopyable);
    uncopyable.vt = 15;  // a reserved type
    EXPECT_EQ(ramp_->Update(stamp, uncopyable, 0xC0, OPCHDAInsertReplace), DISP_E_BADVARTYPE);
    EXPECT_EQ(ramp_->Update(stamp, uncopyable, 0xC0, 6), DISP_E_BADVARTYPE);
    EXPECT_EQ(CallCount(L"Insert") + CallCount(L"Replace") + CallCount(L"InsertReplace") + CallCount(L"DeleteAtTime"),
              sent);
    ExpectAnswerFreed();
}

TEST_P(SyncUpdate, ItemDeleteRawPassesTheTimesThrough) {
    UniqueVariant start, end;
    start->vt = VT_BSTR;
    start->bstrVal = SysAllocString(L"NOW-3D");
    end->vt = VT_BSTR;
    end->bstrVal = SysAllocString(L"NOW-3D+1M");
    EXPECT_EQ(step_->DeleteRaw(start.get(), end.get()), S_OK);
    EXPECT_EQ(start->vt, VT_DATE);
    EXPECT_EQ(step_->DeleteRaw(nullptr, end.get()), E_POINTER);
}

TEST_P(SyncUpdate, ItemsOutlivingTheServerObjectAnswerEFail) {
    ComPtr<OPCHDAItem> item = ramp_;
    ramp_ = step_ = text_ = nullptr;
    items_ = nullptr;
    server_ = nullptr;
    UniqueVariant start, end, values;
    start->vt = VT_BSTR;
    start->bstrVal = SysAllocString(L"NOW-10M");
    end->vt = VT_BSTR;
    end->bstrVal = SysAllocString(L"NOW");
    EXPECT_EQ(item->ReadRaw(start.get(), end.get(), 0, 0, values.get()), E_FAIL);
    EXPECT_EQ(item->Update(LocalNow(), VarR8(1), 0xC0, 3), E_FAIL);
    EXPECT_EQ(item->DeleteRaw(start.get(), end.get()), E_FAIL);
    EXPECT_EQ(start->vt, VT_BSTR);
}

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
                    UniqueVariant start, end, values;
                    start->vt = VT_BSTR;
                    start->bstrVal = SysAllocString(L"NOW-1M");
                    end->vt = VT_BSTR;
                    end->bstrVal = SysAllocString(L"NOW");
                    hr = item->ReadRaw(start.get(), end.get(), 0, 0, values.get());
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

// ---- through IDispatch, as scripts call ----

TEST_P(SyncUpdate, DispatchClientsReadAndUpdateThroughTheItem) {
    ComPtr<IDispatch> item;
    ASSERT_EQ(ramp_->QueryInterface(IID_OPCHDAItem, item.put_void()), S_OK);

    // ReadRaw(start, end) with the optional arguments omitted; the variables
    // come back as dates.
    UniqueVariant start, end;
    start->vt = VT_BSTR;
    start->bstrVal = SysAllocString(L"NOW-10M");
    end->vt = VT_BSTR;
    end->bstrVal = SysAllocString(L"NOW");
    VARIANT startRef, endRef;
    VariantInit(&startRef);
    VariantInit(&endRef);
    startRef.vt = VT_BYREF | VT_VARIANT;
    startRef.pvarVal = start.get();
    endRef.vt = VT_BYREF | VT_VARIANT;
    endRef.pvarVal = end.get();
    UniqueVariant history;
    ASSERT_EQ(CallMethod(item.get(), L"ReadRaw", {startRef, endRef}, history.get()), S_OK);
    EXPECT_EQ(start->vt, VT_DATE);
    ASSERT_EQ(history->vt, VT_DISPATCH);
    UniqueVariant count;
    ASSERT_EQ(GetProperty(history->pdispVal, L"Count", count.get()), S_OK);
    EXPECT_GT(count->lVal, 50);

    // Update(stamp, value, quality) without EditType inserts or replaces.
    LONG calls = CallCount(L"IOPCHDA_SyncUpdate::InsertReplace");
    UniqueVariant ignored;
    ASSERT_HRESULT_SUCCEEDED(
        CallMethod(item.get(), L"Update", {VarDate(FreeStamp()), VarR8(9), VarI4(0xC0)}, ignored.get()));
    EXPECT_EQ(CallCount(L"IOPCHDA_SyncUpdate::InsertReplace"), calls + 1);
    ExpectAnswerFreed();
}

TEST_P(SyncUpdate, DispatchClientsCallTheCollectionWithTypedArrays) {
    ComPtr<IDispatch> items;
    ASSERT_EQ(items_->QueryInterface(IID_IOPCHDAItems, items.put_void()), S_OK);
    UniqueVariant start, end;
    start->vt = VT_BSTR;
    start->bstrVal = SysAllocString(L"NOW-10M");
    end->vt = VT_BSTR;
    end->bstrVal = SysAllocString(L"NOW");
    UniqueSafeArray handles(MakeLongArray({rampHandle_, stepHandle_}));
    SAFEARRAY* h = handles.get();
    SAFEARRAY* values = nullptr;
    SAFEARRAY* errors = nullptr;
    auto ref = [](VARTYPE vt, void* p) {
        VARIANT v;
        VariantInit(&v);
        v.vt = VT_BYREF | vt;
        v.byref = p;
        return v;
    };
    ASSERT_EQ(
        CallMethod(items.get(), L"SyncReadRaw",
                   {ref(VT_VARIANT, start.get()), ref(VT_VARIANT, end.get()), VarI4(0), VarI4(0), VarI4(2),
                    ref(VT_ARRAY | VT_I4, &h), ref(VT_ARRAY | VT_VARIANT, &values), ref(VT_ARRAY | VT_I4, &errors)}),
        S_OK);
    UniqueSafeArray ownedValues(values), ownedErrors(errors);
    ASSERT_TRUE(values && errors);
    EXPECT_EQ(LongAt(errors, 2), S_OK);
    EXPECT_TRUE(HistoryAt(values, 2));
    EXPECT_EQ(start->vt, VT_DATE);
    ExpectAnswerFreed();
}

INSTANTIATE_TEST_SUITE_P(Sim, SyncUpdate, ::testing::Values(Where::InProcess, Where::LocalServer), NameOf);

}  // namespace
}  // namespace synctest
