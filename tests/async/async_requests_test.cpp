// Every asynchronous member over the same cases: checks in their order with
// their codes and what they leave in the outputs, the historian's answers
// passed on, what reached the historian, and the cancel identifier that goes
// back to it. The simulator holds its callbacks, so that each request stays
// outstanding (and cancellable) and nothing arrives while a test runs.
#include "async_members.h"

#include <memory>
#include <tuple>

#include "time/time_conversion.h"

using namespace comtest;

namespace asynctest {
namespace {

constexpr LONG kUnknownHandle = 0x7FFF0001;

// An input array of the element type the member expects for `a`.
SAFEARRAY* ArrayFor(Arg a, LONG count, LONG lower) {
    SAFEARRAYBOUND bound{static_cast<ULONG>(count), lower};
    VARTYPE vt = a == kTimeStamps ? VT_DATE : (a == kValues || a == kAnnotations) ? VT_VARIANT : VT_I4;
    return SafeArrayCreate(vt, 1, &bound);
}

class AsyncRequests : public ConnectedServer, public ::testing::WithParamInterface<std::tuple<Member, Where>> {
protected:
    void SetUp() override {
        ConnectedServer::SetUp();
        Connect(std::get<1>(GetParam()));
        if (HasFatalFailure()) return;
        ASSERT_HRESULT_SUCCEEDED(control_->HoldCallbacks(TRUE, FALSE));
        r_ = std::make_unique<Request>(rampHandle_, stepHandle_);
    }
    void TearDown() override {
        r_.reset();
        kept_.clear();
        ConnectedServer::TearDown();
    }
    const Member& M() const { return std::get<0>(GetParam()); }
    bool Implemented() const { return M().historian != nullptr; }
    LONG Expected() const { return Has(M().pointers, kAttributes) ? r_->numAttributes : r_->numItems; }

    // Calls the member with junk in both outputs, so that what it writes shows.
    HRESULT Call() {
        r_->errors = kJunkArray;
        r_->cancel = kJunkCancel;
        HRESULT hr = M().call(items_.get(), *r_);
        if (r_->errors != kJunkArray && r_->errors) kept_.emplace_back(r_->errors);
        return hr;
    }
    LONG Calls() { return Implemented() ? CallCount(M().historian) : 0; }
    LONGLONG Recorded(const wchar_t* name) {
        LONGLONG value = 0;
        std::wstring method = M().historian;
        EXPECT_EQ(control_->RecordedArgument(method.c_str(), name, &value), S_OK) << "no " << name;
        return value;
    }
    void ExpectNothingWritten() {
        EXPECT_EQ(r_->errors, kJunkArray);
        EXPECT_EQ(r_->cancel, kJunkCancel);
    }
    void ExpectOnlyErrorsNulled() {
        EXPECT_EQ(r_->errors, nullptr);
        EXPECT_EQ(r_->cancel, kJunkCancel);
        if (Has(M().pointers, kStart)) {
            EXPECT_EQ(r_->start->vt, VT_BSTR) << "time written back";
        }
    }

