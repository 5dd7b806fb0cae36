// The history collection, its enumerator and the value and entry objects,
// filled in this process from hand-built historian structures.
#include <windows.h>
#include <oleauto.h>

#include <gtest/gtest.h>

#include "OPCHDAAuto.h"
#include "com_holders.h"
#include "history/COPCHDAHistory.h"
#include "history/historian_answers.h"
#include "module_state.h"
#include "support/com_test.h"
#include "support/enum_conformance.h"
#include "support/malloc_spy.h"
#include "time/time_conversion.h"

extern "C" void WINAPI SetOaNoCache();  // oleaut32: strings go back to the task allocator at once

using namespace comtest;

namespace {

constexpr LONGLONG kTicks = 10'000'000;  // a second
// 2024-01-15 12:00:00 and 2024-07-15 12:00:00 UTC.
constexpr LONGLONG kWinter = 133498512000000000LL;
constexpr LONGLONG kSummer = 133655760000000000LL;

FILETIME Ft(LONGLONG t) { return FILETIME{static_cast<DWORD>(t), static_cast<DWORD>(t >> 32)}; }

LPWSTR TaskString(const wchar_t* s) {
    if (!s) return nullptr;
    size_t bytes = (wcslen(s) + 1) * sizeof(wchar_t);
    auto* p = static_cast<LPWSTR>(CoTaskMemAlloc(bytes));
    memcpy(p, s, bytes);
    return p;
}

template <class T>
T* TaskArray(DWORD n) {
    return static_cast<T*>(CoTaskMemAlloc(n ? n * sizeof(T) : 1));
}

// As a historian answers: everything in task memory, freed with the routines under test.
OPCHDA_ITEM* MakeItem(DWORD n, LONGLONG start = kWinter) {
    auto* item = TaskArray<OPCHDA_ITEM>(1);
    *item = {1, 0, n, TaskArray<FILETIME>(n), TaskArray<DWORD>(n), TaskArray<VARIANT>(n)};
    for (DWORD k = 0; k < n; ++k) {
        item->pftTimeStamps[k] = Ft(start + k * 10 * kTicks);
        item->pdwQualities[k] = 0x00040000u | (0xC0 + k);  // raw flag above the OPC quality
        item->pvDataValues[k] = VarR8(100.0 + k);
    }
    return item;
}

OPCHDA_MODIFIEDITEM* MakeModified(LONGLONG stamp, const wchar_t* user) {
    auto* mod = TaskArray<OPCHDA_MODIFIEDITEM>(1);
    *mod = {1,
            1,
            TaskArray<FILETIME>(1),
            TaskArray<DWORD>(1),
            TaskArray<VARIANT>(1),
            TaskArray<FILETIME>(1),
            TaskArray<OPCHDA_EDITTYPE>(1),
            TaskArray<LPWSTR>(1)};
    mod->pftTimeStamps[0] = mod->pftModificationTime[0] = Ft(stamp);
    mod->pdwQualities[0] = 0xC0;
    mod->pvDataValues[0] = VarBstr(L"nine");
    mod->pEditType[0] = static_cast<OPCHDA_EDITTYPE>(2);
    mod->szUser[0] = TaskString(user);
    return mod;
}

OPCHDA_ANNOTATION* MakeAnnotations(std::initializer_list<std::pair<const wchar_t*, const wchar_t*>> notes) {
    const DWORD n = static_cast<DWORD>(notes.size());
    auto* ann = TaskArray<OPCHDA_ANNOTATION>(1);
    *ann = {1, n, TaskArray<FILETIME>(n), TaskArray<LPWSTR>(n), TaskArray<FILETIME>(n), TaskArray<LPWSTR>(n)};
    const LONGLONG fraction = 4'567'890;  // 456.789 ms: dates carry whole seconds
    DWORD k = 0;
    for (auto [text, user] : notes) {
        ann->ftTimeStamps[k] = Ft(kWinter + k * kTicks + fraction);
        ann->ftAnnotationTime[k] = Ft(kSummer + k * kTicks + fraction);
        ann->szAnnotation[k] = TaskString(text);
        ann->szUser[k++] = TaskString(user);
    }
    return ann;
}

// The library's own count of live objects must fall back to 0 after each test.
class History : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_HRESULT_SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)); }
    void TearDown() override {
        EXPECT_EQ(Module::LockCount(), 0) << "an object is still alive";
        CoUninitialize();
    }

    template <class Answer>
    static ComPtr<OPCHDAHistory> Fill(Answer* answer) {
        UniqueVariant v;
        EXPECT_EQ(MakeHistoryVariant(answer, v.get()), S_OK);
        FreeHistorianAnswers(answer, 1);
        ComPtr<OPCHDAHistory> history;
        EXPECT_EQ(v->vt, VT_DISPATCH);
        if (v->vt == VT_DISPATCH) {
            EXPECT_EQ(v->pdispVal->QueryInterface(IID_OPCHDAHistory, history.put_void()), S_OK);
        }
        return history;
    }
    static void FreeHistorianAnswers(OPCHDA_ITEM* a, DWORD n) { FreeHistorianItems(a, n); }
    static void FreeHistorianAnswers(OPCHDA_MODIFIEDITEM* a, DWORD n) { FreeHistorianModifiedItems(a, n); }
    static void FreeHistorianAnswers(OPCHDA_ANNOTATION* a, DWORD n) { FreeHistorianAnnotations(a, n); }
    static void FreeHistorianAnswers(OPCHDA_ATTRIBUTE* a, DWORD n) { FreeHistorianAttributes(a, n); }

    static ComPtr<OPCHDAValue> At(OPCHDAHistory* h, VARIANT spec, HRESULT expected = S_OK) {
        ComPtr<OPCHDAValue> value;
        EXPECT_EQ(h->Item(spec, value.put()), expected);
        VariantClear(&spec);
        return value;
    }
    static ComPtr<OPCHDAEntry> EntryAt(OPCHDAHistory* h, LONG k) {
        ComPtr<OPCHDAEntry> entry;
        EXPECT_EQ(At(h, VarI4(k)).query(IID_OPCHDAEntry, entry), S_OK);
        return entry;
    }
    static double NumberOf(OPCHDAValue* value) {
        UniqueVariant v;
        EXPECT_EQ(value->get_DataValue(v.get()), S_OK);
        return v->vt == VT_R8 ? v->dblVal : -1.0;
    }
    static DATE LocalDateOf(LONGLONG t) {
        DATE date = 0;
        EXPECT_TRUE(FileTimeToLocalDate(Ft(t), &date));
        return date;
    }
};

