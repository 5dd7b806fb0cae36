// The historian's connection points (data callback, shutdown), embedded in the
// historian: the component's connection-point template with the simulator's
// way of keeping sinks. Sinks advised from the multithreaded apartment are
// kept as they are (Wine cannot revoke proxies from the global interface
// table); sinks advised from a single-threaded apartment go into the global
// interface table, so that the worker thread reaches them through a proxy.
#pragma once

#include "com/connection_point.h"
#include "com/com_holders.h"

#include <functional>

namespace hdasim {

struct SimSinks {
    struct Held {
        ComPtr<IUnknown> direct;
        DWORD gitCookie = 0;
    };
    static HRESULT Hold(IUnknown* typed, REFIID iid, Held* held);
    static ComPtr<IUnknown> Reach(const Held& held, REFIID iid);
    static void Drop(Held& held);
};

class ConnectionPoint final : public events::ConnectionPoint<SimSinks> {
public:
    using events::ConnectionPoint<SimSinks>::ConnectionPoint;
    // Calls fn with each sink (typed as the connection's interface), outside
    // the lock, from the calling (multithreaded-apartment) thread.
    void for_each(const std::function<void(IUnknown*)>& fn) { ForEachSink(fn); }
    long count() { return Count(); }
};

}  // namespace hdasim
