// The history collection, its enumerator and the value and entry objects,
// filled in this process from hand-built historian structures.
#include <windows.h>
#include <oleauto.h>

#include <gtest/gtest.h>

#include <vector>

#include "OPCHDAAuto.h"
#include "com_holders.h"
#include "history/COPCHDAHistory.h"
#include "history/historian_answers.h"
#include "module_state.h"
#include "time/time_conversion.h"

namespace {

constexpr LONGLONG kSecond = 10'000'000;
// 2024-01-15 12:00:00 and 2024-07-15 12:00:00 UTC.
constexpr LONGLONG kWinter = 133498512000000000LL;
constexpr LONGLONG kSummer = 133655760000000000LL;

FILETIME Ft(LONGLONG t) { return FILETIME{static_cast<DWORD>(t), static_cast<DWORD>(t >> 32)}; }

LPWSTR TaskString(const wchar_t* s) {
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
OPCHDA_ITEM* MakeItem(DWORD n, LONGLONG start = kWinter, LONGLONG step = 10 * kSecond) {
    auto* item = TaskArray<OPCHDA_ITEM>(1);
    item->hClient = 1;
    item->haAggregate = 0;
    item->dwCount = n;
    item->pftTimeStamps = TaskArray<FILETIME>(n);
    item->pdwQualities = TaskArray<DWORD>(n);
    item->pvDataValues = TaskArray<VARIANT>(n);
    for (DWORD k = 0; k < n; ++k) {
        item->pftTimeStamps[k] = Ft(start + static_cast<LONGLONG>(k) * step);
        item->pdwQualities[k] = 0x00040000u | (0xC0 + k);  // raw flag above the OPC quality
        VariantInit(&item->pvDataValues[k]);
        item->pvDataValues[k].vt = VT_R8;
        item->pvDataValues[k].dblVal = 100.0 + k;
    }
    return item;
}

// The library's own count of live objects must fall back to 0 after each test.
class History : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_HRESULT_SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)); }
    void TearDown() override {
        EXPECT_EQ(Module::LockCount(), 0) << "an object is still alive";
        CoUninitialize();
    }

    static ComPtr<OPCHDAHistory> Fill(OPCHDA_ITEM* item) {
        UniqueVariant v;
        EXPECT_EQ(MakeHistoryVariant(item, v.get()), S_OK);
        FreeHistorianItems(item, 1);
        return Unwrap(v);
    }
    static ComPtr<OPCHDAHistory> Unwrap(UniqueVariant& v) {
        EXPECT_EQ(v->vt, VT_DISPATCH);
        ComPtr<OPCHDAHistory> history;
        if (v->vt == VT_DISPATCH) {
            EXPECT_EQ(v->pdispVal->QueryInterface(IID_OPCHDAHistory, history.put_void()), S_OK);
        }
        return history;
    }
    static ComPtr<OPCHDAValue> At(OPCHDAHistory* h, VARIANT spec, HRESULT expected = S_OK) {
        ComPtr<OPCHDAValue> value;
        EXPECT_EQ(h->Item(spec, value.put()), expected);
        VariantClear(&spec);
        return value;
    }
    static double NumberOf(OPCHDAValue* value) {
        UniqueVariant v;
        EXPECT_EQ(value->get_DataValue(v.get()), S_OK);
        return v->vt == VT_R8 ? v->dblVal : -1.0;
    }
    static VARIANT I4(LONG v) {
        VARIANT r;
        VariantInit(&r);
        r.vt = VT_I4;
        r.lVal = v;
        return r;
    }
    static VARIANT R8(double v) {
        VARIANT r;
        VariantInit(&r);
        r.vt = VT_R8;
        r.dblVal = v;
        return r;
    }
    static VARIANT Date(DATE v) {
        VARIANT r;
        VariantInit(&r);
        r.vt = VT_DATE;
        r.date = v;
        return r;
    }
    static VARIANT Text(const wchar_t* s) {
        VARIANT r;
        VariantInit(&r);
        r.vt = VT_BSTR;
        r.bstrVal = SysAllocString(s);
        return r;
    }
};

