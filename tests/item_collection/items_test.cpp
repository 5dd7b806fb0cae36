// The items collection against the simulator in process and as a local server: every request member as data
// (its checks in their order, the historian method it reaches, and the call over one shared set of arguments, the
// simulator holding its callbacks so that each asynchronous request stays outstanding), then the item table and
// what the synchronous requests and the item shortcuts give back (AddItems, Validate and Remove through a script
// are in the JScript examples). The fixture's table holds the ramp, the step and the text, client handles 1 to 3.
#include <float.h>

#include <bit>
#include <cwchar>
#include <map>
#include <memory>
#include <thread>

#include "opc_hda.h"
#include "support/enum_conformance.h"
#include "support/file_time.h"
#include "support/item_requests.h"
#include "support/sim_fixture.h"
#include "time/time_conversion.h"

using namespace comtest;

namespace {

constexpr LONG kUnknownHandle = 0x7FFF0001;

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
            values[2].vt = 0x7F;       // no type
            EXPECT_EQ(Call(m), DISP_E_BADVARTYPE);
            values[2].vt = VT_EMPTY;
            SafeArrayUnaccessData(r_->arrays[kValues].get());
        }
        EXPECT_EQ(Calls(m), before);
    }
}

// The floating-point states clients call in, set as they set them: MSVC-built
// hosts run the x87 at 53 bits; Delphi, C++Builder and mingw-built programs at
// 64, Delphi with overflow, invalid operation and zero divide unmasked; any
// program may change the rounding. Every answer is that of the first, which is
// the x64 build's.
struct CallerState {
    const char* name;
    unsigned control;
};
// clang-format off
constexpr CallerState kCallerStates[] = {
    {"53 bits", _PC_53 | _RC_NEAR | _MCW_EM}, {"64 bits", _PC_64 | _RC_NEAR | _MCW_EM},
    {"64 bits toward zero", _PC_64 | _RC_CHOP | _MCW_EM}, {"53 bits upward", _PC_53 | _RC_UP | _MCW_EM},
    {"Delphi's", _PC_64 | _RC_NEAR | _EM_INEXACT | _EM_UNDERFLOW | _EM_DENORMAL}};
// clang-format on

// call() in the caller's state, which it must find as it was, and the test's
// own state again after it (x64 has no x87 precision to set).
template <class Call>
auto InState(const CallerState& state, Call call) {
    constexpr unsigned kSet = _MCW_EM | _MCW_RC | (sizeof(void*) == 4 ? _MCW_PC : 0);
    const unsigned own = _controlfp(0, 0);
    _clearfp();  // the test's own flags would fire the exceptions that a state unmasks
    _controlfp(state.control, kSet);
    auto result = call();
    volatile double next = 1;  // the caller's next operation faults on a flag left for an unmasked exception
    next = next * 2;
    EXPECT_EQ(_controlfp(0, 0) & kSet, state.control & kSet) << state.name << ": the caller's state changed";
    _controlfp(own, kSet);
    return result;
}

LONGLONG Bits(double d) { return std::bit_cast<LONGLONG>(d); }

// A history's values bit for bit (time stamp, type, number), then what Item answers for a number that is none
// (refused, never raised); nothing when `element` is no history.
std::vector<LONGLONG> Readings(const VARIANT& element) {
    std::vector<LONGLONG> read;
    ComPtr<OPCHDAHistory> history;
    if (element.vt != VT_DISPATCH || element.pdispVal->QueryInterface(IID_OPCHDAHistory, history.put_void()) != S_OK)
        return read;
    LONG count = 0;
    history->get_Count(&count);
    for (LONG i = 1; i <= count; ++i) {
        ComPtr<OPCHDAValue> value;
        UniqueVariant data;
        DATE stamp = 0;
        if (history->Item(VarI4(i), value.put()) == S_OK && value->get_TimeStamp(&stamp) == S_OK)
            value->get_DataValue(data.get());
        read.insert(read.end(), {Bits(stamp), data->vt, data->vt == VT_R8 ? Bits(data->dblVal) : 0});
    }
    ComPtr<OPCHDAValue> none;
    read.push_back(history->Item(VarR8(std::numeric_limits<double>::quiet_NaN()), none.put()));
    return read;
}

