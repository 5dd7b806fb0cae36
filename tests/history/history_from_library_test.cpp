// Histories as a client gets them: from a raw read through the registered
// library against the simulator, kept after the server object is gone.
#include <windows.h>
#include <oleauto.h>

#include <gtest/gtest.h>

#include "OPCHDAAuto.h"
#include "com_holders.h"
#include "sim_control.h"
#include "support/com_test.h"

using namespace comtest;

namespace {

struct Where {
    const wchar_t* progID;
    const CLSID* control;
    bool countsTaskMemory;
};
const Where kInProc{L"Sim.HdaHistorian", &CLSID_HdaSimControl, true};
const Where kLocal{L"Sim.HdaHistorian.Local", &CLSID_HdaSimControlLocal, false};

class LibraryHistory : public ComTest, public testing::WithParamInterface<Where> {
protected:
    // One hour of the ramp (a value every 10 s) read through the collection.
    ComPtr<OPCHDAHistory> ReadRamp(IOPCHDAAutoServer* server, IHdaSimControl* control) {
        ComPtr<IOPCHDAItems> items;
        EXPECT_EQ(server->get_OPCHDAItems(items.put()), S_OK);
        ComPtr<OPCHDAItem> item;
        UniqueBstr id(L"Plant/Lab/Calibration/Ramp");
        EXPECT_EQ(items->AddItem(id.get(), 1, item.put()), S_OK);
        if (!item) return {};
        LONG handle = 0;
        item->get_ServerHandle(&handle);
        UniqueSafeArray handles(MakeLongArray({handle}));
        SAFEARRAY* handlesRaw = handles.get();
        UniqueVariant start, end;
        start->vt = VT_BSTR;
        start->bstrVal = SysAllocString(L"NOW-1H");
        end->vt = VT_BSTR;
        end->bstrVal = SysAllocString(L"NOW");
        UniqueSafeArray values, errors;
        HRESULT hr = items->SyncReadRaw(start.get(), end.get(), 0, 0, 1, &handlesRaw, values.put(), errors.put());
        EXPECT_TRUE(SUCCEEDED(hr)) << std::hex << hr;
        if (!values) return {};
        if (GetParam().countsTaskMemory) {
            LONG memory = -1;
            control->OutstandingTaskMemory(&memory);
            EXPECT_EQ(memory, 0);
        }
        UniqueVariant element;
        EXPECT_EQ(VariantAt(values.get(), 1, element.get()), S_OK);
        EXPECT_EQ(element->vt, VT_DISPATCH);
        ComPtr<OPCHDAHistory> history;
        if (element->vt == VT_DISPATCH) {
            EXPECT_EQ(element->pdispVal->QueryInterface(IID_OPCHDAHistory, history.put_void()), S_OK);
        }
        return history;
    }
};

TEST_P(LibraryHistory, OutlivesTheServerObject) {
    ComPtr<IHdaSimControl> control;
    ASSERT_EQ(CoCreateInstance(*GetParam().control, nullptr, CLSCTX_ALL, IID_IHdaSimControl, control.put_void()), S_OK);
    ComPtr<IOPCHDAAutoServer> server;
    ASSERT_EQ(CreateServer(server), S_OK);
    UniqueBstr progID(GetParam().progID);
    ASSERT_EQ(server->Connect(progID.get(), VarEmpty()), S_OK);
    ComPtr<OPCHDAHistory> history = ReadRamp(server.get(), control.get());
    ASSERT_TRUE(history);
    server = nullptr;  // disconnects and goes

    LONG count = 0;
    ASSERT_EQ(history->get_Count(&count), S_OK);
    EXPECT_GE(count, 300);

    // Neighbouring ramp values differ by one; time stamps ascend by 10 s.
    VARIANT first;
    VariantInit(&first);
    first.vt = VT_I4;
    first.lVal = 1;
    ComPtr<OPCHDAValue> a, b;
    ASSERT_EQ(history->Item(first, a.put()), S_OK);
    first.lVal = 2;
    ASSERT_EQ(history->Item(first, b.put()), S_OK);
    UniqueVariant va, vb;
    a->get_DataValue(va.get());
    b->get_DataValue(vb.get());
    ASSERT_EQ(va->vt, VT_R8);
    EXPECT_DOUBLE_EQ(vb->dblVal - va->dblVal, 1.0);
    DATE ta = 0, tb = 0;
    a->get_TimeStamp(&ta);
    b->get_TimeStamp(&tb);
    EXPECT_NEAR((tb - ta) * 86400.0, 10.0, 1e-3);

    // Lookup by the date the collection itself handed out.
    VARIANT byDate;
    VariantInit(&byDate);
    byDate.vt = VT_DATE;
    byDate.date = tb;
    ComPtr<OPCHDAValue> again;
    ASSERT_EQ(history->Item(byDate, again.put()), S_OK);
    UniqueVariant vAgain;
    again->get_DataValue(vAgain.get());
    EXPECT_EQ(vAgain->dblVal, vb->dblVal);

    // For Each through IDispatch, DISPID -4, then every element.
    IDispatch* dispatch = history.get();
    UniqueVariant enumerator;
    DISPPARAMS none{};
    ASSERT_EQ(dispatch->Invoke(DISPID_NEWENUM, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &none,
                               enumerator.get(), nullptr, nullptr),
              S_OK);
    ComPtr<IEnumVARIANT> walk;
    ASSERT_EQ(enumerator->punkVal->QueryInterface(IID_IEnumVARIANT, walk.put_void()), S_OK);
    LONG walked = 0;
    VARIANT got;
    while (walk->Next(1, &got, nullptr) == S_OK) {
        EXPECT_EQ(got.vt, VT_DISPATCH);
        VariantClear(&got);
        ++walked;
    }
    EXPECT_EQ(walked, count);
}

INSTANTIATE_TEST_SUITE_P(Sim, LibraryHistory, testing::Values(kInProc, kLocal),
                         [](const testing::TestParamInfo<Where>& info) {
                             return std::string(info.param.control == &CLSID_HdaSimControl ? "InProc" : "Local");
                         });

}  // namespace