TEST_F(History, EmptyCollection) {
    ComPtr<OPCHDAHistory> h = Fill(MakeItem(0));
    LONG count = -1;
    ASSERT_EQ(h->get_Count(&count), S_OK);
    EXPECT_EQ(count, 0);
    At(h.get(), I4(1), E_INVALIDARG);
    At(h.get(), Date(45000.5), E_FAIL);
    ComPtr<IUnknown> unknown;
    ASSERT_EQ(h->get__NewEnum(unknown.put()), S_OK);
    ComPtr<IEnumVARIANT> walk;
    ASSERT_EQ(unknown.query(IID_IEnumVARIANT, walk), S_OK);
    VARIANT got;
    ULONG fetched = 7;
    EXPECT_EQ(walk->Next(1, &got, &fetched), S_FALSE);
    EXPECT_EQ(fetched, 0u);
    EXPECT_EQ(walk->Next(0, &got, &fetched), S_OK);
    EXPECT_EQ(h->get_Count(nullptr), E_POINTER);
    EXPECT_EQ(h->get__NewEnum(nullptr), E_POINTER);
}

TEST_F(History, ItemByNumber) {
    ComPtr<OPCHDAHistory> h = Fill(MakeItem(3));
    EXPECT_EQ(NumberOf(At(h.get(), I4(1)).get()), 100.0);
    EXPECT_EQ(NumberOf(At(h.get(), I4(3)).get()), 102.0);
    EXPECT_EQ(NumberOf(At(h.get(), Text(L"2")).get()), 101.0);
    EXPECT_EQ(NumberOf(At(h.get(), R8(2.7)).get()), 102.0);
    EXPECT_EQ(NumberOf(At(h.get(), R8(1.5)).get()), 101.0);  // to even, as the platform rounds

    for (VARIANT spec : {I4(0), I4(-1), I4(4), Text(L"x")}) {
        OPCHDAValue* untouched = reinterpret_cast<OPCHDAValue*>(static_cast<uintptr_t>(0x4321));
        EXPECT_EQ(h->Item(spec, &untouched), E_INVALIDARG);
        EXPECT_EQ(untouched, reinterpret_cast<OPCHDAValue*>(static_cast<uintptr_t>(0x4321)));
        VariantClear(&spec);
    }
    // A date by reference is not a date: its day number is taken as a position.
    DATE day = 2.0;
    VARIANT byRef;
    VariantInit(&byRef);
    byRef.vt = VT_DATE | VT_BYREF;
    byRef.pdate = &day;
    EXPECT_EQ(NumberOf(At(h.get(), byRef).get()), 101.0);
    day = 45000.0;
    At(h.get(), byRef, E_INVALIDARG);
    EXPECT_EQ(h->Item(I4(1), nullptr), E_POINTER);
}

TEST_F(History, ItemByDateFindsTheExactTimeStamp) {
    ComPtr<OPCHDAHistory> h = Fill(MakeItem(50));
    for (LONG k : {1, 17, 50}) {
        ComPtr<OPCHDAValue> byNumber = At(h.get(), I4(k));
        DATE stamp = 0;
        ASSERT_EQ(byNumber->get_TimeStamp(&stamp), S_OK);
        ComPtr<OPCHDAValue> byDate = At(h.get(), Date(stamp));
        ASSERT_TRUE(byDate);
        EXPECT_EQ(NumberOf(byDate.get()), 99.0 + k);
        EXPECT_NE(byDate.get(), byNumber.get());  // a new object every time

        OPCHDAValue* out = reinterpret_cast<OPCHDAValue*>(static_cast<uintptr_t>(0x4321));
        EXPECT_EQ(h->Item(Date(stamp + 1.0 / 86400.0 / 2), &out), E_FAIL);  // half a step off
        EXPECT_EQ(out, nullptr);
    }
    // Descending time stamps: numbers work, dates generally do not.
    ComPtr<OPCHDAHistory> down = Fill(MakeItem(5, kWinter + 100 * kSecond, -10 * kSecond));
    DATE first = 0;
    At(down.get(), I4(1))->get_TimeStamp(&first);
    ComPtr<OPCHDAValue> last = At(down.get(), I4(5));
    EXPECT_EQ(NumberOf(last.get()), 104.0);
}

