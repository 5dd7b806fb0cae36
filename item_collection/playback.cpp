// Playback of the items collection, each member a Request
// (item_collection/request.h): the historian sends the time range in slices,
// one every update interval, as Playback events of the data callback, until
// it is done or cancelled.
#include "item_collection/request.h"
#include "com/implements.h"
#include "server/COPCHDAAutoServer.h"

using namespace request;

STDMETHODIMP COPCHDAAutoServer::AsyncPlaybackRaw(LONG TransactionID, VARIANT* StartTime, VARIANT* EndTime,
                                                 LONG NumValues, DATE UpdateDuration, DATE UpdateInterval,
                                                 LONG NumItems, SAFEARRAY** ServerHandles, SAFEARRAY** Errors,
                                                 LONG* CancelID) try {
    Request request(this, playback_, CancelID);
    request.OpenTimeRange({StartTime, EndTime}, NumItems, {ServerHandles}, {Errors});
    DWORD* handles = request.Longs(ServerHandles, NumItems);
    return request.FinishCodes(NumItems, Errors, [&] {
        return playback_->ReadRawWithUpdate(TransactionID, request.Start(), request.End(),
                                            static_cast<DWORD>(NumValues), DateSpanToFileTime(UpdateDuration),
                                            DateSpanToFileTime(UpdateInterval), NumItems, handles, request.Cancel(),
                                            request.Codes());
    });
} catch (...) {
    return HResultFromCaughtException();
}

STDMETHODIMP COPCHDAAutoServer::AsyncPlaybackProcessed(LONG TransactionID, VARIANT* StartTime, VARIANT* EndTime,
                                                       DATE ResampleInterval, LONG NumIntervals, DATE UpdateInterval,
                                                       LONG NumItems, SAFEARRAY** ServerHandles, SAFEARRAY** Aggregates,
                                                       SAFEARRAY** Errors, LONG* CancelID) try {
    Request request(this, playback_, CancelID);
    request.OpenTimeRange({StartTime, EndTime}, NumItems, {ServerHandles, Aggregates}, {Errors});
    DWORD* handles = request.Longs(ServerHandles, NumItems);
    DWORD* aggregates = request.Longs(Aggregates, NumItems);
    return request.FinishCodes(NumItems, Errors, [&] {
        return playback_->ReadProcessedWithUpdate(TransactionID, request.Start(), request.End(),
                                                  DateSpanToFileTime(ResampleInterval),
                                                  static_cast<DWORD>(NumIntervals), DateSpanToFileTime(UpdateInterval),
                                                  NumItems, handles, aggregates, request.Cancel(), request.Codes());
    });
} catch (...) {
    return HResultFromCaughtException();
}

STDMETHODIMP COPCHDAAutoServer::AsyncCancelPlayback(LONG CancelID) try {
    return CancelAt(playback_, CancelID);
} catch (...) {
    return HResultFromCaughtException();
}
