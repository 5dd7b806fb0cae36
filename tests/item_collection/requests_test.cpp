// Every request member over the same cases. The simulator holds its callbacks,
// so that each asynchronous request stays outstanding.
#include <limits>
#include <memory>

#include "request_members.h"
#include "support/file_time.h"
#include "time/time_conversion.h"

namespace requesttest {
namespace {

constexpr LONG kUnknownHandle = 0x7FFF0001;
constexpr HRESULT kHistorianRefuses = static_cast<HRESULT>(0x80041234);

class Requests : public ConnectedServerAt {
protected:
    void SetUp() override {
        ConnectedServerAt::SetUp();
        if (HasFatalFailure()) return;
        ASSERT_HRESULT_SUCCEEDED(control_->HoldCallbacks(TRUE, FALSE));
    }
    void TearDown() override {
        r_.reset();
        kept_.clear();
        ConnectedServerAt::TearDown();
    }
    void Fresh() { r_ = std::make_unique<Request>(rampHandle_, stepHandle_); }
    LONG Expected(const Member& m) const { return m.Has(kAttributes) ? r_->numAttributes : r_->numItems; }

    // Calls the member with junk in every output, so that what it writes shows.
    HRESULT Call(const Member& m) {
        r_->itemValues = r_->errors = kJunkArray;
        r_->cancel = kJunkCancel;
        HRESULT hr = m.call(items_.get(), *r_);
        for (SAFEARRAY* out : {r_->itemValues, r_->errors})
            if (out != kJunkArray && out) kept_.emplace_back(out);
        return hr;
    }
    LONG Calls(const Member& m) { return m.historian ? CallCount(m.historian) : 0; }
    LONGLONG Recorded(const wchar_t* method, const wchar_t* name) {
        LONGLONG value = 0;
        EXPECT_EQ(control_->RecordedArgument(method, name, &value), S_OK) << "no " << name;
        return value;
    }
    void ExpectNothingWritten() {
        EXPECT_TRUE(r_->itemValues == kJunkArray && r_->errors == kJunkArray && r_->cancel == kJunkCancel);
    }
    void ExpectOnlyOutputsNulled(const Member& m) {
        EXPECT_TRUE(!(m.Has(kItemValues) || m.Has(kHandlesOut)) || !r_->itemValues);
        EXPECT_EQ(r_->errors, nullptr);
        EXPECT_EQ(r_->cancel, kJunkCancel);
        EXPECT_TRUE(!m.Has(kStart) || r_->times.start->vt == VT_BSTR) << "time written back";
    }
    HRESULT Cancel(const Member& m, LONG id) { return (items_.get()->*m.cancel)(id); }

    // The checks of one member, in their order; nothing reaches the historian.
    void CheckInOrder(const Member& m) {
        SCOPED_TRACE(m.name);
        LONG before = Calls(m);
        // A null pointer comes before a bad count.
        Fresh();
        for (Arg a : m.pointers) {
            r_->nulled = {a};
            for (Count c : m.counts) r_->CountOf(c) = 0;
            EXPECT_EQ(Call(m), E_POINTER) << "argument " << a;
            ExpectNothingWritten();
        }
        // A count below 1 comes before the arrays, and before the outputs are nulled.
        Fresh();
        for (Count c : m.counts) {
            for (LONG bad : {0, -1}) {
                LONG kept = std::exchange(r_->CountOf(c), bad);
                EXPECT_EQ(Call(m), E_INVALIDARG) << "count " << c;
                ExpectNothingWritten();
                r_->CountOf(c) = kept;
            }
        }
        // Each array: too short, lower bound above 1, wrong element type, two dimensions.
        for (auto [a, c] : m.arrays) {
            LONG count = r_->CountOf(c);
            UniqueSafeArray good(r_->arrays[a].detach());
            VARTYPE vt = VT_EMPTY;
            SafeArrayGetVartype(good.get(), &vt);
            SAFEARRAYBOUND square[2] = {{static_cast<ULONG>(count), 1}, {2, 1}};
            SAFEARRAY* wrongType = a == kItemIDs ? MakeLongArray({1, 2}) : MakeBstrArray({L"1", L"2"});
            // 16-byte VARIANTs read as longs or dates would overrun them.
            SAFEARRAY* variants = vt == VT_VARIANT ? MakeLongArray({1, 2}) : MakeVariantArray({VarI4(1), VarI4(2)});
            for (SAFEARRAY* bad : {SafeArrayCreateVector(vt, 1, count - 1), SafeArrayCreateVector(vt, 2, count + 1),
                                   wrongType, variants, SafeArrayCreate(VT_I4, 2, square)}) {
                r_->arrays[a].reset(bad);
                EXPECT_EQ(Call(m), E_INVALIDARG) << "array " << a;
                ExpectOnlyOutputsNulled(m);
            }
            r_->arrays[a].reset(good.detach());
        }
        EXPECT_EQ(Calls(m), before);
    }

