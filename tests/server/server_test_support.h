// Shared pieces of the server-object tests: the creation seam observed and
// answered, the simulator's control object, the server list's settings and a
// few readers of the object's state.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "OPCHDAAuto.h"
#include "opc_hda.h"
#include "sim_control.h"
#include "com_holders.h"
#include "server/activation.h"
#include "support/sim_fixture.h"

namespace servertest {

inline constexpr wchar_t kSimInProc[] = L"Sim.HdaHistorian";
using comtest::NameOf;
using comtest::ProgIDOf;
using comtest::SimControl;
using comtest::Where;

// One request that reached the COM runtime through the creation seam.
struct CreationCall {
    bool remote = false;  // CoCreateInstanceEx
    CLSID clsid{};
    DWORD context = 0;
    IID iid{};  // the one interface asked for
    bool outerNull = true;
    std::wstring node;               // COSERVERINFO name
    bool serverInfoOnlyName = true;  // no reserved fields, no authentication
    DWORD queryCount = 0;            // MULTI_QI entries
};

// Installs a recording runtime for the scope. Local requests go to the real
// runtime; remote ones are answered on this computer (or fail with
// `remoteFailure` when set), as no other node exists here.
class RecordingRuntime {
public:
    RecordingRuntime();
    ~RecordingRuntime();
    static std::vector<CreationCall>& Calls();
    // Calls that asked for `iid`.
    static std::vector<CreationCall> CallsFor(REFIID iid);
    // Makes every creation of `clsid` fail with hr (0: no failure).
    static void FailClass(REFCLSID clsid, HRESULT hr);
    static void FailRemote(HRESULT hr);
    // Makes every creation of `clsid` answer from `object` (held until the end
    // of the scope), for historians the simulator cannot play.
    static void AnswerClass(REFCLSID clsid, IUnknown* object);
    // The last historian created (IOPCHDA_Server asked for), as its control
    // interface; a reference is kept here until the next creation or the end.
    static ComPtr<IHdaSimControl>& LastHistorian();

private:
    activation_hooks::Runtime previous_;
};

// The server object created straight from the statically linked classes, so
// that the seam above sees its requests.
ComPtr<IOPCHDAAutoServer> NewLinkedServer();

// A reference count seen from outside (AddRef then Release).
ULONG RefCount(IUnknown* object);

LONG CallCount(IHdaSimControl* control, const wchar_t* method);
void AdviseCounts(IHdaSimControl* control, LONG* data, LONG* shutdowns);

std::wstring Text(BSTR s);
std::wstring ServerName(IOPCHDAAutoServer* server);
std::wstring ServerNode(IOPCHDAAutoServer* server);

// The server list substitute's settings (HKCU\Software\HdaSim\ServerList),
// removed at the end of the scope.
class ServerListSettings {
public:
    ServerListSettings() = default;
    ~ServerListSettings();
    void Set(const wchar_t* mode, DWORD count = 0, DWORD failCode = 0, const std::wstring& detailFail = L"");
};

VARIANT NodeText(const wchar_t* text);

}  // namespace servertest
