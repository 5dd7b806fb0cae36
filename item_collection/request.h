// The one shape of every request the items collection sends to the historian:
// check pointers, check counts, null the outputs, check the client's arrays,
// check the historian reference, convert the time arguments, read the input
// arrays, make the one historian call, build the result arrays, write the
// times back, free everything. A member states its checks as rows of a
// Checks table (CheckRequest), then converts its times (TimeDomain), reads its
// arrays, calls the historian and finishes with FinishRead, FinishUpdate or
// AsyncAnswer::Finish; what it owns is held by the types below, so every path
// frees.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <initializer_list>
#include <type_traits>
#include <vector>

#include "OPCHDAAuto.h"
#include "opc_hda.h"
#include "com/com_holders.h"
#include "history/COPCHDAHistory.h"
#include "opc/historian_answers.h"
#include "automation/client_arrays.h"
#include "time/time_args.h"

class COPCHDAAutoServer;

namespace request {

// ---- checks, in the order every member runs them ----

// The array an input parameter points to, or null when either is missing.
inline SAFEARRAY* InArray(SAFEARRAY* const* array) { return array ? *array : nullptr; }

// E_FAIL while the member's historian interface is not held.
template <class T>
HRESULT RequireHistorian(const ComPtr<T>& historian) {
    return historian ? S_OK : E_FAIL;
}
inline HRESULT RequireHistorian(const IUnknown* historian) { return historian ? S_OK : E_FAIL; }

// What a member checks, as data, in the order the checks run: the pointers it
// needs (input arrays through InArray: E_POINTER), its counts (below 1:
// E_INVALIDARG, the outputs still untouched), the outputs it nulls, then the
// bounds and element type of each input array.
struct ArrayRule {
    SAFEARRAY** array;
    LONG count;
    VARTYPE vt;
};
struct Checks {
    std::initializer_list<const void*> pointers;
    std::initializer_list<LONG> counts;
    std::initializer_list<SAFEARRAY**> outputs;
    std::initializer_list<ArrayRule> arrays;
};
HRESULT CheckArguments(const Checks& checks);

// The arguments, then the historian reference the member calls.
template <class T>
HRESULT CheckRequest(const Checks& checks, const ComPtr<T>& historian) {
    HRESULT hr = CheckArguments(checks);
    return FAILED(hr) ? hr : RequireHistorian(historian);
}

// ---- reading the client's arrays (elements 1..count; checked before) ----

// Handles, aggregates, attribute identifiers and qualities are 32-bit values
// that reach the historian bit for bit; its DWORD parameters see the client's
// longs in place.
inline DWORD* AsDwords(std::vector<LONG>& longs) { return reinterpret_cast<DWORD*>(longs.data()); }

// Local dates as UTC file times, all under one reading of the zone. A date
// that does not convert fails the whole request with E_FAIL: the historian
// must never get an undefined time.
HRESULT ReadFileTimes(SAFEARRAY* array, LONG count, std::vector<FILETIME>& times);

// The client's values, copied (the client's array is not touched), as the
// historian's VARIANT array. Each copy is cleared when the vector goes.
inline VARIANT* AsVariants(std::vector<UniqueVariant>& values) {
    static_assert(sizeof(UniqueVariant) == sizeof(VARIANT) && std::is_standard_layout_v<UniqueVariant>);
    return reinterpret_cast<VARIANT*>(values.data());
}

// The four columns of a value-writing request, element k of each describing
// one value: handle, time stamp (a date that does not convert fails the
// request with E_FAIL), value (copied; one that cannot be copied fails the
// request with its code) and quality.
struct ValueColumns {
    std::vector<LONG> handles;
    std::vector<FILETIME> stamps;
    std::vector<UniqueVariant> values;
    std::vector<LONG> qualities;

    HRESULT Read(SAFEARRAY** handleArray, SAFEARRAY** stampArray, SAFEARRAY** valueArray, SAFEARRAY** qualityArray,
                 LONG count);
};

// ---- the time domain of one request ----

// The client's StartTime/EndTime and the historian's records made from them,
// both ways under the zone of the call, read once when the domain is made.
// The records' texts are freed when the request goes, on every path.
class TimeDomain {
public:
    // `end` is null for requests with a start only.
    TimeDomain(COPCHDAAutoServer* server, VARIANT* start, VARIANT* end) : server_(server), start_(start), end_(end) {}

