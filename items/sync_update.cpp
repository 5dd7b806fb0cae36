// The six synchronous updates of the items collection, on the request
// pattern (items/request.h). Insert, Replace and InsertReplace differ only in
// the historian method they call.
#include "items/request.h"
#include "server/COPCHDAAutoServer.h"

using namespace request;
using client_arrays::ReadLongs;

namespace {

using WriteMethod = HRESULT (STDMETHODCALLTYPE IOPCHDA_SyncUpdate::*)(DWORD, OPCHANDLE*, FILETIME*, VARIANT*, DWORD*,
                                                                      HRESULT**);

// One value per element: handle i, time stamp i, value i and quality i.
HRESULT WriteValues(IOPCHDA_SyncUpdate* historian, WriteMethod method, LONG NumItems, SAFEARRAY** ServerHandles,
                    SAFEARRAY** TimeStamps, SAFEARRAY** DataValues, SAFEARRAY** Qualities, SAFEARRAY** Errors) {
    HRESULT hr;
    if (FAILED(hr = CheckPointers(InArray(ServerHandles), InArray(TimeStamps), InArray(DataValues),
                                  InArray(Qualities), Errors)) ||
        FAILED(hr = CheckCount(NumItems)))
        return hr;
    NullOutputs({Errors});
    if (FAILED(hr = CheckBounds(*ServerHandles, NumItems, VT_I4)) ||
        FAILED(hr = CheckBounds(*TimeStamps, NumItems, VT_DATE)) ||
        FAILED(hr = CheckBounds(*DataValues, NumItems, VT_VARIANT)) ||
        FAILED(hr = CheckBounds(*Qualities, NumItems, VT_I4)) || FAILED(hr = RequireHistorian(historian)))
        return hr;
    std::vector<LONG> handles = ReadLongs(*ServerHandles, NumItems);
    std::vector<FILETIME> stamps;
    if (FAILED(hr = ReadFileTimes(*TimeStamps, NumItems, stamps))) return hr;
    std::vector<UniqueVariant> values = client_arrays::ReadVariants(*DataValues, NumItems);
    std::vector<LONG> qualities = ReadLongs(*Qualities, NumItems);

    CoTaskMemPtr<HRESULT> codes;
    hr = (historian->*method)(NumItems, AsDwords(handles), stamps.data(), AsVariants(values), AsDwords(qualities),
                              codes.put());
    return FinishUpdate(hr, NumItems, codes, nullptr, Errors);
}

}  // namespace

STDMETHODIMP COPCHDAAutoServer::SyncInsert(LONG NumItems, SAFEARRAY** ServerHandles, SAFEARRAY** TimeStamps,
                                           SAFEARRAY** DataValues, SAFEARRAY** Qualities, SAFEARRAY** Errors) try {
    return WriteValues(syncUpdate_.get(), &IOPCHDA_SyncUpdate::Insert, NumItems, ServerHandles, TimeStamps,
                       DataValues, Qualities, Errors);
} catch (...) {
    return HResultFromCaughtException();
}

STDMETHODIMP COPCHDAAutoServer::SyncReplace(LONG NumItems, SAFEARRAY** ServerHandles, SAFEARRAY** TimeStamps,
                                            SAFEARRAY** DataValues, SAFEARRAY** Qualities, SAFEARRAY** Errors) try {
    return WriteValues(syncUpdate_.get(), &IOPCHDA_SyncUpdate::Replace, NumItems, ServerHandles, TimeStamps,
                       DataValues, Qualities, Errors);
} catch (...) {
    return HResultFromCaughtException();
}

STDMETHODIMP COPCHDAAutoServer::SyncInsertReplace(LONG NumItems, SAFEARRAY** ServerHandles, SAFEARRAY** TimeStamps,
                                                  SAFEARRAY** DataValues, SAFEARRAY** Qualities, SAFEARRAY** Errors) try {
    return WriteValues(syncUpdate_.get(), &IOPCHDA_SyncUpdate::InsertReplace, NumItems, ServerHandles, TimeStamps,
                       DataValues, Qualities, Errors);
} catch (...) {
    return HResultFromCaughtException();
}