    std::unique_ptr<Request> r_;
    std::vector<UniqueSafeArray> kept_;
};

TEST_P(AsyncRequests, ChecksRunInOrderAndNothingReachesTheHistorian) {
    LONG before = Calls();
    // A null pointer comes before a bad count.
    for (Arg a : M().pointers) {
        r_->nulled = {a};
        for (Count c : M().counts) r_->CountOf(c) = 0;
        EXPECT_EQ(Call(), E_POINTER) << "argument " << a;
        ExpectNothingWritten();
    }
    r_ = std::make_unique<Request>(rampHandle_, stepHandle_);
    // A count below 1 comes before the arrays, and before Errors is nulled.
    for (Count c : M().counts) {
        for (LONG bad : {0, -1}) {
            LONG kept = std::exchange(r_->CountOf(c), bad);
            EXPECT_EQ(Call(), E_INVALIDARG) << "count " << c;
            ExpectNothingWritten();
            r_->CountOf(c) = kept;
        }
    }
    // Each array: too short, lower bound above 1, wrong element type.
    for (auto [a, c] : M().arrays) {
        LONG count = r_->CountOf(c);
        UniqueSafeArray good(r_->arrays[a].detach());
        for (SAFEARRAY* bad : {ArrayFor(a, count - 1, 1), ArrayFor(a, count + 1, 2), MakeBstrArray({L"1", L"2"})}) {
            r_->arrays[a].reset(bad);
            EXPECT_EQ(Call(), E_INVALIDARG) << "array " << a;
            ExpectOnlyErrorsNulled();
        }
        r_->arrays[a].reset(good.detach());
    }
    EXPECT_EQ(Calls(), before);
}

TEST_P(AsyncRequests, DisconnectedObjectChecksArgumentsFirstThenFails) {
    ASSERT_EQ(server_->Disconnect(), S_OK);
    auto [first, count] = M().arrays.front();
    UniqueSafeArray good(r_->arrays[first].detach());
    r_->arrays[first].reset(ArrayFor(first, r_->CountOf(count) - 1, 1));
    EXPECT_EQ(Call(), E_INVALIDARG);
    r_->arrays[first].reset(good.detach());
    EXPECT_EQ(Call(), Implemented() ? E_FAIL : E_NOTIMPL);
    ExpectOnlyErrorsNulled();
    if (M().cancel) {
        EXPECT_EQ((items_.get()->*M().cancel)(1), E_FAIL);
    }
}

TEST_P(AsyncRequests, HistorianWithoutTheInterfaceGivesFail) {
    if (!Implemented()) GTEST_SKIP() << "never asks the historian";
    ASSERT_HRESULT_SUCCEEDED(control_->RefuseInterface(*M().historianInterface, TRUE));
    UniqueBstr progID(ProgIDOf(where_));
    VARIANT node;
    VariantInit(&node);
    ASSERT_EQ(server_->Connect(progID.get(), node), S_OK);
    LONG before = Calls();
    EXPECT_EQ(Call(), E_FAIL);
    ExpectOnlyErrorsNulled();
    EXPECT_EQ((items_.get()->*M().cancel)(1), E_FAIL);
    EXPECT_EQ(Calls(), before);
}

TEST_P(AsyncRequests, HistorianRefusalIsPassedOnAndNothingIsWrittenBack) {
    if (!Implemented()) GTEST_SKIP() << "never asks the historian";
    ASSERT_HRESULT_SUCCEEDED(control_->FailMethod(M().historian, kHistorianRefuses));
    EXPECT_EQ(Call(), kHistorianRefuses);
    ExpectOnlyErrorsNulled();
}

TEST_P(AsyncRequests, AcceptedRequestHandsBackCodesTimesAndTheCancelIdentifier) {
    HRESULT hr = Call();
    if (!Implemented()) {
        // Annotations are not written through this interface, connected or not.
        EXPECT_EQ(hr, E_NOTIMPL);
        ExpectOnlyErrorsNulled();
        return;
    }
    ASSERT_EQ(hr, S_OK);
    ASSERT_NE(r_->errors, nullptr);
    LONG lower = 0, upper = 0;
    SafeArrayGetLBound(r_->errors, 1, &lower);
    SafeArrayGetUBound(r_->errors, 1, &upper);
    EXPECT_EQ(lower, 1);
    EXPECT_EQ(upper, Expected());
    VARTYPE vt = VT_EMPTY;
    SafeArrayGetVartype(r_->errors, &vt);
    EXPECT_EQ(vt, VT_I4);
    for (LONG k = 1; k <= upper; ++k) EXPECT_EQ(LongAt(r_->errors, k), S_OK);
    EXPECT_NE(r_->cancel, kJunkCancel);
    if (Has(M().pointers, kStart)) {
        EXPECT_EQ(r_->start->vt, VT_DATE);
    }
    if (Has(M().pointers, kEnd)) {
        EXPECT_EQ(r_->end->vt, VT_DATE);
    }

    // What the historian got: elements 1 and 2 of each array, bit for bit.
    EXPECT_EQ(Recorded(L"tid"), r_->tid);
    EXPECT_EQ(Recorded(L"numItems"), Expected());
    if (Has(M().pointers, kHandles)) {
        EXPECT_EQ(Recorded(L"handle0"), rampHandle_);
        EXPECT_EQ(Recorded(L"handle1"), stepHandle_);
    }
    if (Has(M().pointers, kAggregates)) {
        EXPECT_EQ(Recorded(L"aggregate1"), 3);
    }
    if (Has(M().pointers, kQualities)) {
        EXPECT_EQ(Recorded(L"quality0"), 0xC0);
    }
    if (Has(M().pointers, kAttributes)) {
        EXPECT_EQ(Recorded(L"attribute1"), 2);
        EXPECT_EQ(Recorded(L"hServer"), rampHandle_);
    }
    if (Has(M().pointers, kTimeStamps)) {
        DATE second = 0;
        LONG index = 2;
        SafeArrayGetElement(r_->arrays[kTimeStamps].get(), &index, &second);
        FILETIME utc{};
        ASSERT_TRUE(LocalDateToFileTime(second, &utc));
        EXPECT_EQ(Recorded(L"stamp1"),
                  static_cast<LONGLONG>((ULONGLONG(utc.dwHighDateTime) << 32) | utc.dwLowDateTime));
    }
    std::wstring method = M().historian;
    bool takesNumValues = method.ends_with(L"::ReadRaw") || method.ends_with(L"::ReadRawWithUpdate") ||
                          method.ends_with(L"::ReadModified");
    if (takesNumValues) {
        EXPECT_EQ(Recorded(L"numValues"), 7);
    }
    if (method.ends_with(L"::ReadRaw")) {
        EXPECT_EQ(Recorded(L"bounds"), -1);
    }
    if (method.ends_with(L"ProcessedWithUpdate") || method.ends_with(L"AdviseProcessed")) {
        EXPECT_EQ(Recorded(L"numIntervals"), 3);
    }

    // The identifier goes back unchanged, through the member's own interface.
    LONG cancels = CallCount(M().cancelMethod);
    EXPECT_EQ((items_.get()->*M().cancel)(r_->cancel), S_OK);
    EXPECT_EQ(CallCount(M().cancelMethod), cancels + 1);
    LONGLONG sent = 0;
    EXPECT_EQ(control_->RecordedArgument(M().cancelMethod, L"cancelID", &sent), S_OK);
    EXPECT_EQ(sent, r_->cancel);
    // Cancelled: the historian's own answer comes back unchanged.
    EXPECT_EQ((items_.get()->*M().cancel)(r_->cancel), E_FAIL);
}

TEST_P(AsyncRequests, SomeItemsRefusedGiveFalseWithTheirCodes) {
    if (!Implemented() || Has(M().pointers, kAttributes)) GTEST_SKIP() << "no per-item refusal";
    r_->arrays[kHandles].reset(MakeLongArray({rampHandle_, kUnknownHandle}));
    ASSERT_EQ(Call(), S_FALSE);
    EXPECT_EQ(LongAt(r_->errors, 1), S_OK);
    EXPECT_EQ(LongAt(r_->errors, 2), kInvalidHandle);
    EXPECT_NE(r_->cancel, kJunkCancel);
    if (Has(M().pointers, kStart)) {
        EXPECT_EQ(r_->start->vt, VT_DATE);
    }
}

TEST_P(AsyncRequests, TimeThatDoesNotConvertSendsNothing) {
    if (!Implemented()) GTEST_SKIP() << "never asks the historian";
    LONG before = Calls();
    if (Has(M().pointers, kTimeStamps)) {
        LONG index = 2;
        DATE bad = -1e7;  // long before 1601
        ASSERT_HRESULT_SUCCEEDED(SafeArrayPutElement(r_->arrays[kTimeStamps].get(), &index, &bad));
    } else {
        VariantClear(r_->start.get());
        r_->start->vt = VT_DATE;
        r_->start->date = -1e7;
    }
    EXPECT_EQ(Call(), E_FAIL);
    EXPECT_EQ(r_->errors, nullptr);
    EXPECT_EQ(r_->cancel, kJunkCancel);
    EXPECT_EQ(Calls(), before);
}

std::string RowName(const ::testing::TestParamInfo<std::tuple<Member, Where>>& info) {
    return std::string(std::get<0>(info.param).name) +
           (std::get<1>(info.param) == Where::InProcess ? "_InProcess" : "_LocalServer");
}

INSTANTIATE_TEST_SUITE_P(Sim, AsyncRequests,
                         ::testing::Combine(::testing::ValuesIn(Members()),
                                            ::testing::Values(Where::InProcess, Where::LocalServer)),
                         RowName);

}  // namespace
}  // namespace asynctest
