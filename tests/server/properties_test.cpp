// The server object's properties and common services, connected to the
// simulator and disconnected.
#include "server_test_support.h"

#include <cmath>

#include "module_state.h"

namespace servertest {
namespace {

using comtest::VarMissing;

using LongGetter = decltype(&IOPCHDAAutoServer::get_CanSyncInsert);
struct Capability {
    const char* name;
    LongGetter get;
};
const Capability kCapabilities[] = {
    {"CanSyncInsert", &IOPCHDAAutoServer::get_CanSyncInsert},
    {"CanSyncReplace", &IOPCHDAAutoServer::get_CanSyncReplace},
    {"CanSyncInsertReplace", &IOPCHDAAutoServer::get_CanSyncInsertReplace},
    {"CanSyncDeleteRaw", &IOPCHDAAutoServer::get_CanSyncDeleteRaw},
    {"CanSyncDeleteAtTime", &IOPCHDAAutoServer::get_CanSyncDeleteAtTime},
    {"CanSyncReadAnnotations", &IOPCHDAAutoServer::get_CanSyncReadAnnotations},
    {"CanSyncInsertAnnotations", &IOPCHDAAutoServer::get_CanSyncInsertAnnotations},
    {"CanAsyncInsert", &IOPCHDAAutoServer::get_CanAsyncInsert},
    {"CanAsyncReplace", &IOPCHDAAutoServer::get_CanAsyncReplace},
    {"CanAsyncInsertReplace", &IOPCHDAAutoServer::get_CanAsyncInsertReplace},
    {"CanAsyncDeleteRaw", &IOPCHDAAutoServer::get_CanAsyncDeleteRaw},
    {"CanAsyncDeleteAtTime", &IOPCHDAAutoServer::get_CanAsyncDeleteAtTime},
    {"CanAsyncReadAnnotations", &IOPCHDAAutoServer::get_CanAsyncReadAnnotations},
    {"CanAsyncInsertAnnotations", &IOPCHDAAutoServer::get_CanAsyncInsertAnnotations},
};

// The system's own text for a code, as the platform formats it.
std::wstring SystemText(DWORD code) {
    char* message = nullptr;
    DWORD n = FormatMessageA(0x1300, nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_SYS_DEFAULT),
                             reinterpret_cast<char*>(&message), 0, nullptr);
    std::wstring text;
    if (n) {
        int wide = MultiByteToWideChar(CP_ACP, 0, message, static_cast<int>(n), nullptr, 0);
        text.resize(wide);
        MultiByteToWideChar(CP_ACP, 0, message, static_cast<int>(n), text.data(), wide);
    }
    if (message) LocalFree(message);
    return text;
}

class DisconnectedTest : public comtest::ComTest {
protected:
    void TearDown() override {
        EXPECT_EQ(Module::LockCount(), 0);
        ComTest::TearDown();
    }
    RecordingRuntime runtime_;
};

TEST_F(DisconnectedTest, AnswersAsADisconnectedObject) {
    ComPtr<IOPCHDAAutoServer> server = NewLinkedServer();
    DATE date = 7.0;
    EXPECT_EQ(server->get_StartTime(&date), E_FAIL);
    EXPECT_EQ(server->get_CurrentTime(&date), E_FAIL);
    EXPECT_EQ(date, 7.0);
    LONG number = 7;
    EXPECT_EQ(server->get_MaxReturnValues(&number), E_FAIL);
    EXPECT_EQ(server->get_HistorianStatus(&number), E_FAIL);
    EXPECT_EQ(number, 7);
    short version = 7;
    EXPECT_EQ(server->get_MajorVersion(&version), E_FAIL);
    EXPECT_EQ(server->get_MinorVersion(&version), E_FAIL);
    EXPECT_EQ(server->get_BuildNumber(&version), E_FAIL);
    UniqueBstr text;
    EXPECT_EQ(server->get_VendorInfo(text.put()), E_FAIL);
    EXPECT_EQ(server->get_StatusString(text.put()), E_FAIL);
    EXPECT_EQ(server->get_LocaleID(&number), E_FAIL);
    EXPECT_EQ(server->put_LocaleID(0x409), E_FAIL);
    UniqueVariant locales;
    locales->vt = VT_I4;
    locales->lVal = 5;
    EXPECT_EQ(server->QueryAvailableLocaleIDs(locales.get()), E_FAIL);
    EXPECT_EQ(locales->vt, VT_I4);
    for (const Capability& c : kCapabilities) {
        SCOPED_TRACE(c.name);
        LONG can = 7;
        EXPECT_EQ((server.get()->*c.get)(&can), S_OK);
        EXPECT_EQ(can, 0);
    }
    EXPECT_EQ(ServerName(server.get()), L"");
    EXPECT_EQ(ServerNode(server.get()), L"");

    // The platform's message table still answers, line break included.
    UniqueBstr message;
    EXPECT_EQ(server->GetErrorString(static_cast<LONG>(0x80004005), message.put()), S_OK);
    std::wstring expected = SystemText(0x80004005);
    ASSERT_FALSE(expected.empty());
    EXPECT_EQ(Text(message.get()), expected);
    EXPECT_EQ(expected.back(), L'\n');
    // A code nobody knows: E_FAIL.
    EXPECT_EQ(server->GetErrorString(static_cast<LONG>(0xC0CC1234), message.put()), E_FAIL);
    EXPECT_TRUE(RecordingRuntime::Calls().empty()) << "no member may create anything";
}

TEST_F(DisconnectedTest, NullResultPointersComeFirst) {
    ComPtr<IOPCHDAAutoServer> server = NewLinkedServer();
    EXPECT_EQ(server->get_StartTime(nullptr), E_POINTER);
    EXPECT_EQ(server->get_CurrentTime(nullptr), E_POINTER);
    EXPECT_EQ(server->get_MaxReturnValues(nullptr), E_POINTER);
    EXPECT_EQ(server->get_MajorVersion(nullptr), E_POINTER);
    EXPECT_EQ(server->get_VendorInfo(nullptr), E_POINTER);
    EXPECT_EQ(server->get_HistorianStatus(nullptr), E_POINTER);
    EXPECT_EQ(server->get_StatusString(nullptr), E_POINTER);
    EXPECT_EQ(server->get_LocaleID(nullptr), E_POINTER);
    EXPECT_EQ(server->get_CanSyncInsert(nullptr), E_POINTER);
    EXPECT_EQ(server->GetErrorString(0, nullptr), E_POINTER);
    EXPECT_EQ(server->QueryAvailableLocaleIDs(nullptr), E_POINTER);
    EXPECT_EQ(server->GetOPCHDAServers(VarMissing(), nullptr), E_POINTER);
    EXPECT_EQ(server->get_OPCHDAItems(nullptr), E_POINTER);
}

// A historian that breaks its promises where the simulator cannot: it reports
// locales without handing out their array. Nothing else answers.
class LocalesWithoutArray final : public IOPCHDA_Server, public IOPCCommon {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        *ppv = nullptr;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IOPCHDA_Server))
            *ppv = static_cast<IOPCHDA_Server*>(this);
        else if (IsEqualIID(riid, IID_IOPCCommon))
            *ppv = static_cast<IOPCCommon*>(this);
        else
            return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return InterlockedIncrement(&refs_); }
    STDMETHODIMP_(ULONG) Release() override {
        LONG r = InterlockedDecrement(&refs_);
        if (r == 0) delete this;
        return r;
    }
    LONG refs_ = 0;

    // IOPCCommon
    STDMETHODIMP QueryAvailableLocaleIDs(DWORD* count, LCID** ids) override {
        *count = 3;
        *ids = nullptr;
        return S_OK;
    }
    STDMETHODIMP SetLocaleID(LCID) override { return E_NOTIMPL; }
    STDMETHODIMP GetLocaleID(LCID*) override { return E_NOTIMPL; }
    STDMETHODIMP GetErrorString(HRESULT, LPWSTR*) override { return E_NOTIMPL; }
    STDMETHODIMP SetClientName(LPCWSTR) override { return E_NOTIMPL; }
    // IOPCHDA_Server
    STDMETHODIMP GetItemAttributes(DWORD*, DWORD**, LPWSTR**, LPWSTR**, VARTYPE**) override { return E_NOTIMPL; }
    STDMETHODIMP GetAggregates(DWORD*, DWORD**, LPWSTR**, LPWSTR**) override { return E_NOTIMPL; }
    STDMETHODIMP GetHistorianStatus(OPCHDA_SERVERSTATUS*, FILETIME**, FILETIME**, WORD*, WORD*, WORD*, DWORD*, LPWSTR*,
                                    LPWSTR*) override {
        return E_NOTIMPL;
    }
    STDMETHODIMP GetItemHandles(DWORD, LPWSTR*, OPCHANDLE*, OPCHANDLE**, HRESULT**) override { return E_NOTIMPL; }
    STDMETHODIMP ReleaseItemHandles(DWORD, OPCHANDLE*, HRESULT**) override { return E_NOTIMPL; }
    STDMETHODIMP ValidateItemIDs(DWORD, LPWSTR*, HRESULT**) override { return E_NOTIMPL; }
    STDMETHODIMP CreateBrowse(DWORD, DWORD*, OPCHDA_OPERATORCODES*, VARIANT*, IOPCHDA_Browser**, HRESULT**) override {
        return E_NOTIMPL;
    }
};

