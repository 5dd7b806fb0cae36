#include "item_collection/request.h"

#include "server/COPCHDAAutoServer.h"
#include "time/time_conversion.h"

namespace request {

namespace {

template <class T>
std::span<const T> AsSpan(std::initializer_list<T> list) {
    return {list.begin(), list.size()};
}

HRESULT CheckPointers(std::span<const void* const> pointers) {
    for (const void* pointer : pointers)
        if (!pointer) return E_POINTER;
    return S_OK;
}

HRESULT CheckCountsAndArrays(std::span<const LONG> counts, std::span<SAFEARRAY** const> outputs,
                             std::span<const ArrayRule> arrays) {
    for (LONG count : counts)
        if (count < 1) return E_INVALIDARG;
    // Outputs are null from here on, whatever the member's outcome.
    for (SAFEARRAY** out : outputs) *out = nullptr;
    for (const ArrayRule& rule : arrays) {
        HRESULT hr = client_arrays::CheckClientArray(*rule.array, rule.count, rule.vt);
        if (FAILED(hr)) return hr;
    }
    return S_OK;
}

}  // namespace

HRESULT CheckArguments(const Checks& checks) {
    HRESULT hr = CheckPointers(AsSpan(checks.pointers));
    return FAILED(hr) ? hr : CheckCountsAndArrays(AsSpan(checks.counts), AsSpan(checks.outputs), AsSpan(checks.arrays));
}

HRESULT ReadFileTimes(SAFEARRAY* array, LONG count, std::vector<FILETIME>& times) {
    std::vector<DATE> dates = client_arrays::ReadDates(array, count);
    times.assign(dates.size(), FILETIME{});
    const CallZone zone;
    for (size_t i = 0; i < dates.size(); ++i)
        if (!zone.ToFileTime(dates[i], &times[i])) return E_FAIL;
    return S_OK;
}

void RequestSteps::CheckTable(std::span<const void* const> pointers, std::span<const LONG> counts,
                              std::span<SAFEARRAY** const> outputs, std::span<const ArrayRule> arrays) {
    hr_ = CheckPointers(pointers);
    // The cancel identifier is one pointer more, after the table's.
    if (SUCCEEDED(hr_) && asynchronous_ && !cancelID_) hr_ = E_POINTER;
    if (SUCCEEDED(hr_)) hr_ = CheckCountsAndArrays(counts, outputs, arrays);
    if (SUCCEEDED(hr_)) hr_ = RequireHistorian(historian_);
}

void RequestSteps::Check(const Checks& checks) {
    CheckTable(AsSpan(checks.pointers), AsSpan(checks.counts), AsSpan(checks.outputs), AsSpan(checks.arrays));
}

void RequestSteps::OpenAtTimes(LONG count, SAFEARRAY** handles, SAFEARRAY** stamps, SAFEARRAY** errors) {
    Check({{InArray(handles), InArray(stamps), errors},
           {count},
           {errors},
           {{handles, count, VT_I4}, {stamps, count, VT_DATE}}});
}

void RequestSteps::OpenTimeRange(std::initializer_list<VARIANT*> times, LONG count,
                                 std::initializer_list<SAFEARRAY**> arrays,
                                 std::initializer_list<SAFEARRAY**> outputs) {
    // Two times, two arrays and two outputs at the most: the table is built
    // in place, so that a request with memory short still gets its checks.
    const void* pointers[6];
    ArrayRule rules[2];
    size_t p = 0, r = 0;
    if (times.size() > 2 || arrays.size() > 2 || outputs.size() > 2) {
        hr_ = E_UNEXPECTED;
        return;
    }
    for (VARIANT* time : times) pointers[p++] = time;
    for (SAFEARRAY** array : arrays) {
        pointers[p++] = InArray(array);
        rules[r++] = {array, count, VT_I4};
    }
    for (SAFEARRAY** output : outputs) pointers[p++] = output;
    CheckTable({pointers, p}, {&count, 1}, AsSpan(outputs), {rules, r});
    if (Failed()) return;
    // Start, then end, through the server object's own conversion (the
    // virtual operation that follows its connection-point container's
    // members in its first virtual table).
    start_ = *times.begin();
    end_ = times.size() > 1 ? times.begin()[1] : nullptr;
    zone_.emplace();
    hr_ = server_->TimeArgToHdaTime(start_, times_.Start(), *zone_);
    if (SUCCEEDED(hr_) && end_) hr_ = server_->TimeArgToHdaTime(end_, times_.End(), *zone_);
}

void RequestSteps::WriteBackTimes() const {
    if (zone_) times_.WriteBack(start_, end_, *zone_);
}

DWORD* RequestSteps::Longs(SAFEARRAY** array, LONG count) {
    if (Failed()) return nullptr;
    return reinterpret_cast<DWORD*>(longs_.emplace_back(client_arrays::ReadLongs(*array, count)).data());
}

FILETIME* RequestSteps::FileTimes(SAFEARRAY** array, LONG count) {
    if (Failed() || FAILED(hr_ = ReadFileTimes(*array, count, stamps_))) return nullptr;
    return stamps_.data();
}

VARIANT* RequestSteps::Variants(SAFEARRAY** array, LONG count) {
    if (Failed() || FAILED(hr_ = client_arrays::ReadVariants(*array, count, values_))) return nullptr;
    return AsVariantArray(values_.data());
}

UniqueSafeArray RequestSteps::CodeArray(LONG count) const {
    return client_arrays::MakeLongArray(reinterpret_cast<const LONG*>(codes_.get()), count);
}

HRESULT RequestSteps::HandOutCodes(HRESULT callResult, LONG count, SAFEARRAY** errors) {
    if (FAILED(callResult)) return callResult;
    if (!codes_) return E_FAIL;  // a historian that breaks its promise
    UniqueSafeArray codeArray = CodeArray(count);
    if (!codeArray) return E_FAIL;
    WriteBackTimes();
    const HRESULT hr = client_arrays::HandOutResults({{&codeArray, errors}}, callResult);
    if (asynchronous_ && SUCCEEDED(hr)) *cancelID_ = static_cast<LONG>(cancel_);
    return hr;
}

}  // namespace request
