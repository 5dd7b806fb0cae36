// Connect and Disconnect: where the historian is created and how it is asked
// for, the CLSID resolution, the interfaces kept, the two advises and their
// undoing, down to the final release of a connected object.
#include "server_test_support.h"

#include "module_state.h"

#include <cwctype>

namespace servertest {
namespace {

using comtest::VarBstr;
using comtest::VarEmpty;
using comtest::VarI4;
using comtest::VarMissing;

constexpr DWORD kThisComputer = 0x17;

class LinkedTest : public comtest::ComTest {
protected:
    void SetUp() override {
        ComTest::SetUp();
        control_ = SimControl(Where::InProcess);
        ASSERT_TRUE(control_);
        control_->ResetDefaults();
        control_->ClearFaults();
    }
    void TearDown() override {
        if (control_) {
            control_->ClearFaults();
            control_->ResetDefaults();
        }
        control_ = nullptr;
        RecordingRuntime::LastHistorian() = nullptr;
        EXPECT_EQ(Module::LockCount(), 0) << "an object of the component is still alive";
        ComTest::TearDown();
    }
    // Connects to the in-process simulator; the historian's control is kept.
    HRESULT ConnectSim(IOPCHDAAutoServer* server, VARIANT node) {
        UniqueBstr progID(kSimInProc);
        HRESULT hr = server->Connect(progID.get(), node);
        VariantClear(&node);
        return hr;
    }

