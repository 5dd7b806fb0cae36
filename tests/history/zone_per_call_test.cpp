// The machine's zone is read once per client call and never kept across
// calls: a zone change shows on the next call, and a call that converts many
// times (a walk, a lookup by date, an array of time stamps) reads it once. Wine cannot change the zone inside a running
// process, so the zone comes from a source the test controls.
#include <windows.h>
#include <oleauto.h>

#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "OPCHDAAuto.h"
#include "com_holders.h"
#include "history/COPCHDAHistory.h"
#include "history/historian_answers.h"
#include "items/request.h"
#include "module_state.h"
#include "support/com_test.h"
#include "time/time_conversion.h"

namespace {

constexpr LONGLONG kNoonUtc = 133498512000000000LL;  // 2024-01-15 12:00:00 UTC
constexpr LONGLONG kMinute = 600'000'000;

TIME_ZONE_INFORMATION g_zone;
LONG g_fetches = 0;

DWORD WINAPI TestZone(LPTIME_ZONE_INFORMATION out) {
    ++g_fetches;
    *out = g_zone;
    return TIME_ZONE_ID_UNKNOWN;
}

// A zone without daylight time, `bias` minutes west of UTC.
void SetZone(LONG bias) {
    g_zone = TIME_ZONE_INFORMATION{};
    g_zone.Bias = bias;
}

// The local date of 2024-01-15 12:00 UTC plus `minutes`, in a zone `east`
// minutes east of UTC.
DATE LocalNoonPlus(LONG east, LONG minutes = 0) {
    const LONGLONG t = kNoonUtc + (east + minutes) * kMinute;
    const FILETIME ft{static_cast<DWORD>(t), static_cast<DWORD>(t >> 32)};
    SYSTEMTIME st;
    DATE d = 0;
    FileTimeToSystemTime(&ft, &st);
    SystemTimeToVariantTime(&st, &d);
    return d;
}

template <class T>
T* TaskArray(DWORD n) {
    return static_cast<T*>(CoTaskMemAlloc(n * sizeof(T)));
}

// `n` values (or modified entries) a minute apart from noon UTC.
ComPtr<OPCHDAHistory> MakeHistory(DWORD n, bool entries) {
    UniqueVariant v;
    auto stamps = [n] {
        auto* t = TaskArray<FILETIME>(n);
        for (DWORD k = 0; k < n; ++k) {
            LONGLONG u = kNoonUtc + k * kMinute;
            t[k] = FILETIME{static_cast<DWORD>(u), static_cast<DWORD>(u >> 32)};
        }
        return t;
    };
    if (entries) {
        auto* item = TaskArray<OPCHDA_MODIFIEDITEM>(1);
        *item = OPCHDA_MODIFIEDITEM{};
        item->dwCount = n;
        item->pftTimeStamps = stamps();
        item->pftModificationTime = stamps();
        EXPECT_EQ(MakeHistoryVariant(item, v.get()), S_OK);
        FreeHistorianModifiedItems(item, 1);
    } else {
        auto* item = TaskArray<OPCHDA_ITEM>(1);
        *item = OPCHDA_ITEM{};
        item->dwCount = n;
        item->pftTimeStamps = stamps();
        EXPECT_EQ(MakeHistoryVariant(item, v.get()), S_OK);
        FreeHistorianItems(item, 1);
    }
    ComPtr<OPCHDAHistory> history;
    if (v->vt == VT_DISPATCH) v->pdispVal->QueryInterface(IID_OPCHDAHistory, history.put_void());
    return history;
}

// One client call that hands out element 1.
using GetFirst = std::function<ComPtr<OPCHDAValue>(OPCHDAHistory*)>;

ComPtr<OPCHDAValue> ByItem(OPCHDAHistory* h) {
    ComPtr<OPCHDAValue> value;
    EXPECT_EQ(h->Item(comtest::VarI4(1), value.put()), S_OK);
    return value;
}

ComPtr<OPCHDAValue> ByNext(OPCHDAHistory* h) {
    ComPtr<IUnknown> unknown;
    ComPtr<IEnumVARIANT> walk;
    EXPECT_EQ(h->get__NewEnum(unknown.put()), S_OK);
    EXPECT_EQ(unknown.query(IID_IEnumVARIANT, walk), S_OK);
    UniqueVariant element;
    ComPtr<OPCHDAValue> value;
    if (walk && walk->Next(1, element.get(), nullptr) == S_OK && element->vt == VT_DISPATCH)
        element->pdispVal->QueryInterface(IID_OPCHDAValue, value.put_void());
    return value;
}

class ZonePerCall : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_HRESULT_SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED));
        SetZoneSource(TestZone);
    }
    void TearDown() override {
        SetZoneSource(nullptr);
        EXPECT_EQ(Module::LockCount(), 0) << "an object is still alive";
        CoUninitialize();
    }
};