TEST_F(History, ValueObjectsHoldCopies) {
    ComPtr<OPCHDAHistory> h = Fill(MakeItem(2));
    ComPtr<OPCHDAValue> a = At(h.get(), I4(2));
    ComPtr<OPCHDAValue> b = At(h.get(), I4(2));
    LONG quality = 0;
    ASSERT_EQ(a->get_Quality(&quality), S_OK);
    EXPECT_EQ(quality, 0x000400C1);  // the 32 bits unchanged
    DATE stamp = 0, expected = 0;
    ASSERT_TRUE(FileTimeToLocalDate(Ft(kWinter + 10 * kSecond), &expected));
    ASSERT_EQ(a->get_TimeStamp(&stamp), S_OK);
    EXPECT_EQ(stamp, expected);

    // The caller's variant is cleared before the copy goes in.
    UniqueVariant v;
    v->vt = VT_BSTR;
    v->bstrVal = SysAllocString(L"released by DataValue");
    ASSERT_EQ(a->get_DataValue(v.get()), S_OK);
    EXPECT_EQ(v->vt, VT_R8);
    EXPECT_EQ(NumberOf(b.get()), 101.0);

    // Values outlive the collection.
    h = nullptr;
    EXPECT_EQ(NumberOf(a.get()), 101.0);
    EXPECT_EQ(a->get_TimeStamp(nullptr), E_POINTER);
    EXPECT_EQ(a->get_DataValue(nullptr), E_POINTER);
    EXPECT_EQ(a->get_Quality(nullptr), E_POINTER);

    ComPtr<IDispatch> dispatch;
    EXPECT_EQ(a->QueryInterface(IID_IDispatch, dispatch.put_void()), E_NOINTERFACE);
    ComPtr<OPCHDAEntry> entry;
    EXPECT_EQ(a->QueryInterface(IID_OPCHDAEntry, entry.put_void()), E_NOINTERFACE);
}

// A value the fill cannot copy reaches the client as the copy's failure.
TEST_F(History, UncopyableValueBecomesAnError) {
    OPCHDA_ITEM* item = MakeItem(2);
    item->pvDataValues[1].vt = 15;  // no such type
    VARIANT probe;
    VariantInit(&probe);
    const HRESULT copyFailure = VariantCopy(&probe, &item->pvDataValues[1]);
    ASSERT_TRUE(FAILED(copyFailure));
    item->pvDataValues[1].vt = VT_EMPTY;  // so that the free routine can clear it
    // Fill from a copy of the structure that still carries the bad value.
    OPCHDA_ITEM bad = *item;
    VARIANT values[2];
    values[0] = item->pvDataValues[0];
    VariantInit(&values[1]);
    values[1].vt = 15;
    bad.pvDataValues = values;
    UniqueVariant v;
    ASSERT_EQ(MakeHistoryVariant(&bad, v.get()), S_OK);
    FreeHistorianItems(item, 1);
    ComPtr<OPCHDAHistory> h = Unwrap(v);
    ComPtr<OPCHDAValue> value = At(h.get(), I4(2));
    UniqueVariant got;
    ASSERT_EQ(value->get_DataValue(got.get()), S_OK);
    EXPECT_EQ(got->vt, VT_ERROR);
    EXPECT_EQ(got->scode, copyFailure);
}