    RecordingRuntime runtime_;
    ComPtr<IHdaSimControl> control_;
};

std::wstring ComputerName() {
    char name[64];
    DWORD size = sizeof(name);
    EXPECT_TRUE(GetComputerNameA(name, &size));
    wchar_t wide[64];
    MultiByteToWideChar(CP_ACP, 0, name, -1, wide, 64);
    return wide;
}

TEST_F(LinkedTest, NodesNamingThisComputerCreateHereWithTheFullContext) {
    std::wstring upper = ComputerName(), lower = upper;
    for (auto& c : upper) c = towupper(c);
    for (auto& c : lower) c = towlower(c);
    struct Case {
        const char* what;
        VARIANT node;
    } cases[] = {
        {"absent", VarMissing()},
        {"empty variant", VarEmpty()},
        {"number", VarI4(42)},
        {"LOCALHOST", VarBstr(L"LOCALHOST")},
        {"loopback", VarBstr(L"127.0.0.1")},
        {"empty text", VarBstr(L"")},
        {"null text", VarBstr(nullptr)},
        {"name upper", VarBstr(upper.c_str())},
        {"name lower", VarBstr(lower.c_str())},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.what);
        RecordingRuntime::Calls().clear();
        ComPtr<IOPCHDAAutoServer> server = NewLinkedServer();
        ASSERT_EQ(ConnectSim(server.get(), c.node), S_OK);
        auto lists = RecordingRuntime::CallsFor(IID_IOPCServerList);
        auto historians = RecordingRuntime::CallsFor(IID_IOPCHDA_Server);
        ASSERT_EQ(lists.size(), 1u);
        ASSERT_EQ(historians.size(), 1u);
        EXPECT_FALSE(lists[0].remote);
        EXPECT_TRUE(IsEqualCLSID(lists[0].clsid, CLSID_OpcServerList));
        EXPECT_EQ(lists[0].context, kThisComputer);
        EXPECT_FALSE(historians[0].remote);
        EXPECT_TRUE(IsEqualCLSID(historians[0].clsid, CLSID_HdaSimHistorian));
        EXPECT_EQ(historians[0].context, kThisComputer);
        EXPECT_TRUE(historians[0].outerNull);
        EXPECT_EQ(ServerNode(server.get()), L"");
        EXPECT_EQ(ServerName(server.get()), kSimInProc);
    }
}

TEST_F(LinkedTest, AnyOtherNodeIsAskedForByNameAloneAndKeptUnchanged) {
    for (const wchar_t* node : {L"HistorianHost", L"localhost.", L"::1", L" 127.0.0.1"}) {
        SCOPED_TRACE(testing::Message() << "node " << std::string(node, node + wcslen(node)));
        RecordingRuntime::Calls().clear();
        ComPtr<IOPCHDAAutoServer> server = NewLinkedServer();
        ASSERT_EQ(ConnectSim(server.get(), VarBstr(node)), S_OK);
        auto lists = RecordingRuntime::CallsFor(IID_IOPCServerList);
        auto historians = RecordingRuntime::CallsFor(IID_IOPCHDA_Server);
        ASSERT_EQ(lists.size(), 1u);
        ASSERT_EQ(historians.size(), 1u);
        for (const CreationCall& call : {lists[0], historians[0]}) {
            EXPECT_TRUE(call.remote);
            EXPECT_EQ(call.context, static_cast<DWORD>(CLSCTX_REMOTE_SERVER));
            EXPECT_EQ(call.node, node);
            EXPECT_TRUE(call.serverInfoOnlyName);
            EXPECT_EQ(call.queryCount, 1u);
            EXPECT_TRUE(call.outerNull);
        }
        EXPECT_TRUE(IsEqualCLSID(lists[0].clsid, CLSID_OpcServerList));
        EXPECT_TRUE(IsEqualCLSID(historians[0].clsid, CLSID_HdaSimHistorian));
        EXPECT_EQ(ServerNode(server.get()), node);
        LONG status = 0;
        EXPECT_EQ(server->get_HistorianStatus(&status), S_OK);
        EXPECT_EQ(status, 1);
    }
}

TEST_F(LinkedTest, ProgIDResolvesThroughRegistryAndCLSIDTextWhenTheServerListCannot) {
    // The remote node has no server list: this computer's registry answers.
    RecordingRuntime::FailClass(CLSID_OpcServerList, REGDB_E_CLASSNOTREG);
    ComPtr<IOPCHDAAutoServer> server = NewLinkedServer();
    EXPECT_EQ(ConnectSim(server.get(), VarBstr(L"FarAway")), S_OK);
    ASSERT_EQ(RecordingRuntime::CallsFor(IID_IOPCHDA_Server).size(), 1u);
    EXPECT_TRUE(IsEqualCLSID(RecordingRuntime::CallsFor(IID_IOPCHDA_Server)[0].clsid, CLSID_HdaSimHistorian));

    // A CLSID text matches no ProgID anywhere and is read as the CLSID.
    const wchar_t* clsidText = L"{6B1F5C21-3A7D-4E59-9C1B-2D8E4F6A7B01}";
    UniqueBstr text(clsidText);
    EXPECT_EQ(server->Connect(text.get(), VarMissing()), S_OK);
    EXPECT_EQ(ServerName(server.get()), clsidText);

    // Nothing accepts it: CLSIDFromString's code, and the object is disconnected.
    UniqueBstr unknown(L"No.Such.Historian");
    CLSID ignored;
    HRESULT expected = CLSIDFromString(unknown.get(), &ignored);
    ASSERT_TRUE(FAILED(expected));
    EXPECT_EQ(server->Connect(unknown.get(), VarMissing()), expected);
    EXPECT_EQ(ServerName(server.get()), L"");
    LONG status = 0;
    EXPECT_EQ(server->get_HistorianStatus(&status), E_FAIL);
}

TEST_F(LinkedTest, FailedCreationLeavesTheObjectDisconnectedWithEmptyNames) {
    ComPtr<IOPCHDAAutoServer> server = NewLinkedServer();
    ASSERT_EQ(ConnectSim(server.get(), VarMissing()), S_OK);
    ComPtr<IHdaSimControl> first = RecordingRuntime::LastHistorian();
    ASSERT_TRUE(first);
    RecordingRuntime::LastHistorian() = nullptr;

    RecordingRuntime::FailClass(CLSID_HdaSimHistorian, E_ACCESSDENIED);
    EXPECT_EQ(ConnectSim(server.get(), VarMissing()), E_ACCESSDENIED);
    EXPECT_EQ(ServerName(server.get()), L"");
    LONG status = 0;
    EXPECT_EQ(server->get_HistorianStatus(&status), E_FAIL);
    // The leading Disconnect let go of the first historian entirely.
    LONG data = 0, shutdowns = 0;
    AdviseCounts(first.get(), &data, &shutdowns);
    EXPECT_EQ(data, 0);
    EXPECT_EQ(shutdowns, 0);
    EXPECT_EQ(RefCount(first.get()), 1u);
}

TEST_F(LinkedTest, HistorianWithoutTheServerInterfaceIsNotConnected) {
    control_->RefuseInterface(IID_IOPCHDA_Server, TRUE);
    ComPtr<IOPCHDAAutoServer> server = NewLinkedServer();
    EXPECT_EQ(ConnectSim(server.get(), VarMissing()), E_NOINTERFACE);
    EXPECT_EQ(ServerName(server.get()), L"");
    LONG status = 0;
    EXPECT_EQ(server->get_HistorianStatus(&status), E_FAIL);
}

TEST_F(LinkedTest, EachOptionalInterfaceMayBeMissing) {
    const IID* optional[] = {&IID_IOPCHDA_SyncRead,  &IID_IOPCHDA_SyncUpdate,  &IID_IOPCHDA_SyncAnnotations,
                             &IID_IOPCHDA_AsyncRead, &IID_IOPCHDA_AsyncUpdate, &IID_IOPCHDA_AsyncAnnotations,
                             &IID_IOPCHDA_Playback,  &IID_IOPCCommon};
    for (const IID* iid : optional) {
        SCOPED_TRACE(testing::Message() << "refused interface " << iid->Data1);
        control_->ClearFaults();
        control_->ResetDefaults();
        control_->RefuseInterface(*iid, TRUE);
        ComPtr<IOPCHDAAutoServer> server = NewLinkedServer();
        ASSERT_EQ(ConnectSim(server.get(), VarMissing()), S_OK);
        LONG status = 0;
        EXPECT_EQ(server->get_HistorianStatus(&status), S_OK);
        LONG data = 0, shutdowns = 0;
        AdviseCounts(RecordingRuntime::LastHistorian().get(), &data, &shutdowns);
        EXPECT_EQ(data, 1);
        // Without IOPCCommon there is nothing to advise the shutdown sink on.
        EXPECT_EQ(shutdowns, IsEqualIID(*iid, IID_IOPCCommon) ? 0 : 1);
        LONG locale = 0;
        EXPECT_EQ(server->get_LocaleID(&locale), IsEqualIID(*iid, IID_IOPCCommon) ? E_FAIL : S_OK);
        LONG can = -1;
        EXPECT_EQ(server->get_CanSyncInsert(&can), S_OK);
        EXPECT_EQ(can, IsEqualIID(*iid, IID_IOPCHDA_SyncUpdate) ? 0 : 1);
        EXPECT_EQ(server->get_CanAsyncInsert(&can), S_OK);
        EXPECT_EQ(can, IsEqualIID(*iid, IID_IOPCHDA_AsyncUpdate) ? 0 : 1);
        EXPECT_EQ(server->get_CanSyncReadAnnotations(&can), S_OK);
        EXPECT_EQ(can, IsEqualIID(*iid, IID_IOPCHDA_SyncAnnotations) ? 0 : 1);
        EXPECT_EQ(server->get_CanAsyncReadAnnotations(&can), S_OK);
        EXPECT_EQ(can, IsEqualIID(*iid, IID_IOPCHDA_AsyncAnnotations) ? 0 : 1);
    }
}

TEST_F(LinkedTest, ClientNamePutBeforeConnectIsEmptiedAndNeverSent) {
    ComPtr<IOPCHDAAutoServer> server = NewLinkedServer();
    UniqueBstr name(L"early client");
    EXPECT_EQ(server->put_ClientName(name.get()), S_OK);
    ASSERT_EQ(ConnectSim(server.get(), VarMissing()), S_OK);
    UniqueBstr stored;
    EXPECT_EQ(server->get_ClientName(stored.put()), S_OK);
    EXPECT_EQ(Text(stored.get()), L"");
    EXPECT_EQ(CallCount(RecordingRuntime::LastHistorian().get(), L"SetClientName"), 0);

    UniqueBstr late(L"late client");
    EXPECT_EQ(server->put_ClientName(late.get()), S_OK);
    EXPECT_EQ(CallCount(RecordingRuntime::LastHistorian().get(), L"SetClientName"), 1);
    RecordingRuntime::LastHistorian()->FailMethod(L"SetClientName", E_ACCESSDENIED);
    EXPECT_EQ(server->put_ClientName(late.get()), E_ACCESSDENIED);
    EXPECT_EQ(server->get_ClientName(stored.put()), S_OK);
    EXPECT_EQ(Text(stored.get()), L"late client");
}

TEST_F(LinkedTest, DisconnectWhenDisconnectedOnlyEmptiesTheStrings) {
    ComPtr<IOPCHDAAutoServer> server = NewLinkedServer();
    UniqueBstr name(L"somebody");
    server->put_ClientName(name.get());
    EXPECT_EQ(server->Disconnect(), S_OK);
    EXPECT_EQ(server->Disconnect(), S_OK);
    UniqueBstr stored;
    EXPECT_EQ(server->get_ClientName(stored.put()), S_OK);
    EXPECT_EQ(Text(stored.get()), L"");
    EXPECT_TRUE(RecordingRuntime::Calls().empty());
}

// The historian's references and advises, in process and through a proxy.
class LifetimeTest : public comtest::ComTest, public testing::WithParamInterface<Where> {
protected:
    void SetUp() override {
        ComTest::SetUp();
        keepSim_ = SimControl(GetParam());
    }
    void TearDown() override {
        keepSim_ = nullptr;
        RecordingRuntime::LastHistorian() = nullptr;
        EXPECT_EQ(Module::LockCount(), 0) << "an object of the component is still alive";
        ComTest::TearDown();
    }
    void ExpectReleased(IHdaSimControl* historian, bool countReferences = true) {
        RecordingRuntime::LastHistorian() = nullptr;  // the seam's own reference
        LONG data = -1, shutdowns = -1;
        AdviseCounts(historian, &data, &shutdowns);
        EXPECT_EQ(data, 0);
        EXPECT_EQ(shutdowns, 0);
        // The simulator's worker may hold its historian a moment after a callback.
        if (!countReferences) return;
        for (int i = 0; i < 3000 && RefCount(historian) != 1; ++i) Sleep(20);  // a minute at most
        EXPECT_EQ(RefCount(historian), 1u) << "the component still holds the historian";
    }
    RecordingRuntime runtime_;
    ComPtr<IHdaSimControl> keepSim_;
};

TEST_P(LifetimeTest, DisconnectUndoesBothAdvisesAndReleasesTheHistorian) {
    ComPtr<IOPCHDAAutoServer> server = NewLinkedServer();
    UniqueBstr progID(ProgIDOf(GetParam()));
    ASSERT_EQ(server->Connect(progID.get(), VarMissing()), S_OK);
    ComPtr<IHdaSimControl> historian = RecordingRuntime::LastHistorian();
    ASSERT_TRUE(historian);
    LONG data = 0, shutdowns = 0;
    AdviseCounts(historian.get(), &data, &shutdowns);
    EXPECT_EQ(data, 1);
    EXPECT_EQ(shutdowns, 1);
    EXPECT_EQ(server->Disconnect(), S_OK);
    ExpectReleased(historian.get());
}

TEST_P(LifetimeTest, FinalReleaseOfAConnectedObjectDisconnectsIt) {
    ComPtr<IHdaSimControl> historian;
    {
        ComPtr<IOPCHDAAutoServer> server = NewLinkedServer();
        UniqueBstr progID(ProgIDOf(GetParam()));
        ASSERT_EQ(server->Connect(progID.get(), VarMissing()), S_OK);
        historian = RecordingRuntime::LastHistorian();
        ASSERT_TRUE(historian);
        // No Disconnect: the client just lets go.
    }
    ExpectReleased(historian.get());
    EXPECT_EQ(Module::LockCount(), 0);
}

TEST_P(LifetimeTest, SecondConnectLetsGoOfTheFirstHistorian) {
    ComPtr<IOPCHDAAutoServer> server = NewLinkedServer();
    UniqueBstr progID(ProgIDOf(GetParam()));
    ASSERT_EQ(server->Connect(progID.get(), VarMissing()), S_OK);
    ComPtr<IHdaSimControl> first = RecordingRuntime::LastHistorian();
    ASSERT_EQ(server->Connect(progID.get(), VarMissing()), S_OK);
    ComPtr<IHdaSimControl> second = RecordingRuntime::LastHistorian();
    ExpectReleased(first.get());
    LONG data = 0, shutdowns = 0;
    AdviseCounts(second.get(), &data, &shutdowns);
    EXPECT_EQ(data, 1);
    EXPECT_EQ(shutdowns, 1);
    server = nullptr;
    ExpectReleased(second.get());
}

TEST_P(LifetimeTest, ShutdownRequestReachesTheObjectAndNotAfterItsRelease) {
    ComPtr<IOPCHDAAutoServer> server = NewLinkedServer();
    UniqueBstr progID(ProgIDOf(GetParam()));
    ASSERT_EQ(server->Connect(progID.get(), VarMissing()), S_OK);
    ComPtr<IHdaSimControl> historian = RecordingRuntime::LastHistorian();
    // The sink forwards to the object (whose handler is a later concern).
    EXPECT_EQ(historian->SendShutdown(L"maintenance"), S_OK);
    server = nullptr;
    EXPECT_EQ(historian->SendShutdown(L"after the end"), S_OK);
    // The in-process simulator keeps a reference on itself once it has sent a
    // shutdown request; the component's own count is checked at tear-down.
    ExpectReleased(historian.get(), false);
}

INSTANTIATE_TEST_SUITE_P(Historian, LifetimeTest, testing::ValuesIn(comtest::kBothSides), NameOf);

}  // namespace
}  // namespace servertest
