// The six synchronous reads of the items collection. Each is the request
// pattern (item_collection/request.h) with its own checks, conversions and call.
#include "item_collection/request.h"
#include "server/COPCHDAAutoServer.h"

using namespace request;
using client_arrays::ReadLongs;

STDMETHODIMP COPCHDAAutoServer::SyncReadRaw(VARIANT* StartTime, VARIANT* EndTime, LONG NumValues, LONG Bounds,
                                            LONG NumItems, SAFEARRAY** ServerHandles, SAFEARRAY** ItemValues,
                                            SAFEARRAY** Errors) try {
    HRESULT hr = CheckRequest({{StartTime, EndTime, InArray(ServerHandles), ItemValues, Errors},
                               {NumItems},
                               {ItemValues, Errors},
                               {{ServerHandles, NumItems, VT_I4}}},
                              syncRead_);
    if (FAILED(hr)) return hr;
    TimeDomain times(this, StartTime, EndTime);
    if (FAILED(hr = times.Convert())) return hr;
    std::vector<LONG> handles = ReadLongs(*ServerHandles, NumItems);

    HistorianAnswer<OPCHDA_ITEM> answers(NumItems);
    TaskArray<HRESULT> codes;
    hr = syncRead_->ReadRaw(times.Start(), times.End(), static_cast<DWORD>(NumValues), Bounds, NumItems,
                            AsDwords(handles), answers.put(), codes.put());
    return FinishRead(hr, NumItems, answers, codes, &times, ItemValues, Errors);
} catch (...) {
    return HResultFromCaughtException();
}

STDMETHODIMP COPCHDAAutoServer::SyncReadProcessed(VARIANT* StartTime, VARIANT* EndTime, DATE ResampleInterval,
                                                  LONG NumItems, SAFEARRAY** ServerHandles, SAFEARRAY** Aggregates,
                                                  SAFEARRAY** ItemValues, SAFEARRAY** Errors) try {
    HRESULT hr = CheckRequest({{StartTime, EndTime, InArray(ServerHandles), InArray(Aggregates), ItemValues, Errors},
                               {NumItems},
                               {ItemValues, Errors},
                               {{ServerHandles, NumItems, VT_I4}, {Aggregates, NumItems, VT_I4}}},
                              syncRead_);
    if (FAILED(hr)) return hr;
    TimeDomain times(this, StartTime, EndTime);
    if (FAILED(hr = times.Convert())) return hr;
    FILETIME resample = DateSpanToFileTime(ResampleInterval);
    std::vector<LONG> handles = ReadLongs(*ServerHandles, NumItems);
    std::vector<LONG> aggregates = ReadLongs(*Aggregates, NumItems);

    HistorianAnswer<OPCHDA_ITEM> answers(NumItems);
    TaskArray<HRESULT> codes;
    hr = syncRead_->ReadProcessed(times.Start(), times.End(), resample, NumItems, AsDwords(handles),
                                  AsDwords(aggregates), answers.put(), codes.put());
    return FinishRead(hr, NumItems, answers, codes, &times, ItemValues, Errors);
} catch (...) {
    return HResultFromCaughtException();
}

STDMETHODIMP COPCHDAAutoServer::SyncReadAtTime(LONG NumTimeStamps, SAFEARRAY** TimeStamps, LONG NumItems,
                                               SAFEARRAY** ServerHandles, SAFEARRAY** ItemValues,
                                               SAFEARRAY** Errors) try {
    HRESULT hr = CheckRequest({{InArray(TimeStamps), InArray(ServerHandles), ItemValues, Errors},
                               {NumTimeStamps, NumItems},
                               {ItemValues, Errors},
                               {{TimeStamps, NumTimeStamps, VT_DATE}, {ServerHandles, NumItems, VT_I4}}},
                              syncRead_);
    if (FAILED(hr)) return hr;
    std::vector<FILETIME> stamps;
    if (FAILED(hr = ReadFileTimes(*TimeStamps, NumTimeStamps, stamps))) return hr;
    std::vector<LONG> handles = ReadLongs(*ServerHandles, NumItems);

    HistorianAnswer<OPCHDA_ITEM> answers(NumItems);
    TaskArray<HRESULT> codes;
    hr = syncRead_->ReadAtTime(NumTimeStamps, stamps.data(), NumItems, AsDwords(handles), answers.put(), codes.put());
    return FinishRead(hr, NumItems, answers, codes, nullptr, ItemValues, Errors);
} catch (...) {
    return HResultFromCaughtException();
}

