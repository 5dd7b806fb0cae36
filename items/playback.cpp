// Playback of the items collection, on the request pattern (items/request.h):
// the historian sends the time range in slices, one every update interval, as
// Playback events of the data callback, until it is done or cancelled.
#include "items/request.h"
#include "module/implements.h"
#include "server/COPCHDAAutoServer.h"

using namespace request;
using client_arrays::ReadLongs;

STDMETHODIMP COPCHDAAutoServer::AsyncPlaybackRaw(LONG TransactionID, VARIANT* StartTime, VARIANT* EndTime,
                                                 LONG NumValues, DATE UpdateDuration, DATE UpdateInterval,
                                                 LONG NumItems, SAFEARRAY** ServerHandles, SAFEARRAY** Errors,
                                                 LONG* CancelID) {
    return ComCall([&] {
        HRESULT hr;
        if (FAILED(hr = CheckPointers(StartTime, EndTime, InArray(ServerHandles), Errors, CancelID)) ||
            FAILED(hr = CheckCount(NumItems)))
            return hr;
        NullOutputs({Errors});
        if (FAILED(hr = CheckBounds(*ServerHandles, NumItems, VT_I4)) || FAILED(hr = RequireHistorian(playback_)))
            return hr;
        TimeDomain times(this, StartTime, EndTime);
        if (FAILED(hr = times.Convert())) return hr;
        FILETIME duration = DateSpanToFileTime(UpdateDuration);
        FILETIME interval = DateSpanToFileTime(UpdateInterval);
        std::vector<LONG> handles = ReadLongs(*ServerHandles, NumItems);

        DWORD cancel = 0;
        CoTaskMemPtr<HRESULT> codes;
        hr = playback_->ReadRawWithUpdate(TransactionID, times.Start(), times.End(), static_cast<DWORD>(NumValues),
                                          duration, interval, NumItems, AsDwords(handles), &cancel, codes.put());
        return FinishAsync(hr, NumItems, codes, &times, Errors, cancel, CancelID);
    });
}

STDMETHODIMP COPCHDAAutoServer::AsyncPlaybackProcessed(LONG TransactionID, VARIANT* StartTime, VARIANT* EndTime,
                                                       DATE ResampleInterval, LONG NumIntervals, DATE UpdateInterval,
                                                       LONG NumItems, SAFEARRAY** ServerHandles,
                                                       SAFEARRAY** Aggregates, SAFEARRAY** Errors, LONG* CancelID) {
    return ComCall([&] {
        HRESULT hr;
        if (FAILED(hr = CheckPointers(StartTime, EndTime, InArray(ServerHandles), InArray(Aggregates), Errors,
                                      CancelID)) ||
            FAILED(hr = CheckCount(NumItems)))
            return hr;
        NullOutputs({Errors});
        if (FAILED(hr = CheckBounds(*ServerHandles, NumItems, VT_I4)) ||
            FAILED(hr = CheckBounds(*Aggregates, NumItems, VT_I4)) || FAILED(hr = RequireHistorian(playback_)))
            return hr;
        TimeDomain times(this, StartTime, EndTime);
        if (FAILED(hr = times.Convert())) return hr;
        FILETIME resample = DateSpanToFileTime(ResampleInterval);
        FILETIME interval = DateSpanToFileTime(UpdateInterval);
        std::vector<LONG> handles = ReadLongs(*ServerHandles, NumItems);
        std::vector<LONG> aggregates = ReadLongs(*Aggregates, NumItems);

        DWORD cancel = 0;
        CoTaskMemPtr<HRESULT> codes;
        hr = playback_->ReadProcessedWithUpdate(TransactionID, times.Start(), times.End(), resample,
                                                static_cast<DWORD>(NumIntervals), interval, NumItems, AsDwords(handles),
                                                AsDwords(aggregates), &cancel, codes.put());
        return FinishAsync(hr, NumItems, codes, &times, Errors, cancel, CancelID);
    });
}

STDMETHODIMP COPCHDAAutoServer::AsyncCancelPlayback(LONG CancelID) {
    HRESULT hr = RequireHistorian(playback_);
    return FAILED(hr) ? hr : playback_->Cancel(static_cast<DWORD>(CancelID));
}
