#include "history/COPCHDAEnumHistory.h"

HRESULT COPCHDAEnumHistory::Init(COPCHDAHistory* history, LONG position) {
    history_ = ComPtr<COPCHDAHistory>(history);
    position_ = position;
    return S_OK;
}

STDMETHODIMP COPCHDAEnumHistory::Next(ULONG celt, VARIANT* rgVar, ULONG* pCeltFetched) {
    if (!history_) return E_UNEXPECTED;
    const LONG count = static_cast<LONG>(history_->Count());
    if (celt && !rgVar) return E_POINTER;
    for (ULONG i = 0; i < celt; ++i) VariantInit(&rgVar[i]);

    const CallZone zone;
    ULONG fetched = 0;
    while (fetched < celt && position_ <= count) {
        OPCHDAValue* value = nullptr;
        // An element whose object cannot be made stays empty but is still counted.
        if (SUCCEEDED(history_->MakeElement(static_cast<DWORD>(position_ - 1), zone, &value))) {
            V_VT(&rgVar[fetched]) = VT_DISPATCH;
            V_DISPATCH(&rgVar[fetched]) = value;
        }
        ++fetched;
        ++position_;
    }
    if (pCeltFetched) *pCeltFetched = fetched;
    return fetched < celt ? S_FALSE : S_OK;
}

STDMETHODIMP COPCHDAEnumHistory::Skip(ULONG celt) {
    if (!history_) return E_UNEXPECTED;
    const LONG count = static_cast<LONG>(history_->Count());
    // 64-bit sum: a huge celt must land at the end, not wrap around. Landing
    // exactly at the end skipped celt elements: S_OK, as for every enumerator.
    LONGLONG target = static_cast<LONGLONG>(position_) + celt;
    if (target <= static_cast<LONGLONG>(count) + 1) {
        position_ = static_cast<LONG>(target);
        return S_OK;
    }
    position_ = count + 1;
    return S_FALSE;
}

STDMETHODIMP COPCHDAEnumHistory::Reset() {
    position_ = 1;
    return S_OK;
}

STDMETHODIMP COPCHDAEnumHistory::Clone(IEnumVARIANT** ppEnum) {
    if (!ppEnum) return E_POINTER;
    *ppEnum = nullptr;
    ComPtr<COPCHDAEnumHistory> clone = MakeObject<COPCHDAEnumHistory>();
    if (!clone) return E_OUTOFMEMORY;
    clone->Init(history_.get(), position_);
    return clone->QueryInterface(IID_IEnumVARIANT, reinterpret_cast<void**>(ppEnum));
}
