// The six synchronous updates of the items collection, on the request
// pattern (item_collection/request.h). Insert, Replace and InsertReplace differ only in
// the historian method they call.
#include "item_collection/request.h"
#include "server/COPCHDAAutoServer.h"

using namespace request;
using client_arrays::ReadLongs;

namespace {

using WriteMethod = HRESULT (STDMETHODCALLTYPE IOPCHDA_SyncUpdate::*)(DWORD, OPCHANDLE*, FILETIME*, VARIANT*, DWORD*,
                                                                      HRESULT**);

// One value per element: handle i, time stamp i, value i and quality i.
HRESULT WriteValues(const ComPtr<IOPCHDA_SyncUpdate>& historian, WriteMethod method, LONG NumItems,
                    SAFEARRAY** ServerHandles, SAFEARRAY** TimeStamps, SAFEARRAY** DataValues, SAFEARRAY** Qualities,
                    SAFEARRAY** Errors) {
    HRESULT hr =
        CheckRequest({{InArray(ServerHandles), InArray(TimeStamps), InArray(DataValues), InArray(Qualities), Errors},
                      {NumItems},
                      {Errors},
                      {{ServerHandles, NumItems, VT_I4},
                       {TimeStamps, NumItems, VT_DATE},
                       {DataValues, NumItems, VT_VARIANT},
                       {Qualities, NumItems, VT_I4}}},
                     historian);
    ValueColumns columns;
    if (FAILED(hr) || FAILED(hr = columns.Read(ServerHandles, TimeStamps, DataValues, Qualities, NumItems))) return hr;

    TaskArray<HRESULT> codes;
    hr = (historian.get()->*method)(NumItems, AsDwords(columns.handles), columns.stamps.data(),
                                    AsVariants(columns.values), AsDwords(columns.qualities), codes.put());
    return FinishUpdate(hr, NumItems, codes, nullptr, Errors);
}

}  // namespace

STDMETHODIMP COPCHDAAutoServer::SyncInsert(LONG NumItems, SAFEARRAY** ServerHandles, SAFEARRAY** TimeStamps,
                                           SAFEARRAY** DataValues, SAFEARRAY** Qualities, SAFEARRAY** Errors) try {
    return WriteValues(syncUpdate_, &IOPCHDA_SyncUpdate::Insert, NumItems, ServerHandles, TimeStamps, DataValues,
                       Qualities, Errors);
} catch (...) {
    return HResultFromCaughtException();
}

STDMETHODIMP COPCHDAAutoServer::SyncReplace(LONG NumItems, SAFEARRAY** ServerHandles, SAFEARRAY** TimeStamps,
                                            SAFEARRAY** DataValues, SAFEARRAY** Qualities, SAFEARRAY** Errors) try {
    return WriteValues(syncUpdate_, &IOPCHDA_SyncUpdate::Replace, NumItems, ServerHandles, TimeStamps, DataValues,
                       Qualities, Errors);
} catch (...) {
    return HResultFromCaughtException();
}

STDMETHODIMP COPCHDAAutoServer::SyncInsertReplace(LONG NumItems, SAFEARRAY** ServerHandles, SAFEARRAY** TimeStamps,
                                                  SAFEARRAY** DataValues, SAFEARRAY** Qualities,
                                                  SAFEARRAY** Errors) try {
    return WriteValues(syncUpdate_, &IOPCHDA_SyncUpdate::InsertReplace, NumItems, ServerHandles, TimeStamps, DataValues,
                       Qualities, Errors);
} catch (...) {
    return HResultFromCaughtException();
}

STDMETHODIMP COPCHDAAutoServer::SyncDeleteRaw(VARIANT* StartTime, VARIANT* EndTime, LONG NumItems,
                                              SAFEARRAY** ServerHandles, SAFEARRAY** Errors) try {
    HRESULT hr = CheckRequest({{StartTime, EndTime, InArray(ServerHandles), Errors},
                               {NumItems},
                               {Errors},
                               {{ServerHandles, NumItems, VT_I4}}},
                              syncUpdate_);
    if (FAILED(hr)) return hr;
    TimeDomain times(this, StartTime, EndTime);
    if (FAILED(hr = times.Convert())) return hr;
    std::vector<LONG> handles = ReadLongs(*ServerHandles, NumItems);

    TaskArray<HRESULT> codes;
    hr = syncUpdate_->DeleteRaw(times.Start(), times.End(), NumItems, AsDwords(handles), codes.put());
    return FinishUpdate(hr, NumItems, codes, &times, Errors);
} catch (...) {
    return HResultFromCaughtException();
}

STDMETHODIMP COPCHDAAutoServer::SyncDeleteAtTime(LONG NumItems, SAFEARRAY** ServerHandles, SAFEARRAY** TimeStamps,
                                                 SAFEARRAY** Errors) try {
    HRESULT hr = CheckRequest({{InArray(ServerHandles), InArray(TimeStamps), Errors},
                               {NumItems},
                               {Errors},
                               {{ServerHandles, NumItems, VT_I4}, {TimeStamps, NumItems, VT_DATE}}},
                              syncUpdate_);
    if (FAILED(hr)) return hr;
    std::vector<LONG> handles = ReadLongs(*ServerHandles, NumItems);
    std::vector<FILETIME> stamps;
    if (FAILED(hr = ReadFileTimes(*TimeStamps, NumItems, stamps))) return hr;

    TaskArray<HRESULT> codes;
    hr = syncUpdate_->DeleteAtTime(NumItems, AsDwords(handles), stamps.data(), codes.put());
    return FinishUpdate(hr, NumItems, codes, nullptr, Errors);
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
    if (FAILED(hr)) return hr;
    return E_NOTIMPL;
} catch (...) {
    return HResultFromCaughtException();
}