TEST_F(History, AttributesAndAnnotationsDefaultTheirQualityAndType) {
    auto* attr = TaskArray<OPCHDA_ATTRIBUTE>(1);
    attr->hClient = 1;
    attr->dwAttributeID = 13;
    attr->dwNumValues = 1;
    attr->ftTimeStamps = TaskArray<FILETIME>(1);
    attr->ftTimeStamps[0] = Ft(kWinter);
    attr->vAttributeValues = TaskArray<VARIANT>(1);
    VariantInit(&attr->vAttributeValues[0]);
    attr->vAttributeValues[0].vt = VT_BSTR;
    attr->vAttributeValues[0].bstrVal = SysAllocString(L"Plant/Lab");
    UniqueVariant v;
    ASSERT_EQ(MakeHistoryVariant(attr, v.get()), S_OK);
    FreeHistorianAttributes(attr, 1);
    ComPtr<OPCHDAValue> value = At(Unwrap(v).get(), I4(1));
    LONG quality = 0;
    value->get_Quality(&quality);
    EXPECT_EQ(quality, 192);
    ComPtr<OPCHDAEntry> notEntry;
    EXPECT_EQ(value->QueryInterface(IID_OPCHDAEntry, notEntry.put_void()), E_NOINTERFACE);

    auto* ann = TaskArray<OPCHDA_ANNOTATION>(1);
    ann->hClient = 1;
    ann->dwNumValues = 2;
    ann->ftTimeStamps = TaskArray<FILETIME>(2);
    ann->ftAnnotationTime = TaskArray<FILETIME>(2);
    ann->szAnnotation = TaskArray<LPWSTR>(2);
    ann->szUser = TaskArray<LPWSTR>(2);
    const LONGLONG fraction = 4'567'890;  // 456.789 ms: dates carry whole seconds
    for (DWORD k = 0; k < 2; ++k) {
        ann->ftTimeStamps[k] = Ft(kWinter + k * kSecond + fraction);
        ann->ftAnnotationTime[k] = Ft(kSummer + k * kSecond + fraction);
    }
    ann->szAnnotation[0] = TaskString(L"calibrated");
    ann->szAnnotation[1] = nullptr;
    ann->szUser[0] = TaskString(L"operator");
    ann->szUser[1] = nullptr;
    ASSERT_EQ(MakeHistoryVariant(ann, v.get()), S_OK);
    FreeHistorianAnnotations(ann, 1);
    ComPtr<OPCHDAHistory> notes = Unwrap(v);

    ComPtr<OPCHDAValue> first = At(notes.get(), I4(1));
    ComPtr<OPCHDAEntry> entry;
    ASSERT_EQ(first->QueryInterface(IID_OPCHDAEntry, entry.put_void()), S_OK);
    EXPECT_EQ(static_cast<void*>(entry.get()), static_cast<void*>(first.get()));
    LONG type = 0;
    entry->get_EntryType(&type);
    EXPECT_EQ(type, 5);
    entry->get_Quality(&quality);
    EXPECT_EQ(quality, 192);
    UniqueVariant text;
    entry->get_DataValue(text.get());
    ASSERT_EQ(text->vt, VT_BSTR);
    EXPECT_STREQ(text->bstrVal, L"calibrated");
    DATE entryTime = 0, expected = 0;
    entry->get_EntryTime(&entryTime);
    FileTimeToLocalDate(Ft(kSummer), &expected);
    EXPECT_EQ(entryTime, expected);
    // The entry's time stamp, under today's bias, also in whole seconds.
    DATE stamp = 0, wholeSecond = 0;
    entry->get_TimeStamp(&stamp);
    FILETIME local;
    SYSTEMTIME system;
    const FILETIME winter = Ft(kWinter);
    ASSERT_TRUE(FileTimeToLocalFileTime(&winter, &local) && FileTimeToSystemTime(&local, &system) &&
                SystemTimeToVariantTime(&system, &wholeSecond));
    EXPECT_EQ(stamp, wholeSecond);
    BSTR user = nullptr;
    entry->get_User(&user);
    EXPECT_STREQ(user, L"operator");
    SysFreeString(user);

    ComPtr<OPCHDAValue> second = At(notes.get(), I4(2));
    ComPtr<OPCHDAEntry> secondEntry;
    ASSERT_EQ(second.query(IID_OPCHDAEntry, secondEntry), S_OK);
    user = nullptr;
    ASSERT_EQ(secondEntry->get_User(&user), S_OK);
    ASSERT_NE(user, nullptr);  // no name: an empty string, never null
    EXPECT_EQ(SysStringLen(user), 0u);
    SysFreeString(user);
    UniqueVariant nullText;
    secondEntry->get_DataValue(nullText.get());
    EXPECT_EQ(nullText->vt, VT_BSTR);
    EXPECT_EQ(SysStringLen(nullText->bstrVal), 0u);  // the platform's copy of a null text
    ComPtr<IDispatch> dispatch;
    EXPECT_EQ(secondEntry->QueryInterface(IID_IDispatch, dispatch.put_void()), E_NOINTERFACE);
    EXPECT_EQ(secondEntry->get_User(nullptr), E_POINTER);
    EXPECT_EQ(secondEntry->get_EntryTime(nullptr), E_POINTER);
    EXPECT_EQ(secondEntry->get_EntryType(nullptr), E_POINTER);
}

