// The asynchronous updates and annotation requests of the items collection,
// each a Request (item_collection/request.h) with its own checks, arrays and
// call; the completions arrive later as events of the data callback.
#include "item_collection/request.h"
#include "com/implements.h"
#include "server/COPCHDAAutoServer.h"

using namespace request;

STDMETHODIMP COPCHDAAutoServer::AsyncInsert(LONG TransactionID, LONG NumItems, SAFEARRAY** ServerHandles,
                                            SAFEARRAY** TimeStamps, SAFEARRAY** DataValues, SAFEARRAY** Qualities,
                                            SAFEARRAY** Errors, LONG* CancelID) try {
    Request request(this, asyncUpdate_, CancelID);
    return WriteValues(request, &IOPCHDA_AsyncUpdate::Insert, NumItems, ServerHandles, TimeStamps, DataValues,
                       Qualities, Errors, TransactionID);
} catch (...) {
    return HResultFromCaughtException();
}

STDMETHODIMP COPCHDAAutoServer::AsyncReplace(LONG TransactionID, LONG NumItems, SAFEARRAY** ServerHandles,
                                             SAFEARRAY** TimeStamps, SAFEARRAY** DataValues, SAFEARRAY** Qualities,
                                             SAFEARRAY** Errors, LONG* CancelID) try {
    Request request(this, asyncUpdate_, CancelID);
    return WriteValues(request, &IOPCHDA_AsyncUpdate::Replace, NumItems, ServerHandles, TimeStamps, DataValues,
                       Qualities, Errors, TransactionID);
} catch (...) {
    return HResultFromCaughtException();
}

STDMETHODIMP COPCHDAAutoServer::AsyncInsertReplace(LONG TransactionID, LONG NumItems, SAFEARRAY** ServerHandles,
                                                   SAFEARRAY** TimeStamps, SAFEARRAY** DataValues,
                                                   SAFEARRAY** Qualities, SAFEARRAY** Errors, LONG* CancelID) try {
    Request request(this, asyncUpdate_, CancelID);
    return WriteValues(request, &IOPCHDA_AsyncUpdate::InsertReplace, NumItems, ServerHandles, TimeStamps, DataValues,
                       Qualities, Errors, TransactionID);
} catch (...) {
    return HResultFromCaughtException();
}

STDMETHODIMP COPCHDAAutoServer::AsyncDeleteRaw(LONG TransactionID, VARIANT* StartTime, VARIANT* EndTime, LONG NumItems,
                                               SAFEARRAY** ServerHandles, SAFEARRAY** Errors, LONG* CancelID) try {
    Request request(this, asyncUpdate_, CancelID);
    request.OpenTimeRange({StartTime, EndTime}, NumItems, {ServerHandles}, {Errors});
    DWORD* handles = request.Longs(ServerHandles, NumItems);
    return request.FinishCodes(NumItems, Errors, [&] {
        return asyncUpdate_->DeleteRaw(TransactionID, request.Start(), request.End(), NumItems, handles,
                                       request.Cancel(), request.Codes());
    });
} catch (...) {
    return HResultFromCaughtException();
}

STDMETHODIMP COPCHDAAutoServer::AsyncDeleteAtTime(LONG TransactionID, LONG NumItems, SAFEARRAY** ServerHandles,
                                                  SAFEARRAY** TimeStamps, SAFEARRAY** Errors, LONG* CancelID) try {
    Request request(this, asyncUpdate_, CancelID);
    request.OpenAtTimes(NumItems, ServerHandles, TimeStamps, Errors);
    DWORD* handles = request.Longs(ServerHandles, NumItems);
    FILETIME* stamps = request.FileTimes(TimeStamps, NumItems);
    return request.FinishCodes(NumItems, Errors, [&] {
        return asyncUpdate_->DeleteAtTime(TransactionID, NumItems, handles, stamps, request.Cancel(), request.Codes());
    });
} catch (...) {
    return HResultFromCaughtException();
}

STDMETHODIMP COPCHDAAutoServer::AsyncCancelUpdate(LONG CancelID) try {
    return CancelAt(asyncUpdate_, CancelID);
} catch (...) {
    return HResultFromCaughtException();
}

STDMETHODIMP COPCHDAAutoServer::AsyncReadAnnotations(LONG TransactionID, VARIANT* StartTime, VARIANT* EndTime,
                                                     LONG NumItems, SAFEARRAY** ServerHandles, SAFEARRAY** Errors,
                                                     LONG* CancelID) try {
    Request request(this, asyncAnnotations_, CancelID);
    request.OpenTimeRange({StartTime, EndTime}, NumItems, {ServerHandles}, {Errors});
    DWORD* handles = request.Longs(ServerHandles, NumItems);
    return request.FinishCodes(NumItems, Errors, [&] {
        return asyncAnnotations_->Read(TransactionID, request.Start(), request.End(), NumItems, handles,
                                       request.Cancel(), request.Codes());
    });
} catch (...) {
    return HResultFromCaughtException();
}

// Annotations cannot be written through this interface: the arguments are
// checked as for any update, then the answer is E_NOTIMPL, connected or not.
STDMETHODIMP COPCHDAAutoServer::AsyncInsertAnnotations(LONG, LONG NumItems, SAFEARRAY** ServerHandles,
                                                       SAFEARRAY** TimeStamps, SAFEARRAY** AnnotationValues,
                                                       SAFEARRAY** Errors, LONG* CancelID) try {
    HRESULT hr =
        CheckArguments({{InArray(ServerHandles), InArray(TimeStamps), InArray(AnnotationValues), Errors, CancelID},
                        {NumItems},
                        {Errors},
                        {{ServerHandles, NumItems, VT_I4},
                         {TimeStamps, NumItems, VT_DATE},
                         {AnnotationValues, NumItems, VT_VARIANT}}});
    return FAILED(hr) ? hr : E_NOTIMPL;
} catch (...) {
    return HResultFromCaughtException();
}

STDMETHODIMP COPCHDAAutoServer::AsyncCancelAnnotations(LONG CancelID) try {
    return CancelAt(asyncAnnotations_, CancelID);
} catch (...) {
    return HResultFromCaughtException();
}
