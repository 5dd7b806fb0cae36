// Connect and Disconnect: where the historian is created and how it is asked
// for, the CLSID resolution, the interfaces kept, the two advises and their
// undoing, down to the final release of a connected object.
#include "server_test_support.h"

#include <cwctype>

namespace servertest {
namespace {

using Server = IOPCHDAAutoServer;

TEST_F(ServerTest, ConnectAndListingCreateHereWithTheFullContextOrOnAnyOtherNodeByNameAlone) {
    char name[64];
    DWORD size = sizeof(name);
    ASSERT_TRUE(GetComputerNameA(name, &size));
    std::wstring upper(name, name + size), lower = upper;
    for (auto& c : upper) c = towupper(c);
    for (auto& c : lower) c = towlower(c);
    struct Row {
        const char* what;
        VARIANT node;
        const wchar_t* remote;  // the node asked for by name, or none
    } rows[] = {
        {"absent", VarMissing(), nullptr},
        {"empty variant", VarEmpty(), nullptr},
        {"number", VarI4(42), nullptr},
        {"LOCALHOST", VarBstr(L"LOCALHOST"), nullptr},
        {"loopback", VarBstr(L"127.0.0.1"), nullptr},
        {"empty text", VarBstr(L""), nullptr},
        {"null text", VarBstr(nullptr), nullptr},
        {"name upper", VarBstr(upper.c_str()), nullptr},
        {"name lower", VarBstr(lower.c_str()), nullptr},
        {"other host", VarBstr(L"HistorianHost"), L"HistorianHost"},
        {"trailing dot", VarBstr(L"localhost."), L"localhost."},
        {"IPv6 loopback", VarBstr(L"::1"), L"::1"},
        {"leading space", VarBstr(L" 127.0.0.1"), L" 127.0.0.1"},
    };
    for (Row& row : rows) {
        SCOPED_TRACE(row.what);
        g_calls.clear();
        UniqueVariant node;
        VariantCopy(node.get(), &row.node);
        ComPtr<Server> server = NewLinkedServer();
        ASSERT_EQ(Connect(server.get(), kSim, row.node), S_OK);
        EXPECT_EQ(Name(server.get(), &Server::get_ServerNode), row.remote ? row.remote : L"");
        EXPECT_EQ(Name(server.get(), &Server::get_ServerName), kSim);
        UniqueVariant names;
        EXPECT_EQ(server->GetOPCHDAServers(*node.get(), names.get()), S_FALSE);
        EXPECT_EQ(Status(server.get(), S_OK), 1) << "listing leaves the connection alone";
        // Connect: the server list, then the historian; GetOPCHDAServers: the server list.
        ASSERT_EQ(g_calls.size(), 3u);
        for (size_t i = 0; i < 3; ++i) {
            const CreationCall& call = g_calls[i];
            EXPECT_TRUE(IsEqualCLSID(call.clsid, i == 1 ? CLSID_HdaSimHistorian : CLSID_OpcServerList));
            EXPECT_TRUE(IsEqualIID(call.iid, i == 1 ? IID_IOPCHDA_Server : IID_IOPCServerList));
            EXPECT_EQ(call.remote, row.remote != nullptr);
            EXPECT_EQ(call.context, row.remote ? static_cast<DWORD>(CLSCTX_REMOTE_SERVER) : 0x17u);
            EXPECT_TRUE(call.outerNull);
            if (!row.remote) continue;
            EXPECT_EQ(call.node, row.remote);
            EXPECT_TRUE(call.serverInfoOnlyName);
            EXPECT_EQ(call.queryCount, 1u);
        }
    }
}

TEST_F(ServerTest, ProgIDResolutionAndFailedConnects) {
    ComPtr<Server> server = NewLinkedServer();
    auto expectDisconnected = [&] {
        EXPECT_EQ(Name(server.get(), &Server::get_ServerName), L"");
        Status(server.get(), E_FAIL);
    };
    sim_->RefuseInterface(IID_IOPCHDA_Server, TRUE);
    EXPECT_EQ(Connect(server.get(), kSim), E_NOINTERFACE);
    expectDisconnected();
    sim_->RefuseInterface(IID_IOPCHDA_Server, FALSE);

    // The remote node has no server list: this computer's registry answers.
    g_failures.emplace_back(CLSID_OpcServerList, REGDB_E_CLASSNOTREG);
    EXPECT_EQ(Connect(server.get(), kSim, VarBstr(L"FarAway")), S_OK);
    ASSERT_EQ(g_calls.size(), 4u);  // the list and the historian, twice
    EXPECT_TRUE(IsEqualCLSID(g_calls[3].clsid, CLSID_HdaSimHistorian));
    ComPtr<IHdaSimControl> first = g_lastHistorian;
    ASSERT_TRUE(first);
    // A CLSID text matches no ProgID anywhere and is read as the CLSID; the
    // Disconnect that every Connect begins with lets go of the former historian.
    const wchar_t* clsidText = L"{6B1F5C21-3A7D-4E59-9C1B-2D8E4F6A7B01}";
    EXPECT_EQ(Connect(server.get(), clsidText), S_OK);
    EXPECT_EQ(Name(server.get(), &Server::get_ServerName), clsidText);
    ExpectReleased(first.get());

    // Nothing accepts it: CLSIDFromString's code.
    UniqueBstr unknown(L"No.Such.Historian");
    CLSID ignored;
    HRESULT expected = CLSIDFromString(unknown.get(), &ignored);
    ASSERT_TRUE(FAILED(expected));
    EXPECT_EQ(Connect(server.get(), L"No.Such.Historian"), expected);
    expectDisconnected();
    g_failures.emplace_back(CLSID_HdaSimHistorian, E_ACCESSDENIED);
    EXPECT_EQ(Connect(server.get(), kSim), E_ACCESSDENIED);
    expectDisconnected();
}

TEST_F(ServerTest, EachOptionalInterfaceMayBeMissing) {
    using Can = decltype(&Server::get_CanSyncInsert);
    const struct {
        const IID* iid;
        Can can;  // the capability that depends on it
    } rows[] = {{&IID_IOPCHDA_SyncRead, nullptr},
                {&IID_IOPCHDA_SyncUpdate, &Server::get_CanSyncInsert},
                {&IID_IOPCHDA_SyncAnnotations, &Server::get_CanSyncReadAnnotations},
                {&IID_IOPCHDA_AsyncRead, nullptr},
                {&IID_IOPCHDA_AsyncUpdate, &Server::get_CanAsyncInsert},
                {&IID_IOPCHDA_AsyncAnnotations, &Server::get_CanAsyncReadAnnotations},
                {&IID_IOPCHDA_Playback, nullptr},
                {&IID_IOPCCommon, nullptr}};
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::Message() << "refused interface " << std::hex << row.iid->Data1);
        sim_->ClearFaults();
        sim_->RefuseInterface(*row.iid, TRUE);
        ComPtr<Server> server = NewLinkedServer();
        ASSERT_EQ(Connect(server.get(), kSim), S_OK);
        Status(server.get(), S_OK);
        // Without IOPCCommon there is nothing to advise the shutdown sink on, and no locale.
        const bool common = IsEqualIID(*row.iid, IID_IOPCCommon);
        ExpectAdvises(g_lastHistorian.get(), 1, common ? 0 : 1);
        LONG locale = 0, can = -1;
        EXPECT_EQ(server->get_LocaleID(&locale), common ? E_FAIL : S_OK);
        if (!row.can) continue;
        EXPECT_EQ((server.get()->*row.can)(&can), S_OK);
        EXPECT_EQ(can, 0);
    }
}

