// The server-object tests' fixture: the creation seam observed, and answered on
// this computer for nodes Wine cannot reach; the simulator reset before and
// after; and no object of the component alive at the end.
#pragma once

#include "opc_hda.h"
#include "module_state.h"
#include "server/activation.h"
#include "server/COPCHDAAutoServer.h"
#include "support/sim_fixture.h"

namespace servertest {

using namespace comtest;
inline constexpr wchar_t kSim[] = L"Sim.HdaHistorian";

// One request that reached the COM runtime through the creation seam.
struct CreationCall {
    bool remote;  // CoCreateInstanceEx, with:
    CLSID clsid;
    DWORD context;
    IID iid;  // the one interface asked for
    bool outerNull;
    std::wstring node;        // COSERVERINFO name
    bool serverInfoOnlyName;  // no reserved fields, no authentication
    DWORD queryCount;         // MULTI_QI entries
};

inline std::vector<CreationCall> g_calls;
inline std::vector<std::pair<CLSID, HRESULT>> g_failures;          // creations that fail
inline std::vector<std::pair<CLSID, ComPtr<IUnknown>>> g_answers;  // historians the simulator cannot play
inline ComPtr<IHdaSimControl> g_lastHistorian;                     // the last one created, as its control

inline HRESULT Answer(const CreationCall& call, REFIID iid, void** ppv) {
    g_calls.push_back(call);
    for (auto& [clsid, hr] : g_failures)
        if (IsEqualCLSID(clsid, call.clsid)) return hr;
    for (auto& [clsid, object] : g_answers)
        if (IsEqualCLSID(clsid, call.clsid)) return object->QueryInterface(iid, ppv);
    HRESULT hr = CoCreateInstance(call.clsid, nullptr, call.remote ? 0x17 : call.context, iid, ppv);
    if (SUCCEEDED(hr) && IsEqualIID(iid, IID_IOPCHDA_Server)) {
        g_lastHistorian = nullptr;
        static_cast<IUnknown*>(*ppv)->QueryInterface(IID_IHdaSimControl, g_lastHistorian.put_void());
    }
    return hr;
}

inline HRESULT WINAPI RecordCreate(REFCLSID clsid, LPUNKNOWN outer, DWORD context, REFIID iid, LPVOID* ppv) {
    return Answer({false, clsid, context, iid, outer == nullptr, L"", true, 0}, iid, ppv);
}

inline HRESULT WINAPI RecordCreateEx(REFCLSID clsid, IUnknown* outer, DWORD context, COSERVERINFO* info, DWORD count,
                                     MULTI_QI* results) {
    const bool onlyName = !info || (!info->dwReserved1 && !info->pAuthInfo && !info->dwReserved2);
    CreationCall call{true,
                      clsid,
                      context,
                      count ? *results[0].pIID : IID_NULL,
                      outer == nullptr,
                      info && info->pwszName ? info->pwszName : L"",
                      onlyName,
                      count};
    for (DWORD i = 0; i < count; ++i) {
        results[i].hr = Answer(call, *results[i].pIID, reinterpret_cast<void**>(&results[i].pItf));
        if (FAILED(results[i].hr)) return results[i].hr;
    }
    return S_OK;
}

// Installs the recording seam for its scope.
struct RecordingRuntime {
    RecordingRuntime() : previous(activation_hooks::Install({&RecordCreate, &RecordCreateEx})) {}
    ~RecordingRuntime() {
        activation_hooks::Install(previous);
        g_lastHistorian = nullptr;
        g_calls.clear();
        g_failures.clear();
        g_answers.clear();
    }
    activation_hooks::Runtime previous;
};

// The server object from the statically linked classes, so that the seam sees its requests.
inline ComPtr<IOPCHDAAutoServer> NewLinkedServer() {
    ComPtr<IOPCHDAAutoServer> server;
    ComPtr<COPCHDAAutoServer> object = MakeObject<COPCHDAAutoServer>();
    EXPECT_TRUE(object && object->QueryInterface(IID_IOPCHDAAutoServer, server.put_void()) == S_OK);
    return server;
}

inline std::wstring Text(BSTR s) { return s ? std::wstring(s, SysStringLen(s)) : std::wstring(); }

// A name property (ServerName, ServerNode, ClientName): never null.
inline std::wstring Name(IOPCHDAAutoServer* server, HRESULT (STDMETHODCALLTYPE IOPCHDAAutoServer::*get)(BSTR*)) {
    UniqueBstr s;
    EXPECT_EQ((server->*get)(s.put()), S_OK);
    EXPECT_TRUE(s) << "names are never null";
    return Text(s.get());
}

inline LONG Status(IOPCHDAAutoServer* server, HRESULT expected) {
    LONG status = -1;
    EXPECT_EQ(server->get_HistorianStatus(&status), expected);
    return status;
}

class ServerTest : public ComTest {
protected:
    void SetUp() override {
        ComTest::SetUp();
        // The simulator's library is loaded before the component creates anything in it.
        sim_ = SimControl(where_);
        ASSERT_TRUE(sim_);
        sim_->ResetDefaults();
        sim_->ClearFaults();
    }
    void TearDown() override {
        g_lastHistorian = nullptr;
        if (sim_) {
            sim_->ClearFaults();
            sim_->ResetDefaults();  // the clock, for whoever comes next
        }
        sim_ = nullptr;
        EXPECT_EQ(Module::LockCount(), 0) << "an object of the component is still alive";
        ComTest::TearDown();
    }
    static HRESULT Connect(IOPCHDAAutoServer* server, const wchar_t* progID, VARIANT node = VarMissing()) {
        UniqueBstr name(progID);
        HRESULT hr = server->Connect(name.get(), node);
        VariantClear(&node);
        return hr;
    }
    // The data-callback and shutdown advises the historian holds.
    static void ExpectAdvises(IHdaSimControl* historian, LONG data, LONG shutdowns) {
        LONG gotData = -1, gotShutdowns = -1;
        EXPECT_EQ(historian->AdviseCount(&gotData, &gotShutdowns), S_OK);
        EXPECT_EQ(gotData, data);
        EXPECT_EQ(gotShutdowns, shutdowns);
    }
    // A historian the component let go of: no advise left, no reference held.
    static void ExpectReleased(IHdaSimControl* historian) {
        if (g_lastHistorian.get() == historian) g_lastHistorian = nullptr;  // the seam's own reference
        ExpectAdvises(historian, 0, 0);
        auto refs = [historian] {
            historian->AddRef();
            return historian->Release();
        };
        // The simulator's worker may hold its historian a moment after a callback.
        for (int i = 0; i < 3000 && refs() != 1; ++i) Sleep(20);
        EXPECT_EQ(refs(), 1u) << "the component still holds the historian";
    }

    Where where_ = Where::InProcess;
    ComPtr<IHdaSimControl> sim_;
    RecordingRuntime runtime_;
};

// The same with the historian where the parameter says.
class ServerTestAt : public ServerTest, public testing::WithParamInterface<Where> {
protected:
    void SetUp() override {
        where_ = GetParam();
        ServerTest::SetUp();
    }
};

}  // namespace servertest