// An entry's TimeStamp takes today's bias; a value's TimeStamp and an entry's
// EntryTime take the bias of their own season.
TEST_F(History, EntryTimeStampFollowsTodaysSeason) {
    TIME_ZONE_INFORMATION zone;
    const bool summerNow = GetTimeZoneInformation(&zone) == TIME_ZONE_ID_DAYLIGHT;
    if (zone.DaylightBias == 0 || zone.DaylightDate.wMonth == 0) GTEST_SKIP() << "zone without daylight saving";
    const LONGLONG otherSeason = summerNow ? kWinter : kSummer;

    auto* mod = TaskArray<OPCHDA_MODIFIEDITEM>(1);
    mod->hClient = 1;
    mod->dwCount = 1;
    mod->pftTimeStamps = TaskArray<FILETIME>(1);
    mod->pdwQualities = TaskArray<DWORD>(1);
    mod->pvDataValues = TaskArray<VARIANT>(1);
    mod->pftModificationTime = TaskArray<FILETIME>(1);
    mod->pEditType = TaskArray<OPCHDA_EDITTYPE>(1);
    mod->szUser = TaskArray<LPWSTR>(1);
    mod->pftTimeStamps[0] = Ft(otherSeason);
    mod->pdwQualities[0] = 0xC0;
    VariantInit(&mod->pvDataValues[0]);
    mod->pvDataValues[0].vt = VT_I4;
    mod->pvDataValues[0].lVal = 9;
    mod->pftModificationTime[0] = Ft(otherSeason);
    mod->pEditType[0] = static_cast<OPCHDA_EDITTYPE>(2);
    mod->szUser[0] = TaskString(L"editor");
    UniqueVariant v;
    ASSERT_EQ(MakeHistoryVariant(mod, v.get()), S_OK);
    FreeHistorianModifiedItems(mod, 1);
    ComPtr<OPCHDAValue> value = At(Unwrap(v).get(), I4(1));
    ComPtr<OPCHDAEntry> entry;
    ASSERT_EQ(value.query(IID_OPCHDAEntry, entry), S_OK);
    DATE stamp = 0, entryTime = 0, seasonal = 0;
    entry->get_TimeStamp(&stamp);
    entry->get_EntryTime(&entryTime);
    ASSERT_TRUE(FileTimeToLocalDate(Ft(otherSeason), &seasonal));
    EXPECT_EQ(entryTime, seasonal);
    const double biasDays = zone.DaylightBias / 1440.0;  // minutes, negative for summer time
    EXPECT_NEAR(stamp - seasonal, summerNow ? -biasDays : biasDays, 1e-6);
    LONG type = 0;
    entry->get_EntryType(&type);
    EXPECT_EQ(type, 2);
}

