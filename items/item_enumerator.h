// The items collection's enumerator: a snapshot of VARIANTs taken when
// _NewEnum was called, walked like the platform's standard IEnumVARIANT.
// Clones share the snapshot.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include <memory>
#include <vector>

#include "com_holders.h"
#include "object_base.h"

class ItemEnumerator final : public IEnumVARIANT, public ObjectBase {
public:
    using Snapshot = std::vector<UniqueVariant>;

    explicit ItemEnumerator(std::shared_ptr<const Snapshot> snapshot, size_t position = 0)
        : snapshot_(std::move(snapshot)), position_(position) {}

    static const InterfaceEntry kInterfaces[1];
    // Traced under the name of the framework enumerator clients know it by.
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override { return InternalAddRef(); }
    STDMETHODIMP_(ULONG) Release() override { return InternalRelease(); }

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
