// A connection point embedded in its container: AddRef and Release are the
// container's, so a client's reference to the point keeps the whole object
// alive. One template serves the component's two event sources and the
// simulated historian's callback and shutdown points; the Policy says how a
// sink is kept and reached, and how the module counts the enumerators:
//
//   using Held = ...;  // what a slot keeps for a sink; a copy holds its own reference
//   static HRESULT Hold(IUnknown* typed, REFIID iid, Held* held);  // on Advise
//   static ComPtr<IUnknown> Reach(const Held& held, REFIID iid);   // outside the lock
//   static void Drop(Held& held);             // ends a subscription, outside the lock
//   plus, optionally, the enumerators' trace name (kEnumTraceName, see com/enumerator.h).
//
// Sinks sit in slots: one slot for the first sink, four when the second
// comes, doubling whenever no slot is free. A new sink takes the first empty
// slot; a slot emptied by Unadvise is reused, never compacted away, so the
// order in which sinks are called is the slot order.
//
// Cookies: each subscription gets its own cookie, never 0 and never that of
// another live subscription of this point, so that the same sink advised twice
// is two subscriptions and Unadvise ends exactly the one it names. (A sink
// pointer's value cannot serve: it does not fit a DWORD on 64-bit.)
//
// The lock is held only while the slots are read or changed, never while a
// sink or other outside code runs.
#pragma once

#include <windows.h>
#include <ocidl.h>
#include <olectl.h>

#include <initializer_list>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "com/enumerator.h"
#include "com/com_holders.h"

namespace events {

// The QueryInterface trace of the enumerators, for a Policy that names one.
template <class Policy>
struct EnumTraceName {};
template <class Policy>
requires requires { Policy::kEnumTraceName; }
struct EnumTraceName<Policy> {
    static constexpr const char* kTraceName = Policy::kEnumTraceName;
};

template <class Policy>
class ConnectionPoint : public IConnectionPoint {
public:
    using ConnectionsEnum = Enumerator<IEnumConnections, CONNECTDATA, EnumTraceName<Policy>>;

    ConnectionPoint(IUnknown* owner, IConnectionPointContainer* container, const IID& iid)
        : owner_(owner), container_(container), iid_(iid) {}
    ConnectionPoint(const ConnectionPoint&) = delete;
    ConnectionPoint& operator=(const ConnectionPoint&) = delete;
    // The remaining subscriptions end with their container.
    ~ConnectionPoint() {
        for (Slot& s : slots_)
            if (s.cookie) Policy::Drop(s.held);
    }

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        // A marshaled FindConnectionPoint asks the point for IConnectionPoint.
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IConnectionPoint)) {
            *ppv = static_cast<IConnectionPoint*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return owner_->AddRef(); }
    STDMETHODIMP_(ULONG) Release() override { return owner_->Release(); }

    STDMETHODIMP GetConnectionInterface(IID* piid) override {
        if (!piid) return E_POINTER;
        *piid = iid_;
        return S_OK;
    }
    STDMETHODIMP GetConnectionPointContainer(IConnectionPointContainer** out) override {
        if (!out) return E_POINTER;
        return container_->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(out));
    }

    STDMETHODIMP Advise(IUnknown* sink, DWORD* cookie) override {
        if (!sink || !cookie) {
            if (cookie) *cookie = 0;
            return E_POINTER;
        }
        *cookie = 0;
        ComPtr<IUnknown> typed;
        HRESULT hr = sink->QueryInterface(iid_, typed.put_void());
        if (hr == E_NOINTERFACE) return CONNECT_E_CANNOTCONNECT;
        if (FAILED(hr)) return hr;
        if (!typed) return CONNECT_E_CANNOTCONNECT;
        typename Policy::Held held{};
        if (FAILED(hr = Policy::Hold(typed.get(), iid_, &held))) return hr;
        DWORD given = 0;
        {
            CsLock lock(lock_);
            Slot* slot = FreeSlot();
            if (slot) {
                given = slot->cookie = NewCookie();
                slot->held = std::move(held);
            }
        }
        if (!given) {
            Policy::Drop(held);  // still ours: nothing was moved into a slot
            return CONNECT_E_ADVISELIMIT;
        }
        *cookie = given;
        return S_OK;
    }

    STDMETHODIMP Unadvise(DWORD cookie) override {
        typename Policy::Held gone{};
        {
            CsLock lock(lock_);
            Slot* slot = cookie ? Find(cookie) : nullptr;
            if (!slot) return CONNECT_E_NOCONNECTION;
            gone = std::move(slot->held);
            slot->held = typename Policy::Held{};
            slot->cookie = 0;
        }
        Policy::Drop(gone);
        return S_OK;
    }

    STDMETHODIMP EnumConnections(IEnumConnections** out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        Connections taken;
        std::shared_ptr<EnumSnapshot<CONNECTDATA>> snapshot = NewEnumSnapshot<CONNECTDATA>();
        if (!snapshot || !TakeConnections(taken)) return E_OUTOFMEMORY;
        for (auto& [cookie, held] : taken) {
            ComPtr<IUnknown> sink = Policy::Reach(held, iid_);
            if (sink && !snapshot->Adopt(CONNECTDATA{sink.detach(), cookie})) return E_OUTOFMEMORY;
        }
        return ConnectionsEnum::Create(std::move(snapshot), out);
    }

    // Calls call(sink) for each slot in order, outside the lock, with a
    // reference on the sink (the pointer it gave for the point's interface):
    // a sink unadvised meanwhile still completes its call. The slot count is
    // read once, under the lock; a sink advised during the loop is called if
    // it lands in a slot not yet passed.
    template <class Call>
    void ForEachSink(Call&& call) {
        size_t count = 0;
        {
            CsLock lock(lock_);
            count = slots_.size();
        }
        for (size_t i = 0; i < count; ++i) {
            typename Policy::Held held{};
            bool occupied = false;
            {
                CsLock lock(lock_);
                if (i < slots_.size() && slots_[i].cookie) {
                    occupied = true;
                    held = slots_[i].held;
                }
            }
            if (!occupied) continue;
            if (ComPtr<IUnknown> sink = Policy::Reach(held, iid_)) call(sink.get());
        }
    }

    // Live subscriptions.
    long Count() {
        CsLock lock(lock_);
        long n = 0;
        for (const Slot& s : slots_) n += s.cookie ? 1 : 0;
        return n;
    }
    const IID& Iid() const { return iid_; }

