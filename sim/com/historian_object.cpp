// The simulated historian's lifetime, interface table and the helpers its
// interface groups share; each group lives in its own historian_*.cpp.
#include "historian_parts.h"

#include <olectl.h>

#include <algorithm>

namespace hdasim {
namespace {

// The model reads the simulator's process clock.
class ProcessClock final : public Clock {
public:
    Ticks now() const override { return SimClock::instance().now(); }
};

std::atomic<DWORD> g_next_cancel_id{1};

}  // namespace

// ---------------------------------------------------------------- lifetime

SimHistorianObject::SimHistorianObject()
    : model_(std::make_shared<ProcessClock>()),
      data_cp_(static_cast<IOPCHDA_Server*>(this), this, IID_IOPCHDA_DataCallback),
      shutdown_cp_(static_cast<IOPCHDA_Server*>(this), this, IID_IOPCShutdown),
      scheduler_(std::make_unique<Scheduler>()) {
    ProcessState& ps = process_state();
    std::lock_guard<std::mutex> g(ps.lock);
    method_faults_ = ps.defaults.method_faults;
    refused_ = ps.defaults.refused;
    for (auto& [id, hr] : ps.defaults.item_codes) model_.SetItemFault(id, hr);
    scheduler_->set_delay(ps.defaults.delay_ms);
    ps.live.push_back(this);
}

SimHistorianObject::~SimHistorianObject() {
    {
        ProcessState& ps = process_state();
        std::lock_guard<std::mutex> g(ps.lock);
        ps.live.erase(std::remove(ps.live.begin(), ps.live.end(), this), ps.live.end());
    }
    scheduler_.reset();  // before the sinks and the model go
}

HRESULT SimHistorianObject::Create(REFIID iid, void** out) {
    if (!g_is_local_server) install_malloc_spy();
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

bool SimHistorianObject::faulted(const wchar_t* iface, const wchar_t* method, HRESULT* hr) {
    std::wstring full = std::wstring(iface) + L"::" + method;
    std::lock_guard<std::mutex> g(lock_);
    ++calls_[full];
    auto it = method_faults_.find(full);
    if (it == method_faults_.end()) it = method_faults_.find(method);
    if (it == method_faults_.end()) return false;
    *hr = it->second;
    return true;
}

void SimHistorianObject::record(const wchar_t* iface, const wchar_t* method, std::initializer_list<Arg> args) {
    std::wstring prefix = std::wstring(iface) + L"::" + method + L"/";
    std::lock_guard<std::mutex> g(lock_);
    for (const Arg& a : args) recorded_[prefix + a.name] = a.value;
}

bool SimHistorianObject::client_of(OPCHANDLE server, OPCHANDLE* client) const {
    std::lock_guard<std::mutex> g(lock_);
    auto it = clients_.find(server);
    if (it == clients_.end()) return false;
    *client = it->second;
    return true;
}

HRESULT SimHistorianObject::resolve(OPCHDA_TIME* t, Ticks* out) const {
    TimeArg arg;
    arg.isString = t->bString != FALSE;
    if (arg.isString) arg.text = t->szTime ? t->szTime : L"";
    arg.ticks = ticks_of(t->ftTime);
    HRESULT hr = model_.ResolveTime(arg, out);
    if (FAILED(hr)) return hr;
    t->ftTime = i64_to_filetime(*out);
    return S_OK;
}

void SimHistorianObject::each_callback(const std::function<void(IOPCHDA_DataCallback*)>& fn) {
    data_cp_.for_each([&](IUnknown* p) { fn(static_cast<IOPCHDA_DataCallback*>(p)); });
}

HRESULT SimHistorianObject::start(DWORD n, const OPCHANDLE* ph, const DWORD* aggregates, DWORD* pdwCancelID,
                                  HRESULT** ppErrors, bool repeat, TaskWork work) {
    auto* errs = alloc_zeroed<HRESULT>(n);
    if (!errs) return E_OUTOFMEMORY;
    std::vector<Target> accepted;
    for (DWORD i = 0; i < n; ++i) {
        OPCHANDLE client = 0;
        errs[i] = client_of(ph[i], &client) ? S_OK : kOpcInvalidHandle;
        if (SUCCEEDED(errs[i])) accepted.push_back({i, ph[i], client, aggregates ? aggregates[i] : 0});
    }
    DWORD id = g_next_cancel_id++;
    *pdwCancelID = id;
    *ppErrors = errs;
    // Only accepted items are answered; with none there is nothing to send.
    if (!accepted.empty()) {
        scheduler_->post(id, Scheduler::kNow,
                         guarded(this, [work = std::move(work), accepted](
                                           int64_t now, int64_t* next) { return work(accepted, now, next); }),
                         true, !repeat);
    }
    return overall(errs, n);
}

void SimHistorianObject::send_items(ItemEvent event, DWORD tid, const std::vector<Target>& items,
                                    const ItemReader& read) {
    deliver<OPCHDA_ITEM>(
        static_cast<DWORD>(items.size()),
        [&](DWORD i, OPCHDA_ITEM& out) {
            ItemData d = read(items[i]);
            return fill_item(out, d, items[i].client, items[i].aggregate) ? d.hr : E_OUTOFMEMORY;
        },
        [&](DWORD n, OPCHDA_ITEM* answers, HRESULT* errs, HRESULT status) {
            std::vector<OPCHDA_ITEM*> pointers;  // OnPlayback takes an array of pointers
            for (DWORD i = 0; i < n; ++i) pointers.push_back(&answers[i]);
            each_callback([&](IOPCHDA_DataCallback* cb) {
                switch (event) {
                    case ItemEvent::ReadComplete: cb->OnReadComplete(tid, status, n, answers, errs); break;
                    case ItemEvent::DataChange: cb->OnDataChange(tid, status, n, answers, errs); break;
                    case ItemEvent::Playback: cb->OnPlayback(tid, status, n, pointers.data(), errs); break;
                }
            });
        });
}

void SimHistorianObject::send_update(DWORD tid, const std::vector<Target>& items, const std::vector<HRESULT>& codes,
                                     bool annotations) {
    std::vector<OPCHANDLE> clients;
    for (const Target& t : items) clients.push_back(t.client);
    std::vector<HRESULT> errs = codes;
    DWORD n = static_cast<DWORD>(clients.size());
    HRESULT status = overall(errs.data(), n);
    each_callback([&](IOPCHDA_DataCallback* cb) {
        if (annotations)
            cb->OnInsertAnnotations(tid, status, n, clients.data(), errs.data());
        else
            cb->OnUpdateComplete(tid, status, n, clients.data(), errs.data());
    });
}

HRESULT SimHistorianObject::cancel_request(const wchar_t* iface, DWORD cancel_id) {
    FAULT(iface, L"Cancel");
    record(iface, L"Cancel", {{L"cancelID", cancel_id}});
    if (!scheduler_->cancel(cancel_id)) return E_FAIL;
    scheduler_->post(0, Scheduler::kNow, guarded(this, [this, cancel_id](int64_t, int64_t*) {
                         each_callback([&](IOPCHDA_DataCallback* cb) { cb->OnCancelComplete(cancel_id); });
                         return false;
                     }));
    return S_OK;
}

}  // namespace hdasim
