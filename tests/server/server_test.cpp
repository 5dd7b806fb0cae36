// The server object against the historian simulator, in process and as a local server: Connect and Disconnect
// through the creation seam (recorded, or failed on request), the properties, the common services and
// GetOPCHDAServers. No object of the component is alive at the end.
#include <cwctype>

#include "opc_hda.h"
#include "com/module_count.h"
#include "server/activation.h"
#include "server/COPCHDAAutoServer.h"
#include "support/file_time.h"
#include "support/sim_fixture.h"

namespace {

using namespace comtest;
using Server = IOPCHDAAutoServer;
constexpr wchar_t kSim[] = L"Sim.HdaHistorian";

struct CreationCall {
    bool remote;  // CoCreateInstanceEx
    CLSID clsid;
    DWORD context;
    IID iid;
    bool outerNull;
    std::wstring node;
    bool plain;  // one interface asked for, a server info with no more than the name
};

std::vector<CreationCall> g_calls;
std::vector<std::pair<CLSID, HRESULT>> g_failures;
ComPtr<IHdaSimControl> g_lastHistorian;

HRESULT Answer(const CreationCall& call, REFIID iid, void** ppv) {
    g_calls.push_back(call);
    for (auto& [clsid, hr] : g_failures)
        if (IsEqualCLSID(clsid, call.clsid)) return hr;
    HRESULT hr = CoCreateInstance(call.clsid, nullptr, call.remote ? 0x17 : call.context, iid, ppv);
    if (SUCCEEDED(hr) && IsEqualIID(iid, IID_IOPCHDA_Server)) {
        g_lastHistorian = nullptr;
        static_cast<IUnknown*>(*ppv)->QueryInterface(IID_IHdaSimControl, g_lastHistorian.put_void());
    }
    return hr;
}

HRESULT WINAPI RecordCreate(REFCLSID clsid, LPUNKNOWN outer, DWORD context, REFIID iid, LPVOID* ppv) {
    return Answer({false, clsid, context, iid, outer == nullptr, L"", true}, iid, ppv);
}

HRESULT WINAPI RecordCreateEx(REFCLSID clsid, IUnknown* outer, DWORD context, COSERVERINFO* info, DWORD count,
                              MULTI_QI* results) {
    const bool plain = count == 1 && (!info || (!info->dwReserved1 && !info->pAuthInfo && !info->dwReserved2));
    const CreationCall call{
        true, clsid, context, *results[0].pIID, outer == nullptr, info && info->pwszName ? info->pwszName : L"", plain};
    return results[0].hr = Answer(call, *results[0].pIID, reinterpret_cast<void**>(&results[0].pItf));
}

// The server object from the statically linked classes, so that the seam sees its requests.
ComPtr<Server> NewLinkedServer() {
    ComPtr<Server> server;
    ComPtr<COPCHDAAutoServer> object = MakeObject<COPCHDAAutoServer>();
    EXPECT_TRUE(object && object->QueryInterface(IID_IOPCHDAAutoServer, server.put_void()) == S_OK);
    return server;
}

std::wstring Text(BSTR s) { return s ? std::wstring(s, SysStringLen(s)) : std::wstring(); }

// ServerName, ServerNode, ClientName: never null.
std::wstring Name(Server* server, HRESULT (STDMETHODCALLTYPE Server::*get)(BSTR*)) {
    UniqueBstr s;
    EXPECT_EQ((server->*get)(s.put()), S_OK);
    EXPECT_TRUE(s) << "names are never null";
    return Text(s.get());
}

class ServerTest : public ComTest {
protected:
    void SetUp() override {
        ComTest::SetUp();
        previous_ = activation_hooks::Install({&RecordCreate, &RecordCreateEx});
        sim_ = SimControl(where_);  // the simulator's library loaded before the component creates anything in it
        ASSERT_TRUE(sim_);
        sim_->ResetDefaults();
        sim_->ClearFaults();
    }
    void TearDown() override {
        activation_hooks::Install(previous_);
        g_lastHistorian = nullptr;
        g_calls.clear();
        g_failures.clear();
        if (sim_) sim_->ClearFaults(), sim_->ResetDefaults();  // the clock, for whoever comes next
        sim_ = nullptr;
        EXPECT_EQ(ComModule::UseCount(), 0) << "an object of the component is still alive";
        ComTest::TearDown();
    }
    static HRESULT Connect(Server* server, const wchar_t* progID, VARIANT node = VarMissing()) {
        UniqueBstr name(progID);
        HRESULT hr = server->Connect(name.get(), node);
        VariantClear(&node);
        return hr;
    }
    static void ExpectAdvises(IHdaSimControl* historian, LONG data, LONG shutdowns) {
        LONG got[2] = {-1, -1};
        EXPECT_EQ(historian->AdviseCount(&got[0], &got[1]), S_OK);
        EXPECT_EQ(std::pair(got[0], got[1]), std::pair(data, shutdowns)) << "data and shutdown advises";
    }
    // No advise left, no reference held.
    static void ExpectReleased(IHdaSimControl* historian) {
        if (g_lastHistorian.get() == historian) g_lastHistorian = nullptr;  // the seam's own reference
        ExpectAdvises(historian, 0, 0);
        auto refs = [historian] { return historian->AddRef(), historian->Release(); };
        // The simulator's worker may hold its historian a moment after a callback.
        EXPECT_TRUE(WaitUntil([&] { return refs() == 1; }, 60000)) << refs() << ": the component holds the historian";
    }

