// The history collection, its enumerator and the value and entry objects,
// filled in this process from hand-built historian structures.
#include <algorithm>
#include <functional>
#include <string>

#include "history/COPCHDAHistory.h"
#include "opc/historian_answers.h"
#include "item_collection/request.h"
#include "com/module_count.h"
#include "support/com_test.h"
#include "support/enum_conformance.h"
#include "support/file_time.h"
#include "support/malloc_spy.h"
#include "time/time_conversion.h"

extern "C" void WINAPI SetOaNoCache();  // oleaut32: strings go back to the task allocator at once

using namespace comtest;
using testsupport::Ft;

namespace {

constexpr LONGLONG kTicks = 10'000'000;  // a second
// 2024-01-15 12:00:00 and 2024-07-15 12:00:00 UTC.
constexpr LONGLONG kWinter = 133498512000000000LL;
constexpr LONGLONG kSummer = 133655760000000000LL;

// The local date of UTC `t` in a zone `east` minutes east of UTC (the test's
// own zone, Europe/Berlin: 60 in winter, 120 in summer).
DATE LocalIn(LONG east, LONGLONG t) {
    SYSTEMTIME st;
    DATE d = 0;
    const FILETIME ft = Ft(t + east * 60 * kTicks);
    FileTimeToSystemTime(&ft, &st);
    SystemTimeToVariantTime(&st, &d);
    return d;
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

// As a historian answers: everything in task memory. Values 100, 101, ... ten seconds apart.
OPCHDA_ITEM* MakeItem(DWORD n) {
    auto* item =
        TaskCopy<OPCHDA_ITEM>({{1, 0, n, Stamps(n, kWinter, 10 * kTicks), TaskArray<DWORD>(n), TaskArray<VARIANT>(n)}});
    for (DWORD k = 0; k < n; ++k) {
        item->pdwQualities[k] = 0x00040000u | (0xC0 + k);  // raw flag above the OPC quality
        item->pvDataValues[k] = VarR8(100.0 + k);
    }
    return item;
}

// One edit of `user` at `stamp`, modified at that time.
OPCHDA_MODIFIEDITEM* MakeModified(LONGLONG stamp, const wchar_t* user) {
    return TaskCopy<OPCHDA_MODIFIEDITEM>(
        {{1, 1, TaskCopy({Ft(stamp)}), TaskCopy<DWORD>({0xC0}), TaskCopy({VarBstr(L"nine")}), TaskCopy({Ft(stamp)}),
          TaskCopy({static_cast<OPCHDA_EDITTYPE>(2)}), TaskCopy({TaskString(user)})}});
}

// A history filled from `answer`, freed with the product's own routine.
template <class Answer>
ComPtr<OPCHDAHistory> Fill(Answer* answer) {
    UniqueVariant v;
    EXPECT_EQ(MakeHistoryVariant(answer, v.get()), S_OK);
    FreeHistorianArray(answer, 1);
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
ComPtr<OPCHDAEntry> EntryAt(OPCHDAHistory* h, LONG k) {
    ComPtr<OPCHDAEntry> entry;
    EXPECT_EQ(At(h, VarI4(k)).query(IID_OPCHDAEntry, entry), S_OK);
    return entry;
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
    EXPECT_EQ(element.vt, VT_DISPATCH);
    if (element.vt == VT_DISPATCH) element.pdispVal->QueryInterface(IID_OPCHDAValue, value.put_void());
    return value;
}
double NumberOf(OPCHDAValue* value) {
    UniqueVariant v;
    EXPECT_EQ(value->get_DataValue(v.get()), S_OK);
    return v->vt == VT_R8 ? v->dblVal : -1.0;
}

// The component is linked in: its own count of live objects must fall back to 0.
class History : public ComTest {
protected:
    void TearDown() override {
        SetZoneSource(nullptr);
        EXPECT_EQ(ComModule::UseCount(), 0) << "an object is still alive";
        ComTest::TearDown();
    }
};

TEST_F(History, EnumeratorsConformAndTheirValuesAreCopiesInOrder) {
    for (DWORD n : {0u, 4u}) {
        OPCHDA_ITEM* item = MakeItem(n);
        if (n) item->pvDataValues[3].vt = 15;  // no such type: the fill cannot copy it
        ComPtr<OPCHDAHistory> h = Fill(item);
        if (!n) At(h.get(), VarDate(45000.5), E_FAIL);
        EXPECT_TRUE(h->get_Count(nullptr) == E_POINTER && h->get__NewEnum(nullptr) == E_POINTER &&
                    h->Item(VarI4(1), nullptr) == E_POINTER);
        ComPtr<IEnumVARIANT> walk = Walk(h.get());
        ExpectEnumeratorConforms<IEnumVARIANT, VARIANT>(walk.get(), n);
        std::vector<ComPtr<OPCHDAValue>> values;
        walk->Reset();
        for (UniqueVariant got; walk->Next(1, got.get(), nullptr) == S_OK; got.reset())
            values.push_back(ValueOf(*got.get()));
        walk = nullptr;
        h = nullptr;  // the values outlive their history
        ASSERT_EQ(values.size(), n);
        for (DWORD k = 0; k < n; ++k) {
            LONG quality = 0;
            DATE stamp = 0;
            UniqueVariant got(VarBstr(L"cleared by DataValue"));
            EXPECT_TRUE(values[k]->get_Quality(&quality) == S_OK && quality == LONG(0x000400C0 + k)) << "all 32 bits";
            EXPECT_TRUE(values[k]->get_TimeStamp(&stamp) == S_OK && stamp == LocalIn(60, kWinter + k * 10 * kTicks));
            ASSERT_EQ(values[k]->get_DataValue(got.get()), S_OK);
            if (k < 3)
                EXPECT_TRUE(got->vt == VT_R8 && got->dblVal == 100.0 + k) << k;
            else  // a value the fill cannot copy reaches the client as the copy's failure
                EXPECT_TRUE(got->vt == VT_ERROR && got->scode == DISP_E_BADVARTYPE);
            EXPECT_TRUE(values[k]->get_TimeStamp(nullptr) == E_POINTER &&
                        values[k]->get_Quality(nullptr) == E_POINTER && values[k]->get_DataValue(nullptr) == E_POINTER);
        }
    }
}

TEST_F(History, ItemByNumberAndByExactDate) {
    ComPtr<OPCHDAHistory> h = Fill(MakeItem(50));
    DATE day = 2.0, farDay = 45000.0;
    const struct {
        const char* what;
        VARIANT spec;
        double value;  // -1: E_INVALIDARG and the output untouched
    } rows[] = {{"first", VarI4(1), 100.0},
                {"last", VarI4(50), 149.0},
                {"text", VarBstr(L"2"), 101.0},
                {"rounded up", VarR8(2.7), 102.0},
                {"zero", VarI4(0), -1},
                {"negative", VarI4(-1), -1},
                {"past the end", VarI4(51), -1},
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
    for (LONG k : {1, 17, 50}) {  // by the exact time stamp only
        DATE stamp = LocalIn(60, kWinter + (k - 1) * 10 * kTicks);
        EXPECT_EQ(NumberOf(At(h.get(), VarDate(stamp)).get()), 99.0 + k);
        OPCHDAValue* out = untouched;
        EXPECT_EQ(h->Item(VarDate(stamp + kSecond / 2), &out), E_FAIL);  // half a step off
        EXPECT_EQ(out, nullptr);
    }
}

// An annotation's defaults; an entry's TimeStamp takes today's bias, its
// EntryTime its own season's; the user names a history keeps go with it (with
// the string cache off the platform takes them from the task allocator).
TEST_F(History, EntriesDefaultTheirQualityTakeTheirSeasonsAndFreeTheirUserNames) {
    SetOaNoCache();
    testsupport::MallocSpy spy;
    ASSERT_EQ(CoRegisterMallocSpy(&spy), S_OK);
    {
        // Two notes, the second without text and user; whole seconds and 456.789 ms.
        ComPtr<OPCHDAHistory> notes = Fill(TaskCopy<OPCHDA_ANNOTATION>(
            {{1, 2, Stamps(2, kWinter + 4'567'890, kTicks), TaskCopy<LPWSTR>({TaskString(L"calibrated"), nullptr}),
              Stamps(2, kSummer + 4'567'890, kTicks), TaskCopy<LPWSTR>({TaskString(L"operator"), nullptr})}}));
        ComPtr<OPCHDAEntry> note = EntryAt(notes.get(), 1), blank = EntryAt(notes.get(), 2);
        LONG quality = 0, type = 0;
        DATE stamp = 0, entryTime = 0;
        UniqueVariant text;
        UniqueBstr user;
        EXPECT_TRUE(note->get_EntryType(&type) == S_OK && type == 5);
        EXPECT_TRUE(note->get_Quality(&quality) == S_OK && quality == 192);
        EXPECT_TRUE(note->get_DataValue(text.get()) == S_OK && text->vt == VT_BSTR &&
                    !wcscmp(text->bstrVal, L"calibrated"));
        EXPECT_TRUE(note->get_EntryTime(&entryTime) == S_OK && entryTime == LocalIn(120, kSummer)) << "whole seconds";
        EXPECT_TRUE(note->get_User(user.put()) == S_OK && user && !wcscmp(user.get(), L"operator"));
        // No name and no text: empty strings, never null.
        EXPECT_TRUE(blank->get_User(user.put()) == S_OK && user && SysStringLen(user.get()) == 0);
        EXPECT_TRUE(blank->get_DataValue(text.get()) == S_OK && text->vt == VT_BSTR && !SysStringLen(text->bstrVal));
        EXPECT_EQ(blank->get_User(nullptr), E_POINTER);

        TIME_ZONE_INFORMATION zone;
        const bool summerNow = GetTimeZoneInformation(&zone) == TIME_ZONE_ID_DAYLIGHT;
        const LONGLONG otherSeason = summerNow ? kWinter : kSummer;
        ComPtr<OPCHDAEntry> edit = EntryAt(Fill(MakeModified(otherSeason, L"editor")).get(), 1);
        EXPECT_TRUE(edit->get_EntryType(&type) == S_OK && type == 2);
        EXPECT_TRUE(edit->get_User(user.put()) == S_OK && user && !wcscmp(user.get(), L"editor"));
        edit->get_TimeStamp(&stamp);
        edit->get_EntryTime(&entryTime);
        EXPECT_EQ(stamp, LocalIn(summerNow ? 120 : 60, otherSeason)) << "today's bias";
        EXPECT_EQ(entryTime, LocalIn(summerNow ? 60 : 120, otherSeason)) << "its own season's";
        EXPECT_GT(spy.LiveCount(), 0u);
    }
    EXPECT_EQ(spy.LiveCount(), 0u) << "a string of a history outlived it";
    EXPECT_EQ(spy.unknownFrees, 0);
    EXPECT_EQ(CoRevokeMallocSpy(), S_OK);
}

// ---- a read's answer kept, not copied ----

// What a client reads of element k: every property, as text, so that a kept
// history and a copied one can be compared whole.
std::wstring Reading(OPCHDAHistory* h, LONG k) {
    ComPtr<OPCHDAValue> value = At(h, VarI4(k));
    if (!value) return L"(none)";
    DATE stamp = 0;
    LONG quality = 0;
    UniqueVariant data;
    value->get_TimeStamp(&stamp);
    value->get_Quality(&quality);
    value->get_DataValue(data.get());
    std::wstring text = std::to_wstring(stamp) + L"|" + std::to_wstring(quality) + L"|" + std::to_wstring(data->vt);
    if (data->vt == VT_ERROR) text += L"|" + std::to_wstring(data->scode);
    else if (data->vt == VT_BSTR) text += L"|" + std::wstring(data->bstrVal ? data->bstrVal : L"");
    else if (data->vt != VT_EMPTY && SUCCEEDED(VariantChangeType(data.get(), data.get(), 0, VT_BSTR)))
        text += L"|" + std::wstring(data->bstrVal);
    ComPtr<OPCHDAEntry> entry;
    if (value.query(IID_OPCHDAEntry, entry) == S_OK) {
        DATE entryTime = 0;
        LONG type = 0;
        UniqueBstr user;
        entry->get_EntryTime(&entryTime);
        entry->get_EntryType(&type);
        entry->get_User(user.put());
        text += L"|" + std::to_wstring(entryTime) + L"|" + std::to_wstring(type) + L"|" + (user ? user.get() : L"?");
    }
    return text;
}

ComPtr<OPCHDAHistory> HistoryIn(SAFEARRAY* results) {
    UniqueVariant element;
    LONG index = 1;
    ComPtr<OPCHDAHistory> history;
    if (SUCCEEDED(SafeArrayGetElement(results, &index, element.get())) && element->vt == VT_DISPATCH)
        element->pdispVal->QueryInterface(IID_OPCHDAHistory, history.put_void());
    return history;
}

// One answer of each kind, built afresh for every use; `put` stores it in a
// results array kept or copied, then frees it as a read does.
struct KeptRow {
    const char* what;
    std::function<HRESULT(SAFEARRAY* results, bool keep)> put;
};

template <class Answer>
std::function<HRESULT(SAFEARRAY*, bool)> Putting(std::function<Answer*()> build) {
    return [build](SAFEARRAY* results, bool keep) {
        Answer* answer = build();
        SafeArrayData<VARIANT> element(results);
        HRESULT hr = keep ? MakeKeptHistoryVariant(*answer, &element[0]) : MakeHistoryVariant(answer, &element[0]);
        FreeHistorianArray(answer, 1);  // what the history did not keep
        return hr;
    };
}

const KeptRow kKeptRows[] = {
    {"raw values, one of a type nobody can copy",
     Putting<OPCHDA_ITEM>([] {
         OPCHDA_ITEM* item = MakeItem(4);
         item->pvDataValues[3].vt = 15;
         return item;
     })},
    {"a count with null arrays",
     Putting<OPCHDA_ITEM>([] { return TaskCopy<OPCHDA_ITEM>({{1, 0, 3, nullptr, nullptr, nullptr}}); })},
    {"no values (the arrays allocated nonetheless)",
     Putting<OPCHDA_ITEM>([] {
         return TaskCopy<OPCHDA_ITEM>({{1, 0, 0, TaskArray<FILETIME>(0), TaskArray<DWORD>(0), TaskArray<VARIANT>(0)}});
     })},
    {"modified values", Putting<OPCHDA_MODIFIEDITEM>([] { return MakeModified(kWinter, L"editor"); })},
    {"modified values with null arrays",
     Putting<OPCHDA_MODIFIEDITEM>(
         [] { return TaskCopy<OPCHDA_MODIFIEDITEM>({{1, 2, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr}}); })},
    {"attributes", Putting<OPCHDA_ATTRIBUTE>([] {
         return TaskCopy<OPCHDA_ATTRIBUTE>(
             {{1, 2, 7, Stamps(2, kSummer, kTicks), TaskCopy({VarBstr(L"kg"), VarR8(0.25)})}});
     })},
    {"annotations, one without text and user",
     Putting<OPCHDA_ANNOTATION>([] {
         return TaskCopy<OPCHDA_ANNOTATION>(
             {{1, 2, Stamps(2, kWinter, kTicks), TaskCopy<LPWSTR>({TaskString(L"calibrated"), nullptr}),
               Stamps(2, kSummer, kTicks), TaskCopy<LPWSTR>({nullptr, TaskString(L"operator")})}});
     })},
    {"annotations with null arrays",
     Putting<OPCHDA_ANNOTATION>([] { return TaskCopy<OPCHDA_ANNOTATION>({{1, 2, nullptr, nullptr, nullptr, nullptr}}); })},
};

// A history that keeps the historian's arrays reads exactly as one that copied
// them, outlives the answer, and frees every block once: the answer's holder
// frees only what was not kept.
TEST_F(History, KeptAnswersReadAsCopiesAndEveryBlockIsFreedOnce) {
    SetOaNoCache();
    testsupport::MallocSpy spy;
    ASSERT_EQ(CoRegisterMallocSpy(&spy), S_OK);
    for (const KeptRow& row : kKeptRows) {
        SCOPED_TRACE(row.what);
        UniqueSafeArray copied = UniqueSafeArray::vector(VT_VARIANT, 1), kept = UniqueSafeArray::vector(VT_VARIANT, 1);
        ASSERT_EQ(row.put(copied.get(), false), S_OK);
        ASSERT_EQ(row.put(kept.get(), true), S_OK);
        ComPtr<OPCHDAHistory> copy = HistoryIn(copied.get()), keep = HistoryIn(kept.get());
        ASSERT_TRUE(copy && keep);
        LONG n = -1, m = -2;
        copy->get_Count(&n);
        keep->get_Count(&m);
        EXPECT_EQ(m, n);
        for (LONG k = 1; k <= n; ++k) EXPECT_EQ(Reading(keep.get(), k), Reading(copy.get(), k)) << k;
        copy = keep = nullptr;
        copied.reset();
        kept.reset();
        EXPECT_EQ(spy.LiveCount(), 0u) << "a block outlived its history, or its answer";
    }
    EXPECT_EQ(spy.unknownFrees, 0) << "a block freed twice";
    EXPECT_EQ(CoRevokeMallocSpy(), S_OK);
}

// Out of memory for the zeros that stand in for a null array: nothing is
// taken, the answer stays whole for its holder, and nothing leaks.
TEST_F(History, KeepingThatRunsOutOfMemoryTakesNothing) {
    testsupport::MallocSpy spy;
    ASSERT_EQ(CoRegisterMallocSpy(&spy), S_OK);
    {
        OPCHDA_ITEM* item = MakeItem(3);
        FILETIME* const stamps = item->pftTimeStamps;
        CoTaskMemFree(std::exchange(item->pdwQualities, nullptr));
        UniqueSafeArray results = UniqueSafeArray::vector(VT_VARIANT, 1);
        spy.failNext = true;
        EXPECT_EQ(MakeKeptHistoryVariant(*item, &SafeArrayData<VARIANT>(results.get())[0]), E_OUTOFMEMORY);
        EXPECT_TRUE(item->dwCount == 3 && item->pftTimeStamps == stamps && item->pvDataValues) << "something taken";
        EXPECT_FALSE(HistoryIn(results.get()));
        FreeHistorianItems(item, 1);
    }
    EXPECT_EQ(spy.LiveCount(), 0u);
    EXPECT_EQ(spy.unknownFrees, 0);
    EXPECT_EQ(CoRevokeMallocSpy(), S_OK);
}

// The machine's zone is read once per client call and never kept across
// calls. Wine cannot change the zone inside a running process, so it comes
// from a source the test controls: zones without daylight time.
TIME_ZONE_INFORMATION g_zone;
LONG g_fetches = 0;
DWORD WINAPI TestZone(LPTIME_ZONE_INFORMATION out) {
    ++g_fetches;
    *out = g_zone;
    return TIME_ZONE_ID_UNKNOWN;
}

// Item by date probes many time stamps, Next converts one per element, an
// array of time stamps (at-time reads, updates) one per element.
TEST_F(History, EveryCallReadsTheZoneOnceAndKeepsItNoLonger) {
    SetZoneSource(TestZone);
    ComPtr<OPCHDAHistory> values = Fill(MakeItem(1000)), edits = Fill(MakeModified(kWinter, L"editor"));
    ComPtr<IEnumVARIANT> walk = Walk(values.get());
    for (LONG east : {60, -300, 570}) {
        SCOPED_TRACE(testing::Message() << "UTC+" << east << " min");
        g_zone.Bias = -east;
        g_fetches = 0;
        EXPECT_EQ(NumberOf(At(values.get(), VarDate(LocalIn(east, kWinter + 7770 * kTicks))).get()), 877.0);
        EXPECT_EQ(g_fetches, 1) << "Item by date";
        VARIANT batch[100];
        ULONG fetched = 0;
        walk->Reset();
        ASSERT_EQ(walk->Next(100, batch, &fetched), S_OK);
        DATE stamp = 0, entryTime = 0;
        ValueOf(batch[0])->get_TimeStamp(&stamp);
        for (VARIANT& v : batch) VariantClear(&v);
        EXPECT_EQ(g_fetches, 2) << "Next(100)";
        EXPECT_EQ(stamp, LocalIn(east, kWinter));
        ComPtr<OPCHDAEntry> edit = EntryAt(edits.get(), 1);
        edit->get_TimeStamp(&stamp);
        edit->get_EntryTime(&entryTime);
        EXPECT_EQ(stamp, LocalIn(east, kWinter));
        EXPECT_EQ(entryTime, LocalIn(east, kWinter));

        g_fetches = 0;
        UniqueSafeArray dates(MakeDateArray({LocalIn(east, kWinter), LocalIn(east, kWinter + 60 * kTicks)}));
        std::vector<FILETIME> stamps;
        ASSERT_EQ(request::ReadFileTimes(dates.get(), 2, stamps), S_OK);
        EXPECT_EQ(g_fetches, 1) << "time stamp array";
        ASSERT_EQ(stamps.size(), 2u);
        EXPECT_EQ(stamps[1].dwLowDateTime, static_cast<DWORD>(kWinter + 60 * kTicks));
    }
}

}  // namespace
