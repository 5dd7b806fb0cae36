// The object advised on the historian as its data-callback and shutdown sink.
// The historian holds a reference on its sinks; were the server object itself
// advised, that reference would keep it alive for as long as it is connected,
// and a client dropping its last reference without Disconnect would leak the
// object, its items and the historian connection. This small object takes the
// historian's references instead and forwards each call to the server object
// through a pointer that the server object clears as it goes.
#pragma once

#include <windows.h>

#include "opc_hda.h"
#include "com/implements.h"

// The members of the historian's two sink interfaces, declared alike by the
// server object and by the sink that forwards to it.
#define HISTORIAN_SINK_MEMBERS                                                                                         \
    STDMETHODIMP ShutdownRequest(LPCWSTR szReason) override;                                                           \
    STDMETHODIMP OnDataChange(DWORD dwTransactionID, HRESULT hrStatus, DWORD dwNumItems, OPCHDA_ITEM* pItemValues,     \
                              HRESULT* phrErrors) override;                                                            \
    STDMETHODIMP OnReadComplete(DWORD dwTransactionID, HRESULT hrStatus, DWORD dwNumItems, OPCHDA_ITEM* pItemValues,   \
                                HRESULT* phrErrors) override;                                                          \
    STDMETHODIMP OnReadModifiedComplete(DWORD dwTransactionID, HRESULT hrStatus, DWORD dwNumItems,                     \
                                        OPCHDA_MODIFIEDITEM* pItemValues, HRESULT* phrErrors) override;                \
    STDMETHODIMP OnReadAttributeComplete(DWORD dwTransactionID, HRESULT hrStatus, OPCHANDLE hClient, DWORD dwNumItems, \
                                         OPCHDA_ATTRIBUTE* pAttributeValues, HRESULT* phrErrors) override;             \
    STDMETHODIMP OnReadAnnotations(DWORD dwTransactionID, HRESULT hrStatus, DWORD dwNumItems,                          \
                                   OPCHDA_ANNOTATION* pAnnotationValues, HRESULT* phrErrors) override;                 \
    STDMETHODIMP OnInsertAnnotations(DWORD dwTransactionID, HRESULT hrStatus, DWORD dwCount, OPCHANDLE* phClients,     \
                                     HRESULT* phrErrors) override;                                                     \
    STDMETHODIMP OnPlayback(DWORD dwTransactionID, HRESULT hrStatus, DWORD dwNumItems, OPCHDA_ITEM** ppItemValues,     \
                            HRESULT* phrErrors) override;                                                              \
    STDMETHODIMP OnUpdateComplete(DWORD dwTransactionID, HRESULT hrStatus, DWORD dwCount, OPCHANDLE* phClients,        \
                                  HRESULT* phrErrors) override;                                                        \
    STDMETHODIMP OnCancelComplete(DWORD dwCancelID) override;

class COPCHDAAutoServer;

class HistorianSink final : public Implements<HistorianSink, IOPCShutdown, IOPCHDA_DataCallback> {
public:
    // Traced under the server object's name: it answers for that object.
    static constexpr char kTraceName[] = "COPCHDAAutoServer";

    explicit HistorianSink(COPCHDAAutoServer* owner);

    // Stops forwarding. Waits for calls already forwarded on other threads to
    // return, so that the owner may be destroyed afterwards; a call running
    // on the caller's own thread (the owner released from inside a callback)
    // is not waited for.
    void Detach();

    HISTORIAN_SINK_MEMBERS

private:
    friend Implements;  // the only one to destroy it
    ~HistorianSink();

    // Runs call(owner) unless detached; answers S_OK once the owner is gone
    // (the historian has nothing to do with a refusal).
    template <class Call>
    HRESULT Forward(Call&& call);

    // Guarded by the object lock.
    COPCHDAAutoServer* owner_;  // null once detached
    LONG inFlight_ = 0;         // forwarded calls not yet returned
    LONG mayRemain_ = 0;        // in-flight calls a detaching thread does not wait for
    HANDLE done_;               // manual-reset; set when a detaching thread may go on
};