TEST_F(DisconnectedTest, LocalesCountedWithoutAnArrayFailAsABrokenAnswer) {
    const CLSID fake = {0x5e1f0a11, 0x7c3d, 0x4b2a, {0x9d, 0x61, 0x0e, 0x4f, 0x83, 0x2c, 0x71, 0xa5}};
    RecordingRuntime::AnswerClass(fake, static_cast<IOPCHDA_Server*>(new LocalesWithoutArray));
    ComPtr<IOPCHDAAutoServer> server = NewLinkedServer();
    UniqueBstr progID(L"{5E1F0A11-7C3D-4B2A-9D61-0E4F832C71A5}");
    ASSERT_EQ(server->Connect(progID.get(), VarMissing()), S_OK);
    UniqueVariant locales;
    locales->vt = VT_I4;
    locales->lVal = 5;
    EXPECT_EQ(server->QueryAvailableLocaleIDs(locales.get()), E_FAIL);
    EXPECT_EQ(locales->vt, VT_I4) << "the client's VARIANT is left as it was";
    EXPECT_EQ(locales->lVal, 5);
}

class PropertiesTest : public comtest::ComTest, public testing::WithParamInterface<Where> {
protected:
    void SetUp() override {
        ComTest::SetUp();
        keepSim_ = SimControl(GetParam());
        server_ = NewLinkedServer();
        UniqueBstr progID(ProgIDOf(GetParam()));
        ASSERT_EQ(server_->Connect(progID.get(), VarMissing()), S_OK);
        historian_ = RecordingRuntime::LastHistorian();
        ASSERT_TRUE(historian_);
    }
    void TearDown() override {
        historian_ = nullptr;
        server_ = nullptr;
        if (keepSim_) keepSim_->ResetDefaults();  // the clock, for whoever comes next
        keepSim_ = nullptr;
        RecordingRuntime::LastHistorian() = nullptr;
        EXPECT_EQ(Module::LockCount(), 0);
        ComTest::TearDown();
    }
    RecordingRuntime runtime_;
    ComPtr<IOPCHDAAutoServer> server_;
    ComPtr<IHdaSimControl> historian_;
    ComPtr<IHdaSimControl> keepSim_;
};

