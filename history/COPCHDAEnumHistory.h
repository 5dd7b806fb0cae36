// COPCHDAEnumHistory: walks a history for For Each, one new value or entry
// object per element delivered.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include "OPCHDAAuto.h"
#include "com_holders.h"
#include "object_base.h"

class COPCHDAEnumHistory final : public IEnumVARIANT, public ObjectBase {
public:
    static const InterfaceEntry kInterfaces[1];
    OPCHDA_IUNKNOWN(COPCHDAEnumHistory)

    STDMETHODIMP Next(ULONG celt, VARIANT* rgVar, ULONG* pCeltFetched) override;
    STDMETHODIMP Skip(ULONG celt) override;
    STDMETHODIMP Reset() override;
    STDMETHODIMP Clone(IEnumVARIANT** ppEnum) override;

    // Takes a reference on the history; `position` is the 1-based element the
    // next Next returns.
    virtual HRESULT Init(OPCHDAHistory* history, LONG position);

private:
    LONG position_ = 1;
    ComPtr<OPCHDAHistory> history_;
};