TEST_F(History, EnumeratorNextSkipResetClone) {
    ComPtr<OPCHDAHistory> h = Fill(MakeItem(3));
    ComPtr<IUnknown> unknown;
    ASSERT_EQ(h->get__NewEnum(unknown.put()), S_OK);
    ComPtr<IEnumVARIANT> walk;
    ASSERT_EQ(unknown.query(IID_IEnumVARIANT, walk), S_OK);
    ComPtr<IDispatch> dispatch;
    EXPECT_EQ(walk->QueryInterface(IID_IDispatch, dispatch.put_void()), E_NOINTERFACE);

    auto numberAt = [](VARIANT& v) {
        EXPECT_EQ(v.vt, VT_DISPATCH);
        ComPtr<OPCHDAValue> value;
        if (v.vt == VT_DISPATCH) v.pdispVal->QueryInterface(IID_OPCHDAValue, value.put_void());
        double n = value ? NumberOf(value.get()) : -1;
        VariantClear(&v);
        return n;
    };
    VARIANT got[2];
    ULONG fetched = 0;
    ASSERT_EQ(walk->Next(2, got, &fetched), S_OK);
    EXPECT_EQ(fetched, 2u);
    EXPECT_EQ(numberAt(got[0]), 100.0);
    EXPECT_EQ(numberAt(got[1]), 101.0);
    ASSERT_EQ(walk->Next(2, got, &fetched), S_FALSE);
    EXPECT_EQ(fetched, 1u);
    EXPECT_EQ(numberAt(got[0]), 102.0);
    EXPECT_EQ(got[1].vt, VT_EMPTY);

    EXPECT_EQ(walk->Reset(), S_OK);
    EXPECT_EQ(walk->Skip(2), S_OK);
    ASSERT_EQ(walk->Next(1, got, nullptr), S_OK);
    EXPECT_EQ(numberAt(got[0]), 102.0);
    EXPECT_EQ(walk->Reset(), S_OK);
    EXPECT_EQ(walk->Skip(3), S_FALSE);
    EXPECT_EQ(walk->Next(1, got, &fetched), S_FALSE);
    EXPECT_EQ(fetched, 0u);
    EXPECT_EQ(walk->Reset(), S_OK);
    EXPECT_EQ(walk->Skip(10), S_FALSE);
    EXPECT_EQ(walk->Next(1, got, &fetched), S_FALSE);
    EXPECT_EQ(walk->Reset(), S_OK);
    EXPECT_EQ(walk->Skip(0xFFFFFFFFu), S_FALSE);  // no wrap-around
    EXPECT_EQ(walk->Next(1, got, &fetched), S_FALSE);

    EXPECT_EQ(walk->Reset(), S_OK);
    ASSERT_EQ(walk->Next(1, got, nullptr), S_OK);
    VariantClear(&got[0]);
    ComPtr<IEnumVARIANT> clone;
    ASSERT_EQ(walk->Clone(clone.put()), S_OK);
    EXPECT_EQ(walk->Clone(nullptr), E_POINTER);
    ASSERT_EQ(clone->Next(1, got, nullptr), S_OK);
    EXPECT_EQ(numberAt(got[0]), 101.0);
    ASSERT_EQ(walk->Next(1, got, nullptr), S_OK);  // not moved by the clone
    EXPECT_EQ(numberAt(got[0]), 101.0);

    // The enumerator keeps the collection alive.
    h = nullptr;
    clone->Reset();
    ASSERT_EQ(clone->Next(1, got, nullptr), S_OK);
    EXPECT_EQ(numberAt(got[0]), 100.0);
}