TEST_F(History, EmptyCollectionAndItsEnumerator) {
    ComPtr<OPCHDAHistory> h = Fill(MakeItem(0));
    LONG count = -1;
    ASSERT_EQ(h->get_Count(&count), S_OK);
    EXPECT_EQ(count, 0);
    At(h.get(), VarI4(1), E_INVALIDARG);
    At(h.get(), VarDate(45000.5), E_FAIL);
    ComPtr<IUnknown> unknown;
    ASSERT_EQ(h->get__NewEnum(unknown.put()), S_OK);
    ComPtr<IEnumVARIANT> walk;
    ASSERT_EQ(unknown.query(IID_IEnumVARIANT, walk), S_OK);
    ExpectEnumeratorConforms<IEnumVARIANT, VARIANT>(walk.get(), 0);
    EXPECT_EQ(h->get_Count(nullptr), E_POINTER);
    EXPECT_EQ(h->get__NewEnum(nullptr), E_POINTER);
}

TEST_F(History, EnumeratorWalksTheValuesInOrderAndKeepsTheCollection) {
    ComPtr<OPCHDAHistory> h = Fill(MakeItem(3));
    ComPtr<IUnknown> unknown;
    ASSERT_EQ(h->get__NewEnum(unknown.put()), S_OK);
    ComPtr<IEnumVARIANT> walk;
    ASSERT_EQ(unknown.query(IID_IEnumVARIANT, walk), S_OK);
    ExpectEnumeratorConforms<IEnumVARIANT, VARIANT>(walk.get(), 3);
    h = nullptr;
    walk->Reset();
    VARIANT got[3];
    ULONG fetched = 0;
    ASSERT_EQ(walk->Next(3, got, &fetched), S_OK);
    for (LONG k = 0; k < 3; ++k) {
        ASSERT_EQ(got[k].vt, VT_DISPATCH);
        ComPtr<OPCHDAValue> value;
        got[k].pdispVal->QueryInterface(IID_OPCHDAValue, value.put_void());
        EXPECT_EQ(NumberOf(value.get()), 100.0 + k);
        VariantClear(&got[k]);
    }
}

