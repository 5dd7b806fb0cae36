// The six synchronous updates of the items collection, each a Request
// (item_collection/request.h) with its own checks, arrays and call.
#include "item_collection/request.h"
#include "server/COPCHDAAutoServer.h"

using namespace request;

STDMETHODIMP COPCHDAAutoServer::SyncInsert(LONG NumItems, SAFEARRAY** ServerHandles, SAFEARRAY** TimeStamps,
                                           SAFEARRAY** DataValues, SAFEARRAY** Qualities, SAFEARRAY** Errors) try {
    Request request(this, syncUpdate_);
    return WriteValues(request, &IOPCHDA_SyncUpdate::Insert, NumItems, ServerHandles, TimeStamps, DataValues, Qualities,
                       Errors);
} catch (...) {
    return HResultFromCaughtException();
}

STDMETHODIMP COPCHDAAutoServer::SyncReplace(LONG NumItems, SAFEARRAY** ServerHandles, SAFEARRAY** TimeStamps,
                                            SAFEARRAY** DataValues, SAFEARRAY** Qualities, SAFEARRAY** Errors) try {
    Request request(this, syncUpdate_);
    return WriteValues(request, &IOPCHDA_SyncUpdate::Replace, NumItems, ServerHandles, TimeStamps, DataValues,
                       Qualities, Errors);
} catch (...) {
    return HResultFromCaughtException();
}

STDMETHODIMP COPCHDAAutoServer::SyncInsertReplace(LONG NumItems, SAFEARRAY** ServerHandles, SAFEARRAY** TimeStamps,
                                                  SAFEARRAY** DataValues, SAFEARRAY** Qualities,
                                                  SAFEARRAY** Errors) try {
    Request request(this, syncUpdate_);
    return WriteValues(request, &IOPCHDA_SyncUpdate::InsertReplace, NumItems, ServerHandles, TimeStamps, DataValues,
                       Qualities, Errors);
} catch (...) {
    return HResultFromCaughtException();
}

STDMETHODIMP COPCHDAAutoServer::SyncDeleteRaw(VARIANT* StartTime, VARIANT* EndTime, LONG NumItems,
                                              SAFEARRAY** ServerHandles, SAFEARRAY** Errors) try {
    Request request(this, syncUpdate_);
    request.OpenTimeRange({StartTime, EndTime}, NumItems, {ServerHandles}, {Errors});
    DWORD* handles = request.Longs(ServerHandles, NumItems);
    return request.FinishCodes(NumItems, Errors, [&] {
        return syncUpdate_->DeleteRaw(request.Start(), request.End(), NumItems, handles, request.Codes());
    });
} catch (...) {
    return HResultFromCaughtException();
}

STDMETHODIMP COPCHDAAutoServer::SyncDeleteAtTime(LONG NumItems, SAFEARRAY** ServerHandles, SAFEARRAY** TimeStamps,
                                                 SAFEARRAY** Errors) try {
    Request request(this, syncUpdate_);
    request.OpenAtTimes(NumItems, ServerHandles, TimeStamps, Errors);
    DWORD* handles = request.Longs(ServerHandles, NumItems);
    FILETIME* stamps = request.FileTimes(TimeStamps, NumItems);
    return request.FinishCodes(NumItems, Errors,
                               [&] { return syncUpdate_->DeleteAtTime(NumItems, handles, stamps, request.Codes()); });
} catch (...) {
    return HResultFromCaughtException();
}

// Annotations cannot be written through this interface: the arguments are
// checked as for any update, then the answer is E_NOTIMPL, connected or not.
STDMETHODIMP COPCHDAAutoServer::SyncInsertAnnotations(LONG NumItems, SAFEARRAY** ServerHandles, SAFEARRAY** TimeStamps,
                                                      SAFEARRAY** AnnotationValues, SAFEARRAY** Errors) try {
    HRESULT hr = CheckArguments({{InArray(ServerHandles), InArray(TimeStamps), InArray(AnnotationValues), Errors},
                                 {NumItems},
                                 {Errors},
                                 {{ServerHandles, NumItems, VT_I4},
                                  {TimeStamps, NumItems, VT_DATE},
                                  {AnnotationValues, NumItems, VT_VARIANT}}});
    return FAILED(hr) ? hr : E_NOTIMPL;
} catch (...) {
    return HResultFromCaughtException();
}
