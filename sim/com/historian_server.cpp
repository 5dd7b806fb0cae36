// IOPCHDA_Server of the simulated historian: catalogues, status, item handles
// and browsers.
#include "historian_parts.h"
#include "browser_object.h"

namespace hdasim {

HRESULT SimHistorianObject::GetItemAttributes(DWORD* pdwCount, DWORD** ppdwAttrID, LPWSTR** ppszAttrName,
                                              LPWSTR** ppszAttrDesc, VARTYPE** ppvtAttrDataType) {
    FAULT(kServer, L"GetItemAttributes");
    if (!pdwCount || !ppdwAttrID || !ppszAttrName || !ppszAttrDesc || !ppvtAttrDataType) return E_POINTER;
    auto attrs = model_.GetItemAttributes();
    DWORD n = static_cast<DWORD>(attrs.size());
    auto ids = TrackedArray<DWORD>(n);
    auto names = TrackedArray<LPWSTR>(n);
    auto descs = TrackedArray<LPWSTR>(n);
    auto types = TrackedArray<VARTYPE>(n);
    for (DWORD i = 0; i < n && ids && names && descs && types; ++i) {
        ids[i] = attrs[i].id;
        names[i] = SimStrdup(attrs[i].name);
        descs[i] = SimStrdup(attrs[i].description);
        types[i] = attrs[i].dataType;
    }
    *pdwCount = n;
    *ppdwAttrID = ids.detach();
    *ppszAttrName = names.detach();
    *ppszAttrDesc = descs.detach();
    *ppvtAttrDataType = types.detach();
    return S_OK;
}

HRESULT SimHistorianObject::GetAggregates(DWORD* pdwCount, DWORD** ppdwAggrID, LPWSTR** ppszAggrName,
                                          LPWSTR** ppszAggrDesc) {
    FAULT(kServer, L"GetAggregates");
    if (!pdwCount || !ppdwAggrID || !ppszAggrName || !ppszAggrDesc) return E_POINTER;
    auto aggs = model_.GetAggregates();
    DWORD n = static_cast<DWORD>(aggs.size());
    auto ids = TrackedArray<DWORD>(n);
    auto names = TrackedArray<LPWSTR>(n);
    auto descs = TrackedArray<LPWSTR>(n);
    for (DWORD i = 0; i < n && ids && names && descs; ++i) {
        ids[i] = aggs[i].id;
        names[i] = SimStrdup(aggs[i].name);
        descs[i] = SimStrdup(aggs[i].description);
    }
    *pdwCount = n;
    *ppdwAggrID = ids.detach();
    *ppszAggrName = names.detach();
    *ppszAggrDesc = descs.detach();
    return S_OK;
}

HRESULT SimHistorianObject::GetHistorianStatus(OPCHDA_SERVERSTATUS* pwStatus, FILETIME** pftCurrentTime,
                                               FILETIME** pftStartTime, WORD* pwMajorVersion, WORD* pwMinorVersion,
                                               WORD* pwBuildNumber, DWORD* pdwMaxReturnValues, LPWSTR* ppszStatusString,
                                               LPWSTR* ppszVendorInfo) {
    FAULT(kServer, L"GetHistorianStatus");
    if (!pwStatus || !pftCurrentTime || !pftStartTime || !pwMajorVersion || !pwMinorVersion || !pwBuildNumber ||
        !pdwMaxReturnValues || !ppszStatusString || !ppszVendorInfo)
        return E_POINTER;
    HistorianStatus st = model_.GetStatus();
    *pwStatus = static_cast<OPCHDA_SERVERSTATUS>(st.status);
    *pftCurrentTime = TrackedArray<FILETIME>(1).detach();
    *pftStartTime = TrackedArray<FILETIME>(1).detach();
    if (*pftCurrentTime) **pftCurrentTime = FileTimeOf(st.currentTime);
    if (*pftStartTime) **pftStartTime = FileTimeOf(st.startTime);
    *pwMajorVersion = st.majorVersion;
    *pwMinorVersion = st.minorVersion;
    *pwBuildNumber = st.buildNumber;
    *pdwMaxReturnValues = st.maxReturnValues;
    *ppszStatusString = SimStrdup(st.statusString);
    *ppszVendorInfo = SimStrdup(st.vendorInfo);
    return S_OK;
}

HRESULT SimHistorianObject::GetItemHandles(DWORD dwCount, LPWSTR* pszItemID, OPCHANDLE* phClient, OPCHANDLE** pphServer,
                                           HRESULT** ppErrors) {
    FAULT(kServer, L"GetItemHandles");
    CHECK_OUT2(pphServer, ppErrors);
    if (dwCount == 0 || !pszItemID || !phClient) return E_INVALIDARG;
    auto handles = TrackedArray<OPCHANDLE>(dwCount);
    auto errs = TrackedArray<HRESULT>(dwCount);
    if (!handles || !errs) return E_OUTOFMEMORY;
    for (DWORD i = 0; i < dwCount; ++i) {
        Handle h = 0;
        errs[i] = model_.GetItemHandle(pszItemID[i] ? pszItemID[i] : L"", &h);
        handles[i] = SUCCEEDED(errs[i]) ? h : 0;
        if (SUCCEEDED(errs[i])) {
            std::lock_guard<std::mutex> g(lock_);
            clients_[h] = phClient[i];
        }
    }
    *pphServer = handles.detach();
    *ppErrors = errs.detach();
    return Overall(*ppErrors, dwCount);
}

HRESULT SimHistorianObject::ReleaseItemHandles(DWORD dwCount, OPCHANDLE* phServer, HRESULT** ppErrors) {
    FAULT(kServer, L"ReleaseItemHandles");
    if (!ppErrors) return E_POINTER;
    *ppErrors = nullptr;
    if (dwCount == 0 || !phServer) return E_INVALIDARG;
    return PerElement(dwCount, ppErrors, [&](DWORD i) {
        HRESULT hr = model_.ReleaseItemHandle(phServer[i]);
        if (SUCCEEDED(hr)) {
            std::lock_guard<std::mutex> g(lock_);
            clients_.erase(phServer[i]);
        }
        return hr;
    });
}

HRESULT SimHistorianObject::ValidateItemIDs(DWORD dwCount, LPWSTR* pszItemID, HRESULT** ppErrors) {
    FAULT(kServer, L"ValidateItemIDs");
    if (!ppErrors) return E_POINTER;
    *ppErrors = nullptr;
    if (dwCount == 0 || !pszItemID) return E_INVALIDARG;
    return PerElement(dwCount, ppErrors,
                      [&](DWORD i) { return model_.ValidateItemId(pszItemID[i] ? pszItemID[i] : L""); });
}

HRESULT SimHistorianObject::CreateBrowse(DWORD dwCount, DWORD* pdwAttrID, OPCHDA_OPERATORCODES* pOperator,
                                         VARIANT* vFilter, IOPCHDA_Browser** pphBrowser, HRESULT** ppErrors) {
    FAULT(kServer, L"CreateBrowse");
    if (!pphBrowser || !ppErrors) return E_POINTER;
    *pphBrowser = nullptr;
    *ppErrors = nullptr;
    if (dwCount > 0 && (!pdwAttrID || !pOperator || !vFilter)) return E_INVALIDARG;
    std::vector<BrowseFilter> filters(dwCount);
    for (DWORD i = 0; i < dwCount; ++i) {
        filters[i].attributeId = pdwAttrID[i];
        filters[i].op = pOperator[i];
        filters[i].value = UniqueVariant::copy_of(&vFilter[i]);
    }
    std::unique_ptr<Browser> browser;
    std::vector<HRESULT> codes;
    HRESULT hr = model_.CreateBrowser(filters, &browser, &codes);
    if (FAILED(hr)) return hr;
    auto errs = TrackedArray<HRESULT>(dwCount);
    if (!errs) return E_OUTOFMEMORY;
    for (DWORD i = 0; i < dwCount; ++i) errs[i] = i < codes.size() ? codes[i] : S_OK;
    hr = SimBrowserObject::Create(std::move(browser), pphBrowser);
    if (FAILED(hr)) return hr;
    *ppErrors = errs.detach();
    return dwCount ? Overall(*ppErrors, dwCount) : S_OK;
}

}  // namespace hdasim
