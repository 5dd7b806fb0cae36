#include "support/sim_fixture.h"

namespace comtest {

ComPtr<IHdaSimControl> SimControl(Where where) {
    ComPtr<IHdaSimControl> control;
    CoCreateInstance(where == Where::InProcess ? CLSID_HdaSimControl : CLSID_HdaSimControlLocal, nullptr,
                     where == Where::InProcess ? CLSCTX_INPROC_SERVER : CLSCTX_LOCAL_SERVER, IID_IHdaSimControl,
                     control.put_void());
    return control;
}

void ConnectedServer::Connect(Where where) {
    where_ = where;
    control_ = SimControl(where);
    ASSERT_TRUE(control_);
    control_->ResetDefaults();
    control_->ClearFaults();

    ASSERT_HRESULT_SUCCEEDED(CreateServer(server_));
    UniqueBstr progID(ProgIDOf(where));
    ASSERT_EQ(server_->Connect(progID.get(), VarEmpty()), S_OK);
    ASSERT_HRESULT_SUCCEEDED(server_->get_OPCHDAItems(items_.put()));

    const wchar_t* ids[] = {kRamp, kStep, kText};
    ComPtr<OPCHDAItem>* items[] = {&ramp_, &step_, &text_};
    LONG* handles[] = {&rampHandle_, &stepHandle_, &textHandle_};
    for (LONG k = 0; k < 3; ++k) {
        UniqueBstr id(ids[k]);
        ASSERT_EQ(items_->AddItem(id.get(), k + 1, items[k]->put()), S_OK);
        ASSERT_HRESULT_SUCCEEDED((*items[k])->get_ServerHandle(handles[k]));
    }
}

void ConnectedServer::TearDown() {
    ramp_ = step_ = text_ = nullptr;
    items_ = nullptr;
    server_ = nullptr;
    if (control_) {
        EXPECT_EQ(OutstandingHandles(), 0) << "a historian is left holding item handles";
        EXPECT_TRUE(where_ != Where::InProcess || OutstandingTaskMemory() == 0) << "historian memory not freed";
        control_->ClearFaults();
        control_->ResetDefaults();
        control_ = nullptr;
    }
    ComTest::TearDown();
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

}  // namespace comtest
