// The asynchronous updates and annotation requests of the items collection,
// on the request pattern (item_collection/request.h). Insert, Replace and InsertReplace
// differ only in the historian method they call; the completions arrive
// later as events of the data callback.
#include "item_collection/request.h"
#include "com/implements.h"
#include "server/COPCHDAAutoServer.h"

using namespace request;
using client_arrays::ReadLongs;

namespace {

using WriteMethod = HRESULT (STDMETHODCALLTYPE IOPCHDA_AsyncUpdate::*)(DWORD, DWORD, OPCHANDLE*, FILETIME*, VARIANT*,
                                                                       DWORD*, DWORD*, HRESULT**);

// One value per element: handle k, time stamp k, value k and quality k.
HRESULT WriteValues(const ComPtr<IOPCHDA_AsyncUpdate>& historian, WriteMethod method, LONG TransactionID, LONG NumItems,
                    SAFEARRAY** ServerHandles, SAFEARRAY** TimeStamps, SAFEARRAY** DataValues, SAFEARRAY** Qualities,
                    SAFEARRAY** Errors, LONG* CancelID) try {
    HRESULT hr = CheckRequest(
        {{InArray(ServerHandles), InArray(TimeStamps), InArray(DataValues), InArray(Qualities), Errors, CancelID},
         {NumItems},
         {Errors},
         {{ServerHandles, NumItems, VT_I4},
          {TimeStamps, NumItems, VT_DATE},
          {DataValues, NumItems, VT_VARIANT},
          {Qualities, NumItems, VT_I4}}},
        historian);
    ValueColumns columns;
    if (FAILED(hr) || FAILED(hr = columns.Read(ServerHandles, TimeStamps, DataValues, Qualities, NumItems))) return hr;
    AsyncAnswer answer;
    hr = (historian.get()->*method)(TransactionID, NumItems, AsDwords(columns.handles), columns.stamps.data(),
                                    AsVariants(columns.values), AsDwords(columns.qualities), &answer.cancel,
                                    answer.codes.put());
    return answer.Finish(hr, NumItems, nullptr, Errors, CancelID, historian.get());
} catch (...) {
    return HResultFromCaughtException();
}

}  // namespace

STDMETHODIMP COPCHDAAutoServer::AsyncInsert(LONG TransactionID, LONG NumItems, SAFEARRAY** ServerHandles,
                                            SAFEARRAY** TimeStamps, SAFEARRAY** DataValues, SAFEARRAY** Qualities,
                                            SAFEARRAY** Errors, LONG* CancelID) {
    return WriteValues(asyncUpdate_, &IOPCHDA_AsyncUpdate::Insert, TransactionID, NumItems, ServerHandles, TimeStamps,
                       DataValues, Qualities, Errors, CancelID);
}

STDMETHODIMP COPCHDAAutoServer::AsyncReplace(LONG TransactionID, LONG NumItems, SAFEARRAY** ServerHandles,
                                             SAFEARRAY** TimeStamps, SAFEARRAY** DataValues, SAFEARRAY** Qualities,
                                             SAFEARRAY** Errors, LONG* CancelID) {
    return WriteValues(asyncUpdate_, &IOPCHDA_AsyncUpdate::Replace, TransactionID, NumItems, ServerHandles, TimeStamps,
                       DataValues, Qualities, Errors, CancelID);
}

STDMETHODIMP COPCHDAAutoServer::AsyncInsertReplace(LONG TransactionID, LONG NumItems, SAFEARRAY** ServerHandles,
                                                   SAFEARRAY** TimeStamps, SAFEARRAY** DataValues,
                                                   SAFEARRAY** Qualities, SAFEARRAY** Errors, LONG* CancelID) {
    return WriteValues(asyncUpdate_, &IOPCHDA_AsyncUpdate::InsertReplace, TransactionID, NumItems, ServerHandles,
                       TimeStamps, DataValues, Qualities, Errors, CancelID);
}

