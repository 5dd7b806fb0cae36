// Playback of the items collection, on the request pattern (item_collection/request.h):
// the historian sends the time range in slices, one every update interval, as
// Playback events of the data callback, until it is done or cancelled.
#include "item_collection/request.h"
#include "com/implements.h"
#include "server/COPCHDAAutoServer.h"

using namespace request;
using client_arrays::ReadLongs;

STDMETHODIMP COPCHDAAutoServer::AsyncPlaybackRaw(LONG TransactionID, VARIANT* StartTime, VARIANT* EndTime,
                                                 LONG NumValues, DATE UpdateDuration, DATE UpdateInterval,
                                                 LONG NumItems, SAFEARRAY** ServerHandles, SAFEARRAY** Errors,
                                                 LONG* CancelID) try {
    TimeDomain times(this, StartTime, EndTime);
    std::vector<LONG> handles;
    HRESULT hr =
        OpenRangeRequest(playback_, times, StartTime, EndTime, NumItems, ServerHandles, Errors, CancelID, handles);
    if (FAILED(hr)) return hr;
    FILETIME duration = DateSpanToFileTime(UpdateDuration);
    FILETIME interval = DateSpanToFileTime(UpdateInterval);
    AsyncAnswer answer;
    hr =
        playback_->ReadRawWithUpdate(TransactionID, times.Start(), times.End(), static_cast<DWORD>(NumValues), duration,
                                     interval, NumItems, AsDwords(handles), &answer.cancel, answer.codes.put());
    return answer.Finish(hr, NumItems, &times, Errors, CancelID, playback_.get());
} catch (...) {
    return HResultFromCaughtException();
}

STDMETHODIMP COPCHDAAutoServer::AsyncPlaybackProcessed(LONG TransactionID, VARIANT* StartTime, VARIANT* EndTime,
                                                       DATE ResampleInterval, LONG NumIntervals, DATE UpdateInterval,
                                                       LONG NumItems, SAFEARRAY** ServerHandles, SAFEARRAY** Aggregates,
                                                       SAFEARRAY** Errors, LONG* CancelID) try {
    HRESULT hr = CheckRequest({{StartTime, EndTime, InArray(ServerHandles), InArray(Aggregates), Errors, CancelID},
                               {NumItems},
                               {Errors},
                               {{ServerHandles, NumItems, VT_I4}, {Aggregates, NumItems, VT_I4}}},
                              playback_);
    TimeDomain times(this, StartTime, EndTime);
    if (FAILED(hr) || FAILED(hr = times.Convert())) return hr;
    FILETIME resample = DateSpanToFileTime(ResampleInterval);
    FILETIME interval = DateSpanToFileTime(UpdateInterval);
    std::vector<LONG> handles = ReadLongs(*ServerHandles, NumItems);
    std::vector<LONG> aggregates = ReadLongs(*Aggregates, NumItems);
    AsyncAnswer answer;
    hr = playback_->ReadProcessedWithUpdate(TransactionID, times.Start(), times.End(), resample,
                                            static_cast<DWORD>(NumIntervals), interval, NumItems, AsDwords(handles),
                                            AsDwords(aggregates), &answer.cancel, answer.codes.put());
    return answer.Finish(hr, NumItems, &times, Errors, CancelID, playback_.get());
} catch (...) {
    return HResultFromCaughtException();
}

STDMETHODIMP COPCHDAAutoServer::AsyncCancelPlayback(LONG CancelID) {
    HRESULT hr = RequireHistorian(playback_);
    return FAILED(hr) ? hr : playback_->Cancel(static_cast<DWORD>(CancelID));
}