// Entries answer the value's members under the value's DISPIDs, and their own by name.
TEST_F(History, ThroughIDispatch) {
    auto* ann = TaskArray<OPCHDA_ANNOTATION>(1);
    ann->hClient = 1;
    ann->dwNumValues = 1;
    ann->ftTimeStamps = TaskArray<FILETIME>(1);
    ann->ftAnnotationTime = TaskArray<FILETIME>(1);
    ann->szAnnotation = TaskArray<LPWSTR>(1);
    ann->szUser = TaskArray<LPWSTR>(1);
    ann->ftTimeStamps[0] = Ft(kWinter);
    ann->ftAnnotationTime[0] = Ft(kWinter);
    ann->szAnnotation[0] = TaskString(L"note");
    ann->szUser[0] = TaskString(L"me");
    UniqueVariant v;
    ASSERT_EQ(MakeHistoryVariant(ann, v.get()), S_OK);
    FreeHistorianAnnotations(ann, 1);
    UniqueVariant plain;
    OPCHDA_ITEM* item = MakeItem(1);
    ASSERT_EQ(MakeHistoryVariant(item, plain.get()), S_OK);
    FreeHistorianItems(item, 1);

    auto idOf = [](IDispatch* d, const wchar_t* name) {
        DISPID id = 12345;
        LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
        EXPECT_EQ(d->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id), S_OK) << name;
        return id;
    };
    auto invoke = [](IDispatch* d, DISPID id, WORD flags, VARIANT* arg, VARIANT* result) {
        DISPPARAMS params{arg, nullptr, arg ? 1u : 0u, 0};
        return d->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, result, nullptr, nullptr);
    };

    IDispatch* notes = v->pdispVal;
    UniqueVariant count;
    ASSERT_EQ(invoke(notes, idOf(notes, L"Count"), DISPATCH_PROPERTYGET, nullptr, count.get()), S_OK);
    EXPECT_EQ(count->lVal, 1);
    VARIANT one = I4(1);
    UniqueVariant element;
    ASSERT_EQ(invoke(notes, DISPID_VALUE, DISPATCH_METHOD | DISPATCH_PROPERTYGET, &one, element.get()), S_OK);
    ASSERT_EQ(element->vt, VT_DISPATCH);
    IDispatch* entry = element->pdispVal;

    UniqueVariant plainElement;
    ASSERT_EQ(invoke(plain->pdispVal, DISPID_VALUE, DISPATCH_METHOD | DISPATCH_PROPERTYGET, &one, plainElement.get()),
              S_OK);
    IDispatch* value = plainElement->pdispVal;
    for (const wchar_t* name : {L"TimeStamp", L"DataValue", L"Quality"})
        EXPECT_EQ(idOf(entry, name), idOf(value, name)) << name;
    EXPECT_EQ(idOf(value, L"DataValue"), DISPID_VALUE);

    // The default member prints the value.
    UniqueVariant text;
    ASSERT_EQ(invoke(entry, DISPID_VALUE, DISPATCH_PROPERTYGET, nullptr, text.get()), S_OK);
    ASSERT_EQ(text->vt, VT_BSTR);
    EXPECT_STREQ(text->bstrVal, L"note");
    UniqueVariant user, type, quality;
    ASSERT_EQ(invoke(entry, idOf(entry, L"User"), DISPATCH_PROPERTYGET, nullptr, user.get()), S_OK);
    EXPECT_STREQ(user->bstrVal, L"me");
    ASSERT_EQ(invoke(entry, idOf(entry, L"EntryType"), DISPATCH_PROPERTYGET, nullptr, type.get()), S_OK);
    EXPECT_EQ(type->lVal, 5);
    ASSERT_EQ(invoke(entry, idOf(entry, L"Quality"), DISPATCH_PROPERTYGET, nullptr, quality.get()), S_OK);
    EXPECT_EQ(quality->lVal, 192);
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
