// The asynchronous reads and advises of the items collection, on the request
// pattern (items/request.h). Each hands the client's TransactionID to the
// historian and returns the historian's per-item codes and cancel identifier;
// the values arrive later as events of the data callback. Nothing about a
// request is kept here.
#include "items/request.h"
#include "module/implements.h"
#include "server/COPCHDAAutoServer.h"

using namespace request;
using client_arrays::ReadLongs;

STDMETHODIMP COPCHDAAutoServer::AsyncReadRaw(LONG TransactionID, VARIANT* StartTime, VARIANT* EndTime,
                                             LONG NumValues, LONG Bounds, LONG NumItems, SAFEARRAY** ServerHandles,
                                             SAFEARRAY** Errors, LONG* CancelID) {
    return ComCall([&] {
        HRESULT hr;
        if (FAILED(hr = CheckPointers(StartTime, EndTime, InArray(ServerHandles), Errors, CancelID)) ||
            FAILED(hr = CheckCount(NumItems)))
            return hr;
        NullOutputs({Errors});
        if (FAILED(hr = CheckBounds(*ServerHandles, NumItems, VT_I4)) || FAILED(hr = RequireHistorian(asyncRead_)))
            return hr;
        TimeDomain times(this, StartTime, EndTime);
        if (FAILED(hr = times.Convert())) return hr;
        std::vector<LONG> handles = ReadLongs(*ServerHandles, NumItems);

        DWORD cancel = 0;
        CoTaskMemPtr<HRESULT> codes;
        hr = asyncRead_->ReadRaw(TransactionID, times.Start(), times.End(), static_cast<DWORD>(NumValues), Bounds,
                                 NumItems, AsDwords(handles), &cancel, codes.put());
        return FinishAsync(hr, NumItems, codes, &times, Errors, cancel, CancelID);
    });
}

STDMETHODIMP COPCHDAAutoServer::AsyncAdviseRaw(LONG TransactionID, VARIANT* StartTime, DATE UpdateInterval,
                                               LONG NumItems, SAFEARRAY** ServerHandles, SAFEARRAY** Errors,
                                               LONG* CancelID) {
    return ComCall([&] {
        HRESULT hr;
        if (FAILED(hr = CheckPointers(StartTime, InArray(ServerHandles), Errors, CancelID)) ||
            FAILED(hr = CheckCount(NumItems)))
            return hr;
        NullOutputs({Errors});
        if (FAILED(hr = CheckBounds(*ServerHandles, NumItems, VT_I4)) || FAILED(hr = RequireHistorian(asyncRead_)))
            return hr;
        TimeDomain times(this, StartTime, nullptr);
        if (FAILED(hr = times.Convert())) return hr;
        FILETIME interval = DateSpanToFileTime(UpdateInterval);
        std::vector<LONG> handles = ReadLongs(*ServerHandles, NumItems);

        DWORD cancel = 0;
        CoTaskMemPtr<HRESULT> codes;
        hr = asyncRead_->AdviseRaw(TransactionID, times.Start(), interval, NumItems, AsDwords(handles), &cancel,
                                   codes.put());
        return FinishAsync(hr, NumItems, codes, &times, Errors, cancel, CancelID);
    });
}

STDMETHODIMP COPCHDAAutoServer::AsyncReadProcessed(LONG TransactionID, VARIANT* StartTime, VARIANT* EndTime,
                                                   DATE ResampleInterval, LONG NumItems, SAFEARRAY** ServerHandles,
                                                   SAFEARRAY** Aggregates, SAFEARRAY** Errors, LONG* CancelID) {
    return ComCall([&] {
        HRESULT hr;
        if (FAILED(hr = CheckPointers(StartTime, EndTime, InArray(ServerHandles), InArray(Aggregates), Errors,
                                      CancelID)) ||
            FAILED(hr = CheckCount(NumItems)))
            return hr;
        NullOutputs({Errors});
        if (FAILED(hr = CheckBounds(*ServerHandles, NumItems, VT_I4)) ||
            FAILED(hr = CheckBounds(*Aggregates, NumItems, VT_I4)) || FAILED(hr = RequireHistorian(asyncRead_)))
            return hr;
        TimeDomain times(this, StartTime, EndTime);
        if (FAILED(hr = times.Convert())) return hr;
        FILETIME resample = DateSpanToFileTime(ResampleInterval);
        std::vector<LONG> handles = ReadLongs(*ServerHandles, NumItems);
        std::vector<LONG> aggregates = ReadLongs(*Aggregates, NumItems);

        DWORD cancel = 0;
        CoTaskMemPtr<HRESULT> codes;
        hr = asyncRead_->ReadProcessed(TransactionID, times.Start(), times.End(), resample, NumItems, AsDwords(handles),
                                       AsDwords(aggregates), &cancel, codes.put());
        return FinishAsync(hr, NumItems, codes, &times, Errors, cancel, CancelID);
    });
}

