// The historian's data callback: each call becomes exactly one event of
// _IOPCHDAItemEvents. The historian's structures become arrays with lower
// bound 1, one element per item in the historian's order; every item whose
// code is a success gets a history (OPCHDANoData an empty one), every other
// item an empty element. The arrays are destroyed once every sink has
// returned; histories live on in handlers that kept them.
//
// A historian may break its promises: an item array or error array that is
// null although the count is not 0, or a null item pointer in a playback
// slice. Such an item reaches the client as handle 0 (and aggregate 0), an
// empty value element and the error E_POINTER, or the historian's own
// failure code when it sent one. A history that cannot be made leaves the
// value element empty and puts its failure (E_OUTOFMEMORY) into Errors.
#include "server/COPCHDAAutoServer.h"

#include "history/COPCHDAHistory.h"
#include "history/answer_copies.h"
#include "automation/client_arrays.h"

#include <type_traits>

namespace {

// What Errors says for an item the historian did not send.
constexpr HRESULT kItemMissing = E_POINTER;

// The most items an event can carry: every array, VARIANT elements included,
// must be addressable (a larger count would overflow the array's size).
constexpr DWORD kMaxEventItems = MAXLONG / sizeof(VARIANT);

LONG KeyOf(const OPCHDA_ITEM& item) { return static_cast<LONG>(item.hClient); }
LONG KeyOf(const OPCHDA_MODIFIEDITEM& item) { return static_cast<LONG>(item.hClient); }
LONG KeyOf(const OPCHDA_ANNOTATION& item) { return static_cast<LONG>(item.hClient); }
LONG KeyOf(const OPCHDA_ATTRIBUTE& attribute) { return static_cast<LONG>(attribute.dwAttributeID); }

// The arrays of an event that carries values: keys (client handles, or
// attribute identifiers), aggregates (only for OPCHDA_ITEM), values, errors.
struct ValueArrays {
    UniqueSafeArray keys;
    UniqueSafeArray aggregates;
    UniqueSafeArray values;
    UniqueSafeArray errors;
};

// Fills `out` for `n` items; itemAt(k) is item k or null when the historian
// did not send it. E_OUTOFMEMORY when an array cannot be made.
template <class Item, class ItemAt>
HRESULT BuildValueArrays(DWORD n, ItemAt itemAt, const HRESULT* codes, ValueArrays& out) {
    constexpr bool withAggregates = std::is_same_v<Item, OPCHDA_ITEM>;
    if (n > kMaxEventItems) return E_OUTOFMEMORY;
    LONG count = static_cast<LONG>(n);
    out.keys = client_arrays::MakeResultArray(VT_I4, count);
    if (withAggregates) out.aggregates = client_arrays::MakeResultArray(VT_I4, count);
    out.values = client_arrays::MakeResultArray(VT_VARIANT, count);
    out.errors = client_arrays::MakeResultArray(VT_I4, count);
    if (!out.keys || (withAggregates && !out.aggregates) || !out.values || !out.errors) return E_OUTOFMEMORY;
    if (n == 0) return S_OK;
    SafeArrayData<LONG> keys(out.keys.get()), aggregates(out.aggregates.get()), errors(out.errors.get());
    SafeArrayData<VARIANT> values(out.values.get());
    if (!keys || (withAggregates && !aggregates) || !errors || !values) return E_OUTOFMEMORY;
    // The answer stays the historian's: the histories keep a copy of it.
    HistorianAnswer<Item> copies = HistorianAnswer<Item>::zeroed(n);
    for (DWORD k = 0; k < n; ++k) {
        const Item* item = itemAt(k);
        HRESULT code = codes ? codes[k] : kItemMissing;
        if (item) {
            keys[k] = KeyOf(*item);
            if constexpr (withAggregates) aggregates[k] = static_cast<LONG>(item->haAggregate);
        } else if (SUCCEEDED(code)) {
            code = kItemMissing;
        }
        if (SUCCEEDED(code) && (!copies || !CopyHistorianAnswer(*item, copies[k]))) code = E_OUTOFMEMORY;
        errors[k] = code;
    }
    if (copies && FAILED(PutHistories(copies, reinterpret_cast<const HRESULT*>(errors.get()), values.get())))
        for (DWORD k = 0; k < n; ++k)
            if (SUCCEEDED(errors[k]) && V_VT(&values[k]) == VT_EMPTY) errors[k] = E_OUTOFMEMORY;
    return S_OK;
}

template <class Item>
HRESULT BuildValueArrays(DWORD n, const Item* items, const HRESULT* codes, ValueArrays& out) {
    return BuildValueArrays<Item>(
        n, [items](DWORD k) { return items ? &items[k] : nullptr; }, codes, out);
}

// Client handles and errors of an update or annotation insertion.
struct HandleArrays {
    UniqueSafeArray handles;
    UniqueSafeArray errors;
};

HRESULT BuildHandleArrays(DWORD n, const OPCHANDLE* clients, const HRESULT* codes, HandleArrays& out) {
    if (n > kMaxEventItems) return E_OUTOFMEMORY;
    HRESULT hr = client_arrays::FillResultArray<LONG>(
        VT_I4, n, out.handles,
        [clients](LONG& handle, size_t k) {
            handle = clients ? static_cast<LONG>(clients[k]) : 0;
            return S_OK;
        },
        E_OUTOFMEMORY);
    if (FAILED(hr)) return hr;
    return client_arrays::FillResultArray<LONG>(
        VT_I4, n, out.errors,
        [clients, codes](LONG& error, size_t k) {
            HRESULT code = codes ? codes[k] : kItemMissing;
            error = !clients && SUCCEEDED(code) ? kItemMissing : code;
            return S_OK;
        },
        E_OUTOFMEMORY);
}

LONG AsLong(DWORD v) { return static_cast<LONG>(v); }

// DataChange, AsyncReadComplete and Playback: the same arguments, items
// reached through itemAt.
using ItemValuesEvent = void (EventSources::*)(LONG, LONG, LONG, SAFEARRAY*, SAFEARRAY*, SAFEARRAY*, SAFEARRAY*);

template <class ItemAt>
HRESULT RaiseItemValues(EventSources& events, ItemValuesEvent fire, DWORD id, HRESULT status, DWORD n, ItemAt itemAt,
                        const HRESULT* codes) {
    ValueArrays a;
    HRESULT hr = BuildValueArrays<OPCHDA_ITEM>(n, itemAt, codes, a);
    if (FAILED(hr)) return hr;
    (events.*fire)(AsLong(id), status, AsLong(n), a.keys.get(), a.aggregates.get(), a.values.get(), a.errors.get());
    return S_OK;
}

// The value arrays of a modified-values, attribute or annotation read, handed
// to `fire` once all exist.
template <class Item, class Fire>
HRESULT RaiseValues(DWORD n, const Item* items, const HRESULT* codes, Fire&& fire) {
    ValueArrays a;
    HRESULT hr = BuildValueArrays(n, items, codes, a);
    if (FAILED(hr)) return hr;
    fire(a);
    return S_OK;
}

auto ItemsAt(const OPCHDA_ITEM* items) {
    return [items](DWORD k) { return items ? &items[k] : nullptr; };
}

// AsyncInsertAnnotationsComplete and AsyncUpdateComplete.
using HandlesEvent = void (EventSources::*)(LONG, LONG, LONG, SAFEARRAY*, SAFEARRAY*);

HRESULT RaiseHandles(EventSources& events, HandlesEvent fire, DWORD id, HRESULT status, DWORD n,
                     const OPCHANDLE* clients, const HRESULT* codes) {
    HandleArrays a;
    HRESULT hr = BuildHandleArrays(n, clients, codes, a);
    if (FAILED(hr)) return hr;
    (events.*fire)(AsLong(id), status, AsLong(n), a.handles.get(), a.errors.get());
    return S_OK;
}

}  // namespace