STDMETHODIMP COPCHDAAutoServer::AsyncDeleteRaw(LONG TransactionID, VARIANT* StartTime, VARIANT* EndTime, LONG NumItems,
                                               SAFEARRAY** ServerHandles, SAFEARRAY** Errors, LONG* CancelID) try {
    TimeDomain times(this, StartTime, EndTime);
    std::vector<LONG> handles;
    HRESULT hr =
        OpenRangeRequest(asyncUpdate_, times, StartTime, EndTime, NumItems, ServerHandles, Errors, CancelID, handles);
    if (FAILED(hr)) return hr;
    AsyncAnswer answer;
    hr = asyncUpdate_->DeleteRaw(TransactionID, times.Start(), times.End(), NumItems, AsDwords(handles), &answer.cancel,
                                 answer.codes.put());
    return answer.Finish(hr, NumItems, &times, Errors, CancelID, asyncUpdate_.get());
} catch (...) {
    return HResultFromCaughtException();
}

STDMETHODIMP COPCHDAAutoServer::AsyncDeleteAtTime(LONG TransactionID, LONG NumItems, SAFEARRAY** ServerHandles,
                                                  SAFEARRAY** TimeStamps, SAFEARRAY** Errors, LONG* CancelID) try {
    HRESULT hr = CheckRequest({{InArray(ServerHandles), InArray(TimeStamps), Errors, CancelID},
                               {NumItems},
                               {Errors},
                               {{ServerHandles, NumItems, VT_I4}, {TimeStamps, NumItems, VT_DATE}}},
                              asyncUpdate_);
    if (FAILED(hr)) return hr;
    std::vector<LONG> handles = ReadLongs(*ServerHandles, NumItems);
    std::vector<FILETIME> stamps;
    if (FAILED(hr = ReadFileTimes(*TimeStamps, NumItems, stamps))) return hr;
    AsyncAnswer answer;
    hr = asyncUpdate_->DeleteAtTime(TransactionID, NumItems, AsDwords(handles), stamps.data(), &answer.cancel,
                                    answer.codes.put());
    return answer.Finish(hr, NumItems, nullptr, Errors, CancelID, asyncUpdate_.get());
} catch (...) {
    return HResultFromCaughtException();
}

STDMETHODIMP COPCHDAAutoServer::AsyncCancelUpdate(LONG CancelID) {
    HRESULT hr = RequireHistorian(asyncUpdate_);
    return FAILED(hr) ? hr : asyncUpdate_->Cancel(static_cast<DWORD>(CancelID));
}

STDMETHODIMP COPCHDAAutoServer::AsyncReadAnnotations(LONG TransactionID, VARIANT* StartTime, VARIANT* EndTime,
                                                     LONG NumItems, SAFEARRAY** ServerHandles, SAFEARRAY** Errors,
                                                     LONG* CancelID) try {
    TimeDomain times(this, StartTime, EndTime);
    std::vector<LONG> handles;
    HRESULT hr = OpenRangeRequest(asyncAnnotations_, times, StartTime, EndTime, NumItems, ServerHandles, Errors,
                                  CancelID, handles);
    if (FAILED(hr)) return hr;
    AsyncAnswer answer;
    hr = asyncAnnotations_->Read(TransactionID, times.Start(), times.End(), NumItems, AsDwords(handles), &answer.cancel,
                                 answer.codes.put());
    return answer.Finish(hr, NumItems, &times, Errors, CancelID, asyncAnnotations_.get());
} catch (...) {
    return HResultFromCaughtException();
}

// Annotations cannot be written through this interface: the arguments are
// checked as for any update, then the answer is E_NOTIMPL, connected or not.
STDMETHODIMP COPCHDAAutoServer::AsyncInsertAnnotations(LONG, LONG NumItems, SAFEARRAY** ServerHandles,
                                                       SAFEARRAY** TimeStamps, SAFEARRAY** AnnotationValues,
                                                       SAFEARRAY** Errors, LONG* CancelID) {
    HRESULT hr =
        CheckArguments({{InArray(ServerHandles), InArray(TimeStamps), InArray(AnnotationValues), Errors, CancelID},
                        {NumItems},
                        {Errors},
                        {{ServerHandles, NumItems, VT_I4},
                         {TimeStamps, NumItems, VT_DATE},
                         {AnnotationValues, NumItems, VT_VARIANT}}});
    return FAILED(hr) ? hr : E_NOTIMPL;
}

STDMETHODIMP COPCHDAAutoServer::AsyncCancelAnnotations(LONG CancelID) {
    HRESULT hr = RequireHistorian(asyncAnnotations_);
    return FAILED(hr) ? hr : asyncAnnotations_->Cancel(static_cast<DWORD>(CancelID));
}