STDMETHODIMP COPCHDAAutoServer::SyncReadModified(VARIANT* StartTime, VARIANT* EndTime, LONG NumValues, LONG NumItems,
                                                 SAFEARRAY** ServerHandles, SAFEARRAY** ItemValues,
                                                 SAFEARRAY** Errors) try {
    HRESULT hr = CheckRequest({{StartTime, EndTime, InArray(ServerHandles), ItemValues, Errors},
                               {NumItems},
                               {ItemValues, Errors},
                               {{ServerHandles, NumItems, VT_I4}}},
                              syncRead_);
    if (FAILED(hr)) return hr;
    TimeDomain times(this, StartTime, EndTime);
    if (FAILED(hr = times.Convert())) return hr;
    std::vector<LONG> handles = ReadLongs(*ServerHandles, NumItems);

    HistorianAnswer<OPCHDA_MODIFIEDITEM> answers(NumItems);
    TaskArray<HRESULT> codes;
    hr = syncRead_->ReadModified(times.Start(), times.End(), static_cast<DWORD>(NumValues), NumItems, AsDwords(handles),
                                 answers.put(), codes.put());
    return FinishRead(hr, NumItems, answers, codes, &times, ItemValues, Errors);
} catch (...) {
    return HResultFromCaughtException();
}

STDMETHODIMP COPCHDAAutoServer::SyncReadAttribute(VARIANT* StartTime, VARIANT* EndTime, LONG ServerHandle,
                                                  LONG NumAttributes, SAFEARRAY** AttributeIDs,
                                                  SAFEARRAY** AttributeValues, SAFEARRAY** Errors) try {
    HRESULT hr = CheckRequest({{StartTime, EndTime, InArray(AttributeIDs), AttributeValues, Errors},
                               {NumAttributes},
                               {AttributeValues, Errors},
                               {{AttributeIDs, NumAttributes, VT_I4}}},
                              syncRead_);
    if (FAILED(hr)) return hr;
    TimeDomain times(this, StartTime, EndTime);
    if (FAILED(hr = times.Convert())) return hr;
    std::vector<LONG> attributes = ReadLongs(*AttributeIDs, NumAttributes);

    HistorianAnswer<OPCHDA_ATTRIBUTE> answers(NumAttributes);
    TaskArray<HRESULT> codes;
    hr = syncRead_->ReadAttribute(times.Start(), times.End(), static_cast<OPCHANDLE>(ServerHandle), NumAttributes,
                                  AsDwords(attributes), answers.put(), codes.put());
    return FinishRead(hr, NumAttributes, answers, codes, &times, AttributeValues, Errors);
} catch (...) {
    return HResultFromCaughtException();
}

STDMETHODIMP COPCHDAAutoServer::SyncReadAnnotations(VARIANT* StartTime, VARIANT* EndTime, LONG NumItems,
                                                    SAFEARRAY** ServerHandles, SAFEARRAY** AnnotationValues,
                                                    SAFEARRAY** Errors) try {
    HRESULT hr = CheckRequest({{StartTime, EndTime, InArray(ServerHandles), AnnotationValues, Errors},
                               {NumItems},
                               {AnnotationValues, Errors},
                               {{ServerHandles, NumItems, VT_I4}}},
                              syncAnnotations_);
    if (FAILED(hr)) return hr;
    TimeDomain times(this, StartTime, EndTime);
    if (FAILED(hr = times.Convert())) return hr;
    std::vector<LONG> handles = ReadLongs(*ServerHandles, NumItems);

    HistorianAnswer<OPCHDA_ANNOTATION> answers(NumItems);
    TaskArray<HRESULT> codes;
    hr = syncAnnotations_->Read(times.Start(), times.End(), NumItems, AsDwords(handles), answers.put(), codes.put());
    return FinishRead(hr, NumItems, answers, codes, &times, AnnotationValues, Errors);
} catch (...) {
    return HResultFromCaughtException();
}
