// IOPCHDA_SyncRead of the simulated historian.
#include "historian_parts.h"

namespace hdasim {

HRESULT SimHistorianObject::ReadRaw(OPCHDA_TIME* htStartTime, OPCHDA_TIME* htEndTime, DWORD dwNumValues, BOOL bBounds,
                                    DWORD dwNumItems, OPCHANDLE* phServer, OPCHDA_ITEM** ppItemValues,
                                    HRESULT** ppErrors) {
    FAULT(kSyncRead, L"ReadRaw");
    CHECK_OUT2(ppItemValues, ppErrors);
    if (!htStartTime || !htEndTime || dwNumItems == 0 || !phServer) return E_INVALIDARG;
    Ticks s, e;
    if (FAILED(ResolveRange(kSyncRead, L"ReadRaw", htStartTime, htEndTime, &s, &e))) return E_INVALIDARG;
    return PerItem(dwNumItems, phServer, ppItemValues, ppErrors, CLIENT_OF,
                   [&](DWORD i, Handle h, OPCHANDLE c, OPCHDA_ITEM& out) {
                       (void)i;
                       ItemData d = model_.ReadRaw(s, e, dwNumValues, bBounds != FALSE, h);
                       return FillItem(out, d, c, 0) ? d.hr : E_OUTOFMEMORY;
                   });
}

HRESULT SimHistorianObject::ReadProcessed(OPCHDA_TIME* htStartTime, OPCHDA_TIME* htEndTime, FILETIME ftResampleInterval,
                                          DWORD dwNumItems, OPCHANDLE* phServer, DWORD* haAggregate,
                                          OPCHDA_ITEM** ppItemValues, HRESULT** ppErrors) {
    FAULT(kSyncRead, L"ReadProcessed");
    CHECK_OUT2(ppItemValues, ppErrors);
    if (!htStartTime || !htEndTime || dwNumItems == 0 || !phServer || !haAggregate) return E_INVALIDARG;
    Ticks s, e;
    if (FAILED(ResolveRange(kSyncRead, L"ReadProcessed", htStartTime, htEndTime, &s, &e))) return E_INVALIDARG;
    RecordArray(kSyncRead, L"ReadProcessed", L"aggregate", haAggregate, dwNumItems);
    Ticks interval = TicksOf(ftResampleInterval);
    Record(kSyncRead, L"ReadProcessed", {{L"resample", interval}});
    return PerItem(dwNumItems, phServer, ppItemValues, ppErrors, CLIENT_OF,
                   [&](DWORD i, Handle h, OPCHANDLE c, OPCHDA_ITEM& out) {
                       DWORD agg = haAggregate[i];
                       ItemData d = model_.ReadProcessed(s, e, interval, agg, h);
                       return FillItem(out, d, c, agg) ? d.hr : E_OUTOFMEMORY;
                   });
}

HRESULT SimHistorianObject::ReadAtTime(DWORD dwNumTimeStamps, FILETIME* ftTimeStamps, DWORD dwNumItems,
                                       OPCHANDLE* phServer, OPCHDA_ITEM** ppItemValues, HRESULT** ppErrors) {
    FAULT(kSyncRead, L"ReadAtTime");
    CHECK_OUT2(ppItemValues, ppErrors);
    if (dwNumTimeStamps == 0 || !ftTimeStamps || dwNumItems == 0 || !phServer) return E_INVALIDARG;
    std::vector<Ticks> times;
    for (DWORD t = 0; t < dwNumTimeStamps; ++t) times.push_back(TicksOf(ftTimeStamps[t]));
    return PerItem(dwNumItems, phServer, ppItemValues, ppErrors, CLIENT_OF,
                   [&](DWORD, Handle h, OPCHANDLE c, OPCHDA_ITEM& out) {
                       ItemData d = model_.ReadAtTime(times, h);
                       return FillItem(out, d, c, 0) ? d.hr : E_OUTOFMEMORY;
                   });
}

HRESULT SimHistorianObject::ReadModified(OPCHDA_TIME* htStartTime, OPCHDA_TIME* htEndTime, DWORD dwNumValues,
                                         DWORD dwNumItems, OPCHANDLE* phServer, OPCHDA_MODIFIEDITEM** ppItemValues,
                                         HRESULT** ppErrors) {
    FAULT(kSyncRead, L"ReadModified");
    CHECK_OUT2(ppItemValues, ppErrors);
    if (!htStartTime || !htEndTime || dwNumItems == 0 || !phServer) return E_INVALIDARG;
    Ticks s, e;
    if (FAILED(ResolveRange(kSyncRead, L"ReadModified", htStartTime, htEndTime, &s, &e))) return E_INVALIDARG;
    return PerItem(dwNumItems, phServer, ppItemValues, ppErrors, CLIENT_OF,
                   [&](DWORD, Handle h, OPCHANDLE c, OPCHDA_MODIFIEDITEM& out) {
                       ModifiedData d = model_.ReadModified(s, e, dwNumValues, h);
                       return FillModified(out, d, c) ? d.hr : E_OUTOFMEMORY;
                   });
}

HRESULT SimHistorianObject::ReadAttribute(OPCHDA_TIME* htStartTime, OPCHDA_TIME* htEndTime, OPCHANDLE hServer,
                                          DWORD dwNumAttributes, DWORD* pdwAttributeIDs,
                                          OPCHDA_ATTRIBUTE** ppAttributeValues, HRESULT** ppErrors) {
    FAULT(kSyncRead, L"ReadAttribute");
    CHECK_OUT2(ppAttributeValues, ppErrors);
    if (!htStartTime || !htEndTime || dwNumAttributes == 0 || !pdwAttributeIDs) return E_INVALIDARG;
    OPCHANDLE client = 0;
    if (!ClientOf(hServer, &client)) return OPC_E_INVALIDHANDLE;
    Ticks s, e;
    if (FAILED(ResolveRange(kSyncRead, L"ReadAttribute", htStartTime, htEndTime, &s, &e))) return E_INVALIDARG;
    std::vector<std::uint32_t> ids(pdwAttributeIDs, pdwAttributeIDs + dwNumAttributes);
    auto data = model_.ReadAttribute(s, e, hServer, ids);
    auto items = TrackedArray<OPCHDA_ATTRIBUTE>(dwNumAttributes);
    auto errs = TrackedArray<HRESULT>(dwNumAttributes);
    if (!items || !errs) return E_OUTOFMEMORY;
    for (DWORD i = 0; i < dwNumAttributes; ++i) {
        const AttributeData& d = data[i];  // one per attribute asked
        errs[i] = FillAttribute(items[i], d, client) ? d.hr : E_OUTOFMEMORY;
        items[i].dwAttributeID = ids[i];
    }
    *ppAttributeValues = items.detach();
    *ppErrors = errs.detach();
    return Overall(*ppErrors, dwNumAttributes);
}

}  // namespace hdasim
