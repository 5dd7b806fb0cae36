// The asynchronous reads and advises of the items collection, on the request
// pattern (item_collection/request.h). Each hands the client's TransactionID to the
// historian and returns the historian's per-item codes and cancel identifier;
// the values arrive later as events of the data callback. Nothing about a
// request is kept here.
#include "item_collection/request.h"
#include "com/implements.h"
#include "server/COPCHDAAutoServer.h"

using namespace request;
using client_arrays::ReadLongs;

STDMETHODIMP COPCHDAAutoServer::AsyncReadRaw(LONG TransactionID, VARIANT* StartTime, VARIANT* EndTime, LONG NumValues,
                                             LONG Bounds, LONG NumItems, SAFEARRAY** ServerHandles, SAFEARRAY** Errors,
                                             LONG* CancelID) try {
    TimeDomain times(this, StartTime, EndTime);
    std::vector<LONG> handles;
    HRESULT hr =
        OpenRangeRequest(asyncRead_, times, StartTime, EndTime, NumItems, ServerHandles, Errors, CancelID, handles);
    if (FAILED(hr)) return hr;
    AsyncAnswer answer;
    hr = asyncRead_->ReadRaw(TransactionID, times.Start(), times.End(), static_cast<DWORD>(NumValues), Bounds, NumItems,
                             AsDwords(handles), &answer.cancel, answer.codes.put());
    return answer.Finish(hr, NumItems, &times, Errors, CancelID, asyncRead_.get());
} catch (...) {
    return HResultFromCaughtException();
}

STDMETHODIMP COPCHDAAutoServer::AsyncAdviseRaw(LONG TransactionID, VARIANT* StartTime, DATE UpdateInterval,
                                               LONG NumItems, SAFEARRAY** ServerHandles, SAFEARRAY** Errors,
                                               LONG* CancelID) try {
    HRESULT hr = CheckRequest({{StartTime, InArray(ServerHandles), Errors, CancelID},
                               {NumItems},
                               {Errors},
                               {{ServerHandles, NumItems, VT_I4}}},
                              asyncRead_);
    TimeDomain times(this, StartTime, nullptr);
    if (FAILED(hr) || FAILED(hr = times.Convert())) return hr;
    FILETIME interval = DateSpanToFileTime(UpdateInterval);
    std::vector<LONG> handles = ReadLongs(*ServerHandles, NumItems);
    AsyncAnswer answer;
    hr = asyncRead_->AdviseRaw(TransactionID, times.Start(), interval, NumItems, AsDwords(handles), &answer.cancel,
                               answer.codes.put());
    return answer.Finish(hr, NumItems, &times, Errors, CancelID, asyncRead_.get());
} catch (...) {
    return HResultFromCaughtException();
}

STDMETHODIMP COPCHDAAutoServer::AsyncReadProcessed(LONG TransactionID, VARIANT* StartTime, VARIANT* EndTime,
                                                   DATE ResampleInterval, LONG NumItems, SAFEARRAY** ServerHandles,
                                                   SAFEARRAY** Aggregates, SAFEARRAY** Errors, LONG* CancelID) try {
    HRESULT hr = CheckRequest({{StartTime, EndTime, InArray(ServerHandles), InArray(Aggregates), Errors, CancelID},
                               {NumItems},
                               {Errors},
                               {{ServerHandles, NumItems, VT_I4}, {Aggregates, NumItems, VT_I4}}},
                              asyncRead_);
    TimeDomain times(this, StartTime, EndTime);
    if (FAILED(hr) || FAILED(hr = times.Convert())) return hr;
    FILETIME resample = DateSpanToFileTime(ResampleInterval);
    std::vector<LONG> handles = ReadLongs(*ServerHandles, NumItems);
    std::vector<LONG> aggregates = ReadLongs(*Aggregates, NumItems);
    AsyncAnswer answer;
    hr = asyncRead_->ReadProcessed(TransactionID, times.Start(), times.End(), resample, NumItems, AsDwords(handles),
                                   AsDwords(aggregates), &answer.cancel, answer.codes.put());
    return answer.Finish(hr, NumItems, &times, Errors, CancelID, asyncRead_.get());
} catch (...) {
    return HResultFromCaughtException();
}

