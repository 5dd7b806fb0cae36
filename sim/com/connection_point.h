// A connection point embedded in the historian (its reference count is the
// historian's). Sinks advised from the multithreaded apartment are kept as they
// are (Wine cannot revoke proxies from the global interface table); sinks
// advised from a single-threaded apartment go into the global interface table
// so that the worker thread reaches them through a proxy in that apartment.
#pragma once

#include "module/com_holders.h"

#include <ocidl.h>
#include <olectl.h>

#include <functional>
#include <mutex>
#include <vector>

namespace hdasim {

class ConnectionPoint final : public IConnectionPoint {
public:
    ConnectionPoint(IUnknown* owner, IConnectionPointContainer* container, const IID& iid)
        : owner_(owner), container_(container), iid_(iid) {}
    ~ConnectionPoint();

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
    ULONG STDMETHODCALLTYPE AddRef() override { return owner_->AddRef(); }
    ULONG STDMETHODCALLTYPE Release() override { return owner_->Release(); }
    HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID* iid) override;
    HRESULT STDMETHODCALLTYPE GetConnectionPointContainer(IConnectionPointContainer** out) override;
    HRESULT STDMETHODCALLTYPE Advise(IUnknown* sink, DWORD* cookie) override;
    HRESULT STDMETHODCALLTYPE Unadvise(DWORD cookie) override;
    HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections** out) override;

    // Calls fn with each sink (typed as the connection's interface), outside
    // the lock, from the calling (multithreaded-apartment) thread.
    void for_each(const std::function<void(IUnknown*)>& fn);
    long count() const;
    const IID& iid() const { return iid_; }

private:
    struct Sink {
        DWORD cookie;
        ComPtr<IUnknown> direct;
        DWORD git_cookie;
    };
    IUnknown* owner_;
    IConnectionPointContainer* container_;
    IID iid_;
    mutable std::mutex lock_;
    std::vector<Sink> sinks_;
    DWORD next_cookie_ = 1;
};

}  // namespace hdasim
