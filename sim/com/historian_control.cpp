// IHdaSimControl on one simulated historian.
#include "historian_parts.h"

namespace hdasim {

HRESULT SimHistorianObject::FailMethod(LPCWSTR method, HRESULT hr) {
    if (!method) return E_POINTER;
    std::lock_guard<std::mutex> g(lock_);
    methodFaults_[method] = hr;
    return S_OK;
}

HRESULT SimHistorianObject::ClearFaults() {
    {
        std::lock_guard<std::mutex> g(lock_);
        methodFaults_.clear();
        refused_.clear();
    }
    model_.ClearFaults();
    scheduler_->SetDelay(0);
    scheduler_->Hold(false, false);
    return S_OK;
}

HRESULT SimHistorianObject::SetItemCode(LPCWSTR itemID, HRESULT hr) {
    if (!itemID) return E_POINTER;
    return model_.SetItemFault(itemID, hr) ? S_OK : E_INVALIDARG;
}

HRESULT SimHistorianObject::RefuseInterface(REFIID iid, BOOL refuse) {
    std::lock_guard<std::mutex> g(lock_);
    refused_.erase(std::remove(refused_.begin(), refused_.end(), iid), refused_.end());
    if (refuse) refused_.push_back(iid);
    return S_OK;
}

HRESULT SimHistorianObject::DelayCallbacks(DWORD ms) {
    scheduler_->SetDelay(ms);
    return S_OK;
}

HRESULT SimHistorianObject::HoldCallbacks(BOOL hold, BOOL reverse) {
    scheduler_->Hold(hold != FALSE, reverse != FALSE);
    return S_OK;
}

void SimHistorianObject::SendShutdownAndWait(const std::wstring& reason) {
    HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!done) return;
    auto sharedDone = std::shared_ptr<void>(done, CloseHandle);
    scheduler_->Post(0, Scheduler::kNow,
                     Guarded(this,
                             [this, reason, sharedDone](int64_t, int64_t*) {
                                 shutdownCp_.for_each([&](IUnknown* p) {
                                     static_cast<IOPCShutdown*>(p)->ShutdownRequest(reason.c_str());
                                 });
                                 SetEvent(sharedDone.get());
                                 return false;
                             }),
                     false);
    DWORD index;
    CoWaitForMultipleHandles(0, 10000, 1, &done, &index);
}

HRESULT SimHistorianObject::SendShutdown(LPCWSTR reason) {
    SendShutdownAndWait(reason ? reason : L"");
    return S_OK;
}

HRESULT SimHistorianObject::ClockSetSpeed(double speed) {
    SimClock::Instance().SetSpeed(speed);
    return S_OK;
}

HRESULT SimHistorianObject::ClockStep(hyper duration) {
    SimClock::Instance().Step(duration);
    return S_OK;
}

HRESULT SimHistorianObject::ClockSet(hyper utcFileTime) {
    SimClock::Instance().Set(utcFileTime);
    return S_OK;
}

HRESULT SimHistorianObject::ClockGet(hyper* utcFileTime) {
    if (!utcFileTime) return E_POINTER;
    *utcFileTime = SimClock::Instance().Now();
    return S_OK;
}

HRESULT SimHistorianObject::OutstandingTaskMemory(LONG* count) {
    if (!count) return E_POINTER;
    *count = TaskBlocksOutstanding();
    return S_OK;
}

HRESULT SimHistorianObject::OutstandingHandles(LONG* count) {
    if (!count) return E_POINTER;
    *count = static_cast<LONG>(model_.OutstandingHandles());
    return S_OK;
}

HRESULT SimHistorianObject::AdviseCount(LONG* dataCallbacks, LONG* shutdowns) {
    if (!dataCallbacks || !shutdowns) return E_POINTER;
    *dataCallbacks = dataCp_.count();
    *shutdowns = shutdownCp_.count();
    return S_OK;
}

HRESULT SimHistorianObject::PendingRequests(LONG* count) {
    if (!count) return E_POINTER;
    *count = scheduler_->Pending();
    return S_OK;
}

HRESULT SimHistorianObject::CallCount(LPCWSTR method, LONG* count) {
    if (!method || !count) return E_POINTER;
    std::wstring name = method;
    std::lock_guard<std::mutex> g(lock_);
    LONG n = 0;
    for (auto& [full, c] : calls_) {
        size_t sep = full.find(L"::");
        if (full == name || (sep != std::wstring::npos && full.compare(sep + 2, std::wstring::npos, name) == 0)) n += c;
    }
    *count = n;
    return S_OK;
}

HRESULT SimHistorianObject::ResetDefaults() { return S_OK; }

HRESULT SimHistorianObject::RecordedArgument(LPCWSTR method, LPCWSTR name, hyper* value) {
    if (!method || !name || !value) return E_POINTER;
    std::lock_guard<std::mutex> g(lock_);
    auto it = recorded_.find(std::wstring(method) + L"/" + name);
    if (it == recorded_.end()) return E_INVALIDARG;
    *value = it->second;
    return S_OK;
}

}  // namespace hdasim