STDMETHODIMP COPCHDAAutoServer::AsyncAdviseProcessed(LONG TransactionID, VARIANT* StartTime, DATE ResampleInterval,
                                                     LONG NumIntervals, LONG NumItems, SAFEARRAY** ServerHandles,
                                                     SAFEARRAY** Aggregates, SAFEARRAY** Errors, LONG* CancelID) try {
    HRESULT hr = CheckRequest({{StartTime, InArray(ServerHandles), InArray(Aggregates), Errors, CancelID},
                               {NumItems},
                               {Errors},
                               {{ServerHandles, NumItems, VT_I4}, {Aggregates, NumItems, VT_I4}}},
                              asyncRead_);
    TimeDomain times(this, StartTime, nullptr);
    if (FAILED(hr) || FAILED(hr = times.Convert())) return hr;
    FILETIME resample = DateSpanToFileTime(ResampleInterval);
    std::vector<LONG> handles = ReadLongs(*ServerHandles, NumItems);
    std::vector<LONG> aggregates = ReadLongs(*Aggregates, NumItems);
    AsyncAnswer answer;
    hr = asyncRead_->AdviseProcessed(TransactionID, times.Start(), resample, NumItems, AsDwords(handles),
                                     AsDwords(aggregates), static_cast<DWORD>(NumIntervals), &answer.cancel,
                                     answer.codes.put());
    return answer.Finish(hr, NumItems, &times, Errors, CancelID, asyncRead_.get());
} catch (...) {
    return HResultFromCaughtException();
}

STDMETHODIMP COPCHDAAutoServer::AsyncReadAtTime(LONG TransactionID, LONG NumTimeStamps, SAFEARRAY** TimeStamps,
                                                LONG NumItems, SAFEARRAY** ServerHandles, SAFEARRAY** Errors,
                                                LONG* CancelID) try {
    HRESULT hr = CheckRequest({{InArray(TimeStamps), InArray(ServerHandles), Errors, CancelID},
                               {NumTimeStamps, NumItems},
                               {Errors},
                               {{TimeStamps, NumTimeStamps, VT_DATE}, {ServerHandles, NumItems, VT_I4}}},
                              asyncRead_);
    std::vector<FILETIME> stamps;
    if (FAILED(hr) || FAILED(hr = ReadFileTimes(*TimeStamps, NumTimeStamps, stamps))) return hr;
    std::vector<LONG> handles = ReadLongs(*ServerHandles, NumItems);
    AsyncAnswer answer;
    hr = asyncRead_->ReadAtTime(TransactionID, NumTimeStamps, stamps.data(), NumItems, AsDwords(handles),
                                &answer.cancel, answer.codes.put());
    return answer.Finish(hr, NumItems, nullptr, Errors, CancelID, asyncRead_.get());
} catch (...) {
    return HResultFromCaughtException();
}

STDMETHODIMP COPCHDAAutoServer::AsyncReadModified(LONG TransactionID, VARIANT* StartTime, VARIANT* EndTime,
                                                  LONG NumValues, LONG NumItems, SAFEARRAY** ServerHandles,
                                                  SAFEARRAY** Errors, LONG* CancelID) try {
    TimeDomain times(this, StartTime, EndTime);
    std::vector<LONG> handles;
    HRESULT hr =
        OpenRangeRequest(asyncRead_, times, StartTime, EndTime, NumItems, ServerHandles, Errors, CancelID, handles);
    if (FAILED(hr)) return hr;
    AsyncAnswer answer;
    hr = asyncRead_->ReadModified(TransactionID, times.Start(), times.End(), static_cast<DWORD>(NumValues), NumItems,
                                  AsDwords(handles), &answer.cancel, answer.codes.put());
    return answer.Finish(hr, NumItems, &times, Errors, CancelID, asyncRead_.get());
} catch (...) {
    return HResultFromCaughtException();
}

STDMETHODIMP COPCHDAAutoServer::AsyncReadAttribute(LONG TransactionID, VARIANT* StartTime, VARIANT* EndTime,
                                                   LONG ServerHandle, LONG NumAttributes, SAFEARRAY** AttributeIDs,
                                                   SAFEARRAY** Errors, LONG* CancelID) try {
    HRESULT hr = CheckRequest({{StartTime, EndTime, InArray(AttributeIDs), Errors, CancelID},
                               {NumAttributes},
                               {Errors},
                               {{AttributeIDs, NumAttributes, VT_I4}}},
                              asyncRead_);
    TimeDomain times(this, StartTime, EndTime);
    if (FAILED(hr) || FAILED(hr = times.Convert())) return hr;
    std::vector<LONG> attributes = ReadLongs(*AttributeIDs, NumAttributes);
    AsyncAnswer answer;
    hr = asyncRead_->ReadAttribute(TransactionID, times.Start(), times.End(), static_cast<OPCHANDLE>(ServerHandle),
                                   NumAttributes, AsDwords(attributes), &answer.cancel, answer.codes.put());
    return answer.Finish(hr, NumAttributes, &times, Errors, CancelID, asyncRead_.get());
} catch (...) {
    return HResultFromCaughtException();
}

STDMETHODIMP COPCHDAAutoServer::AsyncCancelRead(LONG CancelID) {
    HRESULT hr = RequireHistorian(asyncRead_);
    return FAILED(hr) ? hr : asyncRead_->Cancel(static_cast<DWORD>(CancelID));
}
