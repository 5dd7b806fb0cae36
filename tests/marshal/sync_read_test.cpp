// Synchronous reads and annotations between apartments: a historian object in an STA
// is called from the MTA through OPCHDAProxy.dll, and everything it allocates comes
// back intact and is freed exactly once.
#include "marshal_support.h"

#include <gtest/gtest.h>

using namespace marshal_test;

namespace {

// Item 7 is unknown to this historian: it fails and carries no values.
constexpr OPCHANDLE kBadHandle = 7;

HRESULT item_result(OPCHANDLE h) { return h == kBadHandle ? OPC_E_INVALIDHANDLE : (h % 2 ? OPCHDA_S_MOREDATA : S_OK); }
DWORD item_count(OPCHANDLE h) { return h == kBadHandle ? 0 : 4 + h % 3; }

class FakeHistorian : public Fake<IOPCHDA_SyncRead, IOPCHDA_SyncAnnotations> {
public:
    std::wstring log;

    // The historian resolves both bounds and reports them back in ftTime; it keeps
    // the client's text (an [in,out] string is unmarshaled into the caller's buffer).
    void resolve(OPCHDA_TIME* start, OPCHDA_TIME* end) {
        log += snap(*start) + L" " + snap(*end) + L" ";
        start->ftTime = filetime(0x01D0000011111111ULL);
        if (end) end->ftTime = filetime(0x01D0000022222222ULL);
    }
    static HRESULT answer(DWORD n, const OPCHANDLE* h, OPCHDA_ITEM** items, HRESULT** errors) {
        *items = static_cast<OPCHDA_ITEM*>(CoTaskMemAlloc(n * sizeof(OPCHDA_ITEM)));
        *errors = static_cast<HRESULT*>(CoTaskMemAlloc(n * sizeof(HRESULT)));
        bool failed = false;
        for (DWORD i = 0; i < n; ++i) {
            fill_item((*items)[i], h[i], item_count(h[i]));
            (*errors)[i] = item_result(h[i]);
            failed |= FAILED((*errors)[i]);
        }
        return failed ? S_FALSE : S_OK;
    }

    STDMETHODIMP ReadRaw(OPCHDA_TIME* start, OPCHDA_TIME* end, DWORD num_values, BOOL bounds, DWORD n, OPCHANDLE* h,
                         OPCHDA_ITEM** items, HRESULT** errors) override {
        log = L"ReadRaw ";
        resolve(start, end);
        log += std::to_wstring(num_values) + L" " + std::to_wstring(bounds) + L" " + list(n, h);
        return answer(n, h, items, errors);
    }
    STDMETHODIMP ReadProcessed(OPCHDA_TIME* start, OPCHDA_TIME* end, FILETIME interval, DWORD n, OPCHANDLE* h,
                               DWORD* aggregates, OPCHDA_ITEM** items, HRESULT** errors) override {
        log = L"ReadProcessed ";
        resolve(start, end);
        log += snap(interval) + L" " + list(n, h) + L" " + list(n, aggregates);
        return answer(n, h, items, errors);
    }
    STDMETHODIMP ReadAtTime(DWORD num_stamps, FILETIME* stamps, DWORD n, OPCHANDLE* h, OPCHDA_ITEM** items,
                            HRESULT** errors) override {
        log = L"ReadAtTime ";
        for (DWORD i = 0; i < num_stamps; ++i) log += snap(stamps[i]) + L";";
        log += L" " + list(n, h);
        return answer(n, h, items, errors);
    }
    STDMETHODIMP ReadModified(OPCHDA_TIME* start, OPCHDA_TIME* end, DWORD num_values, DWORD n, OPCHANDLE* h,
                              OPCHDA_MODIFIEDITEM** items, HRESULT** errors) override {
        log = L"ReadModified ";
        resolve(start, end);
        log += std::to_wstring(num_values) + L" " + list(n, h);
        *items = static_cast<OPCHDA_MODIFIEDITEM*>(CoTaskMemAlloc(n * sizeof(OPCHDA_MODIFIEDITEM)));
        *errors = static_cast<HRESULT*>(CoTaskMemAlloc(n * sizeof(HRESULT)));
        for (DWORD i = 0; i < n; ++i) {
            fill_modified((*items)[i], h[i], item_count(h[i]));
            (*errors)[i] = item_result(h[i]);
        }
        return S_OK;
    }
    STDMETHODIMP ReadAttribute(OPCHDA_TIME* start, OPCHDA_TIME* end, OPCHANDLE h, DWORD n, DWORD* ids,
                               OPCHDA_ATTRIBUTE** attrs, HRESULT** errors) override {
        log = L"ReadAttribute ";
        resolve(start, end);
        log += std::to_wstring(h) + L" " + list(n, ids);
        *attrs = static_cast<OPCHDA_ATTRIBUTE*>(CoTaskMemAlloc(n * sizeof(OPCHDA_ATTRIBUTE)));
        *errors = static_cast<HRESULT*>(CoTaskMemAlloc(n * sizeof(HRESULT)));
        for (DWORD i = 0; i < n; ++i) {
            bool known = ids[i] <= OPCHDA_LOW_ENTRY_LIMIT;
            fill_attribute((*attrs)[i], h, ids[i], known ? 1 + i : 0);
            (*errors)[i] = known ? S_OK : OPCHDA_E_INVALIDATTRID;
        }
        return S_OK;
    }

