// COPCHDAEnumHistory: walks a history for For Each, one new value or entry
// object per element delivered. The machine's zone is read once per Next.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include "OPCHDAAuto.h"
#include "com/com_holders.h"
#include "history/COPCHDAHistory.h"
#include "com/implements.h"

class COPCHDAEnumHistory final : public Implements<COPCHDAEnumHistory, IEnumVARIANT> {
public:
    static constexpr char kTraceName[] = "COPCHDAEnumHistory";

    STDMETHODIMP Next(ULONG celt, VARIANT* rgVar, ULONG* pCeltFetched) override;
    STDMETHODIMP Skip(ULONG celt) override;
    STDMETHODIMP Reset() override;
    STDMETHODIMP Clone(IEnumVARIANT** ppEnum) override;

    // Takes a reference on the history; `position` is the 1-based element the
    // next Next returns. Virtual so that it holds the slot right after
    // IEnumVARIANT's members.
    virtual HRESULT Init(COPCHDAHistory* history, LONG position);

private:
    LONG position_ = 1;
    ComPtr<COPCHDAHistory> history_;
};