    // Start, then end, through the server object's own conversion (the
    // virtual operation that follows its connection-point container's
    // members in its first virtual table).
    HRESULT Convert();
    OPCHDA_TIME* Start() { return times_.Start(); }
    OPCHDA_TIME* End() { return times_.End(); }
    // After a successful call whose outputs were made: the historian's times
    // go back to the client as local dates.
    void WriteBack() { times_.WriteBack(start_, end_, zone_); }

private:
    const CallZone zone_;
    COPCHDAAutoServer* server_;
    VARIANT* start_;
    VARIANT* end_;
    HdaTimePair times_;
};

// The opening of the asynchronous requests over a time range and the client's
// handles: their checks in order, the times converted, the handles read.
template <class T>
HRESULT OpenRangeRequest(const ComPtr<T>& historian, TimeDomain& times, VARIANT* StartTime, VARIANT* EndTime,
                         LONG NumItems, SAFEARRAY** ServerHandles, SAFEARRAY** Errors, LONG* CancelID,
                         std::vector<LONG>& handles) {
    HRESULT hr = CheckRequest({{StartTime, EndTime, InArray(ServerHandles), Errors, CancelID},
                               {NumItems},
                               {Errors},
                               {{ServerHandles, NumItems, VT_I4}}},
                              historian);
    if (FAILED(hr) || FAILED(hr = times.Convert())) return hr;
    handles = client_arrays::ReadLongs(*ServerHandles, NumItems);
    return S_OK;
}

// ---- results of a read ----

// After the historian's read: ItemValues holds a history for every element
// whose code is a success (OPCHDANoData gives an empty history, not an empty
// element) and VT_EMPTY otherwise, Errors the codes as they came; then the
// times go back to the client. A failed call, or results that cannot be
// built, leave both outputs null and the client's times as they were. The
// histories take the answer whole (it is the caller's once the call returns);
// what they did not take is freed by the holder whatever happens.
template <class Answer>
HRESULT FinishRead(HRESULT callResult, LONG count, HistorianAnswer<Answer>& answers,
                   const TaskArray<HRESULT>& codes, TimeDomain* times, SAFEARRAY** itemValues, SAFEARRAY** errors) {
    if (FAILED(callResult)) return callResult;
    if (!answers || !codes) return E_FAIL;  // a historian that breaks its promise
    UniqueSafeArray codeArray = client_arrays::MakeLongArray(reinterpret_cast<const LONG*>(codes.get()), count);
    if (!codeArray) return E_FAIL;
    UniqueSafeArray values;
    HRESULT hr = MakeHistoryArray(answers, codes.get(), values);
    if (FAILED(hr)) return hr;
    if (times) times->WriteBack();
    return client_arrays::HandOutResults({{&values, itemValues}, {&codeArray, errors}}, callResult);
}

// After the historian's update: Errors holds its codes; then the times (of a
// delete by time domain) go back to the client.
HRESULT FinishUpdate(HRESULT callResult, LONG count, const TaskArray<HRESULT>& codes, TimeDomain* times,
                     SAFEARRAY** errors);

// The historian's answer to an asynchronous request: one code per item and
// its cancel identifier.
struct AsyncAnswer {
    DWORD cancel = 0;
    TaskArray<HRESULT> codes;

    // After the call: as FinishUpdate, and the cancel identifier goes to the
    // client unchanged. Nothing of it is written unless all of it is.
    HRESULT Finish(HRESULT callResult, LONG count, TimeDomain* times, SAFEARRAY** errors, LONG* CancelID);
    // The same; a request the historian accepted but that cannot be handed to
    // the client (no codes, no Errors array) is cancelled at the historian
    // first: nobody else could ever cancel it, and an advise would run on.
    template <class Historian>
    HRESULT Finish(HRESULT callResult, LONG count, TimeDomain* times, SAFEARRAY** errors, LONG* CancelID,
                   Historian* historian) {
        const HRESULT hr = Finish(callResult, count, times, errors, CancelID);
        if (SUCCEEDED(callResult) && FAILED(hr) && historian) historian->Cancel(cancel);
        return hr;
    }
};

}  // namespace request