    std::unique_ptr<Request> r_;
    std::vector<UniqueSafeArray> kept_;
};

class RequestChecks : public Requests {};  // what does not depend on where the historian runs

TEST_P(RequestChecks, RunInOrderConnectedAndDisconnected) {
    for (const Member& m : Members()) CheckInOrder(m);
    ASSERT_EQ(server_->Disconnect(), S_OK);
    for (const Member& m : Members()) {
        CheckInOrder(m);
        Fresh();
        EXPECT_EQ(Call(m), m.historian ? E_FAIL : E_NOTIMPL) << m.name;
        ExpectOnlyOutputsNulled(m);
        EXPECT_TRUE(!m.cancel || Cancel(m, 1) == E_FAIL) << m.name;
    }
}

// A historian without the member's interface, a time that does not convert:
// E_FAIL, nothing sent; a historian's refusal is passed on; nothing written back.
TEST_P(RequestChecks, MissingInterfaceRefusalAndBadTimes) {
    UniqueBstr progID(ProgIDOf(where_));
    for (const Member& m : Members()) {
        if (!m.historianInterface) continue;
        SCOPED_TRACE(m.name);
        ASSERT_HRESULT_SUCCEEDED(control_->RefuseInterface(*m.historianInterface, TRUE));
        ASSERT_EQ(server_->Connect(progID.get(), VarEmpty()), S_OK);
        Fresh();
        EXPECT_EQ(Call(m), E_FAIL);
        ExpectOnlyOutputsNulled(m);
        EXPECT_TRUE(!m.cancel || Cancel(m, 1) == E_FAIL);
        ASSERT_HRESULT_SUCCEEDED(control_->RefuseInterface(*m.historianInterface, FALSE));
        ASSERT_EQ(server_->Connect(progID.get(), VarEmpty()), S_OK);
        ASSERT_HRESULT_SUCCEEDED(control_->FailMethod(m.historian, kHistorianRefuses));
        Fresh();
        EXPECT_EQ(Call(m), kHistorianRefuses);
        ExpectOnlyOutputsNulled(m);
        // Accepted with no codes: E_FAIL, and the request, which the client cannot know of, is cancelled.
        if (m.cancelMethod) {
            ASSERT_HRESULT_SUCCEEDED(control_->FailMethod(m.historian, S_FALSE));
            const LONG cancels = CallCount(m.cancelMethod);
            Fresh();
            EXPECT_EQ(Call(m), E_FAIL);
            ExpectOnlyOutputsNulled(m);
            EXPECT_EQ(CallCount(m.cancelMethod), cancels + 1);
        }

        // Each member takes a start or time stamps: a null start, a stamp long before 1601.
        LONG before = Calls(m), index = 2;
        DATE bad = -1e7;
        Fresh();
        r_->times.start.reset(Typed(VT_NULL, 0));
        ASSERT_HRESULT_SUCCEEDED(SafeArrayPutElement(r_->arrays[kTimeStamps].get(), &index, &bad));
        EXPECT_EQ(Call(m), m.Has(kStart) ? DISP_E_TYPEMISMATCH : E_FAIL) << "the conversion's own code";
        EXPECT_TRUE(r_->errors == nullptr && r_->cancel == kJunkCancel && r_->times.start->vt == VT_NULL);
        // NaN and the infinities are no dates either, as a start or as a stamp.
        for (DATE none : {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(),
                          -std::numeric_limits<double>::infinity()}) {
            Fresh();
            r_->times.start.reset(VarDate(none));
            ASSERT_HRESULT_SUCCEEDED(SafeArrayPutElement(r_->arrays[kTimeStamps].get(), &index, &none));
            EXPECT_EQ(Call(m), E_FAIL) << none;
        }
        // A value that cannot be copied is refused with the copy's code, as CreateBrowser refuses a filter.
        if (m.Has(kValues)) {
            Fresh();
            VARIANT* values = nullptr;
            ASSERT_HRESULT_SUCCEEDED(SafeArrayAccessData(r_->arrays[kValues].get(), reinterpret_cast<void**>(&values)));
            VariantClear(&values[2]);  // element 2 (the array starts at 0)
            values[2].vt = 0x7F;  // no type
            EXPECT_EQ(Call(m), DISP_E_BADVARTYPE);
            values[2].vt = VT_EMPTY;
            SafeArrayUnaccessData(r_->arrays[kValues].get());
        }
        EXPECT_EQ(Calls(m), before);
    }
}

// Intervals become historian durations (a day: 864,000,000,000 units of 100 ns)
// truncated toward zero, bit for bit whatever their sign.
TEST_P(RequestChecks, IntervalsReachTheHistorianAsTruncatedDurations) {
    const std::pair<DATE, LONGLONG> kSpans[] = {
        {1.0, 864000000000LL}, {-1.0, -864000000000LL}, {1.9e-12, 1} /* 1.64 units */, {-1.9e-12, -1}, {0.0, 0}};
    for (const Member& m : Members()) {
        for (auto [field, recorded] : m.durations) {
            for (auto [days, units] : kSpans) {
                Fresh();
                (*r_).*field = days;
                Call(m);  // the simulator may refuse a span; it has seen it
                EXPECT_EQ(Recorded(m.historian, recorded), units) << m.name << " " << days;
            }
        }
    }
}

class RequestsAt : public Requests {};

// In table order: the inserts find free stamps, the replaces find the inserts.
// The second handle is none the table holds: passed on, not looked up (S_FALSE,
// its code and no history).
TEST_P(RequestsAt, RequestsHandBackCodesTimesAndTheCancelIdentifier) {
    for (const Member& m : Members()) {
        SCOPED_TRACE(m.name);
        Fresh();
        r_->arrays[kHandles].reset(MakeLongArray({rampHandle_, kUnknownHandle}));
        HRESULT hr = Call(m);
        if (!m.historian) {  // annotations are not written through this interface
            EXPECT_EQ(hr, E_NOTIMPL);
            ExpectOnlyOutputsNulled(m);
            continue;
        }
        const bool unknown = m.Has(kHandles);
        ASSERT_EQ(hr, unknown ? S_FALSE : S_OK);
        EXPECT_EQ(BoundsOf(r_->errors), std::make_pair(1L, Expected(m)));
        VARTYPE vt = VT_EMPTY;
        SafeArrayGetVartype(r_->errors, &vt);
        EXPECT_EQ(vt, VT_I4);
        for (LONG k = 1; k <= Expected(m); ++k) {
            const bool refused = unknown && k == 2;
            UniqueVariant history;  // none for the refused handle; an empty one for no data
            EXPECT_TRUE(refused ? LongAt(r_->errors, k) == kInvalidHandle : SUCCEEDED(LongAt(r_->errors, k))) << k;
            EXPECT_TRUE(!m.Has(kItemValues) || (VariantAt(r_->itemValues, k, history.get()) == S_OK &&
                                                history->vt == (refused ? VT_EMPTY : VT_DISPATCH)));
            EXPECT_TRUE(!m.Has(kHandlesOut) || LongAt(r_->itemValues, k) != 0);
        }
        EXPECT_TRUE(!m.Has(kStart) || r_->times.start->vt == VT_DATE);
        EXPECT_TRUE(!m.Has(kEnd) || r_->times.end->vt == VT_DATE);
        // The historian takes a reversed range as a request of its own.
        EXPECT_TRUE(!m.Has(kEnd) || Recorded(m.historian, L"start") < Recorded(m.historian, L"end"));
        if (!m.Async()) continue;

        // What the historian recorded of it, bit for bit (elements 1 and 2 of each array).
        DATE second = 0;
        LONG index = 2;
        FILETIME utc{};
        SafeArrayGetElement(r_->arrays[kTimeStamps].get(), &index, &second);
        ASSERT_TRUE(LocalDateToFileTime(second, &utc));
        // clang-format off
        const std::pair<const wchar_t*, LONGLONG> kSent[] = {
            {L"tid", r_->tid}, {L"numItems", Expected(m)}, {L"numTimeStamps", 2}, {L"handle0", rampHandle_}, {L"handle1", kUnknownHandle},
            {L"aggregate1", 3}, {L"quality0", 0xC0}, {L"attribute1", 2}, {L"hServer", rampHandle_}, {L"numValues", 7}, {L"bounds", -1},
            {L"numIntervals", 3}, {L"stamp1", testsupport::Units(utc)}};
        // clang-format on
        int recorded = 0;
        for (auto [name, value] : kSent) {
            LONGLONG got = 0;
            if (control_->RecordedArgument(m.historian, name, &got) != S_OK) continue;
            ++recorded;
            EXPECT_EQ(got, value) << name;
        }
        EXPECT_GE(recorded, 3);

        // The identifier goes back unchanged through the member's own interface;
        // once cancelled, the historian's own answer comes back unchanged.
        EXPECT_EQ(Cancel(m, r_->cancel), S_OK);
        EXPECT_EQ(Recorded(m.cancelMethod, L"cancelID"), r_->cancel);
        EXPECT_EQ(Cancel(m, r_->cancel), E_FAIL);
    }
}

INSTANTIATE_TEST_SUITE_P(Sim, RequestChecks, ::testing::Values(Where::InProcess), NameOf);
INSTANTIATE_TEST_SUITE_P(Sim, RequestsAt, ::testing::ValuesIn(kBothSides), NameOf);

}  // namespace
}  // namespace requesttest
