// IOPCCommon and IConnectionPointContainer of the simulated historian.
#include "historian_parts.h"

namespace hdasim {

HRESULT SimHistorianObject::SetLocaleID(LCID dwLcid) {
    FAULT(kCommon, L"SetLocaleID");
    return model_.SetLocaleID(dwLcid);
}

HRESULT SimHistorianObject::GetLocaleID(LCID* pdwLcid) {
    FAULT(kCommon, L"GetLocaleID");
    if (!pdwLcid) return E_POINTER;
    *pdwLcid = model_.GetLocaleID();
    return S_OK;
}

HRESULT SimHistorianObject::QueryAvailableLocaleIDs(DWORD* pdwCount, LCID** pdwLcid) {
    FAULT(kCommon, L"QueryAvailableLocaleIDs");
    if (!pdwCount || !pdwLcid) return E_POINTER;
    auto ids = model_.AvailableLocaleIDs();
    DWORD n = static_cast<DWORD>(ids.size());
    auto out = TrackedArray<LCID>(n);
    if (!out) return E_OUTOFMEMORY;
    std::copy(ids.begin(), ids.end(), out.get());
    *pdwCount = n;
    *pdwLcid = out.detach();
    return S_OK;
}

HRESULT SimHistorianObject::GetErrorString(HRESULT dwError, LPWSTR* ppString) {
    FAULT(kCommon, L"GetErrorString");
    if (!ppString) return E_POINTER;
    *ppString = nullptr;
    std::wstring text;
    HRESULT hr = model_.GetErrorString(dwError, &text);
    if (FAILED(hr)) return hr;
    *ppString = SimStrdup(text);
    return *ppString ? S_OK : E_OUTOFMEMORY;
}

HRESULT SimHistorianObject::SetClientName(LPCWSTR szName) {
    FAULT(kCommon, L"SetClientName");
    model_.SetClientName(szName ? szName : L"");
    return S_OK;
}

// ---------------------------------------------------------------- IConnectionPointContainer

HRESULT SimHistorianObject::EnumConnectionPoints(IEnumConnectionPoints** ppEnum) {
    return events::EnumConnectionPoints<SimSinks>({&dataCp_, &shutdownCp_}, ppEnum);
}

HRESULT SimHistorianObject::FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) {
    FAULT(L"IConnectionPointContainer", L"FindConnectionPoint");
    if (!ppCP) return E_POINTER;
    *ppCP = nullptr;
    ConnectionPoint* cp = riid == IID_IOPCHDA_DataCallback ? &dataCp_
                          : riid == IID_IOPCShutdown       ? &shutdownCp_
                                                           : nullptr;
    if (!cp) return CONNECT_E_NOCONNECTION;
    cp->AddRef();
    *ppCP = cp;
    return S_OK;
}

}  // namespace hdasim
