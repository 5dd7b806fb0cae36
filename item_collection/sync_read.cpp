// The six synchronous reads of the items collection, each a Request
// (item_collection/request.h) with its own checks, arrays and call.
#include "item_collection/request.h"
#include "server/COPCHDAAutoServer.h"

using namespace request;

STDMETHODIMP COPCHDAAutoServer::SyncReadRaw(VARIANT* StartTime, VARIANT* EndTime, LONG NumValues, LONG Bounds,
                                            LONG NumItems, SAFEARRAY** ServerHandles, SAFEARRAY** ItemValues,
                                            SAFEARRAY** Errors) try {
    Request request(this, syncRead_);
    request.OpenTimeRange({StartTime, EndTime}, NumItems, {ServerHandles}, {ItemValues, Errors});
    DWORD* handles = request.Longs(ServerHandles, NumItems);
    HistorianAnswer<OPCHDA_ITEM> answers(NumItems);
    return request.FinishRead(answers, ItemValues, Errors, [&] {
        return syncRead_->ReadRaw(request.Start(), request.End(), static_cast<DWORD>(NumValues), Bounds, NumItems,
                                  handles, answers.put(), request.Codes());
    });
} catch (...) {
    return HResultFromCaughtException();
}

STDMETHODIMP COPCHDAAutoServer::SyncReadProcessed(VARIANT* StartTime, VARIANT* EndTime, DATE ResampleInterval,
                                                  LONG NumItems, SAFEARRAY** ServerHandles, SAFEARRAY** Aggregates,
                                                  SAFEARRAY** ItemValues, SAFEARRAY** Errors) try {
    Request request(this, syncRead_);
    request.OpenTimeRange({StartTime, EndTime}, NumItems, {ServerHandles, Aggregates}, {ItemValues, Errors});
    DWORD* handles = request.Longs(ServerHandles, NumItems);
    DWORD* aggregates = request.Longs(Aggregates, NumItems);
    HistorianAnswer<OPCHDA_ITEM> answers(NumItems);
    return request.FinishRead(answers, ItemValues, Errors, [&] {
        return syncRead_->ReadProcessed(request.Start(), request.End(), DateSpanToFileTime(ResampleInterval), NumItems,
                                        handles, aggregates, answers.put(), request.Codes());
    });
} catch (...) {
    return HResultFromCaughtException();
}

STDMETHODIMP COPCHDAAutoServer::SyncReadAtTime(LONG NumTimeStamps, SAFEARRAY** TimeStamps, LONG NumItems,
                                               SAFEARRAY** ServerHandles, SAFEARRAY** ItemValues,
                                               SAFEARRAY** Errors) try {
    Request request(this, syncRead_);
    request.Check({{InArray(TimeStamps), InArray(ServerHandles), ItemValues, Errors},
                   {NumTimeStamps, NumItems},
                   {ItemValues, Errors},
                   {{TimeStamps, NumTimeStamps, VT_DATE}, {ServerHandles, NumItems, VT_I4}}});
    FILETIME* stamps = request.FileTimes(TimeStamps, NumTimeStamps);
    DWORD* handles = request.Longs(ServerHandles, NumItems);
    HistorianAnswer<OPCHDA_ITEM> answers(NumItems);
    return request.FinishRead(answers, ItemValues, Errors, [&] {
        return syncRead_->ReadAtTime(NumTimeStamps, stamps, NumItems, handles, answers.put(), request.Codes());
    });
} catch (...) {
    return HResultFromCaughtException();
}

STDMETHODIMP COPCHDAAutoServer::SyncReadModified(VARIANT* StartTime, VARIANT* EndTime, LONG NumValues, LONG NumItems,
                                                 SAFEARRAY** ServerHandles, SAFEARRAY** ItemValues,
                                                 SAFEARRAY** Errors) try {
    Request request(this, syncRead_);
    request.OpenTimeRange({StartTime, EndTime}, NumItems, {ServerHandles}, {ItemValues, Errors});
    DWORD* handles = request.Longs(ServerHandles, NumItems);
    HistorianAnswer<OPCHDA_MODIFIEDITEM> answers(NumItems);
    return request.FinishRead(answers, ItemValues, Errors, [&] {
        return syncRead_->ReadModified(request.Start(), request.End(), static_cast<DWORD>(NumValues), NumItems, handles,
                                       answers.put(), request.Codes());
    });
} catch (...) {
    return HResultFromCaughtException();
}

STDMETHODIMP COPCHDAAutoServer::SyncReadAttribute(VARIANT* StartTime, VARIANT* EndTime, LONG ServerHandle,
                                                  LONG NumAttributes, SAFEARRAY** AttributeIDs,
                                                  SAFEARRAY** AttributeValues, SAFEARRAY** Errors) try {
    Request request(this, syncRead_);
    request.OpenTimeRange({StartTime, EndTime}, NumAttributes, {AttributeIDs}, {AttributeValues, Errors});
    DWORD* attributes = request.Longs(AttributeIDs, NumAttributes);
    HistorianAnswer<OPCHDA_ATTRIBUTE> answers(NumAttributes);
    return request.FinishRead(answers, AttributeValues, Errors, [&] {
        return syncRead_->ReadAttribute(request.Start(), request.End(), static_cast<OPCHANDLE>(ServerHandle),
                                        NumAttributes, attributes, answers.put(), request.Codes());
    });
} catch (...) {
    return HResultFromCaughtException();
}

STDMETHODIMP COPCHDAAutoServer::SyncReadAnnotations(VARIANT* StartTime, VARIANT* EndTime, LONG NumItems,
                                                    SAFEARRAY** ServerHandles, SAFEARRAY** AnnotationValues,
                                                    SAFEARRAY** Errors) try {
    Request request(this, syncAnnotations_);
    request.OpenTimeRange({StartTime, EndTime}, NumItems, {ServerHandles}, {AnnotationValues, Errors});
    DWORD* handles = request.Longs(ServerHandles, NumItems);
    HistorianAnswer<OPCHDA_ANNOTATION> answers(NumItems);
    return request.FinishRead(answers, AnnotationValues, Errors, [&] {
        return syncAnnotations_->Read(request.Start(), request.End(), NumItems, handles, answers.put(),
                                      request.Codes());
    });
} catch (...) {
    return HResultFromCaughtException();
}
