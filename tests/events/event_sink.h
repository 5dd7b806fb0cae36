// An event sink written the way VBA and VB6 WithEvents sinks are: an IDispatch
// that also answers the event interface's identifier and receives every event
// through Invoke. It records what arrives (identifier, flags, locale, each
// argument's type, lower bound and elements, each history's values) and can
// be told to misbehave or to act from inside its handler.
#pragma once

#include <windows.h>
#include <ocidl.h>

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "OPCHDAAuto.h"
#include "com_holders.h"

namespace eventtest {

// One argument as the sink saw it, in declared order.
struct Arg {
    VARTYPE vt = VT_EMPTY;
    LONG number = 0;                             // VT_I4
    std::wstring text;                           // VT_BSTR
    LONG lower = 0;                              // arrays
    std::vector<LONG> longs;                     // VT_ARRAY|VT_I4
    std::vector<VARTYPE> types;                  // VT_ARRAY|VT_VARIANT: each element's type
    std::vector<std::vector<double>> histories;  // values of each VT_DISPATCH element (empty for others)
};

struct Event {
    DISPID id = 0;
    WORD flags = 0;
    LCID lcid = 0;
    UINT named = 0;
    DWORD thread = 0;
    std::vector<Arg> args;
    LONG Long(size_t k) const { return args.at(k).number; }
};

class EventSink final : public IDispatch {
public:
    // A sink answering `eventIid` (and IUnknown, IDispatch); GUID_NULL answers none.
    static ComPtr<EventSink> Make(REFIID eventIid);

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;
    STDMETHODIMP GetTypeInfoCount(UINT* n) override;
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override;
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override;
    STDMETHODIMP Invoke(DISPID id, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params, VARIANT* result,
                        EXCEPINFO* excep, UINT* argErr) override;

    std::vector<Event> Events();
    size_t Count();
    // Waits (pumping messages, as a single-threaded apartment must) until
    // `count` events have arrived; false after `ms`.
    bool WaitFor(size_t count, DWORD ms = 10000);

    // What Invoke answers.
    HRESULT invokeResult = S_OK;
    // Runs inside Invoke after the event is recorded.
    std::function<void(const Event&)> onEvent;
    // Keeps every history received, to read after the event.
    bool keepHistories = false;
    std::vector<ComPtr<IDispatch>> kept;

private:
    explicit EventSink(REFIID eventIid);
    ~EventSink();

    LONG refs_ = 0;
    IID eventIid_;
    std::mutex lock_;
    std::vector<Event> events_;
    HANDLE arrived_;
};

// The values of a history through its dispatch interface, as a client reads them.
std::vector<double> HistoryValues(IDispatch* history);

// Subscribes `sink` on `source`'s connection point for `iid`; the cookie, 0 on failure.
DWORD Advise(IUnknown* source, REFIID iid, IUnknown* sink, HRESULT* result = nullptr);
HRESULT Unadvise(IUnknown* source, REFIID iid, DWORD cookie);

}  // namespace eventtest
