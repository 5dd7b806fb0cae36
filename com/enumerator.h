// The one enumerator of the library (IEnumVARIANT for the items collection,
// IEnumConnections and IEnumConnectionPoints for connection points), over a
// snapshot taken when it was made: later changes to what the snapshot was
// taken from do not show in it. Clones share the snapshot, which lives as
// long as the last enumerator over it.
//
// Serves two binaries (the component and the simulated historian): each
// counts its own live objects, and the Trace base may name the QueryInterface
// trace (static constexpr char kTraceName[]).
#pragma once

#include <windows.h>
#include <oaidl.h>
#include <ocidl.h>

#include <algorithm>
#include <memory>
#include <new>
#include <vector>

#include "com/implements.h"

// How each kind of element is handed out and let go: the snapshot holds one
// reference (or copy) per element, and each element handed out has its own.
namespace enum_elements {
inline HRESULT CopyElementOut(VARIANT* to, const VARIANT& from) {
    VariantInit(to);
    return VariantCopy(to, const_cast<VARIANT*>(&from));
}
inline void ClearElement(VARIANT& v) { VariantClear(&v); }
inline HRESULT CopyElementOut(IConnectionPoint** to, IConnectionPoint* from) {
    *to = from;
    if (from) from->AddRef();
    return S_OK;
}
inline void ClearElement(IConnectionPoint*& p) {
    if (p) p->Release();
    p = nullptr;
}
inline HRESULT CopyElementOut(CONNECTDATA* to, const CONNECTDATA& from) {
    *to = from;
    if (from.pUnk) from.pUnk->AddRef();
    return S_OK;
}
inline void ClearElement(CONNECTDATA& c) {
    if (c.pUnk) c.pUnk->Release();
    c.pUnk = nullptr;
}
}  // namespace enum_elements

// The elements, each holding its own reference or copy, let go with the snapshot.
template <class T>
class EnumSnapshot {
public:
    EnumSnapshot() = default;
    EnumSnapshot(const EnumSnapshot&) = delete;
    EnumSnapshot& operator=(const EnumSnapshot&) = delete;
    ~EnumSnapshot() {
        for (T& e : elements_) enum_elements::ClearElement(e);
    }
    // Takes over what the caller held of the element; false (and the element
    // let go) when there is no room.
    bool Adopt(T e) try {
        elements_.push_back(e);
        return true;
    } catch (const std::bad_alloc&) {
        enum_elements::ClearElement(e);
        return false;
    }
    size_t size() const { return elements_.size(); }
    const T& operator[](size_t i) const { return elements_[i]; }

private:
    std::vector<T> elements_;
};

// A new empty snapshot; null when there is no room for one.
template <class T>
std::shared_ptr<EnumSnapshot<T>> NewEnumSnapshot() try {
    return std::make_shared<EnumSnapshot<T>>();
} catch (const std::bad_alloc&) {
    return nullptr;
}

// A Trace base that names no trace.
struct Untraced {};

template <class Itf, class T, class Trace = Untraced>
class Enumerator final : public Implements<Enumerator<Itf, T, Trace>, Itf>, public Trace {
public:
    using Snapshot = std::shared_ptr<const EnumSnapshot<T>>;

    Enumerator(Snapshot snapshot, size_t position) : snapshot_(std::move(snapshot)), position_(position) {}

    // A new enumerator over `snapshot` (never null) at `position`, handed out as Itf.
    static HRESULT Create(Snapshot snapshot, Itf** out, size_t position = 0) {
        return HandOut(MakeObject<Enumerator>(std::move(snapshot), position), __uuidof(Itf),
                       reinterpret_cast<void**>(out));
    }

    STDMETHODIMP Next(ULONG celt, T* rgelt, ULONG* fetched) override {
        if (fetched) *fetched = 0;
        if (celt && !rgelt) return E_POINTER;
        if (!fetched && celt != 1) return E_POINTER;
        const EnumSnapshot<T>& all = *snapshot_;
        ULONG copied = 0;
        for (; copied < celt && position_ < all.size(); ++copied, ++position_) {
            HRESULT hr = enum_elements::CopyElementOut(&rgelt[copied], all[position_]);
            if (FAILED(hr)) {
                // All or nothing: what was handed out so far is taken back.
                for (ULONG i = 0; i < copied; ++i) enum_elements::ClearElement(rgelt[i]);
                position_ -= copied;
                return hr;
            }
        }
        if (fetched) *fetched = copied;
        return copied == celt ? S_OK : S_FALSE;
    }
    STDMETHODIMP Skip(ULONG celt) override {
        const size_t step = std::min<size_t>(celt, snapshot_->size() - position_);
        position_ += step;
        return step == celt ? S_OK : S_FALSE;
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
    Snapshot snapshot_;
    size_t position_ = 0;
};
