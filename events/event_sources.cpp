#include "events/event_sources.h"

#include <array>

namespace {

// One event argument as the sinks get it: a 32-bit integer, or an array that
// stays its caller's (VT_ARRAY, not by reference, and never cleared here).
struct Arg {
    VARTYPE vt;
    LONG number;
    SAFEARRAY* array;
};
Arg Long(LONG v) { return {VT_I4, v, nullptr}; }
Arg Longs(SAFEARRAY* a) { return {VT_ARRAY | VT_I4, 0, a}; }
Arg Variants(SAFEARRAY* a) { return {VT_ARRAY | VT_VARIANT, 0, a}; }

// Invokes event `dispid` on every sink of `point`, with `declared` in the
// event's declared order (DISPPARAMS takes them last first). The arguments
// are set afresh for every sink, so what one sink does to them cannot reach
// the next. `perSink(VARIANT* lastFirst)` may add what each sink owns.
template <size_t N, class PerSink>
void Fire(EventConnectionPoint& point, DISPID dispid, const std::array<Arg, N>& declared, PerSink&& perSink) {
    VARIANT args[N > 0 ? N : 1];
    UniqueVariant result;
    point.ForEachSink([&](IUnknown* sink) {
        for (size_t k = 0; k < N; ++k) {
            VARIANT& v = args[N - 1 - k];
            VariantInit(&v);
            V_VT(&v) = declared[k].vt;
            if (declared[k].vt & VT_ARRAY)
                V_ARRAY(&v) = declared[k].array;
            else
                V_I4(&v) = declared[k].number;
        }
        perSink(args);
        DISPPARAMS params{args, nullptr, static_cast<UINT>(N), 0};
        result.reset();
        static_cast<IDispatch*>(sink)->Invoke(dispid, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params,
                                              result.get(), nullptr, nullptr);
    });
}

template <size_t N>
void Fire(EventConnectionPoint& point, DISPID dispid, const std::array<Arg, N>& declared) {
    Fire(point, dispid, declared, [](VARIANT*) {});
}

// The arguments of DataChange, AsyncReadComplete and Playback.
std::array<Arg, 7> ItemValueArgs(LONG transactionID, LONG status, LONG numItems, SAFEARRAY* clientHandles,
                                 SAFEARRAY* aggregates, SAFEARRAY* itemValues, SAFEARRAY* errors) {
    return {Long(transactionID), Long(status),         Long(numItems), Longs(clientHandles),
            Longs(aggregates),   Variants(itemValues), Longs(errors)};
}

// The arguments of AsyncInsertAnnotationsComplete and AsyncUpdateComplete.
std::array<Arg, 5> HandleArgs(LONG transactionID, LONG status, LONG numItems, SAFEARRAY* clientHandles,
                              SAFEARRAY* errors) {
    return {Long(transactionID), Long(status), Long(numItems), Longs(clientHandles), Longs(errors)};
}

}  // namespace

EventSources::EventSources(IUnknown* owner, IConnectionPointContainer* container)
    : serverEvents_(owner, container, DIID__IOPCHDAAutoServerEvents),
      itemEvents_(owner, container, DIID__IOPCHDAItemEvents) {}

HRESULT EventSources::EnumConnectionPoints(IEnumConnectionPoints** ppEnum) {
    return events::EnumConnectionPoints<ComponentSinks>({&serverEvents_, &itemEvents_}, ppEnum);
}

HRESULT EventSources::FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) {
    if (!ppCP) return E_POINTER;
    *ppCP = nullptr;
    for (EventConnectionPoint* point : {&serverEvents_, &itemEvents_}) {
        if (IsEqualIID(riid, point->Iid())) {
            point->AddRef();
            *ppCP = point;
            return S_OK;
        }
    }
    return CONNECT_E_NOCONNECTION;
}

void EventSources::Fire_HDAServerShutDown(const wchar_t* reason) {
    // Every sink gets its own copy of the text, freed once it has returned.
    UniqueBstr copy;
    Fire(serverEvents_, 1, std::array<Arg, 1>{{{VT_BSTR, 0, nullptr}}}, [&](VARIANT* args) {
        copy = UniqueBstr(reason ? reason : L"");
        V_BSTR(&args[0]) = copy.get();
    });
}

void EventSources::Fire_DataChange(LONG transactionID, LONG status, LONG numItems, SAFEARRAY* clientHandles,
                                   SAFEARRAY* aggregates, SAFEARRAY* itemValues, SAFEARRAY* errors) {
    Fire(itemEvents_, 1, ItemValueArgs(transactionID, status, numItems, clientHandles, aggregates, itemValues, errors));
}

void EventSources::Fire_AsyncReadComplete(LONG transactionID, LONG status, LONG numItems, SAFEARRAY* clientHandles,
                                          SAFEARRAY* aggregates, SAFEARRAY* itemValues, SAFEARRAY* errors) {
    Fire(itemEvents_, 2, ItemValueArgs(transactionID, status, numItems, clientHandles, aggregates, itemValues, errors));
}

void EventSources::Fire_AsyncReadModifiedComplete(LONG transactionID, LONG status, LONG numItems,
                                                  SAFEARRAY* clientHandles, SAFEARRAY* itemValues, SAFEARRAY* errors) {
    Fire(itemEvents_, 3,
         std::array{Long(transactionID), Long(status), Long(numItems), Longs(clientHandles), Variants(itemValues),
                    Longs(errors)});
}

void EventSources::Fire_AsyncReadAttributesComplete(LONG transactionID, LONG status, LONG clientHandle,
                                                    LONG numAttributes, SAFEARRAY* attributeIDs,
                                                    SAFEARRAY* attributeValues, SAFEARRAY* errors) {
    Fire(itemEvents_, 4,
         std::array{Long(transactionID), Long(status), Long(clientHandle), Long(numAttributes), Longs(attributeIDs),
                    Variants(attributeValues), Longs(errors)});
}

void EventSources::Fire_AsyncReadAnnotationsComplete(LONG transactionID, LONG status, LONG numItems,
                                                     SAFEARRAY* clientHandles, SAFEARRAY* annotationValues,
                                                     SAFEARRAY* errors) {
    Fire(itemEvents_, 5,
         std::array{Long(transactionID), Long(status), Long(numItems), Longs(clientHandles), Variants(annotationValues),
                    Longs(errors)});
}

void EventSources::Fire_AsyncInsertAnnotationsComplete(LONG transactionID, LONG status, LONG numItems,
                                                       SAFEARRAY* clientHandles, SAFEARRAY* errors) {
    Fire(itemEvents_, 6, HandleArgs(transactionID, status, numItems, clientHandles, errors));
}

void EventSources::Fire_Playback(LONG transactionID, LONG status, LONG numItems, SAFEARRAY* clientHandles,
                                 SAFEARRAY* aggregates, SAFEARRAY* itemValues, SAFEARRAY* errors) {
    Fire(itemEvents_, 7, ItemValueArgs(transactionID, status, numItems, clientHandles, aggregates, itemValues, errors));
}

void EventSources::Fire_AsyncUpdateComplete(LONG transactionID, LONG status, LONG numItems, SAFEARRAY* clientHandles,
                                            SAFEARRAY* errors) {
    Fire(itemEvents_, 8, HandleArgs(transactionID, status, numItems, clientHandles, errors));
}

void EventSources::Fire_AsyncCancelComplete(LONG cancelID) { Fire(itemEvents_, 9, std::array{Long(cancelID)}); }
