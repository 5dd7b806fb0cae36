#include "server/historian_sink.h"

#include "server/COPCHDAAutoServer.h"

namespace {
// The forwarded calls running on this thread, innermost first; the frames
// live on the forwarding calls' stacks.
struct ForwardFrame {
    const HistorianSink* sink;
    const ForwardFrame* outer;
};
thread_local const ForwardFrame* t_forwarding = nullptr;

// Nothing the owner throws may reach the historian.
template <class Call>
HRESULT CallOwner(Call& call, COPCHDAAutoServer* owner) try {
    return call(owner);
} catch (...) {
    return HResultFromCaughtException();
}
}  // namespace

HistorianSink::HistorianSink(COPCHDAAutoServer* owner)
    : owner_(owner), done_(CreateEventW(nullptr, TRUE, TRUE, nullptr)) {}

HistorianSink::~HistorianSink() {
    if (done_) CloseHandle(done_);
}

void HistorianSink::Detach() {
    {
        CsLock lock(ObjectLock());
        owner_ = nullptr;
        // Calls of this thread cannot return while it waits: leave them out.
        mayRemain_ = 0;
        for (const ForwardFrame* f = t_forwarding; f; f = f->outer)
            if (f->sink == this) ++mayRemain_;
    }
    // The owner goes once this returns: never before its last callback has
    // left, whatever becomes of the wait. Without an event, or when the wait
    // fails (a thread outside COM), the count is polled.
    for (;;) {
        {
            CsLock lock(ObjectLock());
            if (inFlight_ <= mayRemain_) return;
            if (done_) ResetEvent(done_);
        }
        // Pumps in a single-threaded apartment, so that a callback that waits
        // to reach this thread's apartment can return.
        DWORD index = 0;
        if (done_ && SUCCEEDED(CoWaitForMultipleHandles(0, INFINITE, 1, &done_, &index))) continue;
        if (!done_ || WaitForSingleObject(done_, 1) == WAIT_FAILED) Sleep(1);
    }
}

template <class Call>
HRESULT HistorianSink::Forward(Call&& call) {
    COPCHDAAutoServer* owner = nullptr;
    {
        CsLock lock(ObjectLock());
        owner = owner_;
        if (!owner) return S_OK;
        ++inFlight_;
    }
    ForwardFrame frame{this, t_forwarding};
    t_forwarding = &frame;
    HRESULT hr = CallOwner(call, owner);
    t_forwarding = frame.outer;
    {
        CsLock lock(ObjectLock());
        if (--inFlight_ <= mayRemain_) SetEvent(done_);
    }
    return hr;
}

STDMETHODIMP HistorianSink::ShutdownRequest(LPCWSTR szReason) {
    return Forward([&](COPCHDAAutoServer* o) { return o->ShutdownRequest(szReason); });
}

STDMETHODIMP HistorianSink::OnDataChange(DWORD id, HRESULT status, DWORD n, OPCHDA_ITEM* values, HRESULT* errors) {
    return Forward([&](COPCHDAAutoServer* o) { return o->OnDataChange(id, status, n, values, errors); });
}

STDMETHODIMP HistorianSink::OnReadComplete(DWORD id, HRESULT status, DWORD n, OPCHDA_ITEM* values, HRESULT* errors) {
    return Forward([&](COPCHDAAutoServer* o) { return o->OnReadComplete(id, status, n, values, errors); });
}

STDMETHODIMP HistorianSink::OnReadModifiedComplete(DWORD id, HRESULT status, DWORD n, OPCHDA_MODIFIEDITEM* values,
                                                   HRESULT* errors) {
    return Forward([&](COPCHDAAutoServer* o) { return o->OnReadModifiedComplete(id, status, n, values, errors); });
}

STDMETHODIMP HistorianSink::OnReadAttributeComplete(DWORD id, HRESULT status, OPCHANDLE client, DWORD n,
                                                    OPCHDA_ATTRIBUTE* values, HRESULT* errors) {
    return Forward(
        [&](COPCHDAAutoServer* o) { return o->OnReadAttributeComplete(id, status, client, n, values, errors); });
}

STDMETHODIMP HistorianSink::OnReadAnnotations(DWORD id, HRESULT status, DWORD n, OPCHDA_ANNOTATION* values,
                                              HRESULT* errors) {
    return Forward([&](COPCHDAAutoServer* o) { return o->OnReadAnnotations(id, status, n, values, errors); });
}

STDMETHODIMP HistorianSink::OnInsertAnnotations(DWORD id, HRESULT status, DWORD n, OPCHANDLE* clients,
                                                HRESULT* errors) {
    return Forward([&](COPCHDAAutoServer* o) { return o->OnInsertAnnotations(id, status, n, clients, errors); });
}

STDMETHODIMP HistorianSink::OnPlayback(DWORD id, HRESULT status, DWORD n, OPCHDA_ITEM** values, HRESULT* errors) {
    return Forward([&](COPCHDAAutoServer* o) { return o->OnPlayback(id, status, n, values, errors); });
}

STDMETHODIMP HistorianSink::OnUpdateComplete(DWORD id, HRESULT status, DWORD n, OPCHANDLE* clients, HRESULT* errors) {
    return Forward([&](COPCHDAAutoServer* o) { return o->OnUpdateComplete(id, status, n, clients, errors); });
}

STDMETHODIMP HistorianSink::OnCancelComplete(DWORD cancelID) {
    return Forward([&](COPCHDAAutoServer* o) { return o->OnCancelComplete(cancelID); });
}
