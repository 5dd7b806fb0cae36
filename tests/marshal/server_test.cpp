// Catalogue, handle, browse, common and server-list calls, made from an STA against a
// historian object in the MTA (the other direction from the read tests): out arrays of
// strings, out interfaces created by the callee, and IEnumString behind the browser.
#include "marshal_support.h"

#include <gtest/gtest.h>

using namespace marshal_test;

namespace {

template <class T>
T* task_array(DWORD n) {
    return static_cast<T*>(CoTaskMemAlloc(n * sizeof(T)));
}

// A callee-allocated string array, freed string by string and then as a block.
struct CoTaskMemStringsLocal {
    LPWSTR* p = nullptr;
    DWORD n = 0;
    void clear() {
        if (p)
            for (DWORD i = 0; i < n; ++i) CoTaskMemFree(p[i]);
        CoTaskMemFree(p);
        p = nullptr;
        n = 0;
    }
    ~CoTaskMemStringsLocal() { clear(); }
};

class FakeEnumString : public Fake<IEnumString> {
public:
    explicit FakeEnumString(std::vector<std::wstring> names) : names_(std::move(names)) {}
    STDMETHODIMP Next(ULONG n, LPOLESTR* out, ULONG* fetched) override {
        ULONG got = 0;
        for (; got < n && pos_ < names_.size(); ++got) out[got] = task_string(names_[pos_++].c_str());
        if (fetched) *fetched = got;
        return got == n ? S_OK : S_FALSE;
    }
    STDMETHODIMP Skip(ULONG n) override {
        pos_ += n;
        return pos_ <= names_.size() ? S_OK : S_FALSE;
    }
    STDMETHODIMP Reset() override {
        pos_ = 0;
        return S_OK;
    }
    STDMETHODIMP Clone(IEnumString**) override { return E_NOTIMPL; }

private:
    std::vector<std::wstring> names_;
    size_t pos_ = 0;
};

class FakeBrowser : public Fake<IOPCHDA_Browser> {
public:
    std::wstring position = L"Plant";
    STDMETHODIMP GetEnum(OPCHDA_BROWSETYPE type, LPENUMSTRING* out) override {
        if (type == OPCHDA_BRANCH)
            *out = new FakeEnumString({L"Area1", L"Area \u00df2"});
        else
            *out = new FakeEnumString({L"Temp", L"Flow", L"Level"});
        return S_OK;
    }
    STDMETHODIMP ChangeBrowsePosition(OPCHDA_BROWSEDIRECTION dir, LPCWSTR s) override {
        if (dir != OPCHDA_BROWSE_DOWN) return E_FAIL;
        position += L"." + std::wstring(s);
        return S_OK;
    }
    STDMETHODIMP GetItemID(LPCWSTR node, LPWSTR* id) override {
        *id = task_string((position + L"." + node).c_str());
        return S_OK;
    }
    STDMETHODIMP GetBranchPosition(LPWSTR* pos) override {
        *pos = task_string(position.c_str());
        return S_OK;
    }
};

class FakeServer : public Fake<IOPCHDA_Server, IOPCCommon, IOPCServerList> {
public:
    std::wstring log;

