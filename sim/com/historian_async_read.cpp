// IOPCHDA_AsyncRead of the simulated historian: each member checks and
// resolves its arguments, then starts one request whose work reads the model
// on the worker thread and answers through the data callback. Advises answer
// again at every update interval until cancelled.
#include "historian_parts.h"

#include <algorithm>
#include <memory>

namespace hdasim {

HRESULT SimHistorianObject::ReadRaw(DWORD tid, OPCHDA_TIME* htStartTime, OPCHDA_TIME* htEndTime, DWORD dwNumValues,
                                    BOOL bBounds, DWORD dwNumItems, OPCHANDLE* phServer, DWORD* pdwCancelID,
                                    HRESULT** ppErrors) {
    ASYNC_PREAMBLE(kAsyncRead, L"ReadRaw");
    Record(kAsyncRead, L"ReadRaw",
           {{L"tid", tid}, {L"numValues", dwNumValues}, {L"bounds", bBounds}, {L"numItems", dwNumItems}});
    RecordArray(kAsyncRead, L"ReadRaw", L"handle", phServer, dwNumItems);
    if (!htStartTime || !htEndTime || dwNumItems == 0 || !phServer) return E_INVALIDARG;
    Ticks s, e;
    if (FAILED(ResolveRange(kAsyncRead, L"ReadRaw", htStartTime, htEndTime, &s, &e))) return E_INVALIDARG;
    bool bounds = bBounds != FALSE;
    return Start(dwNumItems, phServer, nullptr, pdwCancelID, ppErrors, false,
                 [this, tid, s, e, dwNumValues, bounds](const std::vector<Target>& items, int64_t, int64_t*) {
                     SendItems(ItemEvent::ReadComplete, tid, items,
                               [&](const Target& t) { return model_.ReadRaw(s, e, dwNumValues, bounds, t.handle); });
                     return false;
                 });
}

HRESULT SimHistorianObject::AdviseRaw(DWORD tid, OPCHDA_TIME* htStartTime, FILETIME ftUpdateInterval, DWORD dwNumItems,
                                      OPCHANDLE* phServer, DWORD* pdwCancelID, HRESULT** ppErrors) {
    ASYNC_PREAMBLE(kAsyncRead, L"AdviseRaw");
    Record(kAsyncRead, L"AdviseRaw",
           {{L"tid", tid}, {L"interval", TicksOf(ftUpdateInterval)}, {L"numItems", dwNumItems}});
    RecordArray(kAsyncRead, L"AdviseRaw", L"handle", phServer, dwNumItems);
    if (!htStartTime || dwNumItems == 0 || !phServer) return E_INVALIDARG;
    Ticks s;
    if (FAILED(Resolve(htStartTime, &s))) return E_INVALIDARG;
    Ticks interval = std::max<Ticks>(TicksOf(ftUpdateInterval), kTicksPerSecond / 10);
    auto from = std::make_shared<Ticks>(s);
    // Each delivery covers the values since the last one.
    return Start(dwNumItems, phServer, nullptr, pdwCancelID, ppErrors, true,
                 [this, tid, from, interval](const std::vector<Target>& items, int64_t now, int64_t* next) {
                     SendItems(ItemEvent::DataChange, tid, items,
                               [&](const Target& t) { return model_.ReadRaw(*from, now, 0, false, t.handle); });
                     *from = now;  // reads end before their end time
                     *next = now + interval;
                     return true;
                 });
}

HRESULT SimHistorianObject::ReadProcessed(DWORD tid, OPCHDA_TIME* htStartTime, OPCHDA_TIME* htEndTime,
                                          FILETIME ftResampleInterval, DWORD dwNumItems, OPCHANDLE* phServer,
                                          DWORD* haAggregate, DWORD* pdwCancelID, HRESULT** ppErrors) {
    ASYNC_PREAMBLE(kAsyncRead, L"ReadProcessed");
    Record(kAsyncRead, L"ReadProcessed",
           {{L"tid", tid}, {L"resample", TicksOf(ftResampleInterval)}, {L"numItems", dwNumItems}});
    RecordArray(kAsyncRead, L"ReadProcessed", L"handle", phServer, dwNumItems);
    RecordArray(kAsyncRead, L"ReadProcessed", L"aggregate", haAggregate, dwNumItems);
    if (!htStartTime || !htEndTime || dwNumItems == 0 || !phServer || !haAggregate) return E_INVALIDARG;
    Ticks s, e;
    if (FAILED(ResolveRange(kAsyncRead, L"ReadProcessed", htStartTime, htEndTime, &s, &e))) return E_INVALIDARG;
    Ticks interval = TicksOf(ftResampleInterval);
    return Start(dwNumItems, phServer, haAggregate, pdwCancelID, ppErrors, false,
                 [this, tid, s, e, interval](const std::vector<Target>& items, int64_t, int64_t*) {
                     SendItems(ItemEvent::ReadComplete, tid, items, [&](const Target& t) {
                         return model_.ReadProcessed(s, e, interval, t.aggregate, t.handle);
                     });
                     return false;
                 });
}

HRESULT SimHistorianObject::AdviseProcessed(DWORD tid, OPCHDA_TIME* htStartTime, FILETIME ftResampleInterval,
                                            DWORD dwNumItems, OPCHANDLE* phServer, DWORD* haAggregate,
                                            DWORD dwNumIntervals, DWORD* pdwCancelID, HRESULT** ppErrors) {
    ASYNC_PREAMBLE(kAsyncRead, L"AdviseProcessed");
    Record(kAsyncRead, L"AdviseProcessed",
           {{L"tid", tid},
            {L"resample", TicksOf(ftResampleInterval)},
            {L"numIntervals", dwNumIntervals},
            {L"numItems", dwNumItems}});
    RecordArray(kAsyncRead, L"AdviseProcessed", L"handle", phServer, dwNumItems);
    RecordArray(kAsyncRead, L"AdviseProcessed", L"aggregate", haAggregate, dwNumItems);
    if (!htStartTime || dwNumItems == 0 || !phServer || !haAggregate) return E_INVALIDARG;
    Ticks s;
    if (FAILED(Resolve(htStartTime, &s))) return E_INVALIDARG;
    Ticks interval = TicksOf(ftResampleInterval);
    if (interval <= 0) return E_INVALIDARG;
    // Each delivery covers the intervals completed since the last one; the
    // first at most dwNumIntervals of them (all when 0).
    auto from = std::make_shared<Ticks>(s);
    auto first = std::make_shared<bool>(true);
    return Start(dwNumItems, phServer, haAggregate, pdwCancelID, ppErrors, true,
                 [this, tid, s, interval, from, first, dwNumIntervals](const std::vector<Target>& items, int64_t now,
                                                                       int64_t* next) {
                     Ticks end = now < s ? s : s + ((now - s) / interval) * interval;
                     if (*first && dwNumIntervals > 0 && (end - *from) / interval > static_cast<Ticks>(dwNumIntervals))
                         *from = end - static_cast<Ticks>(dwNumIntervals) * interval;
                     if (end > *from) {
                         SendItems(ItemEvent::DataChange, tid, items, [&](const Target& t) {
                             return model_.ReadProcessed(*from, end, interval, t.aggregate, t.handle);
                         });
                         *from = end;
                         *first = false;
                     }
                     *next = std::max(end, s) + interval;
                     return true;
                 });
}

HRESULT SimHistorianObject::ReadAtTime(DWORD tid, DWORD dwNumTimeStamps, FILETIME* ftTimeStamps, DWORD dwNumItems,
                                       OPCHANDLE* phServer, DWORD* pdwCancelID, HRESULT** ppErrors) {
    ASYNC_PREAMBLE(kAsyncRead, L"ReadAtTime");
    Record(kAsyncRead, L"ReadAtTime", {{L"tid", tid}, {L"numTimeStamps", dwNumTimeStamps}, {L"numItems", dwNumItems}});
    RecordArray(kAsyncRead, L"ReadAtTime", L"stamp", ftTimeStamps, dwNumTimeStamps);
    RecordArray(kAsyncRead, L"ReadAtTime", L"handle", phServer, dwNumItems);
    if (dwNumTimeStamps == 0 || !ftTimeStamps || dwNumItems == 0 || !phServer) return E_INVALIDARG;
    std::vector<Ticks> times;
    for (DWORD t = 0; t < dwNumTimeStamps; ++t) times.push_back(TicksOf(ftTimeStamps[t]));
    return Start(dwNumItems, phServer, nullptr, pdwCancelID, ppErrors, false,
                 [this, tid, times](const std::vector<Target>& items, int64_t, int64_t*) {
                     SendItems(ItemEvent::ReadComplete, tid, items,
                               [&](const Target& t) { return model_.ReadAtTime(times, t.handle); });
                     return false;
                 });
}

HRESULT SimHistorianObject::ReadModified(DWORD tid, OPCHDA_TIME* htStartTime, OPCHDA_TIME* htEndTime, DWORD dwNumValues,
                                         DWORD dwNumItems, OPCHANDLE* phServer, DWORD* pdwCancelID,
                                         HRESULT** ppErrors) {
    ASYNC_PREAMBLE(kAsyncRead, L"ReadModified");
    Record(kAsyncRead, L"ReadModified", {{L"tid", tid}, {L"numValues", dwNumValues}, {L"numItems", dwNumItems}});
    RecordArray(kAsyncRead, L"ReadModified", L"handle", phServer, dwNumItems);
    if (!htStartTime || !htEndTime || dwNumItems == 0 || !phServer) return E_INVALIDARG;
    Ticks s, e;
    if (FAILED(ResolveRange(kAsyncRead, L"ReadModified", htStartTime, htEndTime, &s, &e))) return E_INVALIDARG;
    return Start(dwNumItems, phServer, nullptr, pdwCancelID, ppErrors, false,
                 [this, tid, s, e, dwNumValues](const std::vector<Target>& items, int64_t, int64_t*) {
                     Deliver<OPCHDA_MODIFIEDITEM>(
                         static_cast<DWORD>(items.size()),
                         [&](DWORD i, OPCHDA_MODIFIEDITEM& out) {
                             ModifiedData d = model_.ReadModified(s, e, dwNumValues, items[i].handle);
                             return FillModified(out, d, items[i].client) ? d.hr : E_OUTOFMEMORY;
                         },
                         [&](DWORD n, OPCHDA_MODIFIEDITEM* answers, HRESULT* errs, HRESULT status) {
                             EachCallback([&](IOPCHDA_DataCallback* cb) {
                                 cb->OnReadModifiedComplete(tid, status, n, answers, errs);
                             });
                         });
                     return false;
                 });
}

HRESULT SimHistorianObject::ReadAttribute(DWORD tid, OPCHDA_TIME* htStartTime, OPCHDA_TIME* htEndTime,
                                          OPCHANDLE hServer, DWORD dwNumAttributes, DWORD* dwAttributeIDs,
                                          DWORD* pdwCancelID, HRESULT** ppErrors) {
    ASYNC_PREAMBLE(kAsyncRead, L"ReadAttribute");
    Record(kAsyncRead, L"ReadAttribute", {{L"tid", tid}, {L"hServer", hServer}, {L"numItems", dwNumAttributes}});
    RecordArray(kAsyncRead, L"ReadAttribute", L"attribute", dwAttributeIDs, dwNumAttributes);
    if (!htStartTime || !htEndTime || dwNumAttributes == 0 || !dwAttributeIDs) return E_INVALIDARG;
    OPCHANDLE client = 0;
    if (!ClientOf(hServer, &client)) return OPC_E_INVALIDHANDLE;
    Ticks s, e;
    if (FAILED(ResolveRange(kAsyncRead, L"ReadAttribute", htStartTime, htEndTime, &s, &e))) return E_INVALIDARG;
    // One element per attribute, all of the one item.
    std::vector<OPCHANDLE> same(dwNumAttributes, hServer);
    std::vector<std::uint32_t> ids(dwAttributeIDs, dwAttributeIDs + dwNumAttributes);
    return Start(dwNumAttributes, same.data(), nullptr, pdwCancelID, ppErrors, false,
                 [this, tid, hServer, client, ids, s, e](const std::vector<Target>&, int64_t, int64_t*) {
                     auto data = model_.ReadAttribute(s, e, hServer, ids);
                     Deliver<OPCHDA_ATTRIBUTE>(
                         static_cast<DWORD>(ids.size()),
                         [&](DWORD i, OPCHDA_ATTRIBUTE& out) {
                             const AttributeData& d = data[i];  // one per attribute asked
                             HRESULT code = FillAttribute(out, d, client) ? d.hr : E_OUTOFMEMORY;
                             out.dwAttributeID = ids[i];
                             return code;
                         },
                         [&](DWORD n, OPCHDA_ATTRIBUTE* answers, HRESULT* errs, HRESULT status) {
                             EachCallback([&](IOPCHDA_DataCallback* cb) {
                                 cb->OnReadAttributeComplete(tid, status, client, n, answers, errs);
                             });
                         });
                     return false;
                 });
}

}  // namespace hdasim
