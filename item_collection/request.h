// Every request the items collection sends to the historian is one Request
// taken through the same steps, so that a member is only what is its own: its
// check table, its arrays, its historian call. The order clients and the
// tests rely on lives here once: pointers, counts, outputs nulled, array
// rules, the historian reference, the times, the arrays, the call, the
// finish. A step after a failed one does nothing, so a member states its
// steps without testing each, and the historian is never called for a
// request that failed before it. Requests over a time range and the client's
// handles, most of them, have the one table their arguments imply
// (OpenTimeRange), so that table cannot drift between members. What a
// request owns (time records, copies of the arrays, the historian's codes)
// goes with the object, on every path.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <initializer_list>
#include <list>
#include <optional>
#include <span>
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

// The array an input parameter points to, or null when either is missing.
inline SAFEARRAY* InArray(SAFEARRAY* const* array) { return array ? *array : nullptr; }

// E_FAIL while the member's historian interface is not held.
inline HRESULT RequireHistorian(const IUnknown* historian) { return historian ? S_OK : E_FAIL; }

// Cancels the asynchronous request `CancelID` names at the historian.
template <class Historian>
HRESULT CancelAt(const ComPtr<Historian>& historian, LONG CancelID) {
    HRESULT hr = RequireHistorian(historian.get());
    return FAILED(hr) ? hr : historian->Cancel(static_cast<DWORD>(CancelID));
}

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
// The table alone, for members that answer without the historian.
HRESULT CheckArguments(const Checks& checks);

// Local dates as UTC file times, all under one reading of the zone. A date
// that does not convert fails the whole request with E_FAIL: the historian
// must never get an undefined time.
HRESULT ReadFileTimes(SAFEARRAY* array, LONG count, std::vector<FILETIME>& times);

// The steps that do not depend on the historian's interface.
class RequestSteps {
public:
    RequestSteps(const RequestSteps&) = delete;
    RequestSteps& operator=(const RequestSteps&) = delete;

    // The table, then (an asynchronous request) CancelID after its pointers,
    // then the historian reference.
    void Check(const Checks& checks);
    // The same for a request over the client's time arguments ({StartTime,
    // EndTime}, or {StartTime} alone) and arrays of `count` longs (handles,
    // then aggregates), whose table is always {times, the arrays, outputs},
    // {count}, {outputs}, {each array of `count` VT_I4}; then the times
    // become the historian's records under one reading of the zone. After a
    // successful finish they go back to the client as the local dates the
    // historian used.
    void OpenTimeRange(std::initializer_list<VARIANT*> times, LONG count, std::initializer_list<SAFEARRAY**> arrays,
                       std::initializer_list<SAFEARRAY**> outputs);
    // The same for a deletion at given times, synchronous or not: element k of
    // the client's handles and time stamps (`count` of each) names one value;
    // the table is {both arrays, errors}, {count}, {errors}, {handles VT_I4,
    // stamps VT_DATE}.
    void OpenAtTimes(LONG count, SAFEARRAY** handles, SAFEARRAY** stamps, SAFEARRAY** errors);
    OPCHDA_TIME* Start() { return times_.Start(); }
    OPCHDA_TIME* End() { return times_.End(); }
    // Elements 1..count of arrays the table checked, read in the order asked
    // for, as the historian's arrays (held until the request goes).
    // Handles, aggregates, attribute identifiers and qualities are 32-bit
    // values that reach the historian bit for bit.
    DWORD* Longs(SAFEARRAY** array, LONG count);
    FILETIME* FileTimes(SAFEARRAY** array, LONG count);
    // The client's values, copied (the client's array is not touched); one
    // that cannot be copied fails the request with its code.
    VARIANT* Variants(SAFEARRAY** array, LONG count);

    // The historian call's outputs: its codes, and an asynchronous request's
    // cancel identifier.
    HRESULT** Codes() { return codes_.put(); }
    DWORD* Cancel() { return &cancel_; }

    bool Failed() const { return FAILED(hr_); }
    HRESULT Result() const { return hr_; }

