// The sink of the server object's events, written as VBA WithEvents sinks are, the one printer of event
// arguments, and subscribing a sink to an object's connection point.
#pragma once

#include <ocidl.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "support/com_test.h"

namespace comtest {

using Histories = std::vector<ComPtr<IDispatch>>;

// A value as text: a long (in hex from 0x10000 and below 0), 'text', a history as (its values), an array of
// longs as [elements] and one of variants as {elements} (after @lower when that is not 1), nothing as _.
// The histories met go to `keep`.
std::wstring Show(const VARIANT& v, Histories* keep = nullptr);

struct Event {
    DISPID id = 0;
    DWORD thread = 0;
    std::wstring args;  // shown, in declared order
};

// The event interfaces a sink answers QueryInterface for, beside IUnknown and IDispatch.
enum SinkAnswers : unsigned { kNoEvents = 0, kItemEvents = 1, kServerEvents = 2, kBothEvents = 3 };

// Its owner holds the first reference and gives it back with Release(); the sink lives on until its owner
// deletes it, so that a call or a reference after its last reference went counts as `late` instead of
// crashing: a connection point that read a slot outside its lock hands out a sink it had already dropped.
// A recording sink keeps every event with its arguments shown and every history it received.
class Sink : public IDispatch {
public:
    explicit Sink(unsigned answers = kItemEvents, bool record = true) : answers_(answers), record_(record) {}
    virtual ~Sink() = default;
    // A recording sink that lives until EndSinks(), held by the returned pointer.
    static ComPtr<Sink> Make(unsigned answers = kItemEvents);

    std::atomic<long> events{0}, late{0};
    HRESULT invokeResult = S_OK;
    std::function<void(DISPID, const DISPPARAMS&)> onEvent;  // runs inside Invoke, after recording
    Histories kept;                                         // every history received

    std::vector<Event> Events();
    size_t Count() { return static_cast<size_t>(events.load()); }
    bool WaitFor(size_t count) {
        return WaitUntil([&] { return Count() >= count; });
    }

    STDMETHODIMP QueryInterface(REFIID iid, void** out) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override { return static_cast<ULONG>(--references_); }
    STDMETHODIMP GetTypeInfoCount(UINT* n) override { return *n = 0, S_OK; }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    STDMETHODIMP Invoke(DISPID id, REFIID, LCID lcid, WORD flags, DISPPARAMS* params, VARIANT*, EXCEPINFO*,
                        UINT*) override;

private:
    const unsigned answers_;
    const bool record_;
    std::atomic<long> references_{1};
    std::mutex lock_;
    std::vector<Event> events_;
};

// What reached the sinks Make() made after their last reference went; the sinks go.
long EndSinks();

// `source`'s connection point for `events`, null if it has none.
ComPtr<IConnectionPoint> PointOf(IUnknown* source, const IID& events);
// Advises `sink` on it: the cookie, 0 if refused.
DWORD Subscribe(IUnknown* source, IDispatch* sink, const IID& events = DIID__IOPCHDAItemEvents);
void Unsubscribe(IUnknown* source, DWORD cookie, const IID& events = DIID__IOPCHDAItemEvents);

}  // namespace comtest
