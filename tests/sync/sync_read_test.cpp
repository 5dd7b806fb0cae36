// The synchronous reads against the simulator: results, codes, time
// write-back, array conventions and the historian's memory.
#include "sync_fixture.h"

#include <cmath>

using namespace comtest;

namespace synctest {
namespace {

class SyncRead : public ConnectedServer, public ::testing::WithParamInterface<Where> {
protected:
    void SetUp() override {
        ConnectedServer::SetUp();
        Connect(GetParam());
    }
};

TEST_P(SyncRead, RawWithTextTimesGivesHistoriesAndWritesDatesBack) {
    UniqueVariant start, end;
    start->vt = VT_BSTR;
    start->bstrVal = SysAllocString(L"NOW-1H");
    end->vt = VT_BSTR;
    end->bstrVal = SysAllocString(L"NOW");
    UniqueSafeArray handles(MakeLongArray({rampHandle_, stepHandle_}));
    SAFEARRAY* h = handles.get();
    UniqueSafeArray values, errors;
    ASSERT_EQ(items_->SyncReadRaw(start.get(), end.get(), 0, 0, 2, &h, values.put(), errors.put()), S_OK);
    ExpectAnswerFreed();

    ASSERT_EQ(start->vt, VT_DATE);
    ASSERT_EQ(end->vt, VT_DATE);
    EXPECT_NEAR(end->date - start->date, kHour, 2 * kSecond);
    EXPECT_NEAR(end->date, LocalNow(), 60 * kSecond);

    LONG lower = -1, upper = -1;
    SafeArrayGetLBound(values.get(), 1, &lower);
    SafeArrayGetUBound(values.get(), 1, &upper);
    EXPECT_EQ(lower, 1);
    EXPECT_EQ(upper, 2);
    EXPECT_EQ(LongAt(errors.get(), 1), S_OK);
    EXPECT_EQ(LongAt(errors.get(), 2), S_OK);
    ComPtr<OPCHDAHistory> ramp = HistoryAt(values.get(), 1);
    ComPtr<OPCHDAHistory> step = HistoryAt(values.get(), 2);
    ASSERT_TRUE(ramp && step);
    EXPECT_NEAR(CountOf(ramp.get()), 360, 2);  // a sample every 10 s
    EXPECT_NEAR(CountOf(step.get()), 60, 2);   // a sample every minute

    // The values carry local times inside the domain.
    ComPtr<OPCHDAValue> first;
    ASSERT_EQ(ramp->Item(VarI4(1), first.put()), S_OK);
    DATE stamp = 0;
    first->get_TimeStamp(&stamp);
    EXPECT_GE(stamp, start->date - kSecond);
    EXPECT_LE(stamp, start->date + 11 * kSecond);
}

TEST_P(SyncRead, FailedCallLeavesTimesAndOutputsAlone) {
    control_->FailMethod(L"IOPCHDA_SyncRead::ReadRaw", E_ABORT);
    UniqueVariant start, end;
    start->vt = VT_BSTR;
    start->bstrVal = SysAllocString(L"NOW-1H");
    end->vt = VT_DATE;
    end->date = LocalNow();
    UniqueSafeArray handles(MakeLongArray({rampHandle_}));
    SAFEARRAY* h = handles.get();
    SAFEARRAY* values = reinterpret_cast<SAFEARRAY*>(1);
    SAFEARRAY* errors = reinterpret_cast<SAFEARRAY*>(1);
    EXPECT_EQ(items_->SyncReadRaw(start.get(), end.get(), 0, 0, 1, &h, &values, &errors), E_ABORT);
    EXPECT_EQ(values, nullptr);
    EXPECT_EQ(errors, nullptr);
    ASSERT_EQ(start->vt, VT_BSTR);
    EXPECT_STREQ(start->bstrVal, L"NOW-1H");
    EXPECT_EQ(end->vt, VT_DATE);
}

TEST_P(SyncRead, FailedItemIsEmptyAndUnknownHandleIsTheHistoriansBusiness) {
    control_->SetItemCode(kStep, kUnknownItemID);
    UniqueVariant start, end;
    start->vt = VT_BSTR;
    start->bstrVal = SysAllocString(L"NOW-10M");
    end->vt = VT_BSTR;
    end->bstrVal = SysAllocString(L"NOW");
    // The middle handle was never granted: it is passed on, not looked up.
    UniqueSafeArray handles(MakeLongArray({rampHandle_, 0x7FFF0000, stepHandle_}));
    SAFEARRAY* h = handles.get();
    UniqueSafeArray values, errors;
    EXPECT_EQ(items_->SyncReadRaw(start.get(), end.get(), 0, 0, 3, &h, values.put(), errors.put()), S_FALSE);
    ExpectAnswerFreed();
    EXPECT_EQ(LongAt(errors.get(), 1), S_OK);
    EXPECT_EQ(LongAt(errors.get(), 2), kInvalidHandle);
    EXPECT_EQ(LongAt(errors.get(), 3), kUnknownItemID);
    EXPECT_TRUE(HistoryAt(values.get(), 1));
    for (LONG i : {2, 3}) {
        UniqueVariant element;
        ASSERT_EQ(VariantAt(values.get(), i, element.get()), S_OK);
        EXPECT_EQ(element->vt, VT_EMPTY) << "element " << i;
    }
    EXPECT_EQ(start->vt, VT_DATE);  // the call itself succeeded
}

TEST_P(SyncRead, NoDataGivesAnEmptyHistoryNotAnEmptyElement) {
    UniqueVariant start, end;
    start->vt = VT_BSTR;
    start->bstrVal = SysAllocString(L"NOW+1D");
    end->vt = VT_BSTR;
    end->bstrVal = SysAllocString(L"NOW+2D");
    UniqueSafeArray handles(MakeLongArray({rampHandle_}));
    SAFEARRAY* h = handles.get();
    UniqueSafeArray values, errors;
    ASSERT_HRESULT_SUCCEEDED(items_->SyncReadRaw(start.get(), end.get(), 0, 0, 1, &h, values.put(), errors.put()));
    EXPECT_EQ(LongAt(errors.get(), 1), kNoData);
    ComPtr<OPCHDAHistory> history = HistoryAt(values.get(), 1);
    ASSERT_TRUE(history);
    EXPECT_EQ(CountOf(history.get()), 0);
}

TEST_P(SyncRead, ProcessedAppliesAggregateKToHandleK) {
    UniqueVariant start, end;
    start->vt = VT_BSTR;
    start->bstrVal = SysAllocString(L"HOUR-3H");
    end->vt = VT_BSTR;
    end->bstrVal = SysAllocString(L"HOUR");
    UniqueSafeArray handles(MakeLongArray({rampHandle_, rampHandle_}));
    UniqueSafeArray aggregates(MakeLongArray({OPCHDAAverage, OPCHDACount}));
    SAFEARRAY* h = handles.get();
    SAFEARRAY* a = aggregates.get();
    UniqueSafeArray values, errors;
    ASSERT_HRESULT_SUCCEEDED(
        items_->SyncReadProcessed(start.get(), end.get(), kHour, 2, &h, &a, values.put(), errors.put()));
    ExpectAnswerFreed();
    EXPECT_NEAR(end->date - start->date, 3 * kHour, kSecond);
    ComPtr<OPCHDAHistory> averages = HistoryAt(values.get(), 1);
    ComPtr<OPCHDAHistory> counts = HistoryAt(values.get(), 2);
    ASSERT_TRUE(averages && counts);
    EXPECT_EQ(CountOf(averages.get()), 3);  // one-hour intervals
    ComPtr<OPCHDAValue> count;
    ASSERT_EQ(counts->Item(VarI4(1), count.put()), S_OK);
    UniqueVariant n;
    count->get_DataValue(n.get());
    ASSERT_EQ(VariantChangeType(n.get(), n.get(), 0, VT_R8), S_OK);
    EXPECT_NEAR(n->dblVal, 360, 1);  // samples every 10 s in an hour
}

TEST_P(SyncRead, AtTimeGivesOneHistoryPerItemWithAValuePerStamp) {
    DATE now = LocalNow();
    UniqueSafeArray stamps(MakeDateArray({now - 3 * kHour, now - 2 * kHour, now - kHour}));
    UniqueSafeArray handles(MakeLongArray({rampHandle_, stepHandle_}));
    SAFEARRAY* t = stamps.get();
    SAFEARRAY* h = handles.get();
    UniqueSafeArray values, errors;
    ASSERT_HRESULT_SUCCEEDED(items_->SyncReadAtTime(3, &t, 2, &h, values.put(), errors.put()));
    ExpectAnswerFreed();
    for (LONG i : {1, 2}) {
        ComPtr<OPCHDAHistory> history = HistoryAt(values.get(), i);
        ASSERT_TRUE(history);
        EXPECT_EQ(CountOf(history.get()), 3);
    }
}

TEST_P(SyncRead, AtTimeWithATimeThatDoesNotConvertSendsNothing) {
    LONG before = CallCount(L"ReadAtTime");
    UniqueSafeArray stamps(MakeDateArray({LocalNow(), -1.0e7}));  // long before 1601
    UniqueSafeArray handles(MakeLongArray({rampHandle_}));
    SAFEARRAY* t = stamps.get();
    SAFEARRAY* h = handles.get();
    SAFEARRAY* values = reinterpret_cast<SAFEARRAY*>(1);
    SAFEARRAY* errors = reinterpret_cast<SAFEARRAY*>(1);
    EXPECT_EQ(items_->SyncReadAtTime(2, &t, 1, &h, &values, &errors), E_FAIL);
    EXPECT_EQ(values, nullptr);
    EXPECT_EQ(errors, nullptr);
    EXPECT_EQ(CallCount(L"ReadAtTime"), before);
}

TEST_P(SyncRead, ModifiedShowsTheEditsAsEntries) {
    DATE stamp = std::floor((LocalNow() - kHour) * 86400) / 86400;  // whole seconds
    UniqueSafeArray handles(MakeLongArray({rampHandle_}));
    UniqueSafeArray stamps(MakeDateArray({stamp}));
    UniqueSafeArray data(MakeVariantArray({VarR8(1234.5)}));
    UniqueSafeArray qualities(MakeLongArray({0xC0}));
    SAFEARRAY *h = handles.get(), *t = stamps.get(), *d = data.get(), *q = qualities.get();
    UniqueSafeArray updateErrors;
    ASSERT_HRESULT_SUCCEEDED(items_->SyncInsertReplace(1, &h, &t, &d, &q, updateErrors.put()));

    UniqueVariant start, end;
    start->vt = VT_BSTR;
    start->bstrVal = SysAllocString(L"NOW-2H");
    end->vt = VT_BSTR;
    end->bstrVal = SysAllocString(L"NOW");
    UniqueSafeArray values, errors;
    ASSERT_HRESULT_SUCCEEDED(items_->SyncReadModified(start.get(), end.get(), 0, 1, &h, values.put(), errors.put()));
    ExpectAnswerFreed();
    ComPtr<OPCHDAHistory> history = HistoryAt(values.get(), 1);
    ASSERT_TRUE(history);
    ASSERT_GE(CountOf(history.get()), 1);
    ComPtr<OPCHDAValue> value;
    ASSERT_EQ(history->Item(VarI4(1), value.put()), S_OK);
    ComPtr<OPCHDAEntry> entry;
    EXPECT_EQ(value->QueryInterface(IID_OPCHDAEntry, entry.put_void()), S_OK) << "modified values are entries";
}

TEST_P(SyncRead, AttributeGivesOneHistoryPerAttributeInOrder) {
    UniqueVariant start, end;
    start->vt = VT_BSTR;
    start->bstrVal = SysAllocString(L"NOW-1D");
    end->vt = VT_BSTR;
    end->bstrVal = SysAllocString(L"NOW");
    UniqueSafeArray attributes(MakeLongArray({OPCHDAItemID, OPCHDADataType}));
    SAFEARRAY* a = attributes.get();
    UniqueSafeArray values, errors;
    ASSERT_HRESULT_SUCCEEDED(
        items_->SyncReadAttribute(start.get(), end.get(), rampHandle_, 2, &a, values.put(), errors.put()));
    ExpectAnswerFreed();
    ComPtr<OPCHDAHistory> id = HistoryAt(values.get(), 1);
    ComPtr<OPCHDAHistory> type = HistoryAt(values.get(), 2);
    ASSERT_TRUE(id && type);
    ComPtr<OPCHDAValue> value;
    ASSERT_EQ(id->Item(VarI4(1), value.put()), S_OK);
    UniqueVariant text;
    value->get_DataValue(text.get());
    ASSERT_EQ(text->vt, VT_BSTR);
    EXPECT_STREQ(text->bstrVal, kRamp);
    LONG quality = 0;
    value->get_Quality(&quality);
    EXPECT_EQ(quality, 192);
}

TEST_P(SyncRead, AnnotationsComeBackAsEntries) {
    UniqueVariant start, end;
    start->vt = VT_BSTR;
    start->bstrVal = SysAllocString(L"NOW-1D");
    end->vt = VT_BSTR;
    end->bstrVal = SysAllocString(L"NOW");
    UniqueSafeArray handles(MakeLongArray({rampHandle_}));
    SAFEARRAY* h = handles.get();
    UniqueSafeArray values, errors;
    ASSERT_HRESULT_SUCCEEDED(items_->SyncReadAnnotations(start.get(), end.get(), 1, &h, values.put(), errors.put()));
    ExpectAnswerFreed();
    if (SUCCEEDED(LongAt(errors.get(), 1))) {
        EXPECT_TRUE(HistoryAt(values.get(), 1));
    }
    EXPECT_EQ(start->vt, VT_DATE);
}

TEST_P(SyncRead, HistoriesOutliveTheServerObject) {
    UniqueVariant start, end;
    start->vt = VT_BSTR;
    start->bstrVal = SysAllocString(L"NOW-10M");
    end->vt = VT_BSTR;
    end->bstrVal = SysAllocString(L"NOW");
    UniqueSafeArray handles(MakeLongArray({rampHandle_}));
    SAFEARRAY* h = handles.get();
    UniqueSafeArray values, errors;
    ASSERT_EQ(items_->SyncReadRaw(start.get(), end.get(), 0, 0, 1, &h, values.put(), errors.put()), S_OK);
    ComPtr<OPCHDAHistory> history = HistoryAt(values.get(), 1);
    values.reset();
    ramp_ = step_ = text_ = nullptr;
    items_ = nullptr;
    server_ = nullptr;
    ASSERT_TRUE(history);
    EXPECT_NEAR(CountOf(history.get()), 60, 2);
    ComPtr<OPCHDAValue> value;
    EXPECT_EQ(history->Item(VarI4(2), value.put()), S_OK);
}

INSTANTIATE_TEST_SUITE_P(Sim, SyncRead, ::testing::Values(Where::InProcess, Where::LocalServer), NameOf);

}  // namespace
}  // namespace synctest