    Where where_ = Where::InProcess;
    ComPtr<IHdaSimControl> sim_;
    activation_hooks::Runtime previous_{};
};

class ServerTestAt : public ServerTest, public testing::WithParamInterface<Where> {
protected:
    void SetUp() override {
        where_ = GetParam();
        ServerTest::SetUp();
    }
};

TEST_F(ServerTest, ConnectAndListingCreateHereWithTheFullContextOrElsewhereByNameAloneAndAFailedConnectLeavesNone) {
    char name[64];
    DWORD size = sizeof(name);
    ASSERT_TRUE(GetComputerNameA(name, &size));
    std::wstring lower(name, name + size);  // the platform answers it in capitals
    for (auto& c : lower) c = towlower(c);
    // Nodes that name this computer, and others, asked for by name as given.
    VARIANT here[] = {VarMissing(),          VarEmpty(),   VarI4(42),        VarBstr(L"LOCALHOST"),
                      VarBstr(L"127.0.0.1"), VarBstr(L""), VarBstr(nullptr), VarBstr(lower.c_str())};
    const wchar_t* const elsewhere[] = {L"HistorianHost", L"localhost.", L"::1", L" 127.0.0.1"};
    for (size_t row = 0; row < std::size(here) + std::size(elsewhere); ++row) {
        SCOPED_TRACE(testing::Message() << "row " << row);
        const wchar_t* remote = row < std::size(here) ? nullptr : elsewhere[row - std::size(here)];
        VARIANT given = remote ? VarBstr(remote) : here[row];
        g_calls.clear();
        UniqueVariant node;
        VariantCopy(node.get(), &given);
        ComPtr<Server> server = NewLinkedServer();
        ASSERT_EQ(Connect(server.get(), kSim, given), S_OK);
        EXPECT_EQ(Name(server.get(), &Server::get_ServerNode), remote ? remote : L"");
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
            EXPECT_EQ(call.remote, remote != nullptr);
            EXPECT_EQ(call.context, remote ? static_cast<DWORD>(CLSCTX_REMOTE_SERVER) : 0x17u);
            EXPECT_TRUE(call.outerNull);
            EXPECT_TRUE(!remote || (call.node == remote && call.plain));
        }
    }
    // The remote node has no server list: this computer's registry answers. A failed Connect leaves none.
    ComPtr<Server> server = NewLinkedServer();
    g_calls.clear();
    g_failures.emplace_back(CLSID_OpcServerList, REGDB_E_CLASSNOTREG);
    EXPECT_EQ(Connect(server.get(), kSim, VarBstr(L"FarAway")), S_OK);
    ASSERT_EQ(g_calls.size(), 2u);  // the list, then the historian
    EXPECT_TRUE(IsEqualCLSID(g_calls[1].clsid, CLSID_HdaSimHistorian));
    // (A CLSID text is read as the CLSID: the browser test connects to its fake so.)
    g_failures.emplace_back(CLSID_HdaSimHistorian, E_ACCESSDENIED);
    for (auto [progID, failure] : {std::pair{L"No.Such.Historian", CO_E_CLASSSTRING}, {kSim, E_ACCESSDENIED}}) {
        LONG status;
        EXPECT_EQ(Connect(server.get(), progID), failure);
        EXPECT_EQ(Name(server.get(), &Server::get_ServerName), L"");
        EXPECT_EQ(server->get_HistorianStatus(&status), E_FAIL);
    }
}