TEST_F(History, ItemByNumber) {
    ComPtr<OPCHDAHistory> h = Fill(MakeItem(3));
    EXPECT_EQ(NumberOf(At(h.get(), VarI4(1)).get()), 100.0);
    EXPECT_EQ(NumberOf(At(h.get(), VarI4(3)).get()), 102.0);
    EXPECT_EQ(NumberOf(At(h.get(), VarBstr(L"2")).get()), 101.0);
    EXPECT_EQ(NumberOf(At(h.get(), VarR8(2.7)).get()), 102.0);
    EXPECT_EQ(NumberOf(At(h.get(), VarR8(1.5)).get()), 101.0);  // to even, as the platform rounds

    for (VARIANT spec : {VarI4(0), VarI4(-1), VarI4(4), VarBstr(L"x")}) {
        OPCHDAValue* untouched = reinterpret_cast<OPCHDAValue*>(static_cast<uintptr_t>(0x4321));
        EXPECT_EQ(h->Item(spec, &untouched), E_INVALIDARG);
        EXPECT_EQ(untouched, reinterpret_cast<OPCHDAValue*>(static_cast<uintptr_t>(0x4321)));
        VariantClear(&spec);
    }
    // A date by reference is not a date: its day number is taken as a position.
    DATE day = 2.0;
    EXPECT_EQ(NumberOf(At(h.get(), Ref(VT_DATE, &day)).get()), 101.0);
    day = 45000.0;
    At(h.get(), Ref(VT_DATE, &day), E_INVALIDARG);
    EXPECT_EQ(h->Item(VarI4(1), nullptr), E_POINTER);
}

TEST_F(History, ItemByDateFindsTheExactTimeStamp) {
    ComPtr<OPCHDAHistory> h = Fill(MakeItem(50));
    for (LONG k : {1, 17, 50}) {
        ComPtr<OPCHDAValue> byNumber = At(h.get(), VarI4(k));
        DATE stamp = 0;
        ASSERT_EQ(byNumber->get_TimeStamp(&stamp), S_OK);
        ComPtr<OPCHDAValue> byDate = At(h.get(), VarDate(stamp));
        ASSERT_TRUE(byDate);
        EXPECT_EQ(NumberOf(byDate.get()), 99.0 + k);
        EXPECT_NE(byDate.get(), byNumber.get());  // a new object every time

        OPCHDAValue* out = reinterpret_cast<OPCHDAValue*>(static_cast<uintptr_t>(0x4321));
        EXPECT_EQ(h->Item(VarDate(stamp + kSecond / 2), &out), E_FAIL);  // half a step off
        EXPECT_EQ(out, nullptr);
    }
}

TEST_F(History, ValueObjectsHoldCopies) {
    ComPtr<OPCHDAHistory> h = Fill(MakeItem(2));
    ComPtr<OPCHDAValue> a = At(h.get(), VarI4(2));
    ComPtr<OPCHDAValue> b = At(h.get(), VarI4(2));
    LONG quality = 0;
    ASSERT_EQ(a->get_Quality(&quality), S_OK);
    EXPECT_EQ(quality, 0x000400C1);  // the 32 bits unchanged
    DATE stamp = 0;
    ASSERT_EQ(a->get_TimeStamp(&stamp), S_OK);
    EXPECT_EQ(stamp, LocalDateOf(kWinter + 10 * kTicks));

    // The caller's variant is cleared before the copy goes in.
    UniqueVariant v(VarBstr(L"released by DataValue"));
    ASSERT_EQ(a->get_DataValue(v.get()), S_OK);
    EXPECT_EQ(v->vt, VT_R8);
    EXPECT_EQ(NumberOf(b.get()), 101.0);

    // Values outlive the collection.
    h = nullptr;
    EXPECT_EQ(NumberOf(a.get()), 101.0);
    EXPECT_EQ(a->get_TimeStamp(nullptr), E_POINTER);
    EXPECT_EQ(a->get_DataValue(nullptr), E_POINTER);
    EXPECT_EQ(a->get_Quality(nullptr), E_POINTER);
}