template <class Work>
HRESULT COPCHDAAutoServer::WhileHeld(Work&& work) try {
    // Unless the object is already being torn down on another thread (which
    // then waits for this callback), the reference keeps it whole until the
    // event is over.
    const auto held = ComPtr<COPCHDAAutoServer>::attach(TryAddRef() ? this : nullptr);
    return std::forward<Work>(work)();
} catch (...) {
    return HResultFromCaughtException();
}

STDMETHODIMP COPCHDAAutoServer::OnDataChange(DWORD dwTransactionID, HRESULT hrStatus, DWORD dwNumItems,
                                             OPCHDA_ITEM* pItemValues, HRESULT* phrErrors) {
    return WhileHeld([&] {
        return RaiseItemValues(events_, &EventSources::Fire_DataChange, dwTransactionID, hrStatus, dwNumItems,
                               ItemsAt(pItemValues), phrErrors);
    });
}

STDMETHODIMP COPCHDAAutoServer::OnReadComplete(DWORD dwTransactionID, HRESULT hrStatus, DWORD dwNumItems,
                                               OPCHDA_ITEM* pItemValues, HRESULT* phrErrors) {
    return WhileHeld([&] {
        return RaiseItemValues(events_, &EventSources::Fire_AsyncReadComplete, dwTransactionID, hrStatus, dwNumItems,
                               ItemsAt(pItemValues), phrErrors);
    });
}

