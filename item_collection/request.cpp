#include "item_collection/request.h"

#include "server/COPCHDAAutoServer.h"
#include "time/time_conversion.h"

namespace request {

HRESULT CheckArguments(const Checks& checks) {
    for (const void* pointer : checks.pointers)
        if (!pointer) return E_POINTER;
    for (LONG count : checks.counts)
        if (count < 1) return E_INVALIDARG;
    // Outputs are null from here on, whatever the member's outcome.
    for (SAFEARRAY** out : checks.outputs) *out = nullptr;
    for (const ArrayRule& rule : checks.arrays) {
        HRESULT hr = client_arrays::CheckClientArray(*rule.array, rule.count, rule.vt);
        if (FAILED(hr)) return hr;
    }
    return S_OK;
}

HRESULT ReadFileTimes(SAFEARRAY* array, LONG count, std::vector<FILETIME>& times) {
    std::vector<DATE> dates = client_arrays::ReadDates(array, count);
    times.assign(dates.size(), FILETIME{});
    const CallZone zone;
    for (size_t i = 0; i < dates.size(); ++i)
        if (!zone.ToFileTime(dates[i], &times[i])) return E_FAIL;
    return S_OK;
}

HRESULT ValueColumns::Read(SAFEARRAY** handleArray, SAFEARRAY** stampArray, SAFEARRAY** valueArray,
                           SAFEARRAY** qualityArray, LONG count) {
    handles = client_arrays::ReadLongs(*handleArray, count);
    HRESULT hr = ReadFileTimes(*stampArray, count, stamps);
    if (FAILED(hr)) return hr;
    hr = client_arrays::ReadVariants(*valueArray, count, values);
    if (FAILED(hr)) return hr;
    qualities = client_arrays::ReadLongs(*qualityArray, count);
    return S_OK;
}

HRESULT TimeDomain::Convert() {
    HRESULT hr = server_->TimeArgToHdaTime(start_, times_.Start(), zone_);
    if (FAILED(hr) || !end_) return hr;
    return server_->TimeArgToHdaTime(end_, times_.End(), zone_);
}

HRESULT FinishUpdate(HRESULT callResult, LONG count, const TaskArray<HRESULT>& codes, TimeDomain* times,
                     SAFEARRAY** errors) {
    if (FAILED(callResult)) return callResult;
    if (!codes) return E_FAIL;  // a historian that breaks its promise
    UniqueSafeArray codeArray = client_arrays::MakeLongArray(reinterpret_cast<const LONG*>(codes.get()), count);
    if (!codeArray) return E_FAIL;
    if (times) times->WriteBack();
    return client_arrays::HandOutResults({{&codeArray, errors}}, callResult);
}

HRESULT AsyncAnswer::Finish(HRESULT callResult, LONG count, TimeDomain* times, SAFEARRAY** errors, LONG* CancelID) {
    HRESULT hr = FinishUpdate(callResult, count, codes, times, errors);
    if (SUCCEEDED(hr)) *CancelID = static_cast<LONG>(cancel);
    return hr;
}

}  // namespace request