// A value the fill cannot copy reaches the client as the copy's failure.
TEST_F(History, UncopyableValueBecomesAnError) {
    OPCHDA_ITEM* item = MakeItem(2);
    VARIANT bad = item->pvDataValues[1];
    bad.vt = 15;  // no such type
    VARIANT probe;
    VariantInit(&probe);
    const HRESULT copyFailure = VariantCopy(&probe, &bad);
    ASSERT_TRUE(FAILED(copyFailure));
    VARIANT values[2] = {item->pvDataValues[0], bad};
    OPCHDA_ITEM withBad = *item;
    withBad.pvDataValues = values;
    UniqueVariant v;
    ASSERT_EQ(MakeHistoryVariant(&withBad, v.get()), S_OK);
    FreeHistorianItems(item, 1);
    ComPtr<OPCHDAHistory> h;
    ASSERT_EQ(v->pdispVal->QueryInterface(IID_OPCHDAHistory, h.put_void()), S_OK);
    UniqueVariant got;
    ASSERT_EQ(At(h.get(), VarI4(2))->get_DataValue(got.get()), S_OK);
    EXPECT_EQ(got->vt, VT_ERROR);
    EXPECT_EQ(got->scode, copyFailure);
}

TEST_F(History, AttributesAndAnnotationsDefaultTheirQualityAndType) {
    auto* attr = TaskArray<OPCHDA_ATTRIBUTE>(1);
    *attr = {1, 1, 13, TaskArray<FILETIME>(1), TaskArray<VARIANT>(1)};
    attr->ftTimeStamps[0] = Ft(kWinter);
    attr->vAttributeValues[0] = VarBstr(L"Plant/Lab");
    LONG quality = 0;
    At(Fill(attr).get(), VarI4(1))->get_Quality(&quality);
    EXPECT_EQ(quality, 192);

    ComPtr<OPCHDAHistory> notes = Fill(MakeAnnotations({{L"calibrated", L"operator"}, {nullptr, nullptr}}));
    ComPtr<OPCHDAEntry> entry = EntryAt(notes.get(), 1);
    LONG type = 0;
    entry->get_EntryType(&type);
    EXPECT_EQ(type, 5);
    entry->get_Quality(&quality);
    EXPECT_EQ(quality, 192);
    UniqueVariant text;
    entry->get_DataValue(text.get());
    ASSERT_EQ(text->vt, VT_BSTR);
    EXPECT_STREQ(text->bstrVal, L"calibrated");
    DATE entryTime = 0;
    entry->get_EntryTime(&entryTime);
    EXPECT_EQ(entryTime, LocalDateOf(kSummer));
    // The entry's time stamp, under today's bias, also in whole seconds.
    DATE stamp = 0, wholeSecond = 0;
    entry->get_TimeStamp(&stamp);
    FILETIME local;
    SYSTEMTIME system;
    const FILETIME winter = Ft(kWinter);
    ASSERT_TRUE(FileTimeToLocalFileTime(&winter, &local) && FileTimeToSystemTime(&local, &system) &&
                SystemTimeToVariantTime(&system, &wholeSecond));
    EXPECT_EQ(stamp, wholeSecond);
    UniqueBstr user;
    entry->get_User(user.put());
    EXPECT_STREQ(user.get(), L"operator");

    // No name and no text: empty strings, never null.
    ComPtr<OPCHDAEntry> second = EntryAt(notes.get(), 2);
    ASSERT_EQ(second->get_User(user.put()), S_OK);
    ASSERT_NE(user.get(), nullptr);
    EXPECT_EQ(SysStringLen(user.get()), 0u);
    second->get_DataValue(text.get());
    EXPECT_EQ(text->vt, VT_BSTR);
    EXPECT_EQ(SysStringLen(text->bstrVal), 0u);
    EXPECT_EQ(second->get_User(nullptr), E_POINTER);
    EXPECT_EQ(second->get_EntryTime(nullptr), E_POINTER);
    EXPECT_EQ(second->get_EntryType(nullptr), E_POINTER);
}