// Intervals become historian durations (a day: 864,000,000,000 units of 100 ns)
// truncated toward zero, bit for bit whatever their sign and the caller's state;
// one beyond the range (or no number) is still a definite duration.
TEST_P(RequestChecks, IntervalsReachTheHistorianAsTruncatedDurations) {
    const double kInfinity = std::numeric_limits<double>::infinity(), kNaN = std::numeric_limits<double>::quiet_NaN();
    // 1.9e-12 days: 1.64 units; 5.787e-05: a hair below 50,000,000; an hour and a second: a hair
    // above their units, which a product kept at 64 bits truncates to one unit less.
    // clang-format off
    const std::pair<DATE, LONGLONG> kSpans[] = {
        {1.0, 864000000000LL}, {-1.0, -864000000000LL}, {1.9e-12, 1}, {-1.9e-12, -1}, {0.0, 0},
        {5.7870370370370366e-05, 49'999'999}, {kHour, 36'000'000'000}, {-kSecond, -10'000'000},
        {10000.0, 8'640'000'000'000'000}, {1e10, INT64_MIN}, {std::numeric_limits<double>::max(), INT64_MIN},
        {-kInfinity, INT64_MIN}, {kNaN, INT64_MIN}};
    // clang-format on
    for (const CallerState& state : kCallerStates) {
        for (const Member& m : Members()) {
            for (auto [field, recorded] : m.durations) {
                for (auto [days, units] : kSpans) {
                    Fresh();
                    (*r_).*field = days;
                    InState(state, [&] { return Call(m); });  // the simulator may refuse a span; it has seen it
                    EXPECT_EQ(Recorded(m.historian, recorded), units) << m.name << " " << days << " " << state.name;
                }
            }
        }
    }
}

// Dates both ways in every caller's state, as the first state gives them:
// what the historian receives, the times written back, what the histories hold
// (time stamps and the simulator's numbers), through the collection, the item
// shortcuts and IDispatch; a number that is none is refused, never raised.
TEST_P(RequestChecks, DatesAndNumbersDoNotDependOnTheCallersFloatingPointState) {
    // 2024-01-01 00:07:44 and 03:07:44 local as the x64 build's runtime gives them (at
    // 64 bits the x86 runtime gives 00:07:44 another date), and a stamp between two samples.
    constexpr DATE kFrom = 45292.005370370374, kTo = 45292.130370370374, kBetween = 45292.005428240744;
    const VARIANT kNoNumber = VarR8(std::numeric_limits<double>::quiet_NaN());
    std::vector<LONGLONG> seen;
    auto holds = [&](const VARIANT& element) {
        const auto read = Readings(element);
        seen.insert(seen.end(), read.begin(), read.end());
    };
    ComPtr<OPCHDAItem> sine, noItem;
    UniqueBstr sineID(kSine);
    ASSERT_EQ(items_->AddItem(sineID.get(), 4, sine.put()), S_OK);
    std::map<std::string, std::vector<LONGLONG>> first;
    auto expectAsFirst = [&](const std::string& what, const CallerState& state) {
        const auto [kept, isFirst] = first.emplace(what, seen);
        EXPECT_TRUE(isFirst || seen == kept->second) << what << " in the state " << state.name;
        seen.clear();
    };
    for (const CallerState& state : kCallerStates) {
        for (const Member& m : Members()) {
            // Updates would change what the reads of the next state find.
            if (!m.historian || m.Has(kValues) || std::wcsstr(m.historian, L"Delete") ||
                !(m.Has(kStart) || m.Has(kTimeStamps)))
                continue;
            Fresh();
            r_->times.start.reset(VarDate(kFrom));
            r_->times.end.reset(VarDate(kTo));
            r_->arrays[kTimeStamps].reset(MakeDateArray({kNotADate, kBetween, kTo, kNotADate}, 0));
            InState(state, [&] {
                seen.push_back(Call(m));
                for (LONG k = 1; m.Has(kItemValues) && r_->itemValues != kJunkArray && k <= Expected(m); ++k) {
                    UniqueVariant element;
                    SafeArrayGetElement(r_->itemValues, &k, element.get());
                    holds(*element.get());
                }
                return 0;
            });
            for (const wchar_t* name : {L"start", L"end", L"stamp0", L"stamp1"}) {
                LONGLONG sent = 0;
                if (control_->RecordedArgument(m.historian, name, &sent) == S_OK) seen.push_back(sent);
            }
            EXPECT_TRUE(!m.Has(kStart) || Bits(r_->times.start->date) == Bits(kFrom)) << m.name << " start back";
            EXPECT_TRUE(!m.Has(kEnd) || Bits(r_->times.end->date) == Bits(kTo)) << m.name << " end back";
            expectAsFirst(m.name, state);
        }
        UniqueVariant start(VarDate(kFrom)), end(VarDate(kTo)), none(kNoNumber), held;
        UniqueSafeArray stamps(MakeDateArray({kBetween, kTo}));
        SAFEARRAY* t = stamps.get();
        InState(state, [&] {
            seen.push_back(ramp_->ReadProcessed(start.get(), end.get(), kHour, 3, held.put()));
            holds(*held.get());
            seen.push_back(sine->ReadRaw(start.get(), end.get(), 0, 0, held.put()));
            holds(*held.get());
            seen.push_back(ramp_->ReadAtTime(2, &t, held.put()));
            holds(*held.get());
            seen.push_back(ramp_->ReadRaw(none.get(), end.get(), 0, 0, held.put()));
            seen.push_back(items_->Item(kNoNumber, noItem.put()));
            // The runtime turns a text into the declared DATE in the caller's state too: 85 s.
            seen.push_back(
                InvokeByName(ramp_.get(), L"ReadProcessed", DISPATCH_METHOD,
                             {Ref(VT_VARIANT, start.get()), Ref(VT_VARIANT, end.get()), VarBstr(L"00:01:25"), VarI4(3)},
                             held.put()));
            holds(*held.get());
            return 0;
        });
        EXPECT_EQ(Recorded(L"IOPCHDA_SyncRead::ReadProcessed", L"resample"), 850'000'000) << state.name;
        expectAsFirst("the item shortcuts and IDispatch", state);
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

        // What the historian recorded of it, bit for bit (elements 1 and 2 of
        // each array): aggregate k goes with handle k.
        DATE second = 0;
        LONG index = 2;
        FILETIME utc{};
        SafeArrayGetElement(r_->arrays[kTimeStamps].get(), &index, &second);
        ASSERT_TRUE(LocalDateToFileTime(second, &utc));
        // clang-format off
        const std::pair<const wchar_t*, LONGLONG> kSent[] = {
            {L"tid", r_->tid}, {L"numItems", Expected(m)}, {L"numTimeStamps", 2}, {L"handle0", rampHandle_}, {L"handle1", kUnknownHandle},
            {L"aggregate1", 3}, {L"quality0", 0xC0}, {L"attribute1", 2}, {L"hServer", rampHandle_}, {L"numValues", 7}, {L"bounds", -1},
            {L"numIntervals", 3}, {L"stamp1", comtest::Units(utc)}};
        // clang-format on
        int recorded = 0;
        for (auto [name, value] : kSent) {
            LONGLONG got = 0;
            if (control_->RecordedArgument(m.historian, name, &got) != S_OK) continue;
            ++recorded;
            EXPECT_EQ(got, value) << name;
        }
        EXPECT_GE(recorded, m.Async() ? 3 : 0);
        if (!m.Async()) continue;

        // The identifier goes back unchanged through the member's own interface;
        // once cancelled, the historian's own answer comes back unchanged.
        EXPECT_EQ(Cancel(m, r_->cancel), S_OK);
        EXPECT_EQ(Recorded(m.cancelMethod, L"cancelID"), r_->cancel);
        EXPECT_EQ(Cancel(m, r_->cancel), E_FAIL);
    }
}

INSTANTIATE_TEST_SUITE_P(Sim, RequestChecks, ::testing::Values(Where::InProcess), NameOf);
INSTANTIATE_TEST_SUITE_P(Sim, RequestsAt, ::testing::ValuesIn(kBothSides), NameOf);

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
    static LONG CountIn(const UniqueVariant& v) {
        const auto read = Readings(*v.get());
        return read.empty() ? -1 : static_cast<LONG>(read.size() / 3);
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
    auto* const untouched = reinterpret_cast<OPCHDAItem*>(static_cast<uintptr_t>(0x5678));
    for (VARIANT spec : {VarI4(0), VarI4(-1), VarI4(5), VarEmpty(), VarDate(45000.0)}) {
        OPCHDAItem* out = untouched;
        EXPECT_TRUE(items_->Item(spec, &out) == E_INVALIDARG && out == untouched) << spec.vt;
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

// Remove passes every handle on; Connect again and Disconnect empty the table; an enumerator lists a snapshot.
// (The simulator counts the handles of the historians it serves: released ones count none.)
TEST_P(Items, RemoveConnectAndDisconnectReleaseTheHandlesAndNewEnumIsASnapshot) {
    auto walk = [this] {
        ComPtr<IUnknown> unknown;
        ComPtr<IEnumVARIANT> walk;
        EXPECT_EQ(items_->get__NewEnum(unknown.put()), S_OK);
        EXPECT_EQ(unknown.query(IID_IEnumVARIANT, walk), S_OK);
        return walk;
    };
    ComPtr<IEnumVARIANT> snapshot = walk();
    UniqueSafeArray handles(MakeLongArray({rampHandle_, rampHandle_, 0x7FFF0000}));  // 0x7FFF0000: never held
    SAFEARRAY* raw = handles.get();
    UniqueSafeArray errors;
    EXPECT_EQ(items_->Remove(3, &raw, errors.put()), S_FALSE);
    EXPECT_EQ(std::tuple(LongAt(errors.get(), 1), LongAt(errors.get(), 2), LongAt(errors.get(), 3)),
              std::tuple(S_OK, kInvalidHandle, kInvalidHandle));  // the second already released by the first
    EXPECT_EQ(std::pair(Count(), OutstandingHandles()), std::pair(2L, 2L));
    EXPECT_EQ(ClientOf(ramp_.get()), 1);  // still an object, no longer found
    ItemAt(VarBstr(kRamp), E_FAIL);
    EXPECT_EQ(items_->RemoveAll(), S_OK);
    EXPECT_EQ(OutstandingHandles(), 0);
    ExpectEnumeratorConforms<IEnumVARIANT, VARIANT>(snapshot.get(), 3);
    snapshot->Reset();
    for (LONG i = 1; i <= 3; ++i) {
        UniqueVariant got;
        ComPtr<OPCHDAItem> item;
        ASSERT_EQ(snapshot->Next(1, got.get(), nullptr), S_OK);
        ASSERT_EQ(got->pdispVal->QueryInterface(IID_OPCHDAItem, item.put_void()), S_OK);
        EXPECT_EQ(ClientOf(item.get()), i);
    }
    ExpectEnumeratorConforms<IEnumVARIANT, VARIANT>(walk().get(), 0);

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

TEST_P(Items, ItemShortcutsPassTheirArgumentsAndGiveTheItemsCode) {
    TimeRange times(L"NOW-10M", L"NOW"), later(L"NOW+1D", L"NOW+2D");
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
    UniqueSafeArray stamps(MakeDateArray({LocalNow() - kHour, LocalNow() - 0.5 * kHour}));
    SAFEARRAY* t = stamps.get();
    ASSERT_EQ(step_->ReadAtTime(2, &t, values.put()), S_OK);
    EXPECT_EQ(CountIn(values), 2);
    const DATE stamp = FreeStamp(LocalNow() - kHour);  // Update dispatches on its edit type
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

// A read's history keeps the historian's answer: the task memory stays out while it lives (the simulator counts
// it in process), and it reads the same once the server object and its items are gone.
TEST_P(Items, HistoriesKeepTheAnswerAndOutliveTheServerObject) {
    TimeRange times;
    UniqueVariant values;
    ASSERT_EQ(ramp_->ReadRaw(times.start.get(), times.end.get(), 0, 0, values.put()), S_OK);
    const auto before = Readings(*values.get());
    ASSERT_GT(before.size(), 150u);
    EXPECT_EQ(before[4], VT_R8) << "no number read";
    EXPECT_TRUE(where_ != Where::InProcess || OutstandingTaskMemory() > 0) << "the answer was copied, not kept";
    ramp_ = step_ = text_ = nullptr;
    items_ = nullptr;
    server_ = nullptr;
    EXPECT_EQ(Readings(*values.get()), before);
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