TEST_P(PropertiesTest, StatusVersionsAndVendor) {
    LONG number = 0;
    EXPECT_EQ(server_->get_HistorianStatus(&number), S_OK);
    EXPECT_EQ(number, 1);
    EXPECT_EQ(server_->get_MaxReturnValues(&number), S_OK);
    EXPECT_EQ(number, 10000);
    short version = 0;
    EXPECT_EQ(server_->get_MajorVersion(&version), S_OK);
    EXPECT_EQ(version, 1);
    EXPECT_EQ(server_->get_MinorVersion(&version), S_OK);
    EXPECT_EQ(version, 2);
    EXPECT_EQ(server_->get_BuildNumber(&version), S_OK);
    EXPECT_EQ(version, 345);
    UniqueBstr text;
    EXPECT_EQ(server_->get_VendorInfo(text.put()), S_OK);
    EXPECT_EQ(Text(text.get()), L"HdaSim simulated historian");
    EXPECT_EQ(server_->get_StatusString(text.put()), S_OK);
    EXPECT_EQ(Text(text.get()), L"Running");
}

TEST_P(PropertiesTest, EachStatusReadIsOneHistorianCall) {
    LONG before = CallCount(historian_.get(), L"GetHistorianStatus");
    DATE start = 0, now = 0;
    EXPECT_EQ(server_->get_StartTime(&start), S_OK);
    EXPECT_EQ(server_->get_CurrentTime(&now), S_OK);
    EXPECT_EQ(CallCount(historian_.get(), L"GetHistorianStatus"), before + 2);
}

TEST_P(PropertiesTest, TimesAreLocalDates) {
    const LONGLONG t0 = 133485408000000000LL + 12345 * 10000000LL;  // 2024-01-01 03:25:45 UTC
    ASSERT_EQ(historian_->ClockSetSpeed(0.0), S_OK);
    ASSERT_EQ(historian_->ClockSet(t0 + 6'780'000), S_OK);  // and 678 ms, which the date drops
    FILETIME utc{static_cast<DWORD>(t0), static_cast<DWORD>(t0 >> 32)}, local;
    SYSTEMTIME st;
    DATE expected = 0;
    ASSERT_TRUE(FileTimeToLocalFileTime(&utc, &local) && FileTimeToSystemTime(&local, &st) &&
                SystemTimeToVariantTime(&st, &expected));
    DATE now = 0;
    EXPECT_EQ(server_->get_CurrentTime(&now), S_OK);
    EXPECT_EQ(now, expected);
    DATE start = 0;
    EXPECT_EQ(server_->get_StartTime(&start), S_OK);
    EXPECT_GT(start, 36526.0) << "a date after 2000";
    historian_->ClockSetSpeed(1.0);
}

