#include "com/item_enumerator.h"

#include <new>

HRESULT ItemEnumerator::Create(Snapshot snapshot, IEnumVARIANT** ppEnum) {
    if (!ppEnum) return E_POINTER;
    *ppEnum = nullptr;
    std::shared_ptr<const Snapshot> shared(new (std::nothrow) Snapshot(std::move(snapshot)));
    if (!shared) return E_OUTOFMEMORY;
    return HandOut(MakeObject<ItemEnumerator>(std::move(shared)), IID_IEnumVARIANT, reinterpret_cast<void**>(ppEnum));
}

STDMETHODIMP ItemEnumerator::Next(ULONG celt, VARIANT* rgVar, ULONG* pCeltFetched) {
    if (pCeltFetched) *pCeltFetched = 0;
    if (celt && !rgVar) return E_POINTER;
    if (!pCeltFetched && celt != 1) return E_POINTER;
    const Snapshot& items = *snapshot_;
    ULONG fetched = 0;
    while (fetched < celt && position_ < items.size()) {
        VariantInit(&rgVar[fetched]);
        HRESULT hr = VariantCopy(&rgVar[fetched], const_cast<VARIANT*>(items[position_].get()));
        if (FAILED(hr)) {
            // All or nothing: what was handed out so far is taken back.
            for (ULONG i = 0; i < fetched; ++i) VariantClear(&rgVar[i]);
            position_ -= fetched;
            return hr;
        }
        ++fetched;
        ++position_;
    }
    if (pCeltFetched) *pCeltFetched = fetched;
    return fetched == celt ? S_OK : S_FALSE;
}

STDMETHODIMP ItemEnumerator::Skip(ULONG celt) {
    size_t left = snapshot_->size() - position_;
    size_t step = celt < left ? celt : left;
    position_ += step;
    return step == celt ? S_OK : S_FALSE;
}

STDMETHODIMP ItemEnumerator::Reset() {
    position_ = 0;
    return S_OK;
}

STDMETHODIMP ItemEnumerator::Clone(IEnumVARIANT** ppEnum) {
    if (!ppEnum) return E_POINTER;
    *ppEnum = nullptr;
    return HandOut(MakeObject<ItemEnumerator>(snapshot_, position_), IID_IEnumVARIANT,
                   reinterpret_cast<void**>(ppEnum));
}