TEST_F(ServerTest, EachOptionalInterfaceMayBeMissing) {
    const struct {
        const IID* iid;
        decltype(&Server::get_CanSyncInsert) can;  // the capability that depends on it
    } rows[] = {{&IID_IOPCHDA_SyncUpdate, &Server::get_CanSyncInsert},
                {&IID_IOPCHDA_SyncAnnotations, &Server::get_CanSyncReadAnnotations},
                {&IID_IOPCHDA_AsyncUpdate, &Server::get_CanAsyncInsert},
                {&IID_IOPCHDA_AsyncAnnotations, &Server::get_CanAsyncReadAnnotations},
                {&IID_IOPCCommon, nullptr}};  // the read interfaces: the request table's
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

const wchar_t* const kCapabilities[] = {
    L"CanSyncInsert",           L"CanSyncReplace",           L"CanSyncInsertReplace",     L"CanSyncDeleteRaw",
    L"CanSyncDeleteAtTime",     L"CanSyncReadAnnotations",   L"CanSyncInsertAnnotations", L"CanAsyncInsert",
    L"CanAsyncReplace",         L"CanAsyncInsertReplace",    L"CanAsyncDeleteRaw",        L"CanAsyncDeleteAtTime",
    L"CanAsyncReadAnnotations", L"CanAsyncInsertAnnotations"};

std::wstring ByName(Server* server, const wchar_t* name) {
    UniqueVariant value;
    EXPECT_EQ(GetProperty(server, name, value.get()), S_OK) << "reading";
    EXPECT_EQ(VariantChangeType(value.get(), value.get(), 0, VT_BSTR), S_OK);
    return value->vt == VT_BSTR ? Text(value->bstrVal) : L"?";
}

// One member per shared helper (status, capability) and each common service, disconnected (`failure` E_FAIL)
// or with the historian failing all it is asked (its code): nothing written (a capability 0); error strings
// the platform's text, whole, and when neither knows the code the failure; a client name kept all the same.
constexpr HRESULT kFailure = static_cast<HRESULT>(0x80040E01);
void ExpectMembersFail(Server* s, HRESULT failure) {
    const bool connected = failure != E_FAIL;
    DATE date = 7.0;
    LONG can = 7, locale = 7;
    UniqueVariant locales(VarI4(5));
    UniqueBstr text, late(L"late");
    EXPECT_EQ(s->get_StartTime(&date), failure);
    EXPECT_EQ(s->get_CanSyncInsertAnnotations(&can), connected ? failure : S_OK);
    EXPECT_EQ(s->QueryAvailableLocaleIDs(locales.get()), failure);
    EXPECT_EQ(s->GetErrorString(static_cast<LONG>(0xC0CC1234), text.put()), failure) << "a code nobody knows";
    EXPECT_TRUE(date == 7.0 && can == 0 && locales->vt == VT_I4) << "an output written";
    EXPECT_EQ(s->GetErrorString(static_cast<LONG>(0x80070005), text.put()), S_OK);
    wchar_t* message = nullptr;
    const DWORD n = FormatMessageW(0x1300, nullptr, 0x80070005, 0, reinterpret_cast<wchar_t*>(&message), 0, nullptr);
    EXPECT_EQ(Text(text.get()), std::wstring(message ? message : L"", n));
    LocalFree(message);
    EXPECT_EQ(s->put_ClientName(late.get()), connected ? failure : S_OK);
    EXPECT_EQ(Name(s, &Server::get_ClientName), L"late");
    if (connected) return;
    EXPECT_EQ(s->get_LocaleID(&locale), E_FAIL);
    EXPECT_EQ(std::pair(s->put_LocaleID(0x409), locale), std::pair(E_FAIL, 7L));
}

// In process and through a proxy: first disconnected, then connected; at the end Disconnect, a second Connect and
// the final release each let go of the historian.
TEST_P(ServerTestAt, PropertiesAndCommonServicesDisconnectedAndConnectedAndEachWayOfLettingGo) {
    ComPtr<Server> server = NewLinkedServer();
    for (HRESULT hr :
         {server->get_StartTime(nullptr), server->get_CanSyncInsert(nullptr), server->get_LocaleID(nullptr),
          server->GetErrorString(0, nullptr), server->QueryAvailableLocaleIDs(nullptr),
          server->GetOPCHDAServers(VarMissing(), nullptr), server->get_OPCHDAItems(nullptr)})
        EXPECT_EQ(hr, E_POINTER);
    ExpectMembersFail(server.get(), E_FAIL);
    for (const wchar_t* name : kCapabilities) EXPECT_EQ(ByName(server.get(), name), L"0") << name;
    EXPECT_TRUE(g_calls.empty()) << "no member may create anything";

    const wchar_t* progID = ProgIDOf(GetParam());
    ASSERT_EQ(Connect(server.get(), progID), S_OK);
    ComPtr<IHdaSimControl> historian = g_lastHistorian;
    ASSERT_TRUE(historian);
    ExpectAdvises(historian.get(), 1, 1);
    LONG sent = -1;
    EXPECT_EQ(server->put_ClientName(UniqueBstr(L"client").get()), S_OK);
    EXPECT_TRUE(historian->CallCount(L"SetClientName", &sent) == S_OK && sent == 1)
        << "only the name given while connected reaches the historian";
    const std::pair<const wchar_t*, const wchar_t*> rows[] = {
        {L"HistorianStatus", L"1"},   {L"MaxReturnValues", L"10000"}, {L"MajorVersion", L"1"},
        {L"MinorVersion", L"2"},      {L"BuildNumber", L"345"},       {L"VendorInfo", L"HdaSim simulated historian"},
        {L"StatusString", L"Running"}};
    for (auto [name, text] : rows) EXPECT_EQ(ByName(server.get(), name), text) << name;
    for (const wchar_t* name : kCapabilities) EXPECT_EQ(ByName(server.get(), name), L"1") << name;

    // Times are local dates in whole seconds, each read one historian call.
    const LONGLONG t0 = 133485408000000000LL + 12345 * 10000000LL;  // 2024-01-01 03:25:45 UTC
    ASSERT_EQ(historian->ClockSetSpeed(0.0), S_OK);
    ASSERT_EQ(historian->ClockSet(t0 + 6'780'000), S_OK);  // and 678 ms, which the date drops
    FILETIME utc = comtest::Ft(t0), local;
    SYSTEMTIME st;
    DATE expected = 0, now = 0, start = 0;
    ASSERT_TRUE(FileTimeToLocalFileTime(&utc, &local) && FileTimeToSystemTime(&local, &st) &&
                SystemTimeToVariantTime(&st, &expected));
    LONG before = -1, after = -1;
    historian->CallCount(L"GetHistorianStatus", &before);
    EXPECT_EQ(server->get_CurrentTime(&now), S_OK);
    EXPECT_EQ(now, expected);
    EXPECT_TRUE(server->get_StartTime(&start) == S_OK && start > 36526.0) << "a date after 2000";
    historian->CallCount(L"GetHistorianStatus", &after);
    EXPECT_EQ(after, before + 2);

    UniqueBstr text;
    EXPECT_EQ(server->GetErrorString(static_cast<LONG>(0xC0040001), text.put()), S_OK);
    EXPECT_EQ(Text(text.get()), L"The handle is not valid.");
    LONG locale = 0;
    EXPECT_EQ(server->put_LocaleID(0x407), S_OK);
    EXPECT_TRUE(FAILED(server->put_LocaleID(0x411))) << "the simulator knows two locales";
    EXPECT_TRUE(server->get_LocaleID(&locale) == S_OK && locale == 0x407);
    UniqueVariant locales;
    EXPECT_EQ(server->QueryAvailableLocaleIDs(locales.get()), S_OK);
    ASSERT_EQ(locales->vt, VT_ARRAY | VT_I4);
    EXPECT_EQ(std::tuple(BoundsOf(locales->parray), LongAt(locales->parray, 1), LongAt(locales->parray, 2)),
              std::tuple(std::pair(1L, 2L), 0x409L, 0x407L));

    for (const wchar_t* method : {L"GetHistorianStatus", L"IOPCHDA_SyncAnnotations::QueryCapabilities",
                                  L"QueryAvailableLocaleIDs", L"GetErrorString", L"SetClientName"})
        historian->FailMethod(method, kFailure);
    ExpectMembersFail(server.get(), kFailure);

    EXPECT_EQ(server->Disconnect(), S_OK);
    EXPECT_EQ(server->Disconnect(), S_OK);
    EXPECT_EQ(Name(server.get(), &Server::get_ClientName), L"") << "Disconnect empties the strings";
    ExpectReleased(historian.get());
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

INSTANTIATE_TEST_SUITE_P(Historian, ServerTestAt, testing::ValuesIn(kBothSides), NameOf);

TEST_F(ServerTest, ServerListsInBatchesLeavingOutClassesWithoutDetailsAndReturningFailures) {
    const wchar_t* key = L"Software\\HdaSim\\ServerList";  // the server list substitute's settings
    const HRESULT failure = static_cast<HRESULT>(0x80040E10);
    const struct Row {
        const wchar_t* mode;
        DWORD count;
        bool secondFails;  // Sim.Synthetic.2's details cannot be read
        HRESULT expected;
    } rows[] = {
        {L"count", 0, false, S_FALSE}, {L"count", 100, false, S_FALSE},    {L"count", 250, false, S_FALSE},
        {L"count", 3, true, S_FALSE},  {L"enumfail", 150, false, failure},  // after a first batch of 100
        {L"fail", 0, false, failure},  {L"createfail", 0, false, failure},
    };
    ComPtr<Server> server = NewLinkedServer();
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << row.count << " " << row.expected);
        const std::wstring multi =
            std::wstring(row.secondFails ? L"{4D1A5E00-0000-4000-8000-000000000002}" : L"") + L'\0';
        auto set = [&](const wchar_t* name, DWORD type, const void* data, size_t bytes) {
            EXPECT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, key, name, type, data, static_cast<DWORD>(bytes)), 0);
        };
        set(L"Mode", REG_SZ, row.mode, (wcslen(row.mode) + 1) * 2);
        set(L"Count", REG_DWORD, &row.count, 4);
        set(L"FailCode", REG_DWORD, &failure, 4);
        set(L"DetailFail", REG_MULTI_SZ, multi.c_str(), (multi.size() + 1) * 2);
        UniqueVariant result;
        EXPECT_EQ(server->GetOPCHDAServers(VarMissing(), result.get()), row.expected);
        ASSERT_EQ(result->vt, SUCCEEDED(row.expected) ? VT_ARRAY | VT_BSTR : VT_EMPTY);
        if (FAILED(row.expected)) continue;
        std::vector<std::wstring> expected;
        for (DWORD n = 1; n <= row.count; ++n)
            if (n != 2 || !row.secondFails) expected.push_back(L"Sim.Synthetic." + std::to_wstring(n));
        EXPECT_EQ(BoundsOf(result->parray).first, 1);
        auto* text = static_cast<BSTR*>(result->parray->pvData);
        EXPECT_EQ(std::vector<std::wstring>(text, text + result->parray->rgsabound[0].cElements), expected);
    }
    RegDeleteTreeW(HKEY_CURRENT_USER, key);
    g_failures.emplace_back(CLSID_OpcServerList, REGDB_E_CLASSNOTREG);
    UniqueVariant result;
    EXPECT_EQ(server->GetOPCHDAServers(VarMissing(), result.get()), REGDB_E_CLASSNOTREG);
}

}  // namespace