TEST_P(PropertiesTest, HistorianFailureIsReturnedAndNothingWritten) {
    const HRESULT failure = static_cast<HRESULT>(0x80040E01);
    ASSERT_EQ(historian_->FailMethod(L"GetHistorianStatus", failure), S_OK);
    DATE date = 3.0;
    EXPECT_EQ(server_->get_CurrentTime(&date), failure);
    EXPECT_EQ(server_->get_StartTime(&date), failure);
    EXPECT_EQ(date, 3.0);
    short version = 3;
    EXPECT_EQ(server_->get_BuildNumber(&version), failure);
    EXPECT_EQ(version, 3);
    BSTR text = nullptr;
    EXPECT_EQ(server_->get_VendorInfo(&text), failure);
    EXPECT_EQ(text, nullptr);
}

TEST_P(PropertiesTest, CapabilitiesReportEveryBitAsOne) {
    for (const Capability& c : kCapabilities) {
        SCOPED_TRACE(c.name);
        LONG can = 7;
        EXPECT_EQ((server_.get()->*c.get)(&can), S_OK);
        EXPECT_EQ(can, 1);
    }
    const HRESULT failure = static_cast<HRESULT>(0x80040E02);
    historian_->FailMethod(L"IOPCHDA_SyncAnnotations::QueryCapabilities", failure);
    LONG can = 7;
    EXPECT_EQ(server_->get_CanSyncInsertAnnotations(&can), failure);
    EXPECT_EQ(can, 0);
}

TEST_P(PropertiesTest, LocaleGoesToTheHistorian) {
    LONG locale = 0;
    EXPECT_EQ(server_->get_LocaleID(&locale), S_OK);
    EXPECT_EQ(server_->put_LocaleID(0x407), S_OK);
    EXPECT_EQ(server_->get_LocaleID(&locale), S_OK);
    EXPECT_EQ(locale, 0x407);
    EXPECT_TRUE(FAILED(server_->put_LocaleID(0x411))) << "the simulator knows two locales";
    EXPECT_EQ(server_->get_LocaleID(&locale), S_OK);
    EXPECT_EQ(locale, 0x407);

    UniqueVariant locales;
    EXPECT_EQ(server_->QueryAvailableLocaleIDs(locales.get()), S_OK);
    ASSERT_EQ(locales->vt, VT_ARRAY | VT_I4);
    LONG lower = 0, upper = 0;
    SafeArrayGetLBound(locales->parray, 1, &lower);
    SafeArrayGetUBound(locales->parray, 1, &upper);
    EXPECT_EQ(lower, 1);
    EXPECT_EQ(upper, 2);
    EXPECT_EQ(comtest::LongAt(locales->parray, 1), 0x409);
    EXPECT_EQ(comtest::LongAt(locales->parray, 2), 0x407);

    const HRESULT failure = static_cast<HRESULT>(0x80040E03);
    historian_->FailMethod(L"QueryAvailableLocaleIDs", failure);
    UniqueVariant untouched;
    EXPECT_EQ(server_->QueryAvailableLocaleIDs(untouched.get()), failure);
    EXPECT_EQ(untouched->vt, VT_EMPTY);
}

TEST_P(PropertiesTest, ErrorStringsFromTheHistorianThenThePlatform) {
    UniqueBstr text;
    EXPECT_EQ(server_->GetErrorString(static_cast<LONG>(0xC0040001), text.put()), S_OK);
    EXPECT_EQ(Text(text.get()), L"The handle is not valid.");
    // The historian fails: the platform's text, whole.
    historian_->FailMethod(L"GetErrorString", static_cast<HRESULT>(0x80040E04));
    EXPECT_EQ(server_->GetErrorString(static_cast<LONG>(0x80070005), text.put()), S_OK);
    EXPECT_EQ(Text(text.get()), SystemText(0x80070005));
    // Neither knows it: the historian's failure code.
    EXPECT_EQ(server_->GetErrorString(static_cast<LONG>(0xC0CC1234), text.put()), static_cast<HRESULT>(0x80040E04));
}

INSTANTIATE_TEST_SUITE_P(Historian, PropertiesTest, testing::ValuesIn(comtest::kBothSides), NameOf);

}  // namespace
}  // namespace servertest
