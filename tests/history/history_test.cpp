// The history collection, its enumerator and the value and entry objects, filled in this process from
// hand-built historian answers, copied (as a callback's) and kept (as a synchronous read's).
#include <cmath>
#include <thread>

#include "history/COPCHDAHistory.h"
#include "opc/historian_answers.h"
#include "item_collection/request.h"
#include "com/floating_point_defaults.h"
#include "com/module_count.h"
#include "support/com_test.h"
#include "support/enum_conformance.h"
#include "support/event_sink.h"
#include "support/file_time.h"
#include "support/malloc_spy.h"
#include "time/time_conversion.h"

using namespace comtest;

namespace {

constexpr LONGLONG kTicks = 10'000'000;  // a second
// 2024-01-15 12:00:00 and 2024-07-15 12:00:00 UTC.
constexpr LONGLONG kWinter = 133498512000000000LL;
constexpr LONGLONG kSummer = 133655760000000000LL;

// The local date of UTC `t` in a zone `east` minutes east of UTC, as the library computes it (in the default
// floating-point state: this program runs the x87 at mingw's 64-bit precision).
DATE LocalIn(LONG east, LONGLONG t) {
    const FloatingPointDefaults floatingPoint;
    SYSTEMTIME st;
    DATE d = 0;
    const FILETIME ft = Ft(t + east * 60 * kTicks);
    FileTimeToSystemTime(&ft, &st);
    SystemTimeToVariantTime(&st, &d);
    return d;
}

// The machine's zone, from the test: Europe/Berlin's rules (the process's TZ) with today in winter, or one
// without daylight time; counted, since every call reads it once and keeps it no longer.
TIME_ZONE_INFORMATION g_zone;
LONG g_fetches = 0;
DWORD WINAPI TestZone(LPTIME_ZONE_INFORMATION out) {
    ++g_fetches;
    *out = g_zone;
    return g_zone.DaylightBias ? TIME_ZONE_ID_STANDARD : TIME_ZONE_ID_UNKNOWN;
}

LPWSTR TaskString(const wchar_t* s) {
    size_t bytes = (wcslen(s) + 1) * sizeof(wchar_t);
    return static_cast<LPWSTR>(memcpy(CoTaskMemAlloc(bytes), s, bytes));
}
template <class T>
T* TaskArray(DWORD n) {
    return static_cast<T*>(CoTaskMemAlloc(n ? n * sizeof(T) : 1));
}
// A task-memory copy of `values`, as a historian hands out its arrays.
template <class T>
T* TaskCopy(std::initializer_list<T> values) {
    return std::copy(values.begin(), values.end(), TaskArray<T>(static_cast<DWORD>(values.size()))) - values.size();
}
FILETIME* Stamps(DWORD n, LONGLONG start, LONGLONG step) {
    auto* t = TaskArray<FILETIME>(n);
    for (DWORD k = 0; k < n; ++k) t[k] = Ft(start + k * step);
    return t;
}

// Values 100, 101, ... ten seconds apart, the raw flag above each OPC quality.
OPCHDA_ITEM* MakeItem(DWORD n) {
    auto* item =
        TaskCopy<OPCHDA_ITEM>({{1, 0, n, Stamps(n, kWinter, 10 * kTicks), TaskArray<DWORD>(n), TaskArray<VARIANT>(n)}});
    for (DWORD k = 0; k < n; ++k) {
        item->pdwQualities[k] = 0x00040000u | (0xC0 + k);
        item->pvDataValues[k] = VarR8(100.0 + k);
    }
    return item;
}
// A value edited a minute after its time stamp.
constexpr LONGLONG kEdited = 60 * kTicks;
OPCHDA_MODIFIEDITEM* MakeModified(LONGLONG stamp, const wchar_t* user) {
    return TaskCopy<OPCHDA_MODIFIEDITEM>(
        {{1, 1, TaskCopy({Ft(stamp)}), TaskCopy<DWORD>({0xC0}), TaskCopy({VarBstr(L"nine")}),
          TaskCopy({Ft(stamp + kEdited)}), TaskCopy({static_cast<OPCHDA_EDITTYPE>(2)}), TaskCopy({TaskString(user)})}});
}

// The answer built afresh, made into a history copied (by a history alone in its block) or kept.
HRESULT Set(COPCHDAHistory& h, const OPCHDA_ITEM* a) { return h.SetItemValues(a); }
HRESULT Set(COPCHDAHistory& h, const OPCHDA_MODIFIEDITEM* a) { return h.SetModifiedValues(a); }
HRESULT Set(COPCHDAHistory& h, const OPCHDA_ATTRIBUTE* a) { return h.SetAttributeValues(a); }
HRESULT Set(COPCHDAHistory& h, const OPCHDA_ANNOTATION* a) { return h.SetAnnotations(a); }
const HRESULT kFound[] = {S_OK, E_FAIL, S_OK};
const OPCHDA_ITEM kNone{};
using Put = std::function<HRESULT(VARIANT* out, bool keep)>;
template <class Answer>
Put Putting(std::function<Answer*()> build) {
    return [build](VARIANT* out, bool keep) {
        auto answer = HistorianAnswer<Answer>::attach(build(), 1);
        if (keep) return PutHistories(answer, kFound, out);
        auto empty = HistorianAnswer<Answer>::zeroed(1);
        HRESULT hr = PutHistories(empty, kFound, out);
        auto* history = static_cast<COPCHDAHistory*>(static_cast<OPCHDAHistory*>(out->pdispVal));
        return FAILED(hr) ? hr : Set(*history, answer.get());
    };
}
ComPtr<OPCHDAHistory> Fill(const Put& put, bool keep = false) {
    UniqueVariant v;
    EXPECT_EQ(put(v.get(), keep), S_OK);
    ComPtr<OPCHDAHistory> history;
    if (v->vt == VT_DISPATCH) v->pdispVal->QueryInterface(IID_OPCHDAHistory, history.put_void());
    EXPECT_TRUE(history);
    return history;
}

ComPtr<OPCHDAValue> At(OPCHDAHistory* h, VARIANT spec, HRESULT expected = S_OK) {
    ComPtr<OPCHDAValue> value;
    EXPECT_EQ(h->Item(spec, value.put()), expected);
    VariantClear(&spec);
    return value;
}
LONG CountOf(OPCHDAHistory* h) {
    LONG n = -1;
    EXPECT_EQ(h->get_Count(&n), S_OK);
    return n;
}
ComPtr<IEnumVARIANT> Walk(OPCHDAHistory* h) {
    ComPtr<IUnknown> unknown;
    ComPtr<IEnumVARIANT> walk;
    EXPECT_EQ(h->get__NewEnum(unknown.put()), S_OK);
    EXPECT_EQ(unknown.query(IID_IEnumVARIANT, walk), S_OK);
    return walk;
}
ComPtr<OPCHDAValue> ValueOf(const VARIANT& element) {
    ComPtr<OPCHDAValue> value;
    if (element.vt == VT_DISPATCH) element.pdispVal->QueryInterface(IID_OPCHDAValue, value.put_void());
    return value;
}

double NumberOf(OPCHDAValue* value) {
    UniqueVariant v;
    EXPECT_EQ(value->get_DataValue(v.get()), S_OK);
    return v->vt == VT_R8 ? v->dblVal : -1.0;
}

// A local date as the instant it is nearest to (w: kWinter, s: kSummer) and the seconds from it.
std::wstring When(DATE d) {
    const double w = (d - LocalIn(0, kWinter)) * 86400, s = (d - LocalIn(0, kSummer)) * 86400;
    wchar_t text[40];
    swprintf(text, 40, std::fabs(w) < std::fabs(s) ? L"w%+.3f" : L"s%+.3f", std::fabs(w) < std::fabs(s) ? w : s);
    return text;
}

// What a client reads of a value or entry, every property: "stamp quality data[ entryTime type user]".
std::wstring Reading(OPCHDAValue* value) {
    if (!value) return L"(none)";
    DATE stamp = 0;
    LONG quality = 0;
    UniqueVariant data;
    wchar_t q[16];
    value->get_TimeStamp(&stamp);
    value->get_Quality(&quality);
    value->get_DataValue(data.get());
    swprintf(q, 16, L"%lX", quality);
    std::wstring text = When(stamp) + L" " + q + L" " +
                        (data->vt == VT_ERROR ? L"!" + std::to_wstring(data->scode) : Show(*data.get()));
    ComPtr<OPCHDAEntry> entry;
    if (SUCCEEDED(value->QueryInterface(IID_OPCHDAEntry, entry.put_void()))) {
        DATE entryTime = 0;
        LONG type = 0;
        UniqueBstr user;
        entry->get_EntryTime(&entryTime);
        entry->get_EntryType(&type);
        entry->get_User(user.put());
        text += L" " + When(entryTime) + L" " + std::to_wstring(type) + L" " + (user ? user.get() : L"(null)");
    }
    return text;
}

// The component is linked in: its own count of live objects must fall back to 0; every task-memory block
// (strings too: no string cache) comes back once.
class History : public ComTest {
protected:
    void SetUp() override {
        ComTest::SetUp();
        SetOaNoCache();
        ASSERT_EQ(CoRegisterMallocSpy(&spy_), S_OK);
        GetTimeZoneInformation(&g_zone);
        ASSERT_NE(g_zone.DaylightBias, 0) << "Europe/Berlin";
        SetZoneSource(TestZone);
    }
    void TearDown() override {
        SetZoneSource(nullptr);
        EXPECT_EQ(ComModule::UseCount(), 0) << "an object is still alive";
        EXPECT_EQ(spy_.LiveCount(), 0u) << "a block outlived its history, or its answer";
        EXPECT_EQ(spy_.unknownFrees, 0) << "a block freed twice";
        EXPECT_EQ(CoRevokeMallocSpy(), S_OK);
        ComTest::TearDown();
    }
    comtest::MallocSpy spy_;
};

struct AnswerRow {
    const char* what;
    Put put;
    const wchar_t* reads;  // element by element, as Reading shows them
};
// Times are whole seconds in each instant's own season; an entry's TimeStamp takes today's (winter) bias.
const AnswerRow kAnswers[] = {
    {"raw values, the last of a type nobody can copy (its copy's failure reaches the client)", Putting<OPCHDA_ITEM>([] {
         OPCHDA_ITEM* item = MakeItem(4);
         item->pvDataValues[3].vt = 15;
         return item;
     }),
     L"w+3600.000 400C0 100|w+3610.000 400C1 101|w+3620.000 400C2 102|w+3630.000 400C3 !-2147352568"},
    {"no values", Putting<OPCHDA_ITEM>([] { return MakeItem(0); }), L""},
    {"a count with null arrays", Putting<OPCHDA_ITEM>([] {
         return TaskCopy<OPCHDA_ITEM>({{1, 0, 2, nullptr, nullptr, nullptr}});
     }),
     L"w-13349854800.000 0 _|w-13349854800.000 0 _"},
    {"modified values in summer", Putting<OPCHDA_MODIFIEDITEM>([] { return MakeModified(kSummer, L"editor"); }),
     L"s+3600.000 C0 'nine' s+7260.000 2 editor"},
    {"modified values with null arrays", Putting<OPCHDA_MODIFIEDITEM>([] {
         return TaskCopy<OPCHDA_MODIFIEDITEM>({{1, 1, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr}});
     }),
     L"w-13349854800.000 0 _ w-13349854800.000 0 "},
    {"attributes", Putting<OPCHDA_ATTRIBUTE>([] {
         return TaskCopy<OPCHDA_ATTRIBUTE>(
             {{1, 2, 7, Stamps(2, kSummer, kTicks), TaskCopy({VarBstr(L"kg"), VarR8(0.25)})}});
     }),
     L"s+7200.000 C0 'kg'|s+7201.000 C0 0.25"},
    {"annotations, the second without text and user", Putting<OPCHDA_ANNOTATION>([] {
         return TaskCopy<OPCHDA_ANNOTATION>(
             {{1, 2, Stamps(2, kWinter + 4'567'890, kTicks), TaskCopy<LPWSTR>({TaskString(L"calibrated"), nullptr}),
               Stamps(2, kSummer + 4'567'890, kTicks), TaskCopy<LPWSTR>({TaskString(L"operator"), nullptr})}});
     }),
     L"w+3600.000 C0 'calibrated' s+7200.000 5 operator|w+3601.000 C0 '' s+7201.000 5 "},
    {"annotations with null arrays", Putting<OPCHDA_ANNOTATION>([] {
         return TaskCopy<OPCHDA_ANNOTATION>({{1, 1, nullptr, nullptr, nullptr, nullptr}});
     }),
     L"w-13349854800.000 C0 '' w-13349854800.000 5 "},
};

// A kept history reads as a copied one, through Item and through its enumerator (whose values outlive
// it), and gives back every block once: the answer's holder frees only what was not kept.
TEST_F(History, EveryAnswerReadsTheSameKeptOrCopiedAndIsFreedOnce) {
    for (const AnswerRow& row : kAnswers)
        for (bool keep : {false, true}) {
            SCOPED_TRACE(testing::Message() << row.what << (keep ? ", kept" : ", copied"));
            ComPtr<OPCHDAHistory> h = Fill(row.put, keep);
            ASSERT_TRUE(h);
            const LONG n = CountOf(h.get());
            std::wstring byItem, byWalk;
            for (LONG k = 1; k <= n; ++k) byItem += (k > 1 ? L"|" : L"") + Reading(At(h.get(), VarI4(k)).get());
            EXPECT_EQ(byItem, row.reads);
            ComPtr<IEnumVARIANT> walk = Walk(h.get());
            ExpectEnumeratorConforms<IEnumVARIANT, VARIANT>(walk.get(), n);
            std::vector<ComPtr<OPCHDAValue>> values;
            walk->Reset();
            for (UniqueVariant got; walk->Next(1, got.get(), nullptr) == S_OK; got.reset())
                values.push_back(ValueOf(*got.get()));
            walk = nullptr;
            h = nullptr;
            for (const auto& value : values) byWalk += (byWalk.empty() ? L"" : L"|") + Reading(value.get());
            EXPECT_EQ(byWalk, row.reads);
            values.clear();
            EXPECT_EQ(spy_.LiveCount(), 0u);
        }
}

// By position (a number, a text, a date by reference) or by the exact time stamp. The machine's zone is read
// once per call and kept no longer: Item by date probes many time stamps, Next converts one per element, an
// array of time stamps (at-time reads, updates) one per element.
TEST_F(History, ItemByPositionOrExactDateInAnyZone) {
    ComPtr<OPCHDAHistory> h = Fill(Putting<OPCHDA_ITEM>([] { return MakeItem(1000); }));
    DATE day = 2.0, farDay = 45000.0;
    const struct {
        const char* what;
        VARIANT spec;
        double value;  // -1: E_INVALIDARG and the output untouched
    } rows[] = {{"first", VarI4(1), 100.0},
                {"last", VarI4(1000), 1099.0},
                {"text", VarBstr(L"2"), 101.0},
                {"rounded up", VarR8(2.7), 102.0},
                {"zero", VarI4(0), -1},
                {"negative", VarI4(-1), -1},
                {"past the end", VarI4(1001), -1},
                {"not a number", VarBstr(L"x"), -1},
                {"date by reference: a position", Ref(VT_DATE, &day), 101.0},
                {"far position", Ref(VT_DATE, &farDay), -1}};
    auto* const untouched = reinterpret_cast<OPCHDAValue*>(static_cast<uintptr_t>(0x4321));
    for (auto row : rows) {
        SCOPED_TRACE(row.what);
        OPCHDAValue* out = untouched;
        EXPECT_EQ(h->Item(row.spec, &out), row.value < 0 ? E_INVALIDARG : S_OK);
        EXPECT_EQ(row.value < 0 ? out == untouched : NumberOf(ComPtr<OPCHDAValue>::attach(out).get()) == row.value,
                  true);
        VariantClear(&row.spec);
    }
    ComPtr<OPCHDAHistory> edits = Fill(Putting<OPCHDA_MODIFIEDITEM>([] { return MakeModified(kWinter, L"e"); }));
    ComPtr<IEnumVARIANT> walk = Walk(h.get());
    for (LONG east : {60, -300, 570}) {
        SCOPED_TRACE(testing::Message() << "UTC+" << east << " min");
        g_zone = {};
        g_zone.Bias = -east;
        for (LONG k : {1, 17, 778}) {
            const DATE stamp = LocalIn(east, kWinter + (k - 1) * 10 * kTicks);
            g_fetches = 0;
            EXPECT_EQ(NumberOf(At(h.get(), VarDate(stamp)).get()), 99.0 + k);
            EXPECT_EQ(g_fetches, 1) << "Item by date";
            OPCHDAValue* out = untouched;
            EXPECT_EQ(h->Item(VarDate(stamp + kSecond / 2), &out), E_FAIL);  // half a step off
            EXPECT_EQ(out, nullptr);
        }
        VARIANT batch[100];
        ULONG fetched = 0;
        walk->Reset();
        g_fetches = 0;
        ASSERT_EQ(walk->Next(100, batch, &fetched), S_OK);
        EXPECT_EQ(g_fetches, 1) << "Next(100)";
        DATE stamp = 0, entryTime = 0;
        ValueOf(batch[0])->get_TimeStamp(&stamp);
        for (VARIANT& v : batch) VariantClear(&v);
        EXPECT_EQ(stamp, LocalIn(east, kWinter));
        ComPtr<OPCHDAEntry> edit;
        ASSERT_EQ(At(edits.get(), VarI4(1)).query(IID_OPCHDAEntry, edit), S_OK);
        edit->get_TimeStamp(&stamp);
        edit->get_EntryTime(&entryTime);
        EXPECT_EQ(std::pair(stamp, entryTime), std::pair(LocalIn(east, kWinter), LocalIn(east, kWinter + kEdited)));
        g_fetches = 0;
        UniqueSafeArray dates(MakeDateArray({LocalIn(east, kWinter), LocalIn(east, kWinter + 60 * kTicks)}));
        std::vector<FILETIME> stamps;
        ASSERT_EQ(request::ReadFileTimes(dates.get(), 2, stamps), S_OK);
        EXPECT_EQ(g_fetches, 1) << "time stamp array";
        ASSERT_EQ(stamps.size(), 2u);
        EXPECT_EQ(stamps[1].dwLowDateTime, static_cast<DWORD>(kWinter + 60 * kTicks));
    }
    At(Fill(Putting<OPCHDA_ITEM>([] { return MakeItem(0); })).get(), VarDate(45000.5), E_FAIL);
    ComPtr<OPCHDAValue> value = At(h.get(), VarI4(1));
    ComPtr<OPCHDAEntry> entry;
    ASSERT_EQ(At(edits.get(), VarI4(1)).query(IID_OPCHDAEntry, entry), S_OK);
    for (HRESULT hr : {h->get_Count(nullptr), h->get__NewEnum(nullptr), h->Item(VarI4(1), nullptr),
                       value->get_TimeStamp(nullptr), value->get_Quality(nullptr), value->get_DataValue(nullptr),
                       entry->get_User(nullptr), entry->get_EntryTime(nullptr), entry->get_EntryType(nullptr)})
        EXPECT_EQ(hr, E_POINTER);
}

// No count the historian claims makes a history or the answer's holder walk past the blocks it sent: a
// count beyond the blocks (or beyond any history) is cut to what they hold.
TEST_F(History, AnAnswerIsNeverWalkedPastItsBlocks) {
    for (DWORD claimed : {1000u, 0x80000001u}) {
        SCOPED_TRACE(claimed);
        OPCHDA_ITEM* item = MakeItem(3);
        for (DWORD k = 0; k < 3; ++k) item->pvDataValues[k] = VarBstr(L"text");  // each walked past shows
        item->dwCount = claimed;
        ComPtr<OPCHDAHistory> h = Fill(Putting<OPCHDA_ITEM>([item] { return item; }), true);
        EXPECT_EQ(CountOf(h.get()), 3);
        EXPECT_EQ(Reading(At(h.get(), VarI4(3)).get()), L"w+3620.000 400C2 'text'");
    }
    // Texts of annotations too: a count of 1000 with two of each.
    const Put notes = Putting<OPCHDA_ANNOTATION>([] {
        return TaskCopy<OPCHDA_ANNOTATION>(
            {{1, 1000, Stamps(2, kWinter, kTicks), TaskCopy<LPWSTR>({TaskString(L"a"), TaskString(L"b")}),
              Stamps(2, kWinter, kTicks), TaskCopy<LPWSTR>({TaskString(L"u"), TaskString(L"v")})}});
    });
    EXPECT_EQ(CountOf(Fill(notes, true).get()), 2);
}

// The histories of one read share its answer: released in any order, one read through its enumerator after the
// others are gone, the last reference dropped on another thread; the answer goes with the last of them.
TEST_F(History, TheHistoriesOfOneAnswerOutliveEachOther) {
    auto answer = HistorianAnswer<OPCHDA_ITEM>::zeroed(3);
    for (size_t k : {0u, 2u}) {
        OPCHDA_ITEM* item = MakeItem(2 + k);
        answer[k] = std::exchange(*item, {});
        FreeHistorianAnswer(item, 1);
    }
    VARIANT v[3] = {};
    ASSERT_EQ(PutHistories(answer, kFound, v), S_OK);
    EXPECT_EQ(std::tuple(v[0].vt, v[1].vt, v[2].vt, answer.get()),
              std::tuple(VT_DISPATCH, VT_EMPTY, VT_DISPATCH, nullptr));
    ComPtr<OPCHDAHistory> first, last;
    v[0].pdispVal->QueryInterface(IID_OPCHDAHistory, first.put_void());
    v[2].pdispVal->QueryInterface(IID_OPCHDAHistory, last.put_void());
    for (VARIANT& element : v) VariantClear(&element);
    EXPECT_EQ(static_cast<COPCHDAHistory*>(last.get())->SetItemValues(&kNone), E_UNEXPECTED);
    ComPtr<IEnumVARIANT> walk = Walk(first.get());
    first = nullptr;
    EXPECT_EQ(CountOf(last.get()), 4);
    last = nullptr;
    UniqueVariant got;
    ASSERT_EQ(walk->Next(1, got.get(), nullptr), S_OK);
    EXPECT_EQ(NumberOf(ValueOf(*got.get()).get()), 100.0);
    got.reset();
    std::thread([&walk] { walk = nullptr; }).join();
}

}  // namespace
