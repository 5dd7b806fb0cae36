// GetOPCHDAServers against the server list substitute: batches, failures,
// the target node, and names that Connect accepts.
#include "server_test_support.h"

#include "module_state.h"

namespace servertest {
namespace {

using comtest::VarBstr;
using comtest::VarMissing;

class DiscoveryTest : public comtest::ComTest {
protected:
    void SetUp() override {
        ComTest::SetUp();
        // The simulator's library is loaded before the component creates anything in it.
        keepSim_ = SimControl(Where::InProcess);
        server_ = NewLinkedServer();
    }
    void TearDown() override {
        server_ = nullptr;
        keepSim_ = nullptr;
        RecordingRuntime::LastHistorian() = nullptr;
        EXPECT_EQ(Module::LockCount(), 0);
        ComTest::TearDown();
    }
    // The names listed, with the result.
    HRESULT List(std::vector<std::wstring>* names, VARIANT node = VarMissing()) {
        UniqueVariant result;
        HRESULT hr = server_->GetOPCHDAServers(node, result.get());
        VariantClear(&node);
        if (FAILED(hr)) {
            EXPECT_EQ(result->vt, VT_EMPTY) << "a failure leaves the result untouched";
            return hr;
        }
        EXPECT_EQ(result->vt, VT_ARRAY | VT_BSTR);
        if (result->vt != (VT_ARRAY | VT_BSTR)) return hr;
        LONG lower = 0, upper = -1;
        SafeArrayGetLBound(result->parray, 1, &lower);
        SafeArrayGetUBound(result->parray, 1, &upper);
        EXPECT_EQ(lower, 1);
        for (LONG i = lower; i <= upper; ++i) {
            BSTR s = nullptr;
            SafeArrayGetElement(result->parray, &i, &s);
            names->push_back(Text(s));
            SysFreeString(s);
        }
        return hr;
    }
    RecordingRuntime runtime_;
    ServerListSettings settings_;
    ComPtr<IOPCHDAAutoServer> server_;
    ComPtr<IHdaSimControl> keepSim_;
};

std::wstring Synthetic(int index) { return L"Sim.Synthetic." + std::to_wstring(index); }

TEST_F(DiscoveryTest, CountsInBatchesOfOneHundred) {
    for (DWORD count : {0u, 1u, 100u, 250u}) {
        SCOPED_TRACE(count);
        settings_.Set(L"count", count);
        std::vector<std::wstring> names;
        EXPECT_EQ(List(&names), S_FALSE);
        ASSERT_EQ(names.size(), count);
        for (DWORD i = 0; i < count; ++i) EXPECT_EQ(names[i], Synthetic(static_cast<int>(i) + 1));
    }
}

TEST_F(DiscoveryTest, AClassWithoutDetailsIsLeftOut) {
    settings_.Set(L"count", 3, 0, L"{4D1A5E00-0000-4000-8000-000000000002}");
    std::vector<std::wstring> names;
    EXPECT_EQ(List(&names), S_FALSE);
    EXPECT_EQ(names, (std::vector<std::wstring>{Synthetic(1), Synthetic(3)}));
}

TEST_F(DiscoveryTest, FailuresOfTheListAreReturnedAndNothingIsGiven) {
    const HRESULT failure = static_cast<HRESULT>(0x80040E10);
    std::vector<std::wstring> names;
    // The enumerator fails on its second batch, after 100 names were read.
    settings_.Set(L"enumfail", 150, static_cast<DWORD>(failure));
    EXPECT_EQ(List(&names), failure);
    settings_.Set(L"fail", 0, static_cast<DWORD>(failure));
    EXPECT_EQ(List(&names), failure);
    settings_.Set(L"createfail", 0, static_cast<DWORD>(failure));
    EXPECT_EQ(List(&names), failure);
    EXPECT_TRUE(names.empty());
}

TEST_F(DiscoveryTest, NoServerListAtAll) {
    RecordingRuntime::FailClass(CLSID_OpcServerList, REGDB_E_CLASSNOTREG);
    std::vector<std::wstring> names;
    EXPECT_EQ(List(&names), REGDB_E_CLASSNOTREG);
}

TEST_F(DiscoveryTest, AsksTheNamedNodesServerList) {
    std::vector<std::wstring> names;
    EXPECT_EQ(List(&names, VarBstr(L"HistorianHost")), S_FALSE);
    ASSERT_EQ(RecordingRuntime::Calls().size(), 1u);
    const CreationCall& call = RecordingRuntime::Calls()[0];
    EXPECT_TRUE(call.remote);
    EXPECT_EQ(call.node, L"HistorianHost");
    EXPECT_EQ(call.context, static_cast<DWORD>(CLSCTX_REMOTE_SERVER));
    EXPECT_TRUE(IsEqualIID(call.iid, IID_IOPCServerList));

    RecordingRuntime::Calls().clear();
    EXPECT_EQ(List(&names, VarBstr(L"localhost")), S_FALSE);
    ASSERT_EQ(RecordingRuntime::Calls().size(), 1u);
    EXPECT_FALSE(RecordingRuntime::Calls()[0].remote);
    EXPECT_EQ(RecordingRuntime::Calls()[0].context, 0x17u);
}

TEST_F(DiscoveryTest, ListedNamesConnectAndListingLeavesTheConnectionAlone) {
    std::vector<std::wstring> names;
    EXPECT_EQ(List(&names), S_FALSE);
    bool found = false;
    for (const std::wstring& name : names) {
        // The list gives the class's own ProgID, version included.
        if (name != L"Sim.HdaHistorian.1") continue;
        found = true;
        UniqueBstr progID(name.c_str());
        EXPECT_EQ(server_->Connect(progID.get(), VarMissing()), S_OK);
    }
    EXPECT_TRUE(found) << "the in-process simulator is registered in the historian category";
    std::vector<std::wstring> again;
    EXPECT_EQ(List(&again), S_FALSE);
    EXPECT_EQ(again, names);
    EXPECT_EQ(ServerName(server_.get()), L"Sim.HdaHistorian.1");
    LONG status = 0;
    EXPECT_EQ(server_->get_HistorianStatus(&status), S_OK);
}

TEST_F(DiscoveryTest, ByNameThroughIDispatch) {
    settings_.Set(L"count", 2);
    ComPtr<IDispatch> dispatch;
    ASSERT_EQ(server_.query(IID_IDispatch, dispatch), S_OK);
    UniqueVariant result;
    ASSERT_EQ(comtest::CallMethod(dispatch.get(), L"GetOPCHDAServers", {}, result.get()), S_OK);
    ASSERT_EQ(result->vt, VT_ARRAY | VT_BSTR);
    LONG upper = 0;
    SafeArrayGetUBound(result->parray, 1, &upper);
    EXPECT_EQ(upper, 2);
}

}  // namespace
}  // namespace servertest
