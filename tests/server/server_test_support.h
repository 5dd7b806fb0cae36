// The server-object tests' fixture: the creation seam recorded, failed or
// answered by a fake on request; no object of the component alive at the end.
#pragma once

#include "opc_hda.h"
#include "module_state.h"
#include "server/activation.h"
#include "server/COPCHDAAutoServer.h"
#include "support/sim_fixture.h"

namespace servertest {

using namespace comtest;
using Server = IOPCHDAAutoServer;
inline constexpr wchar_t kSim[] = L"Sim.HdaHistorian";

struct CreationCall {
    bool remote;  // CoCreateInstanceEx
    CLSID clsid;
    DWORD context;
    IID iid;
    bool outerNull;
    std::wstring node;
    bool plain;  // one interface asked for, a server info with no more than the name
};

inline std::vector<CreationCall> g_calls;
inline std::vector<std::pair<CLSID, HRESULT>> g_failures;
inline std::vector<std::pair<CLSID, ComPtr<IUnknown>>> g_answers;
inline ComPtr<IHdaSimControl> g_lastHistorian;

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
    return Answer({false, clsid, context, iid, outer == nullptr, L"", true}, iid, ppv);
}

inline HRESULT WINAPI RecordCreateEx(REFCLSID clsid, IUnknown* outer, DWORD context, COSERVERINFO* info, DWORD count,
                                     MULTI_QI* results) {
    CreationCall call{true, clsid, context, count ? *results[0].pIID : IID_NULL, outer == nullptr, L"", false};
    call.node = info && info->pwszName ? info->pwszName : L"";
    call.plain = count == 1 && (!info || (!info->dwReserved1 && !info->pAuthInfo && !info->dwReserved2));
    for (DWORD i = 0; i < count; ++i) {
        results[i].hr = Answer(call, *results[i].pIID, reinterpret_cast<void**>(&results[i].pItf));
        if (FAILED(results[i].hr)) return results[i].hr;
    }
    return S_OK;
}

// The server object from the statically linked classes, so that the seam sees its requests.
inline ComPtr<Server> NewLinkedServer() {
    ComPtr<Server> server;
    ComPtr<COPCHDAAutoServer> object = MakeObject<COPCHDAAutoServer>();
    EXPECT_TRUE(object && object->QueryInterface(IID_IOPCHDAAutoServer, server.put_void()) == S_OK);
    return server;
}

inline std::wstring Text(BSTR s) { return s ? std::wstring(s, SysStringLen(s)) : std::wstring(); }

// ServerName, ServerNode, ClientName: never null.
inline std::wstring Name(Server* server, HRESULT (STDMETHODCALLTYPE Server::*get)(BSTR*)) {
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
        g_answers.clear();
        if (sim_) sim_->ClearFaults(), sim_->ResetDefaults();  // the clock, for whoever comes next
        sim_ = nullptr;
        EXPECT_EQ(Module::LockCount(), 0) << "an object of the component is still alive";
        ComTest::TearDown();
    }
    static HRESULT Connect(Server* server, const wchar_t* progID, VARIANT node = VarMissing()) {
        UniqueBstr name(progID);
        HRESULT hr = server->Connect(name.get(), node);
        VariantClear(&node);
        return hr;
    }
    static void ExpectAdvises(IHdaSimControl* historian, LONG data, LONG shutdowns) {
        LONG gotData = -1, gotShutdowns = -1;
        EXPECT_EQ(historian->AdviseCount(&gotData, &gotShutdowns), S_OK);
        EXPECT_EQ(gotData, data);
        EXPECT_EQ(gotShutdowns, shutdowns);
    }
    // No advise left, no reference held.
    static void ExpectReleased(IHdaSimControl* historian) {
        if (g_lastHistorian.get() == historian) g_lastHistorian = nullptr;  // the seam's own reference
        ExpectAdvises(historian, 0, 0);
        auto refs = [historian] { return historian->AddRef(), historian->Release(); };
        // The simulator's worker may hold its historian a moment after a callback.
        for (int i = 0; i < 3000 && refs() != 1; ++i) Sleep(20);
        EXPECT_EQ(refs(), 1u) << "the component still holds the historian";
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

}  // namespace servertest
