// The server object's properties, common services and GetOPCHDAServers.
#include "server_test_support.h"

namespace servertest {
namespace {

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

std::wstring SystemText(DWORD code) {
    wchar_t* message = nullptr;
    DWORD n = FormatMessageW(0x1300, nullptr, code, 0, reinterpret_cast<wchar_t*>(&message), 0, nullptr);
    std::wstring text(message ? message : L"", n);
    LocalFree(message);
    return text;
}

void ExpectAll(std::initializer_list<HRESULT> results, HRESULT expected) {
    int call = 0;
    for (HRESULT hr : results) EXPECT_EQ(hr, expected) << "call " << call++;
}

TEST_F(ServerTest, DisconnectedMembersFailWritingNothingAndCreateNothing) {
    ComPtr<Server> s = NewLinkedServer();
    ExpectAll({s->get_StartTime(nullptr), s->get_CurrentTime(nullptr), s->get_MaxReturnValues(nullptr),
               s->get_MajorVersion(nullptr), s->get_VendorInfo(nullptr), s->get_HistorianStatus(nullptr),
               s->get_StatusString(nullptr), s->get_LocaleID(nullptr), s->get_CanSyncInsert(nullptr),
               s->GetErrorString(0, nullptr), s->QueryAvailableLocaleIDs(nullptr),
               s->GetOPCHDAServers(VarMissing(), nullptr), s->get_OPCHDAItems(nullptr)},
              E_POINTER);
    DATE date = 7.0;
    LONG number = 7;
    short version = 7;
    BSTR text = nullptr;
    UniqueVariant locales(VarI4(5));
    ExpectAll({s->get_StartTime(&date), s->get_CurrentTime(&date), s->get_MaxReturnValues(&number),
               s->get_HistorianStatus(&number), s->get_LocaleID(&number), s->get_MajorVersion(&version),
               s->get_MinorVersion(&version), s->get_BuildNumber(&version), s->get_VendorInfo(&text),
               s->get_StatusString(&text), s->put_LocaleID(0x409), s->QueryAvailableLocaleIDs(locales.get())},
              E_FAIL);
    EXPECT_TRUE(date == 7.0 && number == 7 && version == 7 && !text && locales->vt == VT_I4) << "an output written";
    for (const wchar_t* name : kCapabilities) EXPECT_EQ(ByName(s.get(), name), L"0") << name;
    EXPECT_EQ(Name(s.get(), &Server::get_ServerName), L"");
    EXPECT_EQ(Name(s.get(), &Server::get_ServerNode), L"");

    // The platform's message table still answers, line break included; a code nobody knows: E_FAIL.
    UniqueBstr message;
    EXPECT_EQ(s->GetErrorString(static_cast<LONG>(0x80004005), message.put()), S_OK);
    ASSERT_FALSE(SystemText(0x80004005).empty());
    EXPECT_EQ(Text(message.get()), SystemText(0x80004005));
    EXPECT_EQ(Text(message.get()).back(), L'\n');
    EXPECT_EQ(s->GetErrorString(static_cast<LONG>(0xC0CC1234), message.put()), E_FAIL);
    UniqueBstr client(L"client");
    EXPECT_EQ(s->put_ClientName(client.get()), S_OK);
    EXPECT_EQ(s->Disconnect(), S_OK);
    EXPECT_EQ(s->Disconnect(), S_OK);
    EXPECT_EQ(Name(s.get(), &Server::get_ClientName), L"") << "Disconnect empties the strings";
    EXPECT_TRUE(g_calls.empty()) << "no member may create anything";
}

TEST_P(ServerTestAt, ConnectedPropertiesAndCommonServices) {
    ComPtr<Server> server = NewLinkedServer();
    UniqueBstr client(L"client");
    EXPECT_EQ(server->put_ClientName(client.get()), S_OK);
    ASSERT_EQ(Connect(server.get(), ProgIDOf(GetParam())), S_OK);
    ComPtr<IHdaSimControl> historian = g_lastHistorian;
    ASSERT_TRUE(historian);
    EXPECT_EQ(Name(server.get(), &Server::get_ClientName), L"") << "Connect begins with Disconnect";
    LONG sent = -1;
    EXPECT_EQ(server->put_ClientName(client.get()), S_OK);
    EXPECT_EQ(historian->CallCount(L"SetClientName", &sent), S_OK);
    EXPECT_EQ(sent, 1) << "only the name given while connected reaches the historian";
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
    FILETIME utc{static_cast<DWORD>(t0), static_cast<DWORD>(t0 >> 32)}, local;
    SYSTEMTIME st;
    DATE expected = 0, now = 0, start = 0;
    ASSERT_TRUE(FileTimeToLocalFileTime(&utc, &local) && FileTimeToSystemTime(&local, &st) &&
                SystemTimeToVariantTime(&st, &expected));
    LONG before = -1, after = -1;
    historian->CallCount(L"GetHistorianStatus", &before);
    EXPECT_EQ(server->get_CurrentTime(&now), S_OK);
    EXPECT_EQ(now, expected);
    EXPECT_EQ(server->get_StartTime(&start), S_OK);
    EXPECT_GT(start, 36526.0) << "a date after 2000";
    historian->CallCount(L"GetHistorianStatus", &after);
    EXPECT_EQ(after, before + 2);

    UniqueBstr text;
    EXPECT_EQ(server->GetErrorString(static_cast<LONG>(0xC0040001), text.put()), S_OK);
    EXPECT_EQ(Text(text.get()), L"The handle is not valid.");
    LONG locale = 0;
    EXPECT_EQ(server->put_LocaleID(0x407), S_OK);
    EXPECT_TRUE(FAILED(server->put_LocaleID(0x411))) << "the simulator knows two locales";
    EXPECT_EQ(server->get_LocaleID(&locale), S_OK);
    EXPECT_EQ(locale, 0x407);
    UniqueVariant locales;
    EXPECT_EQ(server->QueryAvailableLocaleIDs(locales.get()), S_OK);
    ASSERT_EQ(locales->vt, VT_ARRAY | VT_I4);
    EXPECT_EQ(BoundsOf(locales->parray), std::make_pair(1L, 2L));
    EXPECT_EQ(LongAt(locales->parray, 1), 0x409);
    EXPECT_EQ(LongAt(locales->parray, 2), 0x407);

    // The historian fails: its code, and nothing written; for error strings
    // the platform's text, whole, or when neither knows the code the failure.
    const HRESULT failure = static_cast<HRESULT>(0x80040E01);
    for (const wchar_t* method : {L"GetHistorianStatus", L"IOPCHDA_SyncAnnotations::QueryCapabilities",
                                  L"QueryAvailableLocaleIDs", L"GetErrorString", L"SetClientName"})
        historian->FailMethod(method, failure);
    DATE date = 3.0;
    short version = 3;
    BSTR vendor = nullptr;
    LONG can = 7;
    ExpectAll({server->get_CurrentTime(&date), server->get_StartTime(&date), server->get_BuildNumber(&version),
               server->get_VendorInfo(&vendor), server->get_CanSyncInsertAnnotations(&can),
               server->QueryAvailableLocaleIDs(locales.put())},
              failure);
    EXPECT_TRUE(date == 3.0 && version == 3 && !vendor && can == 0 && locales->vt == VT_EMPTY) << "an output written";
    UniqueBstr late(L"late");
    EXPECT_EQ(server->put_ClientName(late.get()), failure);
    EXPECT_EQ(Name(server.get(), &Server::get_ClientName), L"late");
    EXPECT_EQ(server->GetErrorString(static_cast<LONG>(0x80070005), text.put()), S_OK);
    EXPECT_EQ(Text(text.get()), SystemText(0x80070005));
    EXPECT_EQ(server->GetErrorString(static_cast<LONG>(0xC0CC1234), text.put()), failure);
}

INSTANTIATE_TEST_SUITE_P(Historian, ServerTestAt, testing::ValuesIn(kBothSides), NameOf);

TEST_F(ServerTest, ServerListsInBatchesLeavingOutClassesWithoutDetailsAndReturningFailures) {
    const wchar_t* key = L"Software\\HdaSim\\ServerList";  // the server list substitute's settings
    const HRESULT failure = static_cast<HRESULT>(0x80040E10);
    const struct Row {
        const wchar_t* mode;
        DWORD count;
        const wchar_t* detailFail;  // a class whose details cannot be read
        HRESULT expected;
        std::vector<int> left;  // Sim.Synthetic.<n> listed (all up to count when empty)
    } rows[] = {
        {L"count", 0, L"", S_FALSE, {}},      {L"count", 100, L"", S_FALSE, {}},
        {L"count", 250, L"", S_FALSE, {}},    {L"count", 3, L"{4D1A5E00-0000-4000-8000-000000000002}", S_FALSE, {1, 3}},
        {L"enumfail", 150, L"", failure, {}},  // after a first batch of 100
        {L"fail", 0, L"", failure, {}},       {L"createfail", 0, L"", failure, {}},
    };
    ComPtr<Server> server = NewLinkedServer();
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << row.count << " " << row.expected);
        const std::wstring multi = std::wstring(row.detailFail) + L'\0';
        auto set = [&](const wchar_t* name, DWORD type, const void* data, size_t bytes) {
            EXPECT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, key, name, type, data, static_cast<DWORD>(bytes)), 0);
        };
        set(L"Mode", REG_SZ, row.mode, (wcslen(row.mode) + 1) * 2);
        set(L"Count", REG_DWORD, &row.count, 4);
        set(L"FailCode", REG_DWORD, &failure, 4);
        set(L"DetailFail", REG_MULTI_SZ, multi.c_str(), (multi.size() + 1) * 2);
        std::vector<std::wstring> names, expected;
        for (int n : row.left) expected.push_back(L"Sim.Synthetic." + std::to_wstring(n));
        for (DWORD n = 1; row.left.empty() && SUCCEEDED(row.expected) && n <= row.count; ++n)
            expected.push_back(L"Sim.Synthetic." + std::to_wstring(n));
        UniqueVariant result;
        EXPECT_EQ(server->GetOPCHDAServers(VarMissing(), result.get()), row.expected);
        ASSERT_EQ(result->vt, SUCCEEDED(row.expected) ? VT_ARRAY | VT_BSTR : VT_EMPTY);
        if (FAILED(row.expected)) continue;
        EXPECT_EQ(BoundsOf(result->parray).first, 1);
        auto* text = static_cast<BSTR*>(result->parray->pvData);
        names.assign(text, text + result->parray->rgsabound[0].cElements);
        EXPECT_EQ(names, expected);
    }
    RegDeleteTreeW(HKEY_CURRENT_USER, key);
    g_failures.emplace_back(CLSID_OpcServerList, REGDB_E_CLASSNOTREG);
    UniqueVariant result;
    EXPECT_EQ(server->GetOPCHDAServers(VarMissing(), result.get()), REGDB_E_CLASSNOTREG);
}

}  // namespace
}  // namespace servertest
