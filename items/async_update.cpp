// The asynchronous updates and annotation requests of the items collection,
// on the request pattern (items/request.h). Insert, Replace and InsertReplace
// differ only in the historian method they call; the completions arrive
// later as events of the data callback.
#include "items/request.h"
#include "module/implements.h"
#include "server/COPCHDAAutoServer.h"

using namespace request;
using client_arrays::ReadLongs;

namespace {

using WriteMethod = HRESULT (STDMETHODCALLTYPE IOPCHDA_AsyncUpdate::*)(DWORD, DWORD, OPCHANDLE*, FILETIME*, VARIANT*,
                                                                       DWORD*, DWORD*, HRESULT**);

// One value per element: handle k, time stamp k, value k and quality k.
HRESULT WriteValues(IOPCHDA_AsyncUpdate* historian, WriteMethod method, LONG TransactionID, LONG NumItems,
                    SAFEARRAY** ServerHandles, SAFEARRAY** TimeStamps, SAFEARRAY** DataValues,
                    SAFEARRAY** Qualities, SAFEARRAY** Errors, LONG* CancelID) {
    return ComCall([&] {
        HRESULT hr;
        if (FAILED(hr = CheckPointers(InArray(ServerHandles), InArray(TimeStamps), InArray(DataValues),
                                      InArray(Qualities), Errors, CancelID)) ||
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

        DWORD cancel = 0;
        CoTaskMemPtr<HRESULT> codes;
        hr = (historian->*method)(TransactionID, NumItems, AsDwords(handles), stamps.data(), AsVariants(values),
                                  AsDwords(qualities), &cancel, codes.put());
        return FinishAsync(hr, NumItems, codes, nullptr, Errors, cancel, CancelID);
    });
}

}  // namespace

STDMETHODIMP COPCHDAAutoServer::AsyncInsert(LONG TransactionID, LONG NumItems, SAFEARRAY** ServerHandles,
                                            SAFEARRAY** TimeStamps, SAFEARRAY** DataValues, SAFEARRAY** Qualities,
                                            SAFEARRAY** Errors, LONG* CancelID) {
    return ComCall([&] {
        return WriteValues(asyncUpdate_.get(), &IOPCHDA_AsyncUpdate::Insert, TransactionID, NumItems, ServerHandles,
                           TimeStamps, DataValues, Qualities, Errors, CancelID);
    });
}

STDMETHODIMP COPCHDAAutoServer::AsyncReplace(LONG TransactionID, LONG NumItems, SAFEARRAY** ServerHandles,
                                             SAFEARRAY** TimeStamps, SAFEARRAY** DataValues, SAFEARRAY** Qualities,
                                             SAFEARRAY** Errors, LONG* CancelID) {
    return ComCall([&] {
        return WriteValues(asyncUpdate_.get(), &IOPCHDA_AsyncUpdate::Replace, TransactionID, NumItems, ServerHandles,
                           TimeStamps, DataValues, Qualities, Errors, CancelID);
    });
}

STDMETHODIMP COPCHDAAutoServer::AsyncInsertReplace(LONG TransactionID, LONG NumItems, SAFEARRAY** ServerHandles,
                                                   SAFEARRAY** TimeStamps, SAFEARRAY** DataValues,
                                                   SAFEARRAY** Qualities, SAFEARRAY** Errors, LONG* CancelID) {
    return ComCall([&] {
        return WriteValues(asyncUpdate_.get(), &IOPCHDA_AsyncUpdate::InsertReplace, TransactionID, NumItems,
                           ServerHandles, TimeStamps, DataValues, Qualities, Errors, CancelID);
    });
}

STDMETHODIMP COPCHDAAutoServer::AsyncDeleteRaw(LONG TransactionID, VARIANT* StartTime, VARIANT* EndTime,
                                               LONG NumItems, SAFEARRAY** ServerHandles, SAFEARRAY** Errors,
                                               LONG* CancelID) {
    return ComCall([&] {
        HRESULT hr;
        if (FAILED(hr = CheckPointers(StartTime, EndTime, InArray(ServerHandles), Errors, CancelID)) ||
            FAILED(hr = CheckCount(NumItems)))
            return hr;
        NullOutputs({Errors});
        if (FAILED(hr = CheckBounds(*ServerHandles, NumItems, VT_I4)) || FAILED(hr = RequireHistorian(asyncUpdate_)))
            return hr;
        TimeDomain times(this, StartTime, EndTime);
        if (FAILED(hr = times.Convert())) return hr;
        std::vector<LONG> handles = ReadLongs(*ServerHandles, NumItems);

        DWORD cancel = 0;
        CoTaskMemPtr<HRESULT> codes;
        hr = asyncUpdate_->DeleteRaw(TransactionID, times.Start(), times.End(), NumItems, AsDwords(handles), &cancel,
                                     codes.put());
        return FinishAsync(hr, NumItems, codes, &times, Errors, cancel, CancelID);
    });
}

STDMETHODIMP COPCHDAAutoServer::AsyncDeleteAtTime(LONG TransactionID, LONG NumItems, SAFEARRAY** ServerHandles,
                                                  SAFEARRAY** TimeStamps, SAFEARRAY** Errors, LONG* CancelID) {
    return ComCall([&] {
        HRESULT hr;
        if (FAILED(hr = CheckPointers(InArray(ServerHandles), InArray(TimeStamps), Errors, CancelID)) ||
            FAILED(hr = CheckCount(NumItems)))
            return hr;
        NullOutputs({Errors});
        if (FAILED(hr = CheckBounds(*ServerHandles, NumItems, VT_I4)) ||
            FAILED(hr = CheckBounds(*TimeStamps, NumItems, VT_DATE)) || FAILED(hr = RequireHistorian(asyncUpdate_)))
            return hr;
        std::vector<LONG> handles = ReadLongs(*ServerHandles, NumItems);
        std::vector<FILETIME> stamps;
        if (FAILED(hr = ReadFileTimes(*TimeStamps, NumItems, stamps))) return hr;

        DWORD cancel = 0;
        CoTaskMemPtr<HRESULT> codes;
        hr = asyncUpdate_->DeleteAtTime(TransactionID, NumItems, AsDwords(handles), stamps.data(), &cancel, codes.put());
        return FinishAsync(hr, NumItems, codes, nullptr, Errors, cancel, CancelID);
    });
}

STDMETHODIMP COPCHDAAutoServer::AsyncCancelUpdate(LONG CancelID) {
    HRESULT hr = RequireHistorian(asyncUpdate_);
    return FAILED(hr) ? hr : asyncUpdate_->Cancel(static_cast<DWORD>(CancelID));
}

STDMETHODIMP COPCHDAAutoServer::AsyncReadAnnotations(LONG TransactionID, VARIANT* StartTime, VARIANT* EndTime,
                                                     LONG NumItems, SAFEARRAY** ServerHandles, SAFEARRAY** Errors,
                                                     LONG* CancelID) {
    return ComCall([&] {
        HRESULT hr;
        if (FAILED(hr = CheckPointers(StartTime, EndTime, InArray(ServerHandles), Errors, CancelID)) ||
            FAILED(hr = CheckCount(NumItems)))
            return hr;
        NullOutputs({Errors});
        if (FAILED(hr = CheckBounds(*ServerHandles, NumItems, VT_I4)) ||
            FAILED(hr = RequireHistorian(asyncAnnotations_)))
            return hr;
        TimeDomain times(this, StartTime, EndTime);
        if (FAILED(hr = times.Convert())) return hr;
        std::vector<LONG> handles = ReadLongs(*ServerHandles, NumItems);

        DWORD cancel = 0;
        CoTaskMemPtr<HRESULT> codes;
        hr = asyncAnnotations_->Read(TransactionID, times.Start(), times.End(), NumItems, AsDwords(handles), &cancel,
                                     codes.put());
        return FinishAsync(hr, NumItems, codes, &times, Errors, cancel, CancelID);
    });
}

// Annotations cannot be written through this interface: the arguments are
// checked as for any update, then the answer is E_NOTIMPL, connected or not.
STDMETHODIMP COPCHDAAutoServer::AsyncInsertAnnotations(LONG, LONG NumItems, SAFEARRAY** ServerHandles,
                                                       SAFEARRAY** TimeStamps, SAFEARRAY** AnnotationValues,
                                                       SAFEARRAY** Errors, LONG* CancelID) {
    return ComCall([&] {
        HRESULT hr;
        if (FAILED(hr = CheckPointers(InArray(ServerHandles), InArray(TimeStamps), InArray(AnnotationValues), Errors,
                                      CancelID)) ||
            FAILED(hr = CheckCount(NumItems)))
            return hr;
        NullOutputs({Errors});
        if (FAILED(hr = CheckBounds(*ServerHandles, NumItems, VT_I4)) ||
            FAILED(hr = CheckBounds(*TimeStamps, NumItems, VT_DATE)) ||
            FAILED(hr = CheckBounds(*AnnotationValues, NumItems, VT_VARIANT)))
            return hr;
        return E_NOTIMPL;
    });
}

STDMETHODIMP COPCHDAAutoServer::AsyncCancelAnnotations(LONG CancelID) {
    HRESULT hr = RequireHistorian(asyncAnnotations_);
    return FAILED(hr) ? hr : asyncAnnotations_->Cancel(static_cast<DWORD>(CancelID));
}
