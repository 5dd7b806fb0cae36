#include "sync_fixture.h"

namespace synctest {

DATE LocalNow() {
    SYSTEMTIME now;
    GetLocalTime(&now);
    DATE date = 0;
    SystemTimeToVariantTime(&now, &date);
    return date;
}

void ConnectedServer::Connect(Where where) {
    where_ = where;
    const CLSID& controlClass = where == Where::InProcess ? CLSID_HdaSimControl : CLSID_HdaSimControlLocal;
    DWORD context = where == Where::InProcess ? CLSCTX_INPROC_SERVER : CLSCTX_LOCAL_SERVER;
    // The run's local server serves from before the first test to the end.
    ASSERT_HRESULT_SUCCEEDED(CoCreateInstance(controlClass, nullptr, context, IID_IHdaSimControl, control_.put_void()));
    control_->ResetDefaults();
    control_->ClearFaults();

    ASSERT_HRESULT_SUCCEEDED(comtest::CreateServer(server_));
    UniqueBstr progID(ProgIDOf(where));
    VARIANT node;
    VariantInit(&node);
    ASSERT_EQ(server_->Connect(progID.get(), node), S_OK);
    ASSERT_HRESULT_SUCCEEDED(server_->get_OPCHDAItems(items_.put()));

    struct {
        const wchar_t* id;
        ComPtr<OPCHDAItem>* item;
        LONG* handle;
    } adds[] = {{kRamp, &ramp_, &rampHandle_}, {kStep, &step_, &stepHandle_}, {kText, &text_, &textHandle_}};
    LONG clientHandle = 1;
    for (auto& add : adds) {
        UniqueBstr id(add.id);
        ASSERT_EQ(items_->AddItem(id.get(), clientHandle++, add.item->put()), S_OK);
        ASSERT_HRESULT_SUCCEEDED((*add.item)->get_ServerHandle(add.handle));
    }
}

void ConnectedServer::TearDown() {
    ramp_ = nullptr;
    step_ = nullptr;
    text_ = nullptr;
    items_ = nullptr;
    server_ = nullptr;
    if (control_) {
        // Releasing the server object removed its items at the historian.
        EXPECT_EQ(OutstandingHandles(), 0);
        ExpectAnswerFreed();  // counted in process only
        control_->ClearFaults();
        control_->ResetDefaults();
        control_ = nullptr;
    }
    comtest::ComTest::TearDown();
}

LONG ConnectedServer::OutstandingTaskMemory() {
    LONG count = -1;
    EXPECT_HRESULT_SUCCEEDED(control_->OutstandingTaskMemory(&count));
    return count;
}

LONG ConnectedServer::OutstandingHandles() {
    LONG count = -1;
    EXPECT_HRESULT_SUCCEEDED(control_->OutstandingHandles(&count));
    return count;
}

LONG ConnectedServer::CallCount(const wchar_t* method) {
    LONG count = -1;
    EXPECT_HRESULT_SUCCEEDED(control_->CallCount(method, &count));
    return count;
}

void ConnectedServer::ExpectAnswerFreed() {
    if (where_ == Where::InProcess) {
        EXPECT_EQ(OutstandingTaskMemory(), 0) << "historian memory not freed";
    }
}

ComPtr<OPCHDAHistory> ConnectedServer::HistoryAt(SAFEARRAY* values, LONG index) {
    ComPtr<OPCHDAHistory> history;
    UniqueVariant element;
    EXPECT_HRESULT_SUCCEEDED(SafeArrayGetElement(values, &index, element.get()));
    EXPECT_EQ(element->vt, VT_DISPATCH);
    if (element->vt == VT_DISPATCH && element->pdispVal)
        element->pdispVal->QueryInterface(IID_OPCHDAHistory, history.put_void());
    return history;
}

LONG ConnectedServer::CountOf(OPCHDAHistory* history) {
    LONG count = -1;
    EXPECT_HRESULT_SUCCEEDED(history->get_Count(&count));
    return count;
}

}  // namespace synctest
