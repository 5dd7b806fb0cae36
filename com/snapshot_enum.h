// The enumerators of the connection-point protocol (IEnumConnectionPoints,
// IEnumConnections) over a snapshot taken when they were made: later changes
// to the sink lists do not show in them. A clone shares the snapshot, which
// lives as long as the last enumerator over it.
//
// Serves two binaries (the component and the simulated historian): each
// counts its own live objects, and the Policy may name the QueryInterface
// trace (static constexpr char kEnumTraceName[]).
#pragma once

#include <windows.h>
#include <ocidl.h>

#include <memory>
#include <new>
#include <vector>

#include "com/implements.h"

namespace events {

// What an element owns: one reference on its interface pointer.
inline IUnknown* ElementPointer(IConnectionPoint* p) { return p; }
inline IUnknown* ElementPointer(const CONNECTDATA& c) { return c.pUnk; }

// The elements, each holding one reference, released with the snapshot.
template <class T>
class Snapshot {
public:
    Snapshot() = default;
    Snapshot(const Snapshot&) = delete;
    Snapshot& operator=(const Snapshot&) = delete;
    ~Snapshot() {
        for (const T& e : elements_)
            if (IUnknown* p = ElementPointer(e)) p->Release();
    }
    // Takes over the reference the caller took on the element's pointer;
    // false (and the reference dropped) when there is no room.
    bool Adopt(const T& e) {
        try {
            elements_.push_back(e);
            return true;
        } catch (const std::bad_alloc&) {
            if (IUnknown* p = ElementPointer(e)) p->Release();
            return false;
        }
    }
    const std::vector<T>& Elements() const { return elements_; }

private:
    std::vector<T> elements_;
};

// The QueryInterface trace of the enumerators, for a Policy that names one.
template <class Policy>
struct EnumTraceName {};
template <class Policy>
requires requires { Policy::kEnumTraceName; }
struct EnumTraceName<Policy> {
    static constexpr const char* kTraceName = Policy::kEnumTraceName;
};

template <class Policy, class Itf, class T>
class SnapshotEnum final : public Implements<SnapshotEnum<Policy, Itf, T>, Itf>, public EnumTraceName<Policy> {
public:
    using Elements = std::shared_ptr<const Snapshot<T>>;

    SnapshotEnum(Elements snapshot, size_t position) : snapshot_(std::move(snapshot)), position_(position) {}

    // A new enumerator over `snapshot` at `position`, handed out as Itf.
    static HRESULT Create(Elements snapshot, Itf** out, size_t position = 0) {
        return HandOut(MakeObject<SnapshotEnum>(std::move(snapshot), position), __uuidof(Itf),
                       reinterpret_cast<void**>(out));
    }

    STDMETHODIMP Next(ULONG celt, T* rgelt, ULONG* fetched) override {
        if (!rgelt || (!fetched && celt != 1)) return E_POINTER;
        if (!snapshot_) return E_FAIL;
        const std::vector<T>& all = snapshot_->Elements();
        ULONG copied = 0;
        for (; copied < celt && position_ < all.size(); ++copied, ++position_) {
            rgelt[copied] = all[position_];
            if (IUnknown* p = ElementPointer(rgelt[copied])) p->AddRef();
        }
        if (fetched) *fetched = copied;
        return copied < celt ? S_FALSE : S_OK;
    }
    STDMETHODIMP Skip(ULONG celt) override {
        size_t size = snapshot_ ? snapshot_->Elements().size() : 0;
        if (celt >= size - position_) {
            position_ = size;
            return S_FALSE;
        }
        position_ += celt;
        return S_OK;
    }
    STDMETHODIMP Reset() override {
        position_ = 0;
        return S_OK;
    }
    STDMETHODIMP Clone(Itf** out) override {
        if (!out) return E_POINTER;
        return Create(snapshot_, out, position_);
    }

private:
    Elements snapshot_;
    size_t position_ = 0;
};

}  // namespace events