    STDMETHODIMP QueryCapabilities(OPCHDA_ANNOTATIONCAPABILITIES* caps) override {
        *caps = static_cast<OPCHDA_ANNOTATIONCAPABILITIES>(OPCHDA_READANNOTATIONCAP | OPCHDA_INSERTANNOTATIONCAP);
        return S_OK;
    }
    STDMETHODIMP Read(OPCHDA_TIME* start, OPCHDA_TIME* end, DWORD n, OPCHANDLE* h, OPCHDA_ANNOTATION** anns,
                      HRESULT** errors) override {
        log = L"Read ";
        resolve(start, end);
        log += list(n, h);
        *anns = static_cast<OPCHDA_ANNOTATION*>(CoTaskMemAlloc(n * sizeof(OPCHDA_ANNOTATION)));
        *errors = static_cast<HRESULT*>(CoTaskMemAlloc(n * sizeof(HRESULT)));
        for (DWORD i = 0; i < n; ++i) {
            fill_annotation((*anns)[i], h[i], item_count(h[i]));
            (*errors)[i] = item_result(h[i]);
        }
        return S_OK;
    }
    STDMETHODIMP Insert(DWORD n, OPCHANDLE* h, FILETIME* stamps, OPCHDA_ANNOTATION* anns, HRESULT** errors) override {
        log = L"Insert " + list(n, h) + L" ";
        for (DWORD i = 0; i < n; ++i) log += snap(stamps[i]) + L";";
        log += L"\n" + snap_all(n, anns);
        *errors = static_cast<HRESULT*>(CoTaskMemAlloc(n * sizeof(HRESULT)));
        for (DWORD i = 0; i < n; ++i) (*errors)[i] = i ? OPCHDA_E_DATAEXISTS : S_OK;
        return S_FALSE;
    }

    template <class T>
    static std::wstring list(DWORD n, const T* v) {
        std::wstring s;
        for (DWORD i = 0; i < n; ++i) s += std::to_wstring(v[i]) + L",";
        return s;
    }
};

class SyncReadMarshal : public ::testing::Test {
protected:
    void SetUp() override {
        host_ = std::make_unique<ApartmentHost>(COINIT_APARTMENTTHREADED, IID_IOPCHDA_SyncRead, [this] {
            fake_ = new FakeHistorian;
            return static_cast<IOPCHDA_SyncRead*>(fake_);
        });
        ASSERT_EQ(S_OK, host_->unmarshal(reinterpret_cast<void**>(&read_)));
        ASSERT_EQ(S_OK, read_->QueryInterface(IID_IOPCHDA_SyncAnnotations, reinterpret_cast<void**>(&annotations_)));
        // A proxy, not the object: the calls below really cross apartments.
        ASSERT_NE(static_cast<IOPCHDA_SyncRead*>(fake_), read_);
    }
    void TearDown() override {
        if (annotations_) annotations_->Release();
        if (read_) read_->Release();
        host_.reset();
    }

    static std::wstring expected_items(DWORD n, const OPCHANDLE* h) {
        std::wstring s;
        for (DWORD i = 0; i < n; ++i) {
            OPCHDA_ITEM item{};
            fill_item(item, h[i], item_count(h[i]));
            s += snap(item) + L"\n";
            ClearHistorianAnswer(item);
        }
        return s;
    }