// An entry's TimeStamp takes today's bias; a value's TimeStamp and an entry's
// EntryTime take the bias of their own season.
TEST_F(History, EntryTimeStampFollowsTodaysSeason) {
    TIME_ZONE_INFORMATION zone;
    const bool summerNow = GetTimeZoneInformation(&zone) == TIME_ZONE_ID_DAYLIGHT;
    if (zone.DaylightBias == 0 || zone.DaylightDate.wMonth == 0) GTEST_SKIP() << "zone without daylight saving";
    const LONGLONG otherSeason = summerNow ? kWinter : kSummer;
    ComPtr<OPCHDAEntry> entry = EntryAt(Fill(MakeModified(otherSeason, L"editor")).get(), 1);
    DATE stamp = 0, entryTime = 0, seasonal = LocalDateOf(otherSeason);
    entry->get_TimeStamp(&stamp);
    entry->get_EntryTime(&entryTime);
    EXPECT_EQ(entryTime, seasonal);
    const double biasDays = zone.DaylightBias / 1440.0;  // minutes, negative for summer time
    EXPECT_NEAR(stamp - seasonal, summerNow ? -biasDays : biasDays, 1e-6);
    LONG type = 0;
    entry->get_EntryType(&type);
    EXPECT_EQ(type, 2);
}

// The user names a history keeps are strings of its own, freed when it goes.
// With the string cache off the platform takes them from the task allocator,
// so the spy sees every one.
TEST_F(History, UserNamesGoWithTheirHistory) {
    SetOaNoCache();
    testsupport::MallocSpy spy;
    ASSERT_EQ(CoRegisterMallocSpy(&spy), S_OK);
    {
        ComPtr<OPCHDAHistory> edits = Fill(MakeModified(kWinter, L"editor"));
        ComPtr<OPCHDAHistory> notes = Fill(MakeAnnotations({{L"note", L"operator"}, {L"other", L"engineer"}}));
        UniqueBstr user;
        ASSERT_EQ(EntryAt(edits.get(), 1)->get_User(user.put()), S_OK);
        EXPECT_STREQ(user.get(), L"editor");
        EXPECT_GT(spy.LiveCount(), 0u);
    }
    EXPECT_EQ(spy.LiveCount(), 0u) << "a string of a history outlived it";
    EXPECT_EQ(spy.unknownFrees, 0);
    EXPECT_EQ(CoRevokeMallocSpy(), S_OK);
}

TEST_F(History, AnswerHoldersFreeEverything) {
    // A holder with nothing in it frees nothing; one with an answer frees it whole.
    HistorianAnswer<OPCHDA_ITEM> empty(3);
    EXPECT_FALSE(empty);
    HistorianAnswer<OPCHDA_ITEM> answer(1);
    *answer.put() = MakeItem(4);
    EXPECT_EQ(answer[0].dwCount, 4u);
    HistorianAnswer<OPCHDA_ITEM> moved(std::move(answer));
    EXPECT_FALSE(answer);
    EXPECT_TRUE(moved);
    OPCHDA_ITEM* item = MakeItem(2);
    ClearHistorianAnswer(*item);
    EXPECT_EQ(item->dwCount, 0u);
    EXPECT_EQ(item->pvDataValues, nullptr);
    FreeHistorianItems(item, 1);
    EXPECT_EQ(MakeHistoryVariant(static_cast<const OPCHDA_ITEM*>(nullptr), nullptr), E_POINTER);
}

}  // namespace
