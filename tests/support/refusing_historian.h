// The historian's server interface with every member refusing (E_NOTIMPL),
// over Base (the interface itself, or a class that already gives it
// IUnknown): a fake historian answers only what its test needs.
#pragma once

#include "opc_hda.h"

namespace comtest {

template <class Base = IOPCHDA_Server>
struct RefusingHistorian : Base {
    using Interface = IOPCHDA_Server;  // a row of Implements<>

    STDMETHODIMP GetItemAttributes(DWORD*, DWORD**, LPWSTR**, LPWSTR**, VARTYPE**) override { return E_NOTIMPL; }
    STDMETHODIMP GetAggregates(DWORD*, DWORD**, LPWSTR**, LPWSTR**) override { return E_NOTIMPL; }
    STDMETHODIMP GetHistorianStatus(OPCHDA_SERVERSTATUS*, FILETIME**, FILETIME**, WORD*, WORD*, WORD*, DWORD*, LPWSTR*,
                                    LPWSTR*) override {
        return E_NOTIMPL;
    }
    STDMETHODIMP GetItemHandles(DWORD, LPWSTR*, OPCHANDLE*, OPCHANDLE**, HRESULT**) override { return E_NOTIMPL; }
    STDMETHODIMP ReleaseItemHandles(DWORD, OPCHANDLE*, HRESULT**) override { return E_NOTIMPL; }
    STDMETHODIMP ValidateItemIDs(DWORD, LPWSTR*, HRESULT**) override { return E_NOTIMPL; }
    STDMETHODIMP CreateBrowse(DWORD, DWORD*, OPCHDA_OPERATORCODES*, VARIANT*, IOPCHDA_Browser**, HRESULT**) override {
        return E_NOTIMPL;
    }
};

// The same for the synchronous reads: a fake answers the reads its test makes.
template <class Base>
struct RefusingSyncRead : Base {
    STDMETHODIMP ReadRaw(OPCHDA_TIME*, OPCHDA_TIME*, DWORD, BOOL, DWORD, OPCHANDLE*, OPCHDA_ITEM**, HRESULT**) override {
        return E_NOTIMPL;
    }
    STDMETHODIMP ReadProcessed(OPCHDA_TIME*, OPCHDA_TIME*, FILETIME, DWORD, OPCHANDLE*, DWORD*, OPCHDA_ITEM**,
                               HRESULT**) override {
        return E_NOTIMPL;
    }
    STDMETHODIMP ReadAtTime(DWORD, FILETIME*, DWORD, OPCHANDLE*, OPCHDA_ITEM**, HRESULT**) override { return E_NOTIMPL; }
    STDMETHODIMP ReadModified(OPCHDA_TIME*, OPCHDA_TIME*, DWORD, DWORD, OPCHANDLE*, OPCHDA_MODIFIEDITEM**,
                              HRESULT**) override {
        return E_NOTIMPL;
    }
    STDMETHODIMP ReadAttribute(OPCHDA_TIME*, OPCHDA_TIME*, OPCHANDLE, DWORD, DWORD*, OPCHDA_ATTRIBUTE**,
                               HRESULT**) override {
        return E_NOTIMPL;
    }
};

}  // namespace comtest
