// Bad input: every member answers the codes of its checks in their order,
// nulls its outputs when it should, and sends nothing undefined.
#include "sync_fixture.h"

using namespace comtest;

namespace synctest {
namespace {

// A connected object: the checks must fail before the historian is asked.
class SyncArgs : public ConnectedServer {
protected:
    void SetUp() override {
        ConnectedServer::SetUp();
        Connect(Where::InProcess);
        start_->vt = VT_BSTR;
        start_->bstrVal = SysAllocString(L"NOW-10M");
        end_->vt = VT_BSTR;
        end_->bstrVal = SysAllocString(L"NOW");
    }
    void TearDown() override {
        kept_.clear();  // the histories must go before the unload check
        ConnectedServer::TearDown();
    }
    // SyncReadRaw over `handles` with NumItems `count`; outputs preset to junk
    // so that nulling shows.
    HRESULT ReadRaw(SAFEARRAY* handles, LONG count) {
        values_ = reinterpret_cast<SAFEARRAY*>(1);
        errors_ = reinterpret_cast<SAFEARRAY*>(1);
        HRESULT hr = items_->SyncReadRaw(start_.get(), end_.get(), 0, 0, count, &handles, &values_, &errors_);
        kept_.emplace_back(values_ == reinterpret_cast<SAFEARRAY*>(1) ? nullptr : values_);
        kept_.emplace_back(errors_ == reinterpret_cast<SAFEARRAY*>(1) ? nullptr : errors_);
        return hr;
    }
    UniqueVariant start_, end_;
    SAFEARRAY* values_ = nullptr;
    SAFEARRAY* errors_ = nullptr;
    std::vector<UniqueSafeArray> kept_;
};

TEST_F(SyncArgs, LowerBoundZeroReadsElementsOneToCount) {
    // Element 0 is not a handle at all; it must be ignored.
    UniqueSafeArray handles(MakeLongArray({0x7FFF0000, rampHandle_, stepHandle_}, 0));
    ASSERT_EQ(ReadRaw(handles.get(), 2), S_OK);
    EXPECT_EQ(LongAt(errors_, 1), S_OK);
    EXPECT_EQ(LongAt(errors_, 2), S_OK);
    // With the count equal to the element count the upper bound is one short.
    EXPECT_EQ(ReadRaw(handles.get(), 3), E_INVALIDARG);
    EXPECT_EQ(values_, nullptr);
    EXPECT_EQ(errors_, nullptr);
}

TEST_F(SyncArgs, LowerBoundOneWithExtraElementsReadsOnlyTheCount) {
    UniqueSafeArray handles(MakeLongArray({rampHandle_, 0x7FFF0000}));
    ASSERT_EQ(ReadRaw(handles.get(), 1), S_OK);
    LONG upper = 0;
    SafeArrayGetUBound(errors_, 1, &upper);
    EXPECT_EQ(upper, 1);
}

TEST_F(SyncArgs, ShortArraysCountsBelowOneAndWrongTypesAreRefused) {
    LONG calls = CallCount(L"ReadRaw");
    UniqueSafeArray one(MakeLongArray({rampHandle_}));
    EXPECT_EQ(ReadRaw(one.get(), 2), E_INVALIDARG);
    EXPECT_EQ(values_, nullptr);
    EXPECT_EQ(errors_, nullptr);

    // A count below 1 fails before the outputs are touched.
    EXPECT_EQ(ReadRaw(one.get(), 0), E_INVALIDARG);
    EXPECT_EQ(values_, reinterpret_cast<SAFEARRAY*>(1));
    EXPECT_EQ(ReadRaw(one.get(), -5), E_INVALIDARG);

    UniqueSafeArray texts(MakeBstrArray({L"1", L"2"}));
    EXPECT_EQ(ReadRaw(texts.get(), 2), E_INVALIDARG);
    EXPECT_EQ(values_, nullptr);
    UniqueSafeArray variants(MakeVariantArray({VarI4(rampHandle_)}));
    EXPECT_EQ(ReadRaw(variants.get(), 1), E_INVALIDARG);
    SAFEARRAYBOUND bounds[2] = {{2, 1}, {2, 1}};
    UniqueSafeArray square(SafeArrayCreate(VT_I4, 2, bounds));
    EXPECT_EQ(ReadRaw(square.get(), 1), E_INVALIDARG);

    EXPECT_EQ(CallCount(L"ReadRaw"), calls) << "nothing reached the historian";
}

TEST_F(SyncArgs, NullPointersComeFirst) {
    UniqueSafeArray one(MakeLongArray({rampHandle_}));
    SAFEARRAY* h = one.get();
    SAFEARRAY* none = nullptr;
    SAFEARRAY *v = nullptr, *e = nullptr;
    // A null pointer beats a bad count.
    EXPECT_EQ(items_->SyncReadRaw(nullptr, end_.get(), 0, 0, 0, &h, &v, &e), E_POINTER);
    EXPECT_EQ(items_->SyncReadRaw(start_.get(), nullptr, 0, 0, 1, &h, &v, &e), E_POINTER);
    EXPECT_EQ(items_->SyncReadRaw(start_.get(), end_.get(), 0, 0, 1, nullptr, &v, &e), E_POINTER);
    EXPECT_EQ(items_->SyncReadRaw(start_.get(), end_.get(), 0, 0, 1, &none, &v, &e), E_POINTER);
    EXPECT_EQ(items_->SyncReadRaw(start_.get(), end_.get(), 0, 0, 1, &h, nullptr, &e), E_POINTER);
    EXPECT_EQ(items_->SyncReadRaw(start_.get(), end_.get(), 0, 0, 1, &h, &v, nullptr), E_POINTER);
    EXPECT_EQ(items_->SyncReadProcessed(start_.get(), end_.get(), kHour, 1, &h, &none, &v, &e), E_POINTER);
    EXPECT_EQ(items_->SyncReadAtTime(1, &none, 1, &h, &v, &e), E_POINTER);
    EXPECT_EQ(items_->SyncInsert(1, &h, &none, &h, &h, &e), E_POINTER);
    EXPECT_EQ(items_->SyncDeleteRaw(start_.get(), end_.get(), 1, &h, nullptr), E_POINTER);
    EXPECT_EQ(items_->SyncInsertAnnotations(1, &h, &h, &h, nullptr), E_POINTER);
}

TEST_F(SyncArgs, BoundsAreCheckedInParameterOrder) {
    // Both arrays wrong: the first one's error is the answer; wrong element
    // types of later arrays still give E_INVALIDARG, never a stray read.
    LONG calls = CallCount(L"Insert") + CallCount(L"DeleteAtTime") + CallCount(L"ReadAtTime");
    UniqueSafeArray handles(MakeLongArray({rampHandle_}));
    UniqueSafeArray texts(MakeBstrArray({L"x"}));
    SAFEARRAY* h = handles.get();
    SAFEARRAY* t = texts.get();
    UniqueSafeArray v, e;
    EXPECT_EQ(items_->SyncReadProcessed(start_.get(), end_.get(), kHour, 1, &h, &t, v.put(), e.put()), E_INVALIDARG);
    UniqueSafeArray dates(MakeDateArray({LocalNow()}));
    SAFEARRAY* d = dates.get();
    // Qualities given as dates, values given as longs.
    EXPECT_EQ(items_->SyncInsert(1, &h, &d, &h, &d, e.put()), E_INVALIDARG);
    EXPECT_EQ(items_->SyncDeleteAtTime(1, &h, &h, e.put()), E_INVALIDARG);
    EXPECT_EQ(items_->SyncReadAtTime(1, &h, 1, &h, v.put(), e.put()), E_INVALIDARG);
    EXPECT_EQ(CallCount(L"Insert") + CallCount(L"DeleteAtTime") + CallCount(L"ReadAtTime"), calls);
}

TEST_F(SyncArgs, TimeArgumentsThatDoNotConvertFailBeforeTheCall) {
    LONG calls = CallCount(L"ReadRaw");
    UniqueSafeArray handles(MakeLongArray({rampHandle_}));
    end_.reset();
    end_->vt = VT_NULL;
    EXPECT_EQ(ReadRaw(handles.get(), 1), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(values_, nullptr);
    EXPECT_EQ(start_->vt, VT_BSTR);
    EXPECT_EQ(end_->vt, VT_NULL);
    end_->vt = VT_DATE;
    end_->date = -1.0e7;  // before 1601
    EXPECT_EQ(ReadRaw(handles.get(), 1), E_FAIL);
    EXPECT_EQ(CallCount(L"ReadRaw"), calls);
}

TEST_F(SyncArgs, UpdateTimeStampsThatDoNotConvertSendNothing) {
    auto sent = [this] {
        return CallCount(L"Insert") + CallCount(L"Replace") + CallCount(L"InsertReplace") + CallCount(L"DeleteAtTime");
    };
    LONG calls = sent();
    UniqueSafeArray handles(MakeLongArray({rampHandle_, rampHandle_}));
    UniqueSafeArray stamps(MakeDateArray({LocalNow() - kHour, -1.0e7}));
    UniqueSafeArray data(MakeVariantArray({VarR8(1), VarR8(2)}));
    UniqueSafeArray qualities(MakeLongArray({0xC0, 0xC0}));
    SAFEARRAY *h = handles.get(), *t = stamps.get(), *d = data.get(), *q = qualities.get();
    SAFEARRAY* e = reinterpret_cast<SAFEARRAY*>(1);
    EXPECT_EQ(items_->SyncInsert(2, &h, &t, &d, &q, &e), E_FAIL);
    EXPECT_EQ(e, nullptr);
    EXPECT_EQ(items_->SyncReplace(2, &h, &t, &d, &q, &e), E_FAIL);
    EXPECT_EQ(items_->SyncInsertReplace(2, &h, &t, &d, &q, &e), E_FAIL);
    EXPECT_EQ(items_->SyncDeleteAtTime(2, &h, &t, &e), E_FAIL);
    EXPECT_EQ(sent(), calls);
}

// Not connected: the argument checks still come first, then E_FAIL.
class Disconnected : public ComTest {
protected:
    void SetUp() override {
        ComTest::SetUp();
        ASSERT_HRESULT_SUCCEEDED(CreateServer(server_));
        ASSERT_HRESULT_SUCCEEDED(server_->get_OPCHDAItems(items_.put()));
    }
    void TearDown() override {
        items_ = nullptr;
        server_ = nullptr;
        ComTest::TearDown();
    }
    ComPtr<IOPCHDAAutoServer> server_;
    ComPtr<IOPCHDAItems> items_;
};

TEST_F(Disconnected, EveryMemberAnswersEFailAfterItsChecks) {
    UniqueVariant start, end;
    start->vt = VT_BSTR;
    start->bstrVal = SysAllocString(L"NOW-1H");
    end->vt = VT_BSTR;
    end->bstrVal = SysAllocString(L"NOW");
    UniqueSafeArray longs(MakeLongArray({1}));
    UniqueSafeArray dates(MakeDateArray({1000.0}));
    UniqueSafeArray data(MakeVariantArray({VarI4(1)}));
    SAFEARRAY *l = longs.get(), *d = dates.get(), *v = data.get();
    UniqueSafeArray values, errors;
    EXPECT_EQ(items_->SyncReadRaw(start.get(), end.get(), 0, 0, 1, &l, values.put(), errors.put()), E_FAIL);
    EXPECT_EQ(items_->SyncReadProcessed(start.get(), end.get(), kHour, 1, &l, &l, values.put(), errors.put()), E_FAIL);
    EXPECT_EQ(items_->SyncReadAtTime(1, &d, 1, &l, values.put(), errors.put()), E_FAIL);
    EXPECT_EQ(items_->SyncReadModified(start.get(), end.get(), 0, 1, &l, values.put(), errors.put()), E_FAIL);
    EXPECT_EQ(items_->SyncReadAttribute(start.get(), end.get(), 1, 1, &l, values.put(), errors.put()), E_FAIL);
    EXPECT_EQ(items_->SyncReadAnnotations(start.get(), end.get(), 1, &l, values.put(), errors.put()), E_FAIL);
    EXPECT_EQ(items_->SyncInsert(1, &l, &d, &v, &l, errors.put()), E_FAIL);
    EXPECT_EQ(items_->SyncReplace(1, &l, &d, &v, &l, errors.put()), E_FAIL);
    EXPECT_EQ(items_->SyncInsertReplace(1, &l, &d, &v, &l, errors.put()), E_FAIL);
    EXPECT_EQ(items_->SyncDeleteRaw(start.get(), end.get(), 1, &l, errors.put()), E_FAIL);
    EXPECT_EQ(items_->SyncDeleteAtTime(1, &l, &d, errors.put()), E_FAIL);
    // The texts were never converted, so they are still there.
    EXPECT_EQ(start->vt, VT_BSTR);
    // Checks before the connection: a count below 1 is E_INVALIDARG.
    EXPECT_EQ(items_->SyncReadRaw(start.get(), end.get(), 0, 0, 0, &l, values.put(), errors.put()), E_INVALIDARG);
    EXPECT_EQ(items_->SyncReadAtTime(0, &d, 1, &l, values.put(), errors.put()), E_INVALIDARG);
}

TEST_F(Disconnected, InsertAnnotationsIsNotImplementedAfterItsChecks) {
    UniqueSafeArray longs(MakeLongArray({1}));
    UniqueSafeArray dates(MakeDateArray({1000.0}));
    UniqueSafeArray data(MakeVariantArray({VarBstr(L"note")}));
    SAFEARRAY *l = longs.get(), *d = dates.get(), *v = data.get();
    SAFEARRAY* errors = reinterpret_cast<SAFEARRAY*>(1);
    EXPECT_EQ(items_->SyncInsertAnnotations(1, &l, &d, &v, &errors), E_NOTIMPL);
    EXPECT_EQ(errors, nullptr);
    EXPECT_EQ(items_->SyncInsertAnnotations(0, &l, &d, &v, &errors), E_INVALIDARG);
    EXPECT_EQ(items_->SyncInsertAnnotations(2, &l, &d, &v, &errors), E_INVALIDARG);
    EXPECT_EQ(items_->SyncInsertAnnotations(1, &l, &d, &l, &errors), E_INVALIDARG);  // values must be variants
    EXPECT_EQ(items_->SyncInsertAnnotations(1, &l, &d, &v, nullptr), E_POINTER);
}

}  // namespace
}  // namespace synctest