STDMETHODIMP COPCHDAAutoServer::AsyncAdviseProcessed(LONG TransactionID, VARIANT* StartTime, DATE ResampleInterval,
                                                     LONG NumIntervals, LONG NumItems, SAFEARRAY** ServerHandles,
                                                     SAFEARRAY** Aggregates, SAFEARRAY** Errors, LONG* CancelID) {
    return ComCall([&] {
        HRESULT hr;
        if (FAILED(hr = CheckPointers(StartTime, InArray(ServerHandles), InArray(Aggregates), Errors, CancelID)) ||
            FAILED(hr = CheckCount(NumItems)))
            return hr;
        NullOutputs({Errors});
        if (FAILED(hr = CheckBounds(*ServerHandles, NumItems, VT_I4)) ||
            FAILED(hr = CheckBounds(*Aggregates, NumItems, VT_I4)) || FAILED(hr = RequireHistorian(asyncRead_)))
            return hr;
        TimeDomain times(this, StartTime, nullptr);
        if (FAILED(hr = times.Convert())) return hr;
        FILETIME resample = DateSpanToFileTime(ResampleInterval);
        std::vector<LONG> handles = ReadLongs(*ServerHandles, NumItems);
        std::vector<LONG> aggregates = ReadLongs(*Aggregates, NumItems);

        DWORD cancel = 0;
        CoTaskMemPtr<HRESULT> codes;
        hr = asyncRead_->AdviseProcessed(TransactionID, times.Start(), resample, NumItems, AsDwords(handles),
                                         AsDwords(aggregates), static_cast<DWORD>(NumIntervals), &cancel, codes.put());
        return FinishAsync(hr, NumItems, codes, &times, Errors, cancel, CancelID);
    });
}

STDMETHODIMP COPCHDAAutoServer::AsyncReadAtTime(LONG TransactionID, LONG NumTimeStamps, SAFEARRAY** TimeStamps,
                                                LONG NumItems, SAFEARRAY** ServerHandles, SAFEARRAY** Errors,
                                                LONG* CancelID) {
    return ComCall([&] {
        HRESULT hr;
        if (FAILED(hr = CheckPointers(InArray(TimeStamps), InArray(ServerHandles), Errors, CancelID)) ||
            FAILED(hr = CheckCount(NumTimeStamps)) || FAILED(hr = CheckCount(NumItems)))
            return hr;
        NullOutputs({Errors});
        if (FAILED(hr = CheckBounds(*TimeStamps, NumTimeStamps, VT_DATE)) ||
            FAILED(hr = CheckBounds(*ServerHandles, NumItems, VT_I4)) || FAILED(hr = RequireHistorian(asyncRead_)))
            return hr;
        std::vector<FILETIME> stamps;
        if (FAILED(hr = ReadFileTimes(*TimeStamps, NumTimeStamps, stamps))) return hr;
        std::vector<LONG> handles = ReadLongs(*ServerHandles, NumItems);

        DWORD cancel = 0;
        CoTaskMemPtr<HRESULT> codes;
        hr = asyncRead_->ReadAtTime(TransactionID, NumTimeStamps, stamps.data(), NumItems, AsDwords(handles), &cancel,
                                    codes.put());
        return FinishAsync(hr, NumItems, codes, nullptr, Errors, cancel, CancelID);
    });
}

STDMETHODIMP COPCHDAAutoServer::AsyncReadModified(LONG TransactionID, VARIANT* StartTime, VARIANT* EndTime,
                                                  LONG NumValues, LONG NumItems, SAFEARRAY** ServerHandles,
                                                  SAFEARRAY** Errors, LONG* CancelID) {
    return ComCall([&] {
        HRESULT hr;
        if (FAILED(hr = CheckPointers(StartTime, EndTime, InArray(ServerHandles), Errors, CancelID)) ||
            FAILED(hr = CheckCount(NumItems)))
            return hr;
        NullOutputs({Errors});
        if (FAILED(hr = CheckBounds(*ServerHandles, NumItems, VT_I4)) || FAILED(hr = RequireHistorian(asyncRead_)))
            return hr;
        TimeDomain times(this, StartTime, EndTime);
        if (FAILED(hr = times.Convert())) return hr;
        std::vector<LONG> handles = ReadLongs(*ServerHandles, NumItems);

        DWORD cancel = 0;
        CoTaskMemPtr<HRESULT> codes;
        hr = asyncRead_->ReadModified(TransactionID, times.Start(), times.End(), static_cast<DWORD>(NumValues), NumItems,
                                      AsDwords(handles), &cancel, codes.put());
        return FinishAsync(hr, NumItems, codes, &times, Errors, cancel, CancelID);
    });
}

STDMETHODIMP COPCHDAAutoServer::AsyncReadAttribute(LONG TransactionID, VARIANT* StartTime, VARIANT* EndTime,
                                                   LONG ServerHandle, LONG NumAttributes, SAFEARRAY** AttributeIDs,
                                                   SAFEARRAY** Errors, LONG* CancelID) {
    return ComCall([&] {
        HRESULT hr;
        if (FAILED(hr = CheckPointers(StartTime, EndTime, InArray(AttributeIDs), Errors, CancelID)) ||
            FAILED(hr = CheckCount(NumAttributes)))
            return hr;
        NullOutputs({Errors});
        if (FAILED(hr = CheckBounds(*AttributeIDs, NumAttributes, VT_I4)) || FAILED(hr = RequireHistorian(asyncRead_)))
            return hr;
        TimeDomain times(this, StartTime, EndTime);
        if (FAILED(hr = times.Convert())) return hr;
        std::vector<LONG> attributes = ReadLongs(*AttributeIDs, NumAttributes);

        DWORD cancel = 0;
        CoTaskMemPtr<HRESULT> codes;
        hr = asyncRead_->ReadAttribute(TransactionID, times.Start(), times.End(), static_cast<OPCHANDLE>(ServerHandle),
                                       NumAttributes, AsDwords(attributes), &cancel, codes.put());
        return FinishAsync(hr, NumAttributes, codes, &times, Errors, cancel, CancelID);
    });
}

STDMETHODIMP COPCHDAAutoServer::AsyncCancelRead(LONG CancelID) {
    HRESULT hr = RequireHistorian(asyncRead_);
    return FAILED(hr) ? hr : asyncRead_->Cancel(static_cast<DWORD>(CancelID));
}