TEST_F(ZonePerCall, AZoneChangeShowsOnTheNextCall) {
    const struct {
        const char* name;
        bool entries;
        GetFirst get;
    } rows[] = {
        {"value by Item", false, ByItem},
        {"value by Next", false, ByNext},
        {"entry by Item", true, ByItem},
        {"entry by Next", true, ByNext},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        ComPtr<OPCHDAHistory> history = MakeHistory(1, row.entries);
        ASSERT_TRUE(history);
        for (LONG east : {60, -300, 570}) {
            SetZone(-east);
            ComPtr<OPCHDAValue> value = row.get(history.get());
            ASSERT_TRUE(value);
            DATE stamp = 0;
            value->get_TimeStamp(&stamp);
            EXPECT_EQ(stamp, LocalNoonPlus(east)) << "UTC+" << east << " min";
            ComPtr<OPCHDAEntry> entry;
            if (row.entries && value.query(IID_OPCHDAEntry, entry) == S_OK) {
                DATE entryTime = 0;
                entry->get_EntryTime(&entryTime);
                EXPECT_EQ(entryTime, LocalNoonPlus(east)) << "UTC+" << east << " min";
            }
        }
    }
}

// Item by date probes many time stamps, Next converts one per element: still
// one read of the zone for the whole call.
TEST_F(ZonePerCall, ACallReadsTheZoneOnce) {
    SetZone(-60);
    ComPtr<OPCHDAHistory> history = MakeHistory(1000, false);
    ASSERT_TRUE(history);
    ComPtr<IUnknown> unknown;
    ComPtr<IEnumVARIANT> walk;
    ASSERT_EQ(history->get__NewEnum(unknown.put()), S_OK);
    ASSERT_EQ(unknown.query(IID_IEnumVARIANT, walk), S_OK);

    g_fetches = 0;
    VARIANT batch[100];
    ULONG fetched = 0;
    ASSERT_EQ(walk->Next(100, batch, &fetched), S_OK);
    for (VARIANT& v : batch) VariantClear(&v);
    EXPECT_EQ(g_fetches, 1) << "Next(100)";

    g_fetches = 0;
    ComPtr<OPCHDAValue> value;
    ASSERT_EQ(history->Item(comtest::VarDate(LocalNoonPlus(60, 777)), value.put()), S_OK);
    EXPECT_EQ(g_fetches, 1) << "Item by date";

    // The time stamps of an at-time read or an update.
    g_fetches = 0;
    UniqueSafeArray dates(comtest::MakeDateArray({LocalNoonPlus(60), LocalNoonPlus(60, 1), LocalNoonPlus(60, 2)}));
    std::vector<FILETIME> stamps;
    ASSERT_EQ(request::ReadFileTimes(dates.get(), 3, stamps), S_OK);
    EXPECT_EQ(g_fetches, 1) << "time stamp array";
    ASSERT_EQ(stamps.size(), 3u);
    EXPECT_EQ(stamps[2].dwLowDateTime, static_cast<DWORD>(kNoonUtc + 2 * kMinute));
}

}  // namespace