STDMETHODIMP COPCHDAAutoServer::OnReadModifiedComplete(DWORD dwTransactionID, HRESULT hrStatus, DWORD dwNumItems,
                                                       OPCHDA_MODIFIEDITEM* pItemValues, HRESULT* phrErrors) {
    return WhileHeld([&] {
        return RaiseValues(dwNumItems, pItemValues, phrErrors, [&](ValueArrays& a) {
            events_.Fire_AsyncReadModifiedComplete(AsLong(dwTransactionID), hrStatus, AsLong(dwNumItems), a.keys.get(),
                                                   a.values.get(), a.errors.get());
        });
    });
}

STDMETHODIMP COPCHDAAutoServer::OnReadAttributeComplete(DWORD dwTransactionID, HRESULT hrStatus, OPCHANDLE hClient,
                                                        DWORD dwNumItems, OPCHDA_ATTRIBUTE* pAttributeValues,
                                                        HRESULT* phrErrors) {
    return WhileHeld([&] {
        return RaiseValues(dwNumItems, pAttributeValues, phrErrors, [&](ValueArrays& a) {
            events_.Fire_AsyncReadAttributesComplete(AsLong(dwTransactionID), hrStatus, AsLong(hClient),
                                                     AsLong(dwNumItems), a.keys.get(), a.values.get(), a.errors.get());
        });
    });
}

STDMETHODIMP COPCHDAAutoServer::OnReadAnnotations(DWORD dwTransactionID, HRESULT hrStatus, DWORD dwNumItems,
                                                  OPCHDA_ANNOTATION* pAnnotationValues, HRESULT* phrErrors) {
    return WhileHeld([&] {
        return RaiseValues(dwNumItems, pAnnotationValues, phrErrors, [&](ValueArrays& a) {
            events_.Fire_AsyncReadAnnotationsComplete(AsLong(dwTransactionID), hrStatus, AsLong(dwNumItems),
                                                      a.keys.get(), a.values.get(), a.errors.get());
        });
    });
}

STDMETHODIMP COPCHDAAutoServer::OnInsertAnnotations(DWORD dwTransactionID, HRESULT hrStatus, DWORD dwCount,
                                                    OPCHANDLE* phClients, HRESULT* phrErrors) {
    return WhileHeld([&] {
        return RaiseHandles(events_, &EventSources::Fire_AsyncInsertAnnotationsComplete, dwTransactionID, hrStatus,
                            dwCount, phClients, phrErrors);
    });
}

STDMETHODIMP COPCHDAAutoServer::OnPlayback(DWORD dwTransactionID, HRESULT hrStatus, DWORD dwNumItems,
                                           OPCHDA_ITEM** ppItemValues, HRESULT* phrErrors) {
    // Item k is reached through pointer k, each of which may be null.
    auto itemAt = [ppItemValues](DWORD k) -> const OPCHDA_ITEM* { return ppItemValues ? ppItemValues[k] : nullptr; };
    return WhileHeld([&] {
        return RaiseItemValues(events_, &EventSources::Fire_Playback, dwTransactionID, hrStatus, dwNumItems, itemAt,
                               phrErrors);
    });
}

STDMETHODIMP COPCHDAAutoServer::OnUpdateComplete(DWORD dwTransactionID, HRESULT hrStatus, DWORD dwCount,
                                                 OPCHANDLE* phClients, HRESULT* phrErrors) {
    return WhileHeld([&] {
        return RaiseHandles(events_, &EventSources::Fire_AsyncUpdateComplete, dwTransactionID, hrStatus, dwCount,
                            phClients, phrErrors);
    });
}

STDMETHODIMP COPCHDAAutoServer::OnCancelComplete(DWORD dwCancelID) {
    return WhileHeld([&] {
        events_.Fire_AsyncCancelComplete(AsLong(dwCancelID));
        return S_OK;
    });
}

STDMETHODIMP COPCHDAAutoServer::ShutdownRequest(LPCWSTR szReason) {
    return WhileHeld([&] {
        events_.Fire_HDAServerShutDown(szReason);
        return S_OK;
    });
}