    STDMETHODIMP GetItemAttributes(DWORD* n, DWORD** ids, LPWSTR** names, LPWSTR** descs, VARTYPE** types) override {
        *n = 3;
        *ids = task_array<DWORD>(3);
        *names = task_array<LPWSTR>(3);
        *descs = task_array<LPWSTR>(3);
        *types = task_array<VARTYPE>(3);
        const wchar_t* text[] = {L"Data Type", L"Description", L"Eng Units"};
        VARTYPE vt[] = {VT_I2, VT_BSTR, VT_BSTR};
        for (DWORD i = 0; i < 3; ++i) {
            (*ids)[i] = i + 1;
            (*names)[i] = task_string(text[i]);
            (*descs)[i] = task_string((std::wstring(text[i]) + L" of the item").c_str());
            (*types)[i] = vt[i];
        }
        return S_OK;
    }
    STDMETHODIMP GetAggregates(DWORD* n, DWORD** ids, LPWSTR** names, LPWSTR** descs) override {
        *n = 0;  // a historian without aggregates hands out null arrays
        *ids = nullptr;
        *names = nullptr;
        *descs = nullptr;
        return S_OK;
    }
    STDMETHODIMP GetHistorianStatus(OPCHDA_SERVERSTATUS* status, FILETIME** now, FILETIME** start, WORD* major,
                                    WORD* minor, WORD* build, DWORD* max_values, LPWSTR* status_text,
                                    LPWSTR* vendor) override {
        *status = OPCHDA_INDETERMINATE;
        *now = task_array<FILETIME>(1);
        **now = filetime(0x01DA000012345678ULL);
        *start = nullptr;  // optional: some historians do not report it
        *major = 1;
        *minor = 20;
        *build = 300;
        *max_values = 4000;
        *status_text = task_string(L"Running");
        *vendor = task_string(L"Fake Historian \u2122");
        return S_OK;
    }
    STDMETHODIMP GetItemHandles(DWORD n, LPWSTR* ids, OPCHANDLE* clients, OPCHANDLE** servers,
                                HRESULT** errors) override {
        log = L"GetItemHandles";
        *servers = task_array<OPCHANDLE>(n);
        *errors = task_array<HRESULT>(n);
        for (DWORD i = 0; i < n; ++i) {
            log += L" " + std::wstring(ids[i]) + L"=" + std::to_wstring(clients[i]);
            bool known = ids[i][0] != L'?';
            (*servers)[i] = known ? 100 + i : 0;
            (*errors)[i] = known ? S_OK : OPC_E_UNKNOWNITEMID;
        }
        return known_all(n, *errors);
    }
    STDMETHODIMP ReleaseItemHandles(DWORD n, OPCHANDLE* servers, HRESULT** errors) override {
        *errors = task_array<HRESULT>(n);
        for (DWORD i = 0; i < n; ++i) (*errors)[i] = servers[i] >= 100 ? S_OK : OPC_E_INVALIDHANDLE;
        return known_all(n, *errors);
    }
    STDMETHODIMP ValidateItemIDs(DWORD n, LPWSTR* ids, HRESULT** errors) override {
        *errors = task_array<HRESULT>(n);
        for (DWORD i = 0; i < n; ++i) (*errors)[i] = ids[i][0] == L'?' ? OPC_E_INVALIDITEMID : S_OK;
        return known_all(n, *errors);
    }
    STDMETHODIMP CreateBrowse(DWORD n, DWORD* attrs, OPCHDA_OPERATORCODES* ops, VARIANT* filters,
                              IOPCHDA_Browser** browser, HRESULT** errors) override {
        log = L"CreateBrowse";
        *errors = task_array<HRESULT>(n);
        for (DWORD i = 0; i < n; ++i) {
            log += L" " + std::to_wstring(attrs[i]) + L"/" + std::to_wstring(ops[i]) + L"/" + snap(filters[i]);
            (*errors)[i] = attrs[i] <= OPCHDA_LOW_ENTRY_LIMIT ? S_OK : OPCHDA_E_INVALIDATTRID;
        }
        *browser = new FakeBrowser;
        return known_all(n, *errors);
    }

    STDMETHODIMP SetLocaleID(LCID lcid) override {
        lcid_ = lcid;
        return S_OK;
    }
    STDMETHODIMP GetLocaleID(LCID* lcid) override {
        *lcid = lcid_;
        return S_OK;
    }
    STDMETHODIMP QueryAvailableLocaleIDs(DWORD* n, LCID** lcids) override {
        *n = 2;
        *lcids = task_array<LCID>(2);
        (*lcids)[0] = 0x0409;
        (*lcids)[1] = 0x0407;
        return S_OK;
    }
    STDMETHODIMP GetErrorString(HRESULT hr, LPWSTR* text) override {
        if (hr != OPCHDA_E_MAXEXCEEDED) return E_INVALIDARG;  // leaves *text alone
        *text = task_string(L"Maximum exceeded");
        handed_out = *text;
        handed_out_by = GetCurrentThreadId();
        return S_OK;
    }
    // The last string GetErrorString handed to its caller, and the thread that made it.
    const void* handed_out = nullptr;
    DWORD handed_out_by = 0;
    STDMETHODIMP SetClientName(LPCWSTR name) override {
        log = L"SetClientName " + std::wstring(name);
        return S_OK;
    }

