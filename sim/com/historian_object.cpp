// The simulated historian's lifetime, interface table and the helpers its
// interface groups share; each group lives in its own historian_*.cpp.
#include "historian_parts.h"

#include <olectl.h>

#include <algorithm>

namespace hdasim {
namespace {

std::atomic<DWORD> g_nextCancelId{1};

}  // namespace

// ---------------------------------------------------------------- lifetime

SimHistorianObject::SimHistorianObject()
    : model_(SimClock::Instance()),
      dataCp_(static_cast<IOPCHDA_Server*>(this), this, IID_IOPCHDA_DataCallback),
      shutdownCp_(static_cast<IOPCHDA_Server*>(this), this, IID_IOPCShutdown),
      scheduler_(std::make_unique<Scheduler>()) {
    ProcessState& ps = SharedProcessState();
    std::lock_guard<std::mutex> g(ps.lock);
    methodFaults_ = ps.defaults.methodFaults;
    refused_ = ps.defaults.refused;
    for (auto& [id, hr] : ps.defaults.itemCodes) model_.SetItemFault(id, hr);
    scheduler_->SetDelay(ps.defaults.delayMs);
    ps.live.push_back(this);
}

SimHistorianObject::~SimHistorianObject() {
    {
        ProcessState& ps = SharedProcessState();
        std::lock_guard<std::mutex> g(ps.lock);
        ps.live.erase(std::remove(ps.live.begin(), ps.live.end(), this), ps.live.end());
    }
    scheduler_.reset();  // before the sinks and the model go
}

HRESULT SimHistorianObject::Create(REFIID iid, void** out) {
    if (!g_isLocalServer) InstallMallocSpy();
    return HandOut(MakeObject<SimHistorianObject>(), iid, out);
}

HRESULT SimHistorianObject::QueryInterface(REFIID iid, void** out) {
    if (!out) return E_POINTER;
    if (iid != IID_IUnknown && iid != IID_IHdaSimControl) {
        std::lock_guard<std::mutex> g(lock_);
        if (std::find(refused_.begin(), refused_.end(), iid) != refused_.end()) {
            *out = nullptr;
            return E_NOINTERFACE;
        }
    }
    return Implements::QueryInterface(iid, out);
}

bool SimHistorianObject::Faulted(const wchar_t* iface, const wchar_t* method, HRESULT* hr) {
    std::wstring full = std::wstring(iface) + L"::" + method;
    std::lock_guard<std::mutex> g(lock_);
    ++calls_[full];
    auto it = methodFaults_.find(full);
    if (it == methodFaults_.end()) it = methodFaults_.find(method);
    if (it == methodFaults_.end()) return false;
    *hr = it->second;
    return true;
}

void SimHistorianObject::Record(const wchar_t* iface, const wchar_t* method, std::initializer_list<Arg> args) {
    std::wstring prefix = std::wstring(iface) + L"::" + method + L"/";
    std::lock_guard<std::mutex> g(lock_);
    for (const Arg& a : args) recorded_[prefix + a.name] = a.value;
}

bool SimHistorianObject::ClientOf(OPCHANDLE server, OPCHANDLE* client) const {
    std::lock_guard<std::mutex> g(lock_);
    auto it = clients_.find(server);
    if (it == clients_.end()) return false;
    *client = it->second;
    return true;
}

HRESULT SimHistorianObject::Resolve(OPCHDA_TIME* t, Ticks* out) const {
    TimeArg arg;
    arg.isString = t->bString != FALSE;
    if (arg.isString) arg.text = t->szTime ? t->szTime : L"";
    arg.ticks = TicksOf(t->ftTime);
    HRESULT hr = model_.ResolveTime(arg, out);
    if (FAILED(hr)) return hr;
    t->ftTime = FileTimeOf(*out);
    return S_OK;
}

HRESULT SimHistorianObject::ResolveRange(const wchar_t* iface, const wchar_t* method, OPCHDA_TIME* start,
                                         OPCHDA_TIME* end, Ticks* s, Ticks* e) {
    if (FAILED(Resolve(start, s)) || FAILED(Resolve(end, e))) return E_INVALIDARG;
    Record(iface, method, {{L"start", *s}, {L"end", *e}});
    return S_OK;
}

void SimHistorianObject::EachCallback(const std::function<void(IOPCHDA_DataCallback*)>& fn) {
    dataCp_.for_each([&](IUnknown* p) { fn(static_cast<IOPCHDA_DataCallback*>(p)); });
}

HRESULT SimHistorianObject::Start(DWORD n, const OPCHANDLE* ph, const DWORD* aggregates, DWORD* pdwCancelID,
                                  HRESULT** ppErrors, bool repeat, TaskWork work) {
    auto errs = TrackedArray<HRESULT>(n);
    if (!errs) return E_OUTOFMEMORY;
    std::vector<Target> accepted;
    for (DWORD i = 0; i < n; ++i) {
        OPCHANDLE client = 0;
        errs[i] = ClientOf(ph[i], &client) ? S_OK : OPC_E_INVALIDHANDLE;
        if (SUCCEEDED(errs[i])) accepted.push_back({i, ph[i], client, aggregates ? aggregates[i] : 0});
    }
    DWORD id = g_nextCancelId++;
    *pdwCancelID = id;
    *ppErrors = errs.detach();
    // Only accepted items are answered; with none there is nothing to send.
    if (!accepted.empty()) {
        scheduler_->Post(id, Scheduler::kNow,
                         Guarded(this, [work = std::move(work), accepted](
                                           int64_t now, int64_t* next) { return work(accepted, now, next); }),
                         true, !repeat);
    }
    return Overall(*ppErrors, n);
}

void SimHistorianObject::SendItems(ItemEvent event, DWORD tid, const std::vector<Target>& items,
                                   const ItemReader& read) {
    Deliver<OPCHDA_ITEM>(
        static_cast<DWORD>(items.size()),
        [&](DWORD i, OPCHDA_ITEM& out) {
            ItemData d = read(items[i]);
            return FillItem(out, d, items[i].client, items[i].aggregate) ? d.hr : E_OUTOFMEMORY;
        },
        [&](DWORD n, OPCHDA_ITEM* answers, HRESULT* errs, HRESULT status) {
            std::vector<OPCHDA_ITEM*> pointers;  // OnPlayback takes an array of pointers
            for (DWORD i = 0; i < n; ++i) pointers.push_back(&answers[i]);
            EachCallback([&](IOPCHDA_DataCallback* cb) {
                switch (event) {
                    case ItemEvent::ReadComplete: cb->OnReadComplete(tid, status, n, answers, errs); break;
                    case ItemEvent::DataChange: cb->OnDataChange(tid, status, n, answers, errs); break;
                    case ItemEvent::Playback: cb->OnPlayback(tid, status, n, pointers.data(), errs); break;
                }
            });
        });
}

void SimHistorianObject::SendUpdate(DWORD tid, const std::vector<Target>& items, const std::vector<HRESULT>& codes,
                                    bool annotations) {
    std::vector<OPCHANDLE> clients;
    for (const Target& t : items) clients.push_back(t.client);
    std::vector<HRESULT> errs = codes;
    DWORD n = static_cast<DWORD>(clients.size());
    HRESULT status = Overall(errs.data(), n);
    EachCallback([&](IOPCHDA_DataCallback* cb) {
        if (annotations)
            cb->OnInsertAnnotations(tid, status, n, clients.data(), errs.data());
        else
            cb->OnUpdateComplete(tid, status, n, clients.data(), errs.data());
    });
}

HRESULT SimHistorianObject::CancelRequest(const wchar_t* iface, DWORD cancelId) {
    FAULT(iface, L"Cancel");
    Record(iface, L"Cancel", {{L"cancelID", cancelId}});
    if (!scheduler_->Cancel(cancelId)) return E_FAIL;
    scheduler_->Post(0, Scheduler::kNow, Guarded(this, [this, cancelId](int64_t, int64_t*) {
                         EachCallback([&](IOPCHDA_DataCallback* cb) { cb->OnCancelComplete(cancelId); });
                         return false;
                     }));
    return S_OK;
}

}  // namespace hdasim