STDMETHODIMP COPCHDAAutoServer::SyncDeleteRaw(VARIANT* StartTime, VARIANT* EndTime, LONG NumItems,
                                              SAFEARRAY** ServerHandles, SAFEARRAY** Errors) try {
    HRESULT hr;
    if (FAILED(hr = CheckPointers(StartTime, EndTime, InArray(ServerHandles), Errors)) ||
        FAILED(hr = CheckCount(NumItems)))
        return hr;
    NullOutputs({Errors});
    if (FAILED(hr = CheckBounds(*ServerHandles, NumItems, VT_I4)) || FAILED(hr = RequireHistorian(syncUpdate_)))
        return hr;
    TimeDomain times(this, StartTime, EndTime);
    if (FAILED(hr = times.Convert())) return hr;
    std::vector<LONG> handles = ReadLongs(*ServerHandles, NumItems);

    CoTaskMemPtr<HRESULT> codes;
    hr = syncUpdate_->DeleteRaw(times.Start(), times.End(), NumItems, AsDwords(handles), codes.put());
    return FinishUpdate(hr, NumItems, codes, &times, Errors);
} catch (...) {
    return HResultFromCaughtException();
}

STDMETHODIMP COPCHDAAutoServer::SyncDeleteAtTime(LONG NumItems, SAFEARRAY** ServerHandles, SAFEARRAY** TimeStamps,
                                                 SAFEARRAY** Errors) try {
    HRESULT hr;
    if (FAILED(hr = CheckPointers(InArray(ServerHandles), InArray(TimeStamps), Errors)) ||
        FAILED(hr = CheckCount(NumItems)))
        return hr;
    NullOutputs({Errors});
    if (FAILED(hr = CheckBounds(*ServerHandles, NumItems, VT_I4)) ||
        FAILED(hr = CheckBounds(*TimeStamps, NumItems, VT_DATE)) || FAILED(hr = RequireHistorian(syncUpdate_)))
        return hr;
    std::vector<LONG> handles = ReadLongs(*ServerHandles, NumItems);
    std::vector<FILETIME> stamps;
    if (FAILED(hr = ReadFileTimes(*TimeStamps, NumItems, stamps))) return hr;

    CoTaskMemPtr<HRESULT> codes;
    hr = syncUpdate_->DeleteAtTime(NumItems, AsDwords(handles), stamps.data(), codes.put());
    return FinishUpdate(hr, NumItems, codes, nullptr, Errors);
} catch (...) {
    return HResultFromCaughtException();
}

// Annotations cannot be written through this interface: the arguments are
// checked as for any update, then the answer is E_NOTIMPL, connected or not.
STDMETHODIMP COPCHDAAutoServer::SyncInsertAnnotations(LONG NumItems, SAFEARRAY** ServerHandles,
                                                      SAFEARRAY** TimeStamps, SAFEARRAY** AnnotationValues,
                                                      SAFEARRAY** Errors) try {
    HRESULT hr;
    if (FAILED(hr = CheckPointers(InArray(ServerHandles), InArray(TimeStamps), InArray(AnnotationValues), Errors)) ||
        FAILED(hr = CheckCount(NumItems)))
        return hr;
    NullOutputs({Errors});
    if (FAILED(hr = CheckBounds(*ServerHandles, NumItems, VT_I4)) ||
        FAILED(hr = CheckBounds(*TimeStamps, NumItems, VT_DATE)) ||
        FAILED(hr = CheckBounds(*AnnotationValues, NumItems, VT_VARIANT)))
        return hr;
    return E_NOTIMPL;
} catch (...) {
    return HResultFromCaughtException();
}
