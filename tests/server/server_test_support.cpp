#include "server_test_support.h"

#include "server/COPCHDAAutoServer.h"
#include "module_state.h"

namespace servertest {
namespace {

std::vector<CreationCall> g_calls;
std::vector<std::pair<CLSID, HRESULT>> g_failures;
HRESULT g_remoteFailure = S_OK;
std::vector<std::pair<CLSID, ComPtr<IUnknown>>> g_answers;
ComPtr<IHdaSimControl> g_lastHistorian;

HRESULT FailureFor(REFCLSID clsid) {
    for (auto& f : g_failures)
        if (IsEqualCLSID(f.first, clsid)) return f.second;
    return S_OK;
}

void Remember(REFIID iid, IUnknown* created) {
    if (!IsEqualIID(iid, IID_IOPCHDA_Server) || !created) return;
    g_lastHistorian = nullptr;
    created->QueryInterface(IID_IHdaSimControl, g_lastHistorian.put_void());
}

HRESULT WINAPI RecordCreate(REFCLSID clsid, LPUNKNOWN outer, DWORD context, REFIID iid, LPVOID* ppv) {
    CreationCall call;
    call.clsid = clsid;
    call.context = context;
    call.iid = iid;
    call.outerNull = outer == nullptr;
    g_calls.push_back(call);
    if (HRESULT hr = FailureFor(clsid); FAILED(hr)) return hr;
    for (auto& answer : g_answers)
        if (IsEqualCLSID(answer.first, clsid)) return answer.second->QueryInterface(iid, ppv);
    HRESULT hr = CoCreateInstance(clsid, outer, context, iid, ppv);
    if (SUCCEEDED(hr)) Remember(iid, static_cast<IUnknown*>(*ppv));
    return hr;
}

HRESULT WINAPI RecordCreateEx(REFCLSID clsid, IUnknown* outer, DWORD context, COSERVERINFO* info, DWORD count,
                              MULTI_QI* results) {
    CreationCall call;
    call.remote = true;
    call.clsid = clsid;
    call.context = context;
    call.outerNull = outer == nullptr;
    call.queryCount = count;
    if (count > 0 && results && results[0].pIID) call.iid = *results[0].pIID;
    if (info) {
        call.node = info->pwszName ? info->pwszName : L"";
        call.serverInfoOnlyName = info->dwReserved1 == 0 && info->pAuthInfo == nullptr && info->dwReserved2 == 0;
    }
    g_calls.push_back(call);
    if (HRESULT hr = FailureFor(clsid); FAILED(hr)) return hr;
    if (FAILED(g_remoteFailure)) return g_remoteFailure;
    // No other node exists here: the object comes from this computer.
    HRESULT hr = S_OK;
    for (DWORD i = 0; i < count; ++i) {
        results[i].hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER, *results[i].pIID,
                                         reinterpret_cast<void**>(&results[i].pItf));
        if (FAILED(results[i].hr))
            hr = results[i].hr;
        else
            Remember(*results[i].pIID, results[i].pItf);
    }
    return hr;
}

}  // namespace

RecordingRuntime::RecordingRuntime() {
    g_calls.clear();
    g_failures.clear();
    g_remoteFailure = S_OK;
    previous_ = activation_hooks::Install({&RecordCreate, &RecordCreateEx});
}

RecordingRuntime::~RecordingRuntime() {
    activation_hooks::Install(previous_);
    g_lastHistorian = nullptr;
    g_calls.clear();
    g_failures.clear();
    g_answers.clear();
}

std::vector<CreationCall>& RecordingRuntime::Calls() { return g_calls; }

std::vector<CreationCall> RecordingRuntime::CallsFor(REFIID iid) {
    std::vector<CreationCall> out;
    for (auto& c : g_calls)
        if (IsEqualIID(c.iid, iid)) out.push_back(c);
    return out;
}

void RecordingRuntime::FailClass(REFCLSID clsid, HRESULT hr) { g_failures.emplace_back(clsid, hr); }
void RecordingRuntime::FailRemote(HRESULT hr) { g_remoteFailure = hr; }
void RecordingRuntime::AnswerClass(REFCLSID clsid, IUnknown* object) {
    g_answers.emplace_back(clsid, ComPtr<IUnknown>(object));
}
ComPtr<IHdaSimControl>& RecordingRuntime::LastHistorian() { return g_lastHistorian; }

ComPtr<IOPCHDAAutoServer> NewLinkedServer() {
    ComPtr<IOPCHDAAutoServer> server;
    ComPtr<COPCHDAAutoServer> object = MakeObject<COPCHDAAutoServer>();
    if (!object)
        ADD_FAILURE() << "out of memory";
    else
        EXPECT_EQ(object->QueryInterface(IID_IOPCHDAAutoServer, server.put_void()), S_OK);
    return server;
}

ULONG RefCount(IUnknown* object) {
    object->AddRef();
    return object->Release();
}

LONG CallCount(IHdaSimControl* control, const wchar_t* method) {
    LONG n = -1;
    EXPECT_EQ(control->CallCount(method, &n), S_OK);
    return n;
}

void AdviseCounts(IHdaSimControl* control, LONG* data, LONG* shutdowns) {
    *data = *shutdowns = -1;
    EXPECT_EQ(control->AdviseCount(data, shutdowns), S_OK);
}

std::wstring Text(BSTR s) { return s ? std::wstring(s, SysStringLen(s)) : std::wstring(); }

std::wstring ServerName(IOPCHDAAutoServer* server) {
    UniqueBstr s;
    EXPECT_EQ(server->get_ServerName(s.put()), S_OK);
    EXPECT_TRUE(s) << "names are never null";
    return Text(s.get());
}

std::wstring ServerNode(IOPCHDAAutoServer* server) {
    UniqueBstr s;
    EXPECT_EQ(server->get_ServerNode(s.put()), S_OK);
    EXPECT_TRUE(s) << "names are never null";
    return Text(s.get());
}

namespace {
const wchar_t kListKey[] = L"Software\\HdaSim\\ServerList";
}

ServerListSettings::~ServerListSettings() { RegDeleteTreeW(HKEY_CURRENT_USER, kListKey); }

void ServerListSettings::Set(const wchar_t* mode, DWORD count, DWORD failCode, const std::wstring& detailFail) {
    RegDeleteTreeW(HKEY_CURRENT_USER, kListKey);
    HKEY key;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, kListKey, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr), 0);
    RegSetValueExW(key, L"Mode", 0, REG_SZ, reinterpret_cast<const BYTE*>(mode),
                   static_cast<DWORD>((wcslen(mode) + 1) * sizeof(wchar_t)));
    RegSetValueExW(key, L"Count", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&count), sizeof(count));
    if (failCode)
        RegSetValueExW(key, L"FailCode", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&failCode), sizeof(failCode));
    if (!detailFail.empty()) {
        std::wstring multi = detailFail + L'\0';
        RegSetValueExW(key, L"DetailFail", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(multi.c_str()),
                       static_cast<DWORD>((multi.size() + 1) * sizeof(wchar_t)));
    }
    RegCloseKey(key);
}

VARIANT NodeText(const wchar_t* text) { return comtest::VarBstr(text); }

}  // namespace servertest
