// The server-list substitute: enumeration by category through the registry,
// ProgID resolution, and the configurations tests use (N synthetic
// historians, failures).
#include "sim_fixture.h"

#include <algorithm>

namespace simtest {
namespace {

const CLSID kServerList = {0x13486D51, 0x4821, 0x11D2, {0xA4, 0x94, 0x3C, 0xB3, 0x06, 0xC1, 0x00, 0x00}};
const CATID kHdaCategory = {0x7DE5B060, 0xE089, 0x11D2, {0xA5, 0xE6, 0x00, 0x00, 0x86, 0x33, 0x93, 0x99}};
const wchar_t* kConfig = L"Software\\HdaSim\\ServerList";

class ServerListTest : public testing::Test {
protected:
    void TearDown() override { RegDeleteTreeW(HKEY_CURRENT_USER, kConfig); }

    void configure(const wchar_t* mode, DWORD count = 0, DWORD fail = 0, const std::wstring& detail_fail = L"") {
        HKEY k;
        ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, kConfig, 0, nullptr, 0, KEY_WRITE, nullptr, &k, nullptr), 0);
        RegSetValueExW(k, L"Mode", 0, REG_SZ, reinterpret_cast<const BYTE*>(mode),
                       static_cast<DWORD>((wcslen(mode) + 1) * sizeof(wchar_t)));
        RegSetValueExW(k, L"Count", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&count), sizeof(count));
        if (fail) RegSetValueExW(k, L"FailCode", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&fail), sizeof(fail));
        if (!detail_fail.empty()) {
            std::wstring multi = detail_fail + L'\0';
            RegSetValueExW(k, L"DetailFail", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(multi.c_str()),
                           static_cast<DWORD>((multi.size() + 1) * sizeof(wchar_t)));
        }
        RegCloseKey(k);
    }

    HRESULT create(IOPCServerList** out) {
        return CoCreateInstance(kServerList, nullptr, CLSCTX_INPROC_SERVER, IID_IOPCServerList,
                                reinterpret_cast<void**>(out));
    }

    // What a client does: batches of 100, details per class. Returns the
    // last Next status and fills batch sizes and ProgIDs.
    HRESULT list(IOPCServerList* sl, std::vector<ULONG>* batches, std::vector<std::wstring>* progids) {
        Ref<IEnumGUID> e;
        CATID cat = kHdaCategory;
        HRESULT hr = sl->EnumClassesOfCategories(1, &cat, 0, nullptr, e.put());
        if (FAILED(hr)) return hr;
        for (;;) {
            GUID ids[100];
            ULONG fetched = 0;
            hr = e->Next(100, ids, &fetched);
            if (FAILED(hr)) return hr;
            batches->push_back(fetched);
            for (ULONG i = 0; i < fetched; ++i) {
                LPOLESTR progid = nullptr, user = nullptr;
                if (SUCCEEDED(sl->GetClassDetails(ids[i], &progid, &user))) {
                    progids->push_back(progid);
                    CoTaskMemFree(progid);
                    CoTaskMemFree(user);
                }
            }
            if (hr != S_OK) return hr;
        }
    }
};

TEST_F(ServerListTest, RegistryModeListsTheRegisteredSimulatorsAndResolvesProgIds) {
    Ref<IOPCServerList> sl;
    ASSERT_HRESULT_SUCCEEDED(create(sl.put()));
    std::vector<ULONG> batches;
    std::vector<std::wstring> progids;
    EXPECT_EQ(list(sl.get(), &batches, &progids), S_FALSE);
    EXPECT_NE(std::find(progids.begin(), progids.end(), L"Sim.HdaHistorian.1"), progids.end());
    EXPECT_NE(std::find(progids.begin(), progids.end(), L"Sim.HdaHistorian.Local.1"), progids.end());
    CLSID id;
    ASSERT_EQ(sl->CLSIDFromProgID(L"Sim.HdaHistorian.Local", &id), S_OK);
    EXPECT_TRUE(IsEqualCLSID(id, CLSID_HdaSimHistorianLocal));
    EXPECT_HRESULT_FAILED(sl->CLSIDFromProgID(L"No.Such.Server", &id));
}

TEST_F(ServerListTest, CountModeListsExactlyNHistoriansInBatchesOfAHundred) {
    struct Case {
        DWORD n;
        std::vector<ULONG> batches;
    };
    for (const Case& c : {Case{0, {0}}, Case{100, {100, 0}}, Case{250, {100, 100, 50}}}) {
        configure(L"count", c.n);
        Ref<IOPCServerList> sl;
        ASSERT_HRESULT_SUCCEEDED(create(sl.put()));
        std::vector<ULONG> batches;
        std::vector<std::wstring> progids;
        EXPECT_EQ(list(sl.get(), &batches, &progids), S_FALSE) << c.n;
        EXPECT_EQ(batches, c.batches) << c.n;
        ASSERT_EQ(progids.size(), c.n);
        if (c.n) {
            EXPECT_EQ(progids.front(), L"Sim.Synthetic.1");
            EXPECT_EQ(progids.back(), L"Sim.Synthetic." + std::to_wstring(c.n));
            CLSID a, b;
            ASSERT_EQ(sl->CLSIDFromProgID(progids.back().c_str(), &a), S_OK);
            ASSERT_EQ(sl->CLSIDFromProgID(progids.front().c_str(), &b), S_OK);
            EXPECT_FALSE(IsEqualCLSID(a, b));
        }
    }
}

TEST_F(ServerListTest, FailuresHappenWhereConfigured) {
    const HRESULT code = static_cast<HRESULT>(0x80070005);
    configure(L"fail", 0, static_cast<DWORD>(code));
    Ref<IOPCServerList> sl;
    ASSERT_HRESULT_SUCCEEDED(create(sl.put()));
    std::vector<ULONG> batches;
    std::vector<std::wstring> progids;
    EXPECT_EQ(list(sl.get(), &batches, &progids), code);

    configure(L"enumfail", 150, static_cast<DWORD>(code));
    ASSERT_HRESULT_SUCCEEDED(create(sl.put()));
    batches.clear();
    progids.clear();
    EXPECT_EQ(list(sl.get(), &batches, &progids), code);
    EXPECT_EQ(batches, (std::vector<ULONG>{100}));

    configure(L"createfail", 0, static_cast<DWORD>(code));
    EXPECT_EQ(create(sl.put()), code);

    // One class whose details cannot be read is left out by the client.
    configure(L"count", 3, static_cast<DWORD>(code), L"{4D1A5E00-0000-4000-8000-000000000002}");
    ASSERT_HRESULT_SUCCEEDED(create(sl.put()));
    batches.clear();
    progids.clear();
    EXPECT_EQ(list(sl.get(), &batches, &progids), S_FALSE);
    EXPECT_EQ(progids, (std::vector<std::wstring>{L"Sim.Synthetic.1", L"Sim.Synthetic.3"}));
}

}  // namespace
}  // namespace simtest