private:
    struct Slot {
        DWORD cookie = 0;  // 0: the slot is empty
        typename Policy::Held held{};
    };

    // Under the lock: the first empty slot, growing the list when none is.
    Slot* FreeSlot() try {
        for (Slot& s : slots_)
            if (!s.cookie) return &s;
        size_t used = slots_.size();
        slots_.resize(used == 0 ? 1 : used == 1 ? 4 : used * 2);
        return &slots_[used];
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    using Connections = std::vector<std::pair<DWORD, typename Policy::Held>>;
    // The live connections, taken under the lock; false when there is no room for them.
    bool TakeConnections(Connections& taken) try {
        CsLock lock(lock_);
        taken.reserve(slots_.size());
        for (const Slot& s : slots_)
            if (s.cookie) taken.emplace_back(s.cookie, s.held);
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
    Slot* Find(DWORD cookie) {
        for (Slot& s : slots_)
            if (s.cookie == cookie) return &s;
        return nullptr;
    }
    // Under the lock: the next number that is neither 0 nor live.
    DWORD NewCookie() {
        do {
            ++lastCookie_;
        } while (lastCookie_ == 0 || Find(lastCookie_));
        return lastCookie_;
    }

    IUnknown* owner_;
    IConnectionPointContainer* container_;
    IID iid_;
    CriticalSection lock_;
    std::vector<Slot> slots_;
    DWORD lastCookie_ = 0;
};

// A new enumerator over `points`, in the order given, for
// IConnectionPointContainer::EnumConnectionPoints. Each point's reference is
// one on its container.
template <class Policy>
HRESULT EnumConnectionPoints(std::initializer_list<IConnectionPoint*> points, IEnumConnectionPoints** out) {
    using PointsEnum = Enumerator<IEnumConnectionPoints, IConnectionPoint*, EnumTraceName<Policy>>;
    if (!out) return E_POINTER;
    *out = nullptr;
    std::shared_ptr<EnumSnapshot<IConnectionPoint*>> snapshot = NewEnumSnapshot<IConnectionPoint*>();
    if (!snapshot) return E_OUTOFMEMORY;
    for (IConnectionPoint* point : points) {
        point->AddRef();
        if (!snapshot->Adopt(point)) return E_OUTOFMEMORY;
    }
    return PointsEnum::Create(std::move(snapshot), out);
}

}  // namespace events
