// IOPCHDA_Playback of the simulated historian: one slice of the time range at
// every update interval of the simulated clock, until the range is done or the
// request is cancelled.
#include "historian_parts.h"

#include <algorithm>
#include <memory>

namespace hdasim {

HRESULT SimHistorianObject::ReadRawWithUpdate(DWORD tid, OPCHDA_TIME* htStartTime, OPCHDA_TIME* htEndTime,
                                              DWORD dwNumValues, FILETIME ftUpdateDuration, FILETIME ftUpdateInterval,
                                              DWORD dwNumItems, OPCHANDLE* phServer, DWORD* pdwCancelID,
                                              HRESULT** ppErrors) {
    ASYNC_PREAMBLE(kPlayback, L"ReadRawWithUpdate");
    Record(kPlayback, L"ReadRawWithUpdate",
           {{L"tid", tid},
            {L"numValues", dwNumValues},
            {L"duration", TicksOf(ftUpdateDuration)},
            {L"interval", TicksOf(ftUpdateInterval)},
            {L"numItems", dwNumItems}});
    RecordArray(kPlayback, L"ReadRawWithUpdate", L"handle", phServer, dwNumItems);
    if (!htStartTime || !htEndTime || dwNumItems == 0 || !phServer) return E_INVALIDARG;
    Ticks s, e;
    if (FAILED(ResolveRange(kPlayback, L"ReadRawWithUpdate", htStartTime, htEndTime, &s, &e))) return E_INVALIDARG;
    Ticks duration = TicksOf(ftUpdateDuration);
    Ticks interval = std::max<Ticks>(TicksOf(ftUpdateInterval), kTicksPerSecond / 10);
    if (duration <= 0 || e <= s) return E_INVALIDARG;
    auto cur = std::make_shared<Ticks>(s);
    return Start(dwNumItems, phServer, nullptr, pdwCancelID, ppErrors, true,
                 [this, tid, cur, e, duration, interval, dwNumValues](const std::vector<Target>& items, int64_t now,
                                                                      int64_t* next) {
                     Ticks sliceEnd = std::min(*cur + duration, e);
                     SendItems(ItemEvent::Playback, tid, items, [&](const Target& t) {
                         return model_.ReadRaw(*cur, sliceEnd, dwNumValues, false, t.handle);
                     });
                     *cur = sliceEnd;
                     *next = now + interval;
                     return *cur < e;
                 });
}

HRESULT SimHistorianObject::ReadProcessedWithUpdate(DWORD tid, OPCHDA_TIME* htStartTime, OPCHDA_TIME* htEndTime,
                                                    FILETIME ftResampleInterval, DWORD dwNumIntervals,
                                                    FILETIME ftUpdateInterval, DWORD dwNumItems, OPCHANDLE* phServer,
                                                    DWORD* haAggregate, DWORD* pdwCancelID, HRESULT** ppErrors) {
    ASYNC_PREAMBLE(kPlayback, L"ReadProcessedWithUpdate");
    Record(kPlayback, L"ReadProcessedWithUpdate",
           {{L"tid", tid},
            {L"resample", TicksOf(ftResampleInterval)},
            {L"numIntervals", dwNumIntervals},
            {L"interval", TicksOf(ftUpdateInterval)},
            {L"numItems", dwNumItems}});
    RecordArray(kPlayback, L"ReadProcessedWithUpdate", L"handle", phServer, dwNumItems);
    RecordArray(kPlayback, L"ReadProcessedWithUpdate", L"aggregate", haAggregate, dwNumItems);
    if (!htStartTime || !htEndTime || dwNumItems == 0 || !phServer || !haAggregate) return E_INVALIDARG;
    Ticks s, e;
    if (FAILED(ResolveRange(kPlayback, L"ReadProcessedWithUpdate", htStartTime, htEndTime, &s, &e)))
        return E_INVALIDARG;
    Ticks resample = TicksOf(ftResampleInterval);
    Ticks interval = std::max<Ticks>(TicksOf(ftUpdateInterval), kTicksPerSecond / 10);
    if (resample <= 0 || e <= s) return E_INVALIDARG;
    Ticks slice = resample * std::max<DWORD>(dwNumIntervals, 1);
    auto cur = std::make_shared<Ticks>(s);
    return Start(
        dwNumItems, phServer, haAggregate, pdwCancelID, ppErrors, true,
        [this, tid, cur, e, slice, resample, interval](const std::vector<Target>& items, int64_t now, int64_t* next) {
            Ticks sliceEnd = std::min(*cur + slice, e);
            SendItems(ItemEvent::Playback, tid, items, [&](const Target& t) {
                return model_.ReadProcessed(*cur, sliceEnd, resample, t.aggregate, t.handle);
            });
            *cur = sliceEnd;
            *next = now + interval;
            return *cur < e;
        });
}

}  // namespace hdasim
