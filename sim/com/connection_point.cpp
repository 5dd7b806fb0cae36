#include "connection_point.h"

namespace hdasim {
namespace {

ComPtr<IGlobalInterfaceTable> git() {
    ComPtr<IGlobalInterfaceTable> g;
    CoCreateInstance(CLSID_StdGlobalInterfaceTable, nullptr, CLSCTX_INPROC_SERVER, IID_IGlobalInterfaceTable,
                     g.put_void());
    return g;
}

bool in_single_threaded_apartment() {
    APTTYPE type;
    APTTYPEQUALIFIER qualifier;
    if (FAILED(CoGetApartmentType(&type, &qualifier))) return false;
    return type == APTTYPE_STA || type == APTTYPE_MAINSTA;
}

}  // namespace

ConnectionPoint::~ConnectionPoint() {
    std::vector<Sink> left;
    {
        std::lock_guard<std::mutex> g(lock_);
        left.swap(sinks_);
    }
    for (auto& s : left) {
        if (s.git_cookie) {
            if (auto g = git()) g->RevokeInterfaceFromGlobal(s.git_cookie);
        }
    }
}

HRESULT ConnectionPoint::QueryInterface(REFIID iid, void** out) {
    if (!out) return E_POINTER;
    // IConnectionPoint must be answered or a marshalled FindConnectionPoint fails.
    if (iid == IID_IUnknown || iid == IID_IConnectionPoint) {
        *out = static_cast<IConnectionPoint*>(this);
        AddRef();
        return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
}

HRESULT ConnectionPoint::GetConnectionInterface(IID* iid) {
    if (!iid) return E_POINTER;
    *iid = iid_;
    return S_OK;
}

HRESULT ConnectionPoint::GetConnectionPointContainer(IConnectionPointContainer** out) {
    if (!out) return E_POINTER;
    *out = container_;
    container_->AddRef();
    return S_OK;
}

HRESULT ConnectionPoint::Advise(IUnknown* sink, DWORD* cookie) {
    if (!cookie) return E_POINTER;
    *cookie = 0;
    if (!sink) return E_POINTER;
    ComPtr<IUnknown> typed;
    if (FAILED(sink->QueryInterface(iid_, typed.put_void()))) return CONNECT_E_CANNOTCONNECT;
    Sink s{0, nullptr, 0};
    if (in_single_threaded_apartment()) {
        auto g = git();
        if (!g) return E_FAIL;
        HRESULT hr = g->RegisterInterfaceInGlobal(typed.get(), iid_, &s.git_cookie);
        if (FAILED(hr)) return hr;
    } else {
        s.direct = typed;
    }
    std::lock_guard<std::mutex> g(lock_);
    s.cookie = next_cookie_++;
    sinks_.push_back(std::move(s));
    *cookie = sinks_.back().cookie;
    return S_OK;
}

HRESULT ConnectionPoint::Unadvise(DWORD cookie) {
    Sink gone{0, nullptr, 0};
    {
        std::lock_guard<std::mutex> g(lock_);
        auto it = sinks_.begin();
        for (; it != sinks_.end() && it->cookie != cookie; ++it) {
        }
        if (it == sinks_.end()) return CONNECT_E_NOCONNECTION;
        gone = std::move(*it);
        sinks_.erase(it);
    }
    if (gone.git_cookie) {
        if (auto g = git()) g->RevokeInterfaceFromGlobal(gone.git_cookie);
    }
    return S_OK;
}

HRESULT ConnectionPoint::EnumConnections(IEnumConnections** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    return E_NOTIMPL;
}

long ConnectionPoint::count() const {
    std::lock_guard<std::mutex> g(lock_);
    return static_cast<long>(sinks_.size());
}

void ConnectionPoint::for_each(const std::function<void(IUnknown*)>& fn) {
    std::vector<std::pair<ComPtr<IUnknown>, DWORD>> snapshot;
    {
        std::lock_guard<std::mutex> g(lock_);
        for (auto& s : sinks_) snapshot.emplace_back(s.direct, s.git_cookie);
    }
    ComPtr<IGlobalInterfaceTable> table;
    for (auto& [direct, cookie] : snapshot) {
        if (direct) {
            fn(direct.get());
            continue;
        }
        if (!table) table = git();
        if (!table) continue;
        ComPtr<IUnknown> proxy;
        if (SUCCEEDED(table->GetInterfaceFromGlobal(cookie, iid_, proxy.put_void()))) fn(proxy.get());
    }
}

}  // namespace hdasim
