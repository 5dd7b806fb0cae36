// The historian's calls into the client: a data callback and shutdown sink living in
// an STA (as a scripting client's is) receives every structure from an MTA thread,
// through OPCHDAProxy.dll, exactly as it was sent.
#include "marshal_support.h"

#include <gtest/gtest.h>

using namespace marshal_test;

namespace {

class FakeSink : public Fake<IOPCHDA_DataCallback, IOPCShutdown> {
public:
    std::wstring log;
    DWORD calling_thread = 0;

    void head(const wchar_t* name, DWORD id, HRESULT status, DWORD n, const HRESULT* errors) {
        calling_thread = GetCurrentThreadId();
        log = std::wstring(name) + L" " + std::to_wstring(id) + L" " + snap_hresults(1, &status) + L" " +
              snap_hresults(n, errors) + L"\n";
    }
    STDMETHODIMP OnDataChange(DWORD id, HRESULT status, DWORD n, OPCHDA_ITEM* items, HRESULT* errors) override {
        head(L"OnDataChange", id, status, n, errors);
        log += snap_all(n, items);
        return S_OK;
    }
    STDMETHODIMP OnReadComplete(DWORD id, HRESULT status, DWORD n, OPCHDA_ITEM* items, HRESULT* errors) override {
        head(L"OnReadComplete", id, status, n, errors);
        log += snap_all(n, items);
        return S_OK;
    }
    STDMETHODIMP OnReadModifiedComplete(DWORD id, HRESULT status, DWORD n, OPCHDA_MODIFIEDITEM* items,
                                        HRESULT* errors) override {
        head(L"OnReadModifiedComplete", id, status, n, errors);
        log += snap_all(n, items);
        return S_OK;
    }
    STDMETHODIMP OnReadAttributeComplete(DWORD id, HRESULT status, OPCHANDLE client, DWORD n, OPCHDA_ATTRIBUTE* attrs,
                                         HRESULT* errors) override {
        head(L"OnReadAttributeComplete", id, status, n, errors);
        log += std::to_wstring(client) + L"\n" + snap_all(n, attrs);
        return S_OK;
    }
    STDMETHODIMP OnReadAnnotations(DWORD id, HRESULT status, DWORD n, OPCHDA_ANNOTATION* anns,
                                   HRESULT* errors) override {
        head(L"OnReadAnnotations", id, status, n, errors);
        log += snap_all(n, anns);
        return S_OK;
    }
    STDMETHODIMP OnInsertAnnotations(DWORD id, HRESULT status, DWORD n, OPCHANDLE* clients, HRESULT* errors) override {
        head(L"OnInsertAnnotations", id, status, n, errors);
        for (DWORD i = 0; i < n; ++i) log += std::to_wstring(clients[i]) + L",";
        return S_OK;
    }
    STDMETHODIMP OnPlayback(DWORD id, HRESULT status, DWORD n, OPCHDA_ITEM** items, HRESULT* errors) override {
        head(L"OnPlayback", id, status, n, errors);
        for (DWORD i = 0; i < n; ++i) log += items[i] ? snap(*items[i]) + L"\n" : L"null\n";
        return S_OK;
    }
    STDMETHODIMP OnUpdateComplete(DWORD id, HRESULT status, DWORD n, OPCHANDLE* clients, HRESULT* errors) override {
        head(L"OnUpdateComplete", id, status, n, errors);
        for (DWORD i = 0; i < n; ++i) log += std::to_wstring(clients[i]) + L",";
        return S_OK;
    }
    STDMETHODIMP OnCancelComplete(DWORD cancel_id) override {
        head(L"OnCancelComplete", cancel_id, S_OK, 0, nullptr);
        return S_OK;
    }
    STDMETHODIMP ShutdownRequest(LPCWSTR reason) override {
        calling_thread = GetCurrentThreadId();
        log = L"ShutdownRequest " + std::wstring(reason);
        return S_OK;
    }
};

class CallbackMarshal : public ::testing::Test {
protected:
    void SetUp() override {
        host_ = std::make_unique<ApartmentHost>(COINIT_APARTMENTTHREADED, IID_IOPCHDA_DataCallback, [this] {
            sink_ = new FakeSink;
            return static_cast<IOPCHDA_DataCallback*>(sink_);
        });
        ASSERT_EQ(S_OK, host_->unmarshal(reinterpret_cast<void**>(&callback_)));
        ASSERT_NE(static_cast<IOPCHDA_DataCallback*>(sink_), callback_);
    }
    void TearDown() override {
        if (callback_) callback_->Release();
        host_.reset();
    }
    std::wstring received() const {
        EXPECT_EQ(host_->thread_id(), sink_->calling_thread);  // delivered in the sink's STA
        return sink_->log;
    }