TEST_F(ServerTest, ClientNameReachesTheHistorianOnlyWhileConnected) {
    ComPtr<Server> server = NewLinkedServer();
    UniqueBstr early(L"early client"), late(L"late client");
    EXPECT_EQ(server->put_ClientName(early.get()), S_OK);
    EXPECT_EQ(server->Disconnect(), S_OK);
    EXPECT_EQ(server->Disconnect(), S_OK);
    EXPECT_EQ(Name(server.get(), &Server::get_ClientName), L"") << "Disconnect empties the strings";
    EXPECT_TRUE(g_calls.empty());

    EXPECT_EQ(server->put_ClientName(early.get()), S_OK);
    ASSERT_EQ(Connect(server.get(), kSim), S_OK);
    EXPECT_EQ(Name(server.get(), &Server::get_ClientName), L"");
    LONG sent = -1;
    EXPECT_EQ(g_lastHistorian->CallCount(L"SetClientName", &sent), S_OK);
    EXPECT_EQ(sent, 0);
    EXPECT_EQ(server->put_ClientName(late.get()), S_OK);
    EXPECT_EQ(g_lastHistorian->CallCount(L"SetClientName", &sent), S_OK);
    EXPECT_EQ(sent, 1);
    g_lastHistorian->FailMethod(L"SetClientName", E_ACCESSDENIED);
    EXPECT_EQ(server->put_ClientName(late.get()), E_ACCESSDENIED);
    EXPECT_EQ(Name(server.get(), &Server::get_ClientName), L"late client");
}

// The historian's references and advises, in process and through a proxy:
// Disconnect, a second Connect and the final release each let go of it.
TEST_P(ServerTestAt, DisconnectReconnectAndFinalReleaseLetGoOfTheHistorian) {
    ComPtr<Server> server = NewLinkedServer();
    const wchar_t* progID = ProgIDOf(GetParam());
    ASSERT_EQ(Connect(server.get(), progID), S_OK);
    ComPtr<IHdaSimControl> first = g_lastHistorian;
    ASSERT_TRUE(first);
    ExpectAdvises(first.get(), 1, 1);
    EXPECT_EQ(server->Disconnect(), S_OK);
    ExpectReleased(first.get());

    ASSERT_EQ(Connect(server.get(), progID), S_OK);
    ComPtr<IHdaSimControl> second = g_lastHistorian;
    ASSERT_EQ(Connect(server.get(), progID), S_OK);
    ComPtr<IHdaSimControl> third = g_lastHistorian;
    ExpectReleased(second.get());
    ExpectAdvises(third.get(), 1, 1);

    server = nullptr;  // no Disconnect: the client just lets go
    ExpectReleased(third.get());
    // A shutdown request after the release reaches nothing of the component.
    EXPECT_EQ(third->SendShutdown(L"after the end"), S_OK);
}

}  // namespace
}  // namespace servertest
