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
    record(kPlayback, L"ReadRawWithUpdate",
           {{L"tid", tid},
            {L"numValues", dwNumValues},
            {L"duration", ticks_of(ftUpdateDuration)},
            {L"interval", ticks_of(ftUpdateInterval)},
            {L"numItems", dwNumItems}});
    record_array(kPlayback, L"ReadRawWithUpdate", L"handle", phServer, dwNumItems);
    if (!htStartTime || !htEndTime || dwNumItems == 0 || !phServer) return E_INVALIDARG;
    Ticks s, e;
    if (FAILED(resolve(htStartTime, &s)) || FAILED(resolve(htEndTime, &e))) return E_INVALIDARG;
    Ticks duration = ticks_of(ftUpdateDuration);
    Ticks interval = std::max<Ticks>(ticks_of(ftUpdateInterval), kTicksPerSecond / 10);
    if (duration <= 0 || e <= s) return E_INVALIDARG;
    auto cur = std::make_shared<Ticks>(s);
    return start(dwNumItems, phServer, nullptr, pdwCancelID, ppErrors, true,
                 [this, tid, cur, e, duration, interval, dwNumValues](const std::vector<Target>& items, int64_t now,
                                                                      int64_t* next) {
                     Ticks slice_end = std::min(*cur + duration, e);
                     send_items(ItemEvent::Playback, tid, items, [&](const Target& t) {
                         return model_.ReadRaw(*cur, slice_end, dwNumValues, false, t.handle);
                     });
                     *cur = slice_end;
                     *next = now + interval;
                     return *cur < e;
                 });
}

HRESULT SimHistorianObject::ReadProcessedWithUpdate(DWORD tid, OPCHDA_TIME* htStartTime, OPCHDA_TIME* htEndTime,
                                                    FILETIME ftResampleInterval, DWORD dwNumIntervals,
                                                    FILETIME ftUpdateInterval, DWORD dwNumItems, OPCHANDLE* phServer,
                                                    DWORD* haAggregate, DWORD* pdwCancelID, HRESULT** ppErrors) {
    ASYNC_PREAMBLE(kPlayback, L"ReadProcessedWithUpdate");
    record(kPlayback, L"ReadProcessedWithUpdate",
           {{L"tid", tid},
            {L"resample", ticks_of(ftResampleInterval)},
            {L"numIntervals", dwNumIntervals},
            {L"interval", ticks_of(ftUpdateInterval)},
            {L"numItems", dwNumItems}});
    record_array(kPlayback, L"ReadProcessedWithUpdate", L"handle", phServer, dwNumItems);
    record_array(kPlayback, L"ReadProcessedWithUpdate", L"aggregate", haAggregate, dwNumItems);
    if (!htStartTime || !htEndTime || dwNumItems == 0 || !phServer || !haAggregate) return E_INVALIDARG;
    Ticks s, e;
    if (FAILED(resolve(htStartTime, &s)) || FAILED(resolve(htEndTime, &e))) return E_INVALIDARG;
    Ticks resample = ticks_of(ftResampleInterval);
    Ticks interval = std::max<Ticks>(ticks_of(ftUpdateInterval), kTicksPerSecond / 10);
    if (resample <= 0 || e <= s) return E_INVALIDARG;
    Ticks slice = resample * std::max<DWORD>(dwNumIntervals, 1);
    auto cur = std::make_shared<Ticks>(s);
    return start(
        dwNumItems, phServer, haAggregate, pdwCancelID, ppErrors, true,
        [this, tid, cur, e, slice, resample, interval](const std::vector<Target>& items, int64_t now, int64_t* next) {
            Ticks slice_end = std::min(*cur + slice, e);
            send_items(ItemEvent::Playback, tid, items, [&](const Target& t) {
                return model_.ReadProcessed(*cur, slice_end, resample, t.aggregate, t.handle);
            });
            *cur = slice_end;
            *next = now + interval;
            return *cur < e;
        });
}

}  // namespace hdasim
