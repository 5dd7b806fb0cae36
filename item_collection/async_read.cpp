// The asynchronous reads and advises of the items collection, each a Request
// (item_collection/request.h) with its own checks, arrays and call. Each
// hands the client's TransactionID to the historian and returns the
// historian's per-item codes and cancel identifier; the values arrive later
// as events of the data callback. Nothing about a request is kept here.
#include "item_collection/request.h"
#include "com/implements.h"
#include "server/COPCHDAAutoServer.h"

using namespace request;

STDMETHODIMP COPCHDAAutoServer::AsyncReadRaw(LONG TransactionID, VARIANT* StartTime, VARIANT* EndTime, LONG NumValues,
                                             LONG Bounds, LONG NumItems, SAFEARRAY** ServerHandles, SAFEARRAY** Errors,
                                             LONG* CancelID) try {
    Request request(this, asyncRead_, CancelID);
    request.OpenTimeRange({StartTime, EndTime}, NumItems, {ServerHandles}, {Errors});
    DWORD* handles = request.Longs(ServerHandles, NumItems);
    return request.FinishCodes(NumItems, Errors, [&] {
        return asyncRead_->ReadRaw(TransactionID, request.Start(), request.End(), static_cast<DWORD>(NumValues), Bounds,
                                   NumItems, handles, request.Cancel(), request.Codes());
    });
} catch (...) {
    return HResultFromCaughtException();
}

STDMETHODIMP COPCHDAAutoServer::AsyncAdviseRaw(LONG TransactionID, VARIANT* StartTime, DATE UpdateInterval,
                                               LONG NumItems, SAFEARRAY** ServerHandles, SAFEARRAY** Errors,
                                               LONG* CancelID) try {
    Request request(this, asyncRead_, CancelID);
    request.OpenTimeRange({StartTime}, NumItems, {ServerHandles}, {Errors});
    DWORD* handles = request.Longs(ServerHandles, NumItems);
    return request.FinishCodes(NumItems, Errors, [&] {
        return asyncRead_->AdviseRaw(TransactionID, request.Start(), DateSpanToFileTime(UpdateInterval), NumItems,
                                     handles, request.Cancel(), request.Codes());
    });
} catch (...) {
    return HResultFromCaughtException();
}

STDMETHODIMP COPCHDAAutoServer::AsyncReadProcessed(LONG TransactionID, VARIANT* StartTime, VARIANT* EndTime,
                                                   DATE ResampleInterval, LONG NumItems, SAFEARRAY** ServerHandles,
                                                   SAFEARRAY** Aggregates, SAFEARRAY** Errors, LONG* CancelID) try {
    Request request(this, asyncRead_, CancelID);
    request.OpenTimeRange({StartTime, EndTime}, NumItems, {ServerHandles, Aggregates}, {Errors});
    DWORD* handles = request.Longs(ServerHandles, NumItems);
    DWORD* aggregates = request.Longs(Aggregates, NumItems);
    return request.FinishCodes(NumItems, Errors, [&] {
        return asyncRead_->ReadProcessed(TransactionID, request.Start(), request.End(),
                                         DateSpanToFileTime(ResampleInterval), NumItems, handles, aggregates,
                                         request.Cancel(), request.Codes());
    });
} catch (...) {
    return HResultFromCaughtException();
}

STDMETHODIMP COPCHDAAutoServer::AsyncAdviseProcessed(LONG TransactionID, VARIANT* StartTime, DATE ResampleInterval,
                                                     LONG NumIntervals, LONG NumItems, SAFEARRAY** ServerHandles,
                                                     SAFEARRAY** Aggregates, SAFEARRAY** Errors, LONG* CancelID) try {
    Request request(this, asyncRead_, CancelID);
    request.OpenTimeRange({StartTime}, NumItems, {ServerHandles, Aggregates}, {Errors});
    DWORD* handles = request.Longs(ServerHandles, NumItems);
    DWORD* aggregates = request.Longs(Aggregates, NumItems);
    return request.FinishCodes(NumItems, Errors, [&] {
        return asyncRead_->AdviseProcessed(TransactionID, request.Start(), DateSpanToFileTime(ResampleInterval),
                                           NumItems, handles, aggregates, static_cast<DWORD>(NumIntervals),
                                           request.Cancel(), request.Codes());
    });
} catch (...) {
    return HResultFromCaughtException();
}

STDMETHODIMP COPCHDAAutoServer::AsyncReadAtTime(LONG TransactionID, LONG NumTimeStamps, SAFEARRAY** TimeStamps,
                                                LONG NumItems, SAFEARRAY** ServerHandles, SAFEARRAY** Errors,
                                                LONG* CancelID) try {
    Request request(this, asyncRead_, CancelID);
    request.Check({{InArray(TimeStamps), InArray(ServerHandles), Errors},
                   {NumTimeStamps, NumItems},
                   {Errors},
                   {{TimeStamps, NumTimeStamps, VT_DATE}, {ServerHandles, NumItems, VT_I4}}});
    FILETIME* stamps = request.FileTimes(TimeStamps, NumTimeStamps);
    DWORD* handles = request.Longs(ServerHandles, NumItems);
    return request.FinishCodes(NumItems, Errors, [&] {
        return asyncRead_->ReadAtTime(TransactionID, NumTimeStamps, stamps, NumItems, handles, request.Cancel(),
                                      request.Codes());
    });
} catch (...) {
    return HResultFromCaughtException();
}

STDMETHODIMP COPCHDAAutoServer::AsyncReadModified(LONG TransactionID, VARIANT* StartTime, VARIANT* EndTime,
                                                  LONG NumValues, LONG NumItems, SAFEARRAY** ServerHandles,
                                                  SAFEARRAY** Errors, LONG* CancelID) try {
    Request request(this, asyncRead_, CancelID);
    request.OpenTimeRange({StartTime, EndTime}, NumItems, {ServerHandles}, {Errors});
    DWORD* handles = request.Longs(ServerHandles, NumItems);
    return request.FinishCodes(NumItems, Errors, [&] {
        return asyncRead_->ReadModified(TransactionID, request.Start(), request.End(), static_cast<DWORD>(NumValues),
                                        NumItems, handles, request.Cancel(), request.Codes());
    });
} catch (...) {
    return HResultFromCaughtException();
}

STDMETHODIMP COPCHDAAutoServer::AsyncReadAttribute(LONG TransactionID, VARIANT* StartTime, VARIANT* EndTime,
                                                   LONG ServerHandle, LONG NumAttributes, SAFEARRAY** AttributeIDs,
                                                   SAFEARRAY** Errors, LONG* CancelID) try {
    Request request(this, asyncRead_, CancelID);
    request.OpenTimeRange({StartTime, EndTime}, NumAttributes, {AttributeIDs}, {Errors});
    DWORD* attributes = request.Longs(AttributeIDs, NumAttributes);
    return request.FinishCodes(NumAttributes, Errors, [&] {
        return asyncRead_->ReadAttribute(TransactionID, request.Start(), request.End(),
                                         static_cast<OPCHANDLE>(ServerHandle), NumAttributes, attributes,
                                         request.Cancel(), request.Codes());
    });
} catch (...) {
    return HResultFromCaughtException();
}

STDMETHODIMP COPCHDAAutoServer::AsyncCancelRead(LONG CancelID) try {
    return CancelAt(asyncRead_, CancelID);
} catch (...) {
    return HResultFromCaughtException();
}
