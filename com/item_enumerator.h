// The items collection's enumerator: a snapshot of VARIANTs taken when
// _NewEnum was called, walked like the platform's standard IEnumVARIANT.
// Clones share the snapshot.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include <memory>
#include <vector>

#include "com/com_holders.h"
#include "com/implements.h"

class ItemEnumerator final : public Implements<ItemEnumerator, IEnumVARIANT> {
public:
    // Traced under the name of the framework enumerator clients know it by.
    static constexpr char kTraceName[] = "_CComEnum";

    using Snapshot = std::vector<UniqueVariant>;

    explicit ItemEnumerator(std::shared_ptr<const Snapshot> snapshot, size_t position = 0)
        : snapshot_(std::move(snapshot)), position_(position) {}

    STDMETHODIMP Next(ULONG celt, VARIANT* rgVar, ULONG* pCeltFetched) override;
    STDMETHODIMP Skip(ULONG celt) override;
    STDMETHODIMP Reset() override;
    STDMETHODIMP Clone(IEnumVARIANT** ppEnum) override;

    // Takes ownership of `snapshot` and hands out the enumerator's IEnumVARIANT.
    static HRESULT Create(Snapshot snapshot, IEnumVARIANT** ppEnum);

private:
    std::shared_ptr<const Snapshot> snapshot_;
    size_t position_;
};
