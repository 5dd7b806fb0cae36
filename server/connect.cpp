// Connect and Disconnect: the historian's creation, the interfaces kept from
// it, and the two sinks advised on it.
#include "server/COPCHDAAutoServer.h"

#include "server/activation.h"
#include "server/historian_sink.h"

namespace {

// Advises `sink` on the connection point for `iid` of `source`; 0 on failure.
DWORD AdviseOn(IUnknown* source, REFIID iid, IUnknown* sink) {
    ComPtr<IConnectionPointContainer> container;
    if (FAILED(source->QueryInterface(IID_IConnectionPointContainer, container.put_void()))) return 0;
    ComPtr<IConnectionPoint> point;
    if (FAILED(container->FindConnectionPoint(iid, point.put()))) return 0;
    DWORD cookie = 0;
    if (FAILED(point->Advise(sink, &cookie))) return 0;
    return cookie;
}

void UnadviseOn(IUnknown* source, REFIID iid, DWORD cookie) {
    ComPtr<IConnectionPointContainer> container;
    if (FAILED(source->QueryInterface(IID_IConnectionPointContainer, container.put_void()))) return;
    ComPtr<IConnectionPoint> point;
    if (FAILED(container->FindConnectionPoint(iid, point.put()))) return;
    point->Unadvise(cookie);
}

// Replaces `held` by the historian's answer for `iid`; a refusal leaves it empty.
template <class T>
void QueryOptional(IOPCHDA_Server* server, REFIID iid, ComPtr<T>& held) {
    ComPtr<T> answer;
    if (FAILED(server->QueryInterface(iid, answer.put_void()))) answer = nullptr;
    held = std::move(answer);
}

}  // namespace

STDMETHODIMP COPCHDAAutoServer::Connect(BSTR ProgID, VARIANT Node) try {
    Disconnect();

    const ActivationTarget target = ActivationTarget::FromNode(Node);
    // A null BSTR is the empty text to automation; the server list's
    // marshaled string parameter must not be null.
    const wchar_t* progID = ProgID ? ProgID : L"";
    CLSID clsid;
    HRESULT hr = ResolveClsid(target, progID, &clsid);
    if (FAILED(hr)) return hr;

    ComPtr<IOPCHDA_Server> server;
    hr = target.Create(clsid, IID_IOPCHDA_Server, server.put_void());
    if (FAILED(hr)) return hr;
    if (!server) return E_NOINTERFACE;
    server_ = server;
    serverName_ = UniqueBstr::copy_of(ProgID);
    if (target.IsRemote())
        serverNode_ = UniqueBstr::copy_of(target.Node());
    else
        serverNode_.reset();

    QueryOptional(server.get(), IID_IOPCHDA_SyncRead, syncRead_);
    QueryOptional(server.get(), IID_IOPCHDA_SyncUpdate, syncUpdate_);
    QueryOptional(server.get(), IID_IOPCHDA_SyncAnnotations, syncAnnotations_);
    QueryOptional(server.get(), IID_IOPCHDA_AsyncRead, asyncRead_);
    QueryOptional(server.get(), IID_IOPCHDA_AsyncUpdate, asyncUpdate_);
    QueryOptional(server.get(), IID_IOPCHDA_AsyncAnnotations, asyncAnnotations_);
    QueryOptional(server.get(), IID_IOPCHDA_Playback, playback_);
    QueryOptional(server.get(), IID_IOPCCommon, common_);

    // The historian holds the sink, not this object, so that a client's last
    // Release still reaches this object while it is connected.
    if (!sink_) {
        sink_ = MakeObject<HistorianSink>(this);
    }
    if (sink_) {
        IUnknown* sinkUnknown = static_cast<IOPCShutdown*>(sink_.get());
        if (common_) shutdownCookie_ = AdviseOn(common_.get(), IID_IOPCShutdown, sinkUnknown);
        callbackCookie_ = AdviseOn(server_.get(), IID_IOPCHDA_DataCallback, sinkUnknown);
    }
    return hr;
} catch (...) {
    return HResultFromCaughtException();
}

STDMETHODIMP COPCHDAAutoServer::Disconnect() try {
    // Items go first, while the historian can still release their handles.
    RemoveAll();

    if (common_) UnadviseOn(common_.get(), IID_IOPCShutdown, shutdownCookie_);
    if (server_) UnadviseOn(server_.get(), IID_IOPCHDA_DataCallback, callbackCookie_);
    shutdownCookie_ = 0;
    callbackCookie_ = 0;
    // A historian process that died (or never answers the Unadvise) still
    // holds the sink through its stub here; only dropping those references
    // lets this object and the library go.
    if (sink_) CoDisconnectObject(static_cast<IOPCShutdown*>(sink_.get()), 0);

    common_ = nullptr;
    server_ = nullptr;
    syncRead_ = nullptr;
    syncUpdate_ = nullptr;
    syncAnnotations_ = nullptr;
    asyncRead_ = nullptr;
    asyncUpdate_ = nullptr;
    asyncAnnotations_ = nullptr;
    playback_ = nullptr;

    serverName_.reset();
    serverNode_.reset();
    clientName_.reset();
    return S_OK;
} catch (...) {
    return HResultFromCaughtException();
}