    std::unique_ptr<ApartmentHost> host_;
    FakeSink* sink_ = nullptr;
    IOPCHDA_DataCallback* callback_ = nullptr;
};

TEST_F(CallbackMarshal, ItemResultsArriveIntactIncludingPlaybackPointerArrays) {
    OPCHDA_ITEM items[3]{};
    fill_item(items[0], 1, 4);
    fill_item(items[1], 2, 0);
    fill_item(items[2], 3, 6);
    HRESULT errors[] = {S_OK, OPCHDA_S_NODATA, OPCHDA_S_EXTRADATA};
    LONG before = outstanding_task_memory();

    ASSERT_EQ(S_OK, callback_->OnDataChange(11, S_OK, 3, items, errors));
    EXPECT_EQ(L"OnDataChange 11 0; 0;40041002;40041006;\n" + snap_all(3, items), received());
    ASSERT_EQ(S_OK, callback_->OnReadComplete(12, OPCHDA_S_MOREDATA, 3, items, errors));
    EXPECT_EQ(L"OnReadComplete 12 40041003; 0;40041002;40041006;\n" + snap_all(3, items), received());

    OPCHDA_ITEM* slices[] = {&items[2], &items[0]};
    ASSERT_EQ(S_OK, callback_->OnPlayback(13, S_OK, 2, slices, errors));
    EXPECT_EQ(L"OnPlayback 13 0; 0;40041002;\n" + snap(items[2]) + L"\n" + snap(items[0]) + L"\n", received());
    EXPECT_EQ(before, outstanding_task_memory());  // in-parameters leave nothing behind
    for (auto& item : items) ClearHistorianAnswer(item);
}

TEST_F(CallbackMarshal, ModifiedAttributeAndAnnotationResultsArriveIntact) {
    OPCHDA_MODIFIEDITEM modified[2]{};
    fill_modified(modified[0], 4, 3);
    fill_modified(modified[1], 5, 1);
    HRESULT errors[] = {S_OK, OPCHDA_E_NODATAEXISTS};
    ASSERT_EQ(S_OK, callback_->OnReadModifiedComplete(21, S_FALSE, 2, modified, errors));
    EXPECT_EQ(L"OnReadModifiedComplete 21 1; 0;c004100d;\n" + snap_all(2, modified), received());
    for (auto& m : modified) ClearHistorianAnswer(m);

    OPCHDA_ATTRIBUTE attrs[2]{};
    fill_attribute(attrs[0], 77, OPCHDA_DESCRIPTION, 2);
    fill_attribute(attrs[1], 77, OPCHDA_NORMAL_MAXIMUM, 4);
    ASSERT_EQ(S_OK, callback_->OnReadAttributeComplete(22, S_OK, 77, 2, attrs, errors));
    EXPECT_EQ(L"OnReadAttributeComplete 22 0; 0;c004100d;\n77\n" + snap_all(2, attrs), received());
    for (auto& a : attrs) ClearHistorianAnswer(a);

    OPCHDA_ANNOTATION anns[2]{};
    fill_annotation(anns[0], 6, 2);
    fill_annotation(anns[1], 7, 0);
    ASSERT_EQ(S_OK, callback_->OnReadAnnotations(23, S_OK, 2, anns, errors));
    EXPECT_EQ(L"OnReadAnnotations 23 0; 0;c004100d;\n" + snap_all(2, anns), received());
    for (auto& a : anns) ClearHistorianAnswer(a);
}

TEST_F(CallbackMarshal, CompletionNoticesAndShutdownArrive) {
    OPCHANDLE clients[] = {5, 6, 7};
    HRESULT errors[] = {OPCHDA_S_INSERTED, OPCHDA_S_REPLACED, OPCHDA_E_DATAEXISTS};
    ASSERT_EQ(S_OK, callback_->OnInsertAnnotations(31, S_FALSE, 3, clients, errors));
    EXPECT_EQ(L"OnInsertAnnotations 31 1; 4004100e;4004100f;c004100b;\n5,6,7,", received());
    ASSERT_EQ(S_OK, callback_->OnUpdateComplete(32, S_OK, 3, clients, errors));
    EXPECT_EQ(L"OnUpdateComplete 32 0; 4004100e;4004100f;c004100b;\n5,6,7,", received());
    ASSERT_EQ(S_OK, callback_->OnCancelComplete(33));
    EXPECT_EQ(L"OnCancelComplete 33 0; null\n", received());

    IOPCShutdown* shutdown = nullptr;
    ASSERT_EQ(S_OK, callback_->QueryInterface(IID_IOPCShutdown, reinterpret_cast<void**>(&shutdown)));
    ASSERT_EQ(S_OK, shutdown->ShutdownRequest(L"Historian stopping \u00e4"));
    EXPECT_EQ(L"ShutdownRequest Historian stopping \u00e4", received());
    shutdown->Release();
}

}  // namespace
