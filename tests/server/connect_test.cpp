// Connect and Disconnect: where the historian is created and how it is asked
// for, the CLSID resolution, the interfaces kept, the advises and their undoing.
#include <cwctype>

#include "server_test_support.h"
#include "support/refusing_historian.h"

namespace servertest {
namespace {

TEST_F(ServerTest, ConnectAndListingCreateHereWithTheFullContextOrOnAnyOtherNodeByNameAlone) {
    char name[64];
    DWORD size = sizeof(name);
    ASSERT_TRUE(GetComputerNameA(name, &size));
    std::wstring upper(name, name + size), lower = upper;
    for (auto& c : upper) c = towupper(c);
    for (auto& c : lower) c = towlower(c);
    struct Row {
        VARIANT node;
        const wchar_t* remote;  // the node asked for by name, or none
    } rows[] = {{VarMissing(), nullptr},
                {VarEmpty(), nullptr},
                {VarI4(42), nullptr},
                {VarBstr(L"LOCALHOST"), nullptr},
                {VarBstr(L"127.0.0.1"), nullptr},
                {VarBstr(L""), nullptr},
                {VarBstr(nullptr), nullptr},
                {VarBstr(upper.c_str()), nullptr},
                {VarBstr(lower.c_str()), nullptr},
                {VarBstr(L"HistorianHost"), L"HistorianHost"},
                {VarBstr(L"localhost."), L"localhost."},
                {VarBstr(L"::1"), L"::1"},
                {VarBstr(L" 127.0.0.1"), L" 127.0.0.1"}};
    for (Row& row : rows) {
        SCOPED_TRACE(testing::Message() << "row " << &row - rows);
        g_calls.clear();
        UniqueVariant node;
        VariantCopy(node.get(), &row.node);
        ComPtr<Server> server = NewLinkedServer();
        ASSERT_EQ(Connect(server.get(), kSim, row.node), S_OK);
        EXPECT_EQ(Name(server.get(), &Server::get_ServerNode), row.remote ? row.remote : L"");
        UniqueVariant names;
        EXPECT_EQ(server->GetOPCHDAServers(*node.get(), names.get()), S_FALSE);
        LONG status = 0;
        EXPECT_EQ(server->get_HistorianStatus(&status), S_OK) << "listing leaves the connection alone";
        // Connect: the server list, then the historian; GetOPCHDAServers: the server list.
        ASSERT_EQ(g_calls.size(), 3u);
        for (size_t i = 0; i < 3; ++i) {
            const CreationCall& call = g_calls[i];
            EXPECT_TRUE(IsEqualCLSID(call.clsid, i == 1 ? CLSID_HdaSimHistorian : CLSID_OpcServerList));
            EXPECT_TRUE(IsEqualIID(call.iid, i == 1 ? IID_IOPCHDA_Server : IID_IOPCServerList));
            EXPECT_EQ(call.remote, row.remote != nullptr);
            EXPECT_EQ(call.context, row.remote ? static_cast<DWORD>(CLSCTX_REMOTE_SERVER) : 0x17u);
            EXPECT_TRUE(call.outerNull);
            EXPECT_TRUE(!row.remote || (call.node == row.remote && call.plain));
        }
    }
}

// A historian that counts locales without handing out their array, which the
// simulator cannot be made to do. Nothing else answers.
struct LocalesWithoutArray final : testsupport::RefusingHistorian<>, IOPCCommon {
    STDMETHODIMP QueryInterface(REFIID iid, void** ppv) override {
        *ppv = iid == IID_IOPCCommon                              ? static_cast<void*>(static_cast<IOPCCommon*>(this))
               : iid == IID_IUnknown || iid == IID_IOPCHDA_Server ? static_cast<IOPCHDA_Server*>(this)
                                                                  : nullptr;
        return *ppv ? S_OK : E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }  // static
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP QueryAvailableLocaleIDs(DWORD* count, LCID** ids) override { return *count = 3, *ids = nullptr, S_OK; }
    STDMETHODIMP SetLocaleID(LCID) override { return E_NOTIMPL; }
    STDMETHODIMP GetLocaleID(LCID*) override { return E_NOTIMPL; }
    STDMETHODIMP GetErrorString(HRESULT, LPWSTR*) override { return E_NOTIMPL; }
    STDMETHODIMP SetClientName(LPCWSTR) override { return E_NOTIMPL; }
} g_localesWithoutArray;

TEST_F(ServerTest, ProgIDResolutionAndFailedConnects) {
    ComPtr<Server> server = NewLinkedServer();
    auto expectDisconnected = [&] {
        LONG status;
        EXPECT_EQ(Name(server.get(), &Server::get_ServerName), L"");
        EXPECT_EQ(server->get_HistorianStatus(&status), E_FAIL);
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
    // A CLSID text matches no ProgID and is read as the CLSID; the Disconnect
    // that every Connect begins with lets go of the former historian.
    const wchar_t* fakeText = L"{5E1F0A11-7C3D-4B2A-9D61-0E4F832C71A5}";
    g_answers.emplace_back(CLSID{0x5e1f0a11, 0x7c3d, 0x4b2a, {0x9d, 0x61, 0x0e, 0x4f, 0x83, 0x2c, 0x71, 0xa5}},
                           static_cast<IOPCHDA_Server*>(&g_localesWithoutArray));
    EXPECT_EQ(Connect(server.get(), fakeText), S_OK);
    EXPECT_EQ(Name(server.get(), &Server::get_ServerName), fakeText);
    ExpectReleased(first.get());
    UniqueVariant locales(VarI4(5));
    EXPECT_EQ(server->QueryAvailableLocaleIDs(locales.get()), E_FAIL) << "a count without an array";
    EXPECT_TRUE(locales->vt == VT_I4 && locales->lVal == 5) << "the client's VARIANT is left as it was";

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
    const struct {
        const IID* iid;
        decltype(&Server::get_CanSyncInsert) can;  // the capability that depends on it
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

// In process and through a proxy: Disconnect, a second Connect and the final release each let go.
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
    EXPECT_EQ(third->SendShutdown(L"after the end"), S_OK) << "reaches nothing of the component";
}

}  // namespace
}  // namespace servertest