    std::unique_ptr<ApartmentHost> host_;
    FakeHistorian* fake_ = nullptr;
    IOPCHDA_SyncRead* read_ = nullptr;
    IOPCHDA_SyncAnnotations* annotations_ = nullptr;
};

TEST_F(SyncReadMarshal, ReadRawCarriesBothTimeFormsItemsAndPerItemCodesWithoutLeaks) {
    OPCHANDLE handles[] = {1, kBadHandle, 4};
    for (int pass = 0; pass < 2; ++pass) {  // the first pass warms up the channel
        LONG before = outstanding_task_memory();
        wchar_t text[] = L"NOW-1D";
        OPCHDA_TIME start{TRUE, text, filetime(5)};
        OPCHDA_TIME end{FALSE, nullptr, filetime(0x01D00000AAAAAAAAULL)};
        OPCHDA_ITEM* items = nullptr;
        HRESULT* errors = nullptr;
        ASSERT_EQ(S_FALSE, read_->ReadRaw(&start, &end, 100, TRUE, 3, handles, &items, &errors));

        EXPECT_EQ(L"ReadRaw time{1,\"NOW-1D\",0:5} time{0,null,1d00000:aaaaaaaa} 100 1 1,7,4,", fake_->log);
        EXPECT_EQ(L"time{1,\"NOW-1D\",1d00000:11111111}", snap(start));
        EXPECT_EQ(text, start.szTime);  // written into the caller's own buffer
        EXPECT_EQ(L"time{0,null,1d00000:22222222}", snap(end));
        EXPECT_EQ(expected_items(3, handles), snap_all(3, items));
        EXPECT_EQ(L"40041003;c0040001;0;", snap_hresults(3, errors));
        EXPECT_EQ(nullptr, items[1].pvDataValues);  // empty arrays stay null

        for (DWORD i = 0; i < 3; ++i) ClearHistorianAnswer(items[i]);
        CoTaskMemFree(items);
        CoTaskMemFree(errors);
        if (pass == 1) {
            EXPECT_EQ(before, outstanding_task_memory());
        }
    }
}

TEST_F(SyncReadMarshal, ReadProcessedAndReadAtTimeCarryIntervalAggregatesAndStamps) {
    OPCHANDLE handles[] = {2, 3};
    DWORD aggregates[] = {OPCHDA_AVERAGE, OPCHDA_ANNOTATIONS};
    OPCHDA_TIME start{FALSE, nullptr, filetime(10)};
    OPCHDA_TIME end{FALSE, nullptr, filetime(20)};
    OPCHDA_ITEM* items = nullptr;
    HRESULT* errors = nullptr;
    ASSERT_EQ(S_OK,
              read_->ReadProcessed(&start, &end, filetime(36000000000ULL), 2, handles, aggregates, &items, &errors));
    EXPECT_EQ(L"ReadProcessed time{0,null,0:a} time{0,null,0:14} 8:61c46800 2,3, 3,24,", fake_->log);
    EXPECT_EQ(expected_items(2, handles), snap_all(2, items));
    EXPECT_EQ(L"0;40041003;", snap_hresults(2, errors));
    for (DWORD i = 0; i < 2; ++i) ClearHistorianAnswer(items[i]);
    CoTaskMemFree(items);
    CoTaskMemFree(errors);

    FILETIME stamps[] = {filetime(0x0123456789ABCDEFULL), filetime(1)};
    ASSERT_EQ(S_OK, read_->ReadAtTime(2, stamps, 2, handles, &items, &errors));
    EXPECT_EQ(L"ReadAtTime 1234567:89abcdef;0:1; 2,3,", fake_->log);
    EXPECT_EQ(expected_items(2, handles), snap_all(2, items));
    for (DWORD i = 0; i < 2; ++i) ClearHistorianAnswer(items[i]);
    CoTaskMemFree(items);
    CoTaskMemFree(errors);
}

TEST_F(SyncReadMarshal, ReadModifiedAndReadAttributeReturnTheirStructuresWithoutLeaks) {
    OPCHANDLE handles[] = {kBadHandle, 5};
    OPCHDA_TIME start{FALSE, nullptr, filetime(1)};
    OPCHDA_TIME end{FALSE, nullptr, filetime(2)};
    for (int pass = 0; pass < 2; ++pass) {
        LONG before = outstanding_task_memory();
        OPCHDA_MODIFIEDITEM* modified = nullptr;
        HRESULT* errors = nullptr;
        ASSERT_EQ(S_OK, read_->ReadModified(&start, &end, 0, 2, handles, &modified, &errors));
        std::wstring expected;
        for (OPCHANDLE h : handles) {
            OPCHDA_MODIFIEDITEM m{};
            fill_modified(m, h, item_count(h));
            expected += snap(m) + L"\n";
            ClearHistorianAnswer(m);
        }
        EXPECT_EQ(expected, snap_all(2, modified));
        EXPECT_EQ(L"c0040001;40041003;", snap_hresults(2, errors));
        for (DWORD i = 0; i < 2; ++i) ClearHistorianAnswer(modified[i]);
        CoTaskMemFree(modified);
        CoTaskMemFree(errors);

        DWORD ids[] = {OPCHDA_DATA_TYPE, 99, OPCHDA_ENG_UNITS, OPCHDA_LOW_ENTRY_LIMIT};
        OPCHDA_ATTRIBUTE* attrs = nullptr;
        ASSERT_EQ(S_OK, read_->ReadAttribute(&start, &end, 42, 4, ids, &attrs, &errors));
        // The times still hold what ReadModified resolved them to.
        EXPECT_EQ(L"ReadAttribute time{0,null,1d00000:11111111} time{0,null,1d00000:22222222} 42 1,99,3,19,",
                  fake_->log);
        expected.clear();
        for (DWORD i = 0; i < 4; ++i) {
            OPCHDA_ATTRIBUTE a{};
            fill_attribute(a, 42, ids[i], ids[i] == 99 ? 0 : 1 + i);
            expected += snap(a) + L"\n";
            ClearHistorianAnswer(a);
        }
        EXPECT_EQ(expected, snap_all(4, attrs));
        EXPECT_EQ(L"0;c004100c;0;0;", snap_hresults(4, errors));
        for (DWORD i = 0; i < 4; ++i) ClearHistorianAnswer(attrs[i]);
        CoTaskMemFree(attrs);
        CoTaskMemFree(errors);
        if (pass == 1) {
            EXPECT_EQ(before, outstanding_task_memory());
        }
    }
}

TEST_F(SyncReadMarshal, AnnotationsTravelBothWays) {
    OPCHDA_ANNOTATIONCAPABILITIES caps{};
    ASSERT_EQ(S_OK, annotations_->QueryCapabilities(&caps));
    EXPECT_EQ(3, caps);

    OPCHANDLE handles[] = {3, kBadHandle};
    for (int pass = 0; pass < 2; ++pass) {
        LONG before = outstanding_task_memory();
        wchar_t text[] = L"DAY-1D+7H30M";
        OPCHDA_TIME start{TRUE, text, {}};
        OPCHDA_TIME end{TRUE, nullptr, filetime(9)};
        OPCHDA_ANNOTATION* anns = nullptr;
        HRESULT* errors = nullptr;
        ASSERT_EQ(S_OK, annotations_->Read(&start, &end, 2, handles, &anns, &errors));
        EXPECT_EQ(L"Read time{1,\"DAY-1D+7H30M\",0:0} time{1,null,0:9} 3,7,", fake_->log);
        std::wstring expected;
        for (OPCHANDLE h : handles) {
            OPCHDA_ANNOTATION a{};
            fill_annotation(a, h, item_count(h));
            expected += snap(a) + L"\n";
            ClearHistorianAnswer(a);
        }
        EXPECT_EQ(expected, snap_all(2, anns));
        EXPECT_EQ(L"40041003;c0040001;", snap_hresults(2, errors));
        for (DWORD i = 0; i < 2; ++i) ClearHistorianAnswer(anns[i]);
        CoTaskMemFree(anns);
        CoTaskMemFree(errors);

        OPCHDA_ANNOTATION in[2]{};
        fill_annotation(in[0], 10, 1);
        fill_annotation(in[1], 11, 3);
        FILETIME stamps[] = {filetime(100), filetime(200)};
        ASSERT_EQ(S_FALSE, annotations_->Insert(2, handles, stamps, in, &errors));
        EXPECT_EQ(L"Insert 3,7, 0:64;0:c8;\n" + snap_all(2, in), fake_->log);
        EXPECT_EQ(L"0;c004100b;", snap_hresults(2, errors));
        ClearHistorianAnswer(in[0]);
        ClearHistorianAnswer(in[1]);
        CoTaskMemFree(errors);
        if (pass == 1) {
            EXPECT_EQ(before, outstanding_task_memory());
        }
    }
}

TEST(ProxyRegistration, EveryInterfaceUsesThisProxyStub) {
    const IID* iids[] = {
        &IID_IOPCCommon,          &IID_IOPCShutdown,        &IID_IOPCServerList,           &IID_IOPCHDA_Server,
        &IID_IOPCHDA_Browser,     &IID_IOPCHDA_SyncRead,    &IID_IOPCHDA_SyncUpdate,       &IID_IOPCHDA_SyncAnnotations,
        &IID_IOPCHDA_AsyncRead,   &IID_IOPCHDA_AsyncUpdate, &IID_IOPCHDA_AsyncAnnotations, &IID_IOPCHDA_Playback,
        &IID_IOPCHDA_DataCallback};
    for (const IID* iid : iids) {
        CLSID ps{};
        ASSERT_EQ(S_OK, CoGetPSClsid(*iid, &ps));
        wchar_t clsid[64];
        StringFromGUID2(ps, clsid, 64);
        std::wstring key = std::wstring(L"CLSID\\") + clsid + L"\\InprocServer32";
        wchar_t path[MAX_PATH] = {};
        LONG size = sizeof(path);
        ASSERT_EQ(ERROR_SUCCESS, RegQueryValueW(HKEY_CLASSES_ROOT, key.c_str(), path, &size));
        std::wstring p(path);
        EXPECT_NE(std::wstring::npos, p.find(L"OPCHDAProxy.dll")) << p;
    }
}

}  // namespace
