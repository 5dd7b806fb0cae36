// The historian's server interface with every member refusing (E_NOTIMPL),
// over Base (the interface itself, or a class that already gives it
// IUnknown): a fake historian answers only what its test needs.
#pragma once

#include "opc_hda.h"

namespace testsupport {

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

}  // namespace testsupport