    STDMETHODIMP EnumClassesOfCategories(ULONG n_impl, CATID* impl, ULONG n_req, CATID*, IEnumGUID** out) override {
        log = L"EnumClassesOfCategories " + std::to_wstring(n_impl) + L" " + std::to_wstring(n_req) + L" " +
              std::to_wstring(n_impl && IsEqualGUID(impl[0], CATID_OPCHDAServer10));
        *out = nullptr;
        return S_FALSE;
    }
    STDMETHODIMP GetClassDetails(REFCLSID clsid, LPOLESTR* progid, LPOLESTR* user_type) override {
        if (!IsEqualGUID(clsid, CLSID_OpcServerList)) return REGDB_E_CLASSNOTREG;
        *progid = task_string(L"Vendor.Historian.1");
        *user_type = task_string(L"Vendor Historian");
        return S_OK;
    }
    STDMETHODIMP CLSIDFromProgID(LPCOLESTR progid, LPCLSID clsid) override {
        log = L"CLSIDFromProgID " + std::wstring(progid);
        *clsid = CLSID_OpcServerList;
        return S_OK;
    }

private:
    static HRESULT known_all(DWORD n, const HRESULT* e) {
        for (DWORD i = 0; i < n; ++i)
            if (FAILED(e[i])) return S_FALSE;
        return S_OK;
    }
    LCID lcid_ = 0x0409;
};

class ServerMarshal : public ::testing::Test {
protected:
    void SetUp() override {
        host_ = std::make_unique<ApartmentHost>(COINIT_MULTITHREADED, IID_IOPCHDA_Server, [this] {
            fake_ = new FakeServer;
            return static_cast<IOPCHDA_Server*>(fake_);
        });
    }
    // Runs the body in a fresh STA with the server unmarshaled into it.
    void in_sta(const std::function<void(IOPCHDA_Server*)>& body) {
        run_in_apartment(COINIT_APARTMENTTHREADED, [&] {
            IOPCHDA_Server* server = nullptr;
            ASSERT_EQ(S_OK, host_->unmarshal(reinterpret_cast<void**>(&server)));
            ASSERT_NE(static_cast<IOPCHDA_Server*>(fake_), server);
            body(server);
            server->Release();
        });
    }
    std::unique_ptr<ApartmentHost> host_;
    FakeServer* fake_ = nullptr;
};

TEST_F(ServerMarshal, CataloguesStatusAndHandlesComeBackWithStringArrays) {
    in_sta([&](IOPCHDA_Server* server) {
        LONG before = outstanding_task_memory();
        DWORD n = 0;
        DWORD* ids = nullptr;
        VARTYPE* types = nullptr;
        CoTaskMemStringsLocal names, descs;
        ASSERT_EQ(S_OK, server->GetItemAttributes(&n, &ids, &names.p, &descs.p, &types));
        names.n = descs.n = n;
        ASSERT_EQ(3u, n);
        EXPECT_EQ(3u, ids[2]);
        EXPECT_STREQ(L"Eng Units", names.p[2]);
        EXPECT_STREQ(L"Description of the item", descs.p[1]);
        EXPECT_EQ(VT_I2, types[0]);
        CoTaskMemFree(ids);
        CoTaskMemFree(types);
        names.clear();
        descs.clear();

        DWORD* aggr = reinterpret_cast<DWORD*>(1);
        ASSERT_EQ(S_OK, server->GetAggregates(&n, &aggr, &names.p, &descs.p));
        EXPECT_EQ(0u, n);
        EXPECT_EQ(nullptr, aggr);

        OPCHDA_SERVERSTATUS status{};
        FILETIME* now = nullptr;
        FILETIME* start = reinterpret_cast<FILETIME*>(1);
        WORD major = 0, minor = 0, build = 0;
        DWORD max_values = 0;
        LPWSTR text = nullptr, vendor = nullptr;
        ASSERT_EQ(S_OK, server->GetHistorianStatus(&status, &now, &start, &major, &minor, &build, &max_values, &text,
                                                   &vendor));
        EXPECT_EQ(OPCHDA_INDETERMINATE, status);
        ASSERT_NE(nullptr, now);
        EXPECT_EQ(L"1da0000:12345678", snap(*now));
        EXPECT_EQ(nullptr, start);
        EXPECT_EQ(1, major);
        EXPECT_EQ(20, minor);
        EXPECT_EQ(300, build);
        EXPECT_EQ(4000u, max_values);
        EXPECT_STREQ(L"Running", text);
        EXPECT_STREQ(L"Fake Historian \u2122", vendor);
        CoTaskMemFree(now);
        CoTaskMemFree(text);
        CoTaskMemFree(vendor);

        wchar_t a[] = L"Plant.Temp", b[] = L"?bad", c[] = L"Plant.\u00c4";
        LPWSTR item_ids[] = {a, b, c};
        OPCHANDLE clients[] = {1, 2, 3};
        OPCHANDLE* servers = nullptr;
        HRESULT* errors = nullptr;
        ASSERT_EQ(S_FALSE, server->GetItemHandles(3, item_ids, clients, &servers, &errors));
        EXPECT_EQ(L"GetItemHandles Plant.Temp=1 ?bad=2 Plant.\u00c4=3", fake_->log);
        EXPECT_EQ(100u, servers[0]);
        EXPECT_EQ(102u, servers[2]);
        EXPECT_EQ(L"0;c0040007;0;", snap_hresults(3, errors));
        CoTaskMemFree(errors);
        ASSERT_EQ(S_FALSE, server->ReleaseItemHandles(3, servers, &errors));
        EXPECT_EQ(L"0;c0040001;0;", snap_hresults(3, errors));
        CoTaskMemFree(errors);
        CoTaskMemFree(servers);
        ASSERT_EQ(S_FALSE, server->ValidateItemIDs(3, item_ids, &errors));
        EXPECT_EQ(L"0;c0040008;0;", snap_hresults(3, errors));
        CoTaskMemFree(errors);
        EXPECT_EQ(before, outstanding_task_memory());
    });
}

TEST_F(ServerMarshal, CreateBrowseHandsOutABrowserWhoseEnumeratorsWork) {
    in_sta([&](IOPCHDA_Server* server) {
        DWORD attrs[] = {OPCHDA_ITEMID, 99};
        OPCHDA_OPERATORCODES ops[] = {OPCHDA_EQUAL, OPCHDA_NOTEQUAL};
        VARIANT filters[2];
        make_variant(&filters[0], 1, 5);
        make_variant(&filters[1], 0, 5);
        IOPCHDA_Browser* browser = nullptr;
        HRESULT* errors = nullptr;
        ASSERT_EQ(S_FALSE, server->CreateBrowse(2, attrs, ops, filters, &browser, &errors));
        EXPECT_EQ(L"CreateBrowse 13/1/" + snap(filters[0]) + L" 99/6/" + snap(filters[1]), fake_->log);
        EXPECT_EQ(L"0;c004100c;", snap_hresults(2, errors));
        CoTaskMemFree(errors);
        VariantClear(&filters[0]);
        VariantClear(&filters[1]);
        ASSERT_NE(nullptr, browser);

        ASSERT_EQ(S_OK, browser->ChangeBrowsePosition(OPCHDA_BROWSE_DOWN, L"Area1"));
        EXPECT_EQ(E_FAIL, browser->ChangeBrowsePosition(OPCHDA_BROWSE_UP, L""));
        LPWSTR text = nullptr;
        ASSERT_EQ(S_OK, browser->GetBranchPosition(&text));
        EXPECT_STREQ(L"Plant.Area1", text);
        CoTaskMemFree(text);
        ASSERT_EQ(S_OK, browser->GetItemID(L"Temp", &text));
        EXPECT_STREQ(L"Plant.Area1.Temp", text);
        CoTaskMemFree(text);

        IEnumString* names = nullptr;
        ASSERT_EQ(S_OK, browser->GetEnum(OPCHDA_LEAF, &names));
        LPOLESTR got[4] = {};
        ULONG fetched = 0;
        EXPECT_EQ(S_FALSE, names->Next(4, got, &fetched));
        ASSERT_EQ(3u, fetched);
        EXPECT_STREQ(L"Temp", got[0]);
        EXPECT_STREQ(L"Level", got[2]);
        for (ULONG i = 0; i < fetched; ++i) CoTaskMemFree(got[i]);
        ASSERT_EQ(S_OK, names->Reset());
        ASSERT_EQ(S_OK, names->Next(1, got, nullptr));
        EXPECT_STREQ(L"Temp", got[0]);
        CoTaskMemFree(got[0]);
        names->Release();

        ASSERT_EQ(S_OK, browser->GetEnum(OPCHDA_BRANCH, &names));
        ASSERT_EQ(S_OK, names->Next(2, got, &fetched));
        EXPECT_STREQ(L"Area \u00df2", got[1]);
        CoTaskMemFree(got[0]);
        CoTaskMemFree(got[1]);
        names->Release();
        browser->Release();
    });
}

TEST_F(ServerMarshal, CommonAndServerListMembersCarryTheirArguments) {
    in_sta([&](IOPCHDA_Server* server) {
        IOPCCommon* common = nullptr;
        ASSERT_EQ(S_OK, server->QueryInterface(IID_IOPCCommon, reinterpret_cast<void**>(&common)));
        ASSERT_EQ(S_OK, common->SetLocaleID(0x0407));
        LCID lcid = 0;
        ASSERT_EQ(S_OK, common->GetLocaleID(&lcid));
        EXPECT_EQ(0x0407u, lcid);
        DWORD n = 0;
        LCID* lcids = nullptr;
        ASSERT_EQ(S_OK, common->QueryAvailableLocaleIDs(&n, &lcids));
        ASSERT_EQ(2u, n);
        EXPECT_EQ(0x0407u, lcids[1]);
        CoTaskMemFree(lcids);
        LPWSTR text = nullptr;
        ASSERT_EQ(S_OK, common->GetErrorString(OPCHDA_E_MAXEXCEEDED, &text));
        EXPECT_STREQ(L"Maximum exceeded", text);
        EXPECT_FALSE(task_block_held_by(fake_->handed_out, fake_->handed_out_by))
            << "the stub must free the callee's string once it is sent";
        CoTaskMemFree(text);
        // A failing callee that writes nothing: the caller still gets null, not its
        // own stale value back.
        text = reinterpret_cast<LPWSTR>(1);
        EXPECT_EQ(E_INVALIDARG, common->GetErrorString(E_FAIL, &text));
        EXPECT_EQ(nullptr, text);
        EXPECT_EQ(HRESULT_FROM_WIN32(RPC_X_NULL_REF_POINTER), common->GetErrorString(OPCHDA_E_MAXEXCEEDED, nullptr));
        ASSERT_EQ(S_OK, common->SetClientName(L"OPC HDA Automation"));
        EXPECT_EQ(L"SetClientName OPC HDA Automation", fake_->log);
        common->Release();

        IOPCServerList* list = nullptr;
        ASSERT_EQ(S_OK, server->QueryInterface(IID_IOPCServerList, reinterpret_cast<void**>(&list)));
        CATID impl[] = {CATID_OPCHDAServer10};
        IEnumGUID* classes = nullptr;
        EXPECT_EQ(S_FALSE, list->EnumClassesOfCategories(1, impl, 0, nullptr, &classes));
        EXPECT_EQ(L"EnumClassesOfCategories 1 0 1", fake_->log);
        EXPECT_EQ(nullptr, classes);
        LPOLESTR progid = reinterpret_cast<LPOLESTR>(1), user_type = reinterpret_cast<LPOLESTR>(1);
        EXPECT_EQ(REGDB_E_CLASSNOTREG, list->GetClassDetails(CLSID_NULL, &progid, &user_type));
        EXPECT_EQ(nullptr, progid);
        EXPECT_EQ(nullptr, user_type);
        ASSERT_EQ(S_OK, list->GetClassDetails(CLSID_OpcServerList, &progid, &user_type));
        EXPECT_STREQ(L"Vendor.Historian.1", progid);
        EXPECT_STREQ(L"Vendor Historian", user_type);
        CoTaskMemFree(progid);
        CoTaskMemFree(user_type);
        CLSID clsid{};
        ASSERT_EQ(S_OK, list->CLSIDFromProgID(L"Vendor.Historian.1", &clsid));
        EXPECT_TRUE(IsEqualGUID(CLSID_OpcServerList, clsid));
        EXPECT_EQ(L"CLSIDFromProgID Vendor.Historian.1", fake_->log);
        list->Release();
    });
}

TEST(OpcIdentifiers, CategoryAndServerListClassHaveThePublishedValues) {
    CLSID parsed{};
    ASSERT_EQ(S_OK, CLSIDFromString(CATID_OPCHDAServer10_STRING, &parsed));
    EXPECT_TRUE(IsEqualGUID(parsed, CATID_OPCHDAServer10));
    ASSERT_EQ(S_OK, CLSIDFromString(L"{13486D51-4821-11D2-A494-3CB306C10000}", &parsed));
    EXPECT_TRUE(IsEqualGUID(parsed, CLSID_OpcServerList));
    EXPECT_TRUE(IsEqualGUID(__uuidof(IOPCHDA_DataCallback), IID_IOPCHDA_DataCallback));
    EXPECT_TRUE(FAILED(OPCHDA_W_NOFILTER));
    EXPECT_TRUE(SUCCEEDED(OPCHDA_S_CURRENTVALUE));
}

}  // namespace