    // Runs the historian call unless a step failed, then hands the client
    // ItemValues (a history for every element whose code is a success, so
    // OPCHDANoData gives an empty history; VT_EMPTY otherwise) and Errors; a
    // failed call, or results that cannot be built,
    // leave both null and the client's times as they were. What no history
    // kept is freed by `answers` whatever happens.
    template <class Answer, class Call>
    HRESULT FinishRead(HistorianAnswer<Answer>& answers, SAFEARRAY** itemValues, SAFEARRAY** errors, Call&& call) {
        if (Failed()) return hr_;
        const HRESULT callResult = call();
        if (FAILED(callResult)) return callResult;
        if (!answers || !codes_) return E_FAIL;  // a historian that breaks its promise
        UniqueSafeArray codeArray = CodeArray(static_cast<LONG>(answers.count()));
        if (!codeArray) return E_FAIL;
        UniqueSafeArray values;
        if (HRESULT hr = MakeHistoryArray(answers, codes_.get(), values); FAILED(hr)) return hr;
        WriteBackTimes();
        return client_arrays::HandOutResults({{&values, itemValues}, {&codeArray, errors}}, callResult);
    }

protected:
    RequestSteps(COPCHDAAutoServer* server, const IUnknown* historian, LONG* cancelID, bool asynchronous)
        : asynchronous_(asynchronous), server_(server), historian_(historian), cancelID_(cancelID) {}
    // After the call: Errors holds its codes, the times go back, and an
    // asynchronous request's identifier goes to CancelID. Nothing of it is
    // written unless all of it is.
    HRESULT HandOutCodes(HRESULT callResult, LONG count, SAFEARRAY** errors);
    UniqueSafeArray CodeArray(LONG count) const;
    void WriteBackTimes() const;

    HRESULT hr_ = S_OK;
    const bool asynchronous_;
    DWORD cancel_ = 0;

private:
    void CheckTable(std::span<const void* const> pointers, std::span<const LONG> counts,
                    std::span<SAFEARRAY** const> outputs, std::span<const ArrayRule> arrays);

    COPCHDAAutoServer* server_;
    const IUnknown* historian_;
    LONG* cancelID_;
    // The client's times and the historian's records made from them, both
    // ways under the zone of the call (none: a request without times).
    std::optional<CallZone> zone_;
    VARIANT* start_ = nullptr;
    VARIANT* end_ = nullptr;
    HdaTimePair times_;
    std::list<std::vector<LONG>> longs_;
    std::vector<FILETIME> stamps_;
    std::vector<UniqueVariant> values_;
    TaskArray<HRESULT> codes_;
};

// One request to the historian interface `Historian`, which the member holds
// for the whole call.
template <class Historian>
class Request : public RequestSteps {
public:
    Request(COPCHDAAutoServer* server, const ComPtr<Historian>& historian)
        : RequestSteps(server, historian.get(), nullptr, false), historian_(historian.get()) {}
    // An asynchronous request: its cancel identifier goes to CancelID.
    Request(COPCHDAAutoServer* server, const ComPtr<Historian>& historian, LONG* CancelID)
        : RequestSteps(server, historian.get(), CancelID, true), historian_(historian.get()) {}

    // Runs the historian call unless a step failed, then hands out its codes.
    // An asynchronous request the historian accepted but that cannot be
    // handed to the client is cancelled at the historian: nobody else could
    // ever cancel it, and an advise would run on.
    template <class Call>
    HRESULT FinishCodes(LONG count, SAFEARRAY** errors, Call&& call) {
        if (Failed()) return hr_;
        const HRESULT callResult = call();
        const HRESULT hr = HandOutCodes(callResult, count, errors);
        if constexpr (requires(Historian * h, DWORD id) { h->Cancel(id); })
            if (asynchronous_ && SUCCEEDED(callResult) && FAILED(hr)) historian_->Cancel(cancel_);
        return hr;
    }

    Historian* Target() const { return historian_; }

private:
    Historian* historian_;
};

// Insert, Replace and InsertReplace, synchronous or not, differ only in the
// historian method they call: the client's four columns of `count` elements,
// element k of each describing one value (handle, time stamp, value,
// quality), go to `method`; an asynchronous request's TransactionID goes
// first, and its cancel identifier with the codes.
template <class Historian, class Method, class... Transaction>
HRESULT WriteValues(Request<Historian>& request, Method method, LONG count, SAFEARRAY** handles, SAFEARRAY** stamps,
                    SAFEARRAY** values, SAFEARRAY** qualities, SAFEARRAY** errors, Transaction... transaction) {
    request.Check(
        {{InArray(handles), InArray(stamps), InArray(values), InArray(qualities), errors},
         {count},
         {errors},
         {{handles, count, VT_I4}, {stamps, count, VT_DATE}, {values, count, VT_VARIANT}, {qualities, count, VT_I4}}});
    DWORD* handleColumn = request.Longs(handles, count);
    FILETIME* stampColumn = request.FileTimes(stamps, count);
    VARIANT* valueColumn = request.Variants(values, count);
    DWORD* qualityColumn = request.Longs(qualities, count);
    return request.FinishCodes(count, errors, [&] {
        Historian* historian = request.Target();
        if constexpr (sizeof...(Transaction) == 0)
            return (historian->*method)(count, handleColumn, stampColumn, valueColumn, qualityColumn, request.Codes());
        else
            return (historian->*method)(static_cast<DWORD>(transaction)..., count, handleColumn, stampColumn,
                                        valueColumn, qualityColumn, request.Cancel(), request.Codes());
    });
}

}  // namespace request
