// The server object's two event sources: one connection point for
// _IOPCHDAAutoServerEvents and one for _IOPCHDAItemEvents, in that order, and
// the ten firing operations. An event is raised by calling IDispatch::Invoke
// on every subscribed sink in turn, synchronously, on the raising thread;
// nothing is queued, and no lock is held while a sink runs.
#pragma once

#include <windows.h>
#include <ocidl.h>

#include "OPCHDAAuto.h"
#include "com/com_holders.h"
#include "com/connection_point.h"

// How the component keeps its sinks: the pointer each sink gave for the
// event interface, called directly on the raising thread.
struct ComponentSinks {
    using Held = ComPtr<IUnknown>;
    static HRESULT Hold(IUnknown* typed, REFIID, Held* held) {
        *held = ComPtr<IUnknown>(typed);
        return S_OK;
    }
    static ComPtr<IUnknown> Reach(const Held& held, REFIID) { return held; }
    static void Drop(Held& held) { held.reset(); }

    static constexpr char kEnumTraceName[] = "_CComEnum";
};

using EventConnectionPoint = events::ConnectionPoint<ComponentSinks>;

class EventSources {
public:
    // `owner` counts the points' references; `container` is what
    // GetConnectionPointContainer answers.
    EventSources(IUnknown* owner, IConnectionPointContainer* container);

    HRESULT EnumConnectionPoints(IEnumConnectionPoints** ppEnum);
    HRESULT FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP);

    // The firing operations; the arrays stay the caller's.
    void Fire_HDAServerShutDown(const wchar_t* reason);
    void Fire_DataChange(LONG transactionID, LONG status, LONG numItems, SAFEARRAY* clientHandles,
                         SAFEARRAY* aggregates, SAFEARRAY* itemValues, SAFEARRAY* errors);
    void Fire_AsyncReadComplete(LONG transactionID, LONG status, LONG numItems, SAFEARRAY* clientHandles,
                                SAFEARRAY* aggregates, SAFEARRAY* itemValues, SAFEARRAY* errors);
    void Fire_AsyncReadModifiedComplete(LONG transactionID, LONG status, LONG numItems, SAFEARRAY* clientHandles,
                                        SAFEARRAY* itemValues, SAFEARRAY* errors);
    void Fire_AsyncReadAttributesComplete(LONG transactionID, LONG status, LONG clientHandle, LONG numAttributes,
                                          SAFEARRAY* attributeIDs, SAFEARRAY* attributeValues, SAFEARRAY* errors);
    void Fire_AsyncReadAnnotationsComplete(LONG transactionID, LONG status, LONG numItems, SAFEARRAY* clientHandles,
                                           SAFEARRAY* annotationValues, SAFEARRAY* errors);
    void Fire_AsyncInsertAnnotationsComplete(LONG transactionID, LONG status, LONG numItems, SAFEARRAY* clientHandles,
                                             SAFEARRAY* errors);
    void Fire_Playback(LONG transactionID, LONG status, LONG numItems, SAFEARRAY* clientHandles, SAFEARRAY* aggregates,
                       SAFEARRAY* itemValues, SAFEARRAY* errors);
    void Fire_AsyncUpdateComplete(LONG transactionID, LONG status, LONG numItems, SAFEARRAY* clientHandles,
                                  SAFEARRAY* errors);
    void Fire_AsyncCancelComplete(LONG cancelID);

private:
    EventConnectionPoint serverEvents_;
    EventConnectionPoint itemEvents_;
};
