#include "historian_object.h"

#include "answers.h"
#include "browser_object.h"
#include "sim_clock.h"
#include "task_memory.h"

#include <olectl.h>

#include <algorithm>
#include <cstring>

namespace hdasim {
namespace {

// The model reads the simulator's process clock.
class ProcessClock final : public Clock {
public:
    Ticks now() const override { return SimClock::instance().now(); }
};

constexpr const wchar_t* kServer = L"IOPCHDA_Server";
constexpr const wchar_t* kSyncRead = L"IOPCHDA_SyncRead";
constexpr const wchar_t* kSyncUpdate = L"IOPCHDA_SyncUpdate";
constexpr const wchar_t* kSyncAnnotations = L"IOPCHDA_SyncAnnotations";
constexpr const wchar_t* kAsyncRead = L"IOPCHDA_AsyncRead";
constexpr const wchar_t* kAsyncUpdate = L"IOPCHDA_AsyncUpdate";
constexpr const wchar_t* kAsyncAnnotations = L"IOPCHDA_AsyncAnnotations";
constexpr const wchar_t* kPlayback = L"IOPCHDA_Playback";
constexpr const wchar_t* kCommon = L"IOPCCommon";

std::atomic<DWORD> g_next_cancel_id{1};

Ticks ticks_of(const FILETIME& ft) { return filetime_to_i64(ft); }

template <class T>
T* alloc_zeroed(DWORD n) {
    T* p = sim_alloc_array<T>(n ? n : 1);
    if (p) std::memset(static_cast<void*>(p), 0, (n ? n : 1) * sizeof(T));
    return p;
}

HRESULT overall(const HRESULT* errs, DWORD n) {
    for (DWORD i = 0; i < n; ++i)
        if (FAILED(errs[i])) return S_FALSE;
    return S_OK;
}

enum UpdateKind { kInsert, kReplace, kInsertReplace };

}  // namespace

#define FAULT(iface, method)                                   \
    do {                                                       \
        HRESULT fault_hr_;                                     \
        if (faulted(iface, method, &fault_hr_)) return fault_hr_; \
    } while (0)

// ---------------------------------------------------------------- lifetime

SimHistorianObject::SimHistorianObject()
    : model_(std::make_shared<ProcessClock>()),
      data_cp_(static_cast<IOPCHDA_Server*>(this), this, IID_IOPCHDA_DataCallback),
      shutdown_cp_(static_cast<IOPCHDA_Server*>(this), this, IID_IOPCShutdown),
      scheduler_(std::make_unique<Scheduler>()) {
    module_add_ref();
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
    module_release();
}

HRESULT SimHistorianObject::Create(REFIID iid, void** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (!g_is_local_server) install_malloc_spy();
    auto* obj = new (std::nothrow) SimHistorianObject();
    if (!obj) return E_OUTOFMEMORY;
    obj->AddRef();
    HRESULT hr = obj->QueryInterface(iid, out);
    obj->Release();
    return hr;
}

HRESULT SimHistorianObject::QueryInterface(REFIID iid, void** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (iid == IID_IHdaSimControl) {
        *out = static_cast<IHdaSimControl*>(this);
    } else {
        {
            std::lock_guard<std::mutex> g(lock_);
            if (iid != IID_IUnknown && std::find(refused_.begin(), refused_.end(), iid) != refused_.end())
                return E_NOINTERFACE;
        }
        if (iid == IID_IUnknown || iid == IID_IOPCHDA_Server) *out = static_cast<IOPCHDA_Server*>(this);
        else if (iid == IID_IOPCHDA_SyncRead) *out = static_cast<IOPCHDA_SyncRead*>(this);
        else if (iid == IID_IOPCHDA_SyncUpdate) *out = static_cast<IOPCHDA_SyncUpdate*>(this);
        else if (iid == IID_IOPCHDA_SyncAnnotations) *out = static_cast<IOPCHDA_SyncAnnotations*>(this);
        else if (iid == IID_IOPCHDA_AsyncRead) *out = static_cast<IOPCHDA_AsyncRead*>(this);
        else if (iid == IID_IOPCHDA_AsyncUpdate) *out = static_cast<IOPCHDA_AsyncUpdate*>(this);
        else if (iid == IID_IOPCHDA_AsyncAnnotations) *out = static_cast<IOPCHDA_AsyncAnnotations*>(this);
        else if (iid == IID_IOPCHDA_Playback) *out = static_cast<IOPCHDA_Playback*>(this);
        else if (iid == IID_IOPCCommon) *out = static_cast<IOPCCommon*>(this);
        else if (iid == IID_IConnectionPointContainer) *out = static_cast<IConnectionPointContainer*>(this);
        else return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
}

ULONG SimHistorianObject::AddRef() { return static_cast<ULONG>(++refs_); }

ULONG SimHistorianObject::Release() {
    LONG n = --refs_;
    if (n == 0) delete this;
    return static_cast<ULONG>(n);
}

bool SimHistorianObject::TryAddRef() {
    LONG n = refs_.load();
    while (n > 0) {
        if (refs_.compare_exchange_weak(n, n + 1)) return true;
    }
    return false;
}

// ---------------------------------------------------------------- helpers

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

// Common preamble of the asynchronous requests: the cancel ID and one code per
// item; only items with valid handles are answered in the callback.
HRESULT SimHistorianObject::accept(DWORD n, const OPCHANDLE* ph, DWORD* pdwCancelID, HRESULT** ppErrors,
                                   std::vector<Target>* valid, DWORD* cancel_id) {
    auto* errs = alloc_zeroed<HRESULT>(n);
    if (!errs) return E_OUTOFMEMORY;
    for (DWORD i = 0; i < n; ++i) {
        OPCHANDLE client = 0;
        if (client_of(ph[i], &client)) {
            valid->push_back({i, ph[i], client});
            errs[i] = S_OK;
        } else {
            errs[i] = kOpcInvalidHandle;
        }
    }
    *cancel_id = g_next_cancel_id++;
    *pdwCancelID = *cancel_id;
    *ppErrors = errs;
    return overall(errs, n);
}

#define CHECK_OUT2(a, b)              \
    do {                              \
        if (!(a) || !(b)) return E_POINTER; \
        *(a) = nullptr;               \
        *(b) = nullptr;               \
    } while (0)

// ---------------------------------------------------------------- IOPCHDA_Server

HRESULT SimHistorianObject::GetItemAttributes(DWORD* pdwCount, DWORD** ppdwAttrID, LPWSTR** ppszAttrName,
                                              LPWSTR** ppszAttrDesc, VARTYPE** ppvtAttrDataType) {
    FAULT(kServer, L"GetItemAttributes");
    if (!pdwCount || !ppdwAttrID || !ppszAttrName || !ppszAttrDesc || !ppvtAttrDataType) return E_POINTER;
    auto attrs = model_.GetItemAttributes();
    DWORD n = static_cast<DWORD>(attrs.size());
    auto* ids = alloc_zeroed<DWORD>(n);
    auto* names = alloc_zeroed<LPWSTR>(n);
    auto* descs = alloc_zeroed<LPWSTR>(n);
    auto* types = alloc_zeroed<VARTYPE>(n);
    for (DWORD i = 0; i < n && ids && names && descs && types; ++i) {
        ids[i] = attrs[i].id;
        names[i] = sim_strdup(attrs[i].name);
        descs[i] = sim_strdup(attrs[i].description);
        types[i] = attrs[i].dataType;
    }
    *pdwCount = n;
    *ppdwAttrID = ids;
    *ppszAttrName = names;
    *ppszAttrDesc = descs;
    *ppvtAttrDataType = types;
    return S_OK;
}

HRESULT SimHistorianObject::GetAggregates(DWORD* pdwCount, DWORD** ppdwAggrID, LPWSTR** ppszAggrName,
                                          LPWSTR** ppszAggrDesc) {
    FAULT(kServer, L"GetAggregates");
    if (!pdwCount || !ppdwAggrID || !ppszAggrName || !ppszAggrDesc) return E_POINTER;
    auto aggs = model_.GetAggregates();
    DWORD n = static_cast<DWORD>(aggs.size());
    auto* ids = alloc_zeroed<DWORD>(n);
    auto* names = alloc_zeroed<LPWSTR>(n);
    auto* descs = alloc_zeroed<LPWSTR>(n);
    for (DWORD i = 0; i < n && ids && names && descs; ++i) {
        ids[i] = aggs[i].id;
        names[i] = sim_strdup(aggs[i].name);
        descs[i] = sim_strdup(aggs[i].description);
    }
    *pdwCount = n;
    *ppdwAggrID = ids;
    *ppszAggrName = names;
    *ppszAggrDesc = descs;
    return S_OK;
}

HRESULT SimHistorianObject::GetHistorianStatus(OPCHDA_SERVERSTATUS* pwStatus, FILETIME** pftCurrentTime,
                                               FILETIME** pftStartTime, WORD* pwMajorVersion, WORD* pwMinorVersion,
                                               WORD* pwBuildNumber, DWORD* pdwMaxReturnValues,
                                               LPWSTR* ppszStatusString, LPWSTR* ppszVendorInfo) {
    FAULT(kServer, L"GetHistorianStatus");
    if (!pwStatus || !pftCurrentTime || !pftStartTime || !pwMajorVersion || !pwMinorVersion || !pwBuildNumber ||
        !pdwMaxReturnValues || !ppszStatusString || !ppszVendorInfo)
        return E_POINTER;
    HistorianStatus st = model_.GetStatus();
    *pwStatus = static_cast<OPCHDA_SERVERSTATUS>(st.status);
    *pftCurrentTime = alloc_zeroed<FILETIME>(1);
    *pftStartTime = alloc_zeroed<FILETIME>(1);
    if (*pftCurrentTime) **pftCurrentTime = i64_to_filetime(st.currentTime);
    if (*pftStartTime) **pftStartTime = i64_to_filetime(st.startTime);
    *pwMajorVersion = st.majorVersion;
    *pwMinorVersion = st.minorVersion;
    *pwBuildNumber = st.buildNumber;
    *pdwMaxReturnValues = st.maxReturnValues;
    *ppszStatusString = sim_strdup(st.statusString);
    *ppszVendorInfo = sim_strdup(st.vendorInfo);
    return S_OK;
}

HRESULT SimHistorianObject::GetItemHandles(DWORD dwCount, LPWSTR* pszItemID, OPCHANDLE* phClient,
                                           OPCHANDLE** pphServer, HRESULT** ppErrors) {
    FAULT(kServer, L"GetItemHandles");
    CHECK_OUT2(pphServer, ppErrors);
    if (dwCount == 0 || !pszItemID || !phClient) return E_INVALIDARG;
    auto* handles = alloc_zeroed<OPCHANDLE>(dwCount);
    auto* errs = alloc_zeroed<HRESULT>(dwCount);
    if (!handles || !errs) {
        sim_free(handles);
        sim_free(errs);
        return E_OUTOFMEMORY;
    }
    for (DWORD i = 0; i < dwCount; ++i) {
        Handle h = 0;
        errs[i] = model_.GetItemHandle(pszItemID[i] ? pszItemID[i] : L"", &h);
        handles[i] = SUCCEEDED(errs[i]) ? h : 0;
        if (SUCCEEDED(errs[i])) {
            std::lock_guard<std::mutex> g(lock_);
            clients_[h] = phClient[i];
        }
    }
    *pphServer = handles;
    *ppErrors = errs;
    return overall(errs, dwCount);
}

HRESULT SimHistorianObject::ReleaseItemHandles(DWORD dwCount, OPCHANDLE* phServer, HRESULT** ppErrors) {
    FAULT(kServer, L"ReleaseItemHandles");
    if (!ppErrors) return E_POINTER;
    *ppErrors = nullptr;
    if (dwCount == 0 || !phServer) return E_INVALIDARG;
    auto* errs = alloc_zeroed<HRESULT>(dwCount);
    if (!errs) return E_OUTOFMEMORY;
    for (DWORD i = 0; i < dwCount; ++i) {
        errs[i] = model_.ReleaseItemHandle(phServer[i]);
        if (SUCCEEDED(errs[i])) {
            std::lock_guard<std::mutex> g(lock_);
            clients_.erase(phServer[i]);
        }
    }
    *ppErrors = errs;
    return overall(errs, dwCount);
}

HRESULT SimHistorianObject::ValidateItemIDs(DWORD dwCount, LPWSTR* pszItemID, HRESULT** ppErrors) {
    FAULT(kServer, L"ValidateItemIDs");
    if (!ppErrors) return E_POINTER;
    *ppErrors = nullptr;
    if (dwCount == 0 || !pszItemID) return E_INVALIDARG;
    auto* errs = alloc_zeroed<HRESULT>(dwCount);
    if (!errs) return E_OUTOFMEMORY;
    for (DWORD i = 0; i < dwCount; ++i) errs[i] = model_.ValidateItemId(pszItemID[i] ? pszItemID[i] : L"");
    *ppErrors = errs;
    return overall(errs, dwCount);
}

HRESULT SimHistorianObject::CreateBrowse(DWORD dwCount, DWORD* pdwAttrID, OPCHDA_OPERATORCODES* pOperator,
                                         VARIANT* vFilter, IOPCHDA_Browser** pphBrowser, HRESULT** ppErrors) {
    FAULT(kServer, L"CreateBrowse");
    if (!pphBrowser || !ppErrors) return E_POINTER;
    *pphBrowser = nullptr;
    *ppErrors = nullptr;
    if (dwCount > 0 && (!pdwAttrID || !pOperator || !vFilter)) return E_INVALIDARG;
    std::vector<BrowseFilter> filters(dwCount);
    for (DWORD i = 0; i < dwCount; ++i) {
        filters[i].attributeId = pdwAttrID[i];
        filters[i].op = pOperator[i];
        filters[i].value = Variant(vFilter[i]);
    }
    std::unique_ptr<Browser> browser;
    std::vector<HRESULT> codes;
    HRESULT hr = model_.CreateBrowser(filters, &browser, &codes);
    if (FAILED(hr)) return hr;
    auto* errs = alloc_zeroed<HRESULT>(dwCount);
    if (!errs) return E_OUTOFMEMORY;
    for (DWORD i = 0; i < dwCount; ++i) errs[i] = i < codes.size() ? codes[i] : S_OK;
    hr = SimBrowserObject::Create(std::move(browser), pphBrowser);
    if (FAILED(hr)) {
        sim_free(errs);
        return hr;
    }
    *ppErrors = errs;
    return dwCount ? overall(errs, dwCount) : S_OK;
}

// ---------------------------------------------------------------- IOPCHDA_SyncRead

namespace {
// Runs one synchronous per-item read: allocates the answer arrays, fills item
// i through fn(i, client), marks unknown handles.
template <class T, class Fill>
HRESULT per_item(DWORD n, const OPCHANDLE* ph, T** out, HRESULT** errors,
                 const std::function<bool(OPCHANDLE, OPCHANDLE*)>& client_of, Fill fill) {
    auto* items = alloc_zeroed<T>(n);
    auto* errs = alloc_zeroed<HRESULT>(n);
    if (!items || !errs) {
        sim_free(items);
        sim_free(errs);
        return E_OUTOFMEMORY;
    }
    for (DWORD i = 0; i < n; ++i) {
        OPCHANDLE client = 0;
        if (!client_of(ph[i], &client)) {
            errs[i] = kOpcInvalidHandle;
            continue;
        }
        errs[i] = fill(i, ph[i], client, items[i]);
    }
    *out = items;
    *errors = errs;
    return overall(errs, n);
}
}  // namespace

#define CLIENT_OF [this](OPCHANDLE s, OPCHANDLE* c) { return client_of(s, c); }

HRESULT SimHistorianObject::ReadRaw(OPCHDA_TIME* htStartTime, OPCHDA_TIME* htEndTime, DWORD dwNumValues,
                                    BOOL bBounds, DWORD dwNumItems, OPCHANDLE* phServer,
                                    OPCHDA_ITEM** ppItemValues, HRESULT** ppErrors) {
    FAULT(kSyncRead, L"ReadRaw");
    CHECK_OUT2(ppItemValues, ppErrors);
    if (!htStartTime || !htEndTime || dwNumItems == 0 || !phServer) return E_INVALIDARG;
    Ticks s, e;
    if (FAILED(resolve(htStartTime, &s)) || FAILED(resolve(htEndTime, &e))) return E_INVALIDARG;
    return per_item(dwNumItems, phServer, ppItemValues, ppErrors, CLIENT_OF,
                    [&](DWORD i, Handle h, OPCHANDLE c, OPCHDA_ITEM& out) {
                        (void)i;
                        ItemData d = model_.ReadRaw(s, e, dwNumValues, bBounds != FALSE, h);
                        return fill_item(out, d, c, 0) ? d.hr : E_OUTOFMEMORY;
                    });
}

HRESULT SimHistorianObject::ReadProcessed(OPCHDA_TIME* htStartTime, OPCHDA_TIME* htEndTime,
                                          FILETIME ftResampleInterval, DWORD dwNumItems, OPCHANDLE* phServer,
                                          DWORD* haAggregate, OPCHDA_ITEM** ppItemValues, HRESULT** ppErrors) {
    FAULT(kSyncRead, L"ReadProcessed");
    CHECK_OUT2(ppItemValues, ppErrors);
    if (!htStartTime || !htEndTime || dwNumItems == 0 || !phServer || !haAggregate) return E_INVALIDARG;
    Ticks s, e;
    if (FAILED(resolve(htStartTime, &s)) || FAILED(resolve(htEndTime, &e))) return E_INVALIDARG;
    Ticks interval = ticks_of(ftResampleInterval);
    return per_item(dwNumItems, phServer, ppItemValues, ppErrors, CLIENT_OF,
                    [&](DWORD i, Handle h, OPCHANDLE c, OPCHDA_ITEM& out) {
                        DWORD agg = haAggregate[i];
                        ItemData d = model_.ReadProcessed(s, e, interval, agg, h);
                        return fill_item(out, d, c, agg) ? d.hr : E_OUTOFMEMORY;
                    });
}

HRESULT SimHistorianObject::ReadAtTime(DWORD dwNumTimeStamps, FILETIME* ftTimeStamps, DWORD dwNumItems,
                                       OPCHANDLE* phServer, OPCHDA_ITEM** ppItemValues, HRESULT** ppErrors) {
    FAULT(kSyncRead, L"ReadAtTime");
    CHECK_OUT2(ppItemValues, ppErrors);
    if (dwNumTimeStamps == 0 || !ftTimeStamps || dwNumItems == 0 || !phServer) return E_INVALIDARG;
    std::vector<Ticks> times;
    for (DWORD t = 0; t < dwNumTimeStamps; ++t) times.push_back(ticks_of(ftTimeStamps[t]));
    return per_item(dwNumItems, phServer, ppItemValues, ppErrors, CLIENT_OF,
                    [&](DWORD, Handle h, OPCHANDLE c, OPCHDA_ITEM& out) {
                        ItemData d = model_.ReadAtTime(times, h);
                        return fill_item(out, d, c, 0) ? d.hr : E_OUTOFMEMORY;
                    });
}

HRESULT SimHistorianObject::ReadModified(OPCHDA_TIME* htStartTime, OPCHDA_TIME* htEndTime, DWORD dwNumValues,
                                         DWORD dwNumItems, OPCHANDLE* phServer, OPCHDA_MODIFIEDITEM** ppItemValues,
                                         HRESULT** ppErrors) {
    FAULT(kSyncRead, L"ReadModified");
    CHECK_OUT2(ppItemValues, ppErrors);
    if (!htStartTime || !htEndTime || dwNumItems == 0 || !phServer) return E_INVALIDARG;
    Ticks s, e;
    if (FAILED(resolve(htStartTime, &s)) || FAILED(resolve(htEndTime, &e))) return E_INVALIDARG;
    return per_item(dwNumItems, phServer, ppItemValues, ppErrors, CLIENT_OF,
                    [&](DWORD, Handle h, OPCHANDLE c, OPCHDA_MODIFIEDITEM& out) {
                        ModifiedData d = model_.ReadModified(s, e, dwNumValues, h);
                        return fill_modified(out, d, c) ? d.hr : E_OUTOFMEMORY;
                    });
}

HRESULT SimHistorianObject::ReadAttribute(OPCHDA_TIME* htStartTime, OPCHDA_TIME* htEndTime, OPCHANDLE hServer,
                                          DWORD dwNumAttributes, DWORD* pdwAttributeIDs,
                                          OPCHDA_ATTRIBUTE** ppAttributeValues, HRESULT** ppErrors) {
    FAULT(kSyncRead, L"ReadAttribute");
    CHECK_OUT2(ppAttributeValues, ppErrors);
    if (!htStartTime || !htEndTime || dwNumAttributes == 0 || !pdwAttributeIDs) return E_INVALIDARG;
    OPCHANDLE client = 0;
    if (!client_of(hServer, &client)) return kOpcInvalidHandle;
    Ticks s, e;
    if (FAILED(resolve(htStartTime, &s)) || FAILED(resolve(htEndTime, &e))) return E_INVALIDARG;
    std::vector<std::uint32_t> ids(pdwAttributeIDs, pdwAttributeIDs + dwNumAttributes);
    auto data = model_.ReadAttribute(s, e, hServer, ids);
    auto* items = alloc_zeroed<OPCHDA_ATTRIBUTE>(dwNumAttributes);
    auto* errs = alloc_zeroed<HRESULT>(dwNumAttributes);
    if (!items || !errs) {
        sim_free(items);
        sim_free(errs);
        return E_OUTOFMEMORY;
    }
    for (DWORD i = 0; i < dwNumAttributes; ++i) {
        AttributeData d = i < data.size() ? data[i] : AttributeData{kHdaInvalidAttrId, ids[i], {}, {}};
        errs[i] = fill_attribute(items[i], d, client) ? d.hr : E_OUTOFMEMORY;
        items[i].dwAttributeID = ids[i];
    }
    *ppAttributeValues = items;
    *ppErrors = errs;
    return overall(errs, dwNumAttributes);
}

// ---------------------------------------------------------------- IOPCHDA_SyncUpdate

HRESULT SimHistorianObject::QueryCapabilities(OPCHDA_UPDATECAPABILITIES* pCapabilities) {
    FAULT(kSyncUpdate, L"QueryCapabilities");
    if (!pCapabilities) return E_POINTER;
    *pCapabilities = static_cast<OPCHDA_UPDATECAPABILITIES>(model_.UpdateCapabilities());
    return S_OK;
}

HRESULT SimHistorianObject::sync_update(int kind, DWORD n, OPCHANDLE* ph, FILETIME* ft, VARIANT* v, DWORD* q,
                                        HRESULT** ppErrors) {
    if (!ppErrors) return E_POINTER;
    *ppErrors = nullptr;
    if (n == 0 || !ph || !ft || !v || !q) return E_INVALIDARG;
    auto* errs = alloc_zeroed<HRESULT>(n);
    if (!errs) return E_OUTOFMEMORY;
    for (DWORD i = 0; i < n; ++i) {
        OPCHANDLE c;
        if (!client_of(ph[i], &c)) {
            errs[i] = kOpcInvalidHandle;
            continue;
        }
        Ticks t = ticks_of(ft[i]);
        errs[i] = kind == kInsert    ? model_.Insert(ph[i], t, v[i], q[i])
                  : kind == kReplace ? model_.Replace(ph[i], t, v[i], q[i])
                                     : model_.InsertReplace(ph[i], t, v[i], q[i]);
    }
    *ppErrors = errs;
    return overall(errs, n);
}

HRESULT SimHistorianObject::Insert(DWORD n, OPCHANDLE* ph, FILETIME* ft, VARIANT* v, DWORD* q, HRESULT** e) {
    FAULT(kSyncUpdate, L"Insert");
    return sync_update(kInsert, n, ph, ft, v, q, e);
}

HRESULT SimHistorianObject::Replace(DWORD n, OPCHANDLE* ph, FILETIME* ft, VARIANT* v, DWORD* q, HRESULT** e) {
    FAULT(kSyncUpdate, L"Replace");
    return sync_update(kReplace, n, ph, ft, v, q, e);
}

HRESULT SimHistorianObject::InsertReplace(DWORD n, OPCHANDLE* ph, FILETIME* ft, VARIANT* v, DWORD* q,
                                          HRESULT** e) {
    FAULT(kSyncUpdate, L"InsertReplace");
    return sync_update(kInsertReplace, n, ph, ft, v, q, e);
}

HRESULT SimHistorianObject::DeleteRaw(OPCHDA_TIME* htStartTime, OPCHDA_TIME* htEndTime, DWORD dwNumItems,
                                      OPCHANDLE* phServer, HRESULT** ppErrors) {
    FAULT(kSyncUpdate, L"DeleteRaw");
    if (!ppErrors) return E_POINTER;
    *ppErrors = nullptr;
    if (!htStartTime || !htEndTime || dwNumItems == 0 || !phServer) return E_INVALIDARG;
    Ticks s, e;
    if (FAILED(resolve(htStartTime, &s)) || FAILED(resolve(htEndTime, &e))) return E_INVALIDARG;
    auto* errs = alloc_zeroed<HRESULT>(dwNumItems);
    if (!errs) return E_OUTOFMEMORY;
    for (DWORD i = 0; i < dwNumItems; ++i) {
        OPCHANDLE c;
        errs[i] = client_of(phServer[i], &c) ? model_.DeleteRaw(s, e, phServer[i]) : kOpcInvalidHandle;
    }
    *ppErrors = errs;
    return overall(errs, dwNumItems);
}

HRESULT SimHistorianObject::DeleteAtTime(DWORD dwNumItems, OPCHANDLE* phServer, FILETIME* ftTimeStamps,
                                         HRESULT** ppErrors) {
    FAULT(kSyncUpdate, L"DeleteAtTime");
    if (!ppErrors) return E_POINTER;
    *ppErrors = nullptr;
    if (dwNumItems == 0 || !phServer || !ftTimeStamps) return E_INVALIDARG;
    auto* errs = alloc_zeroed<HRESULT>(dwNumItems);
    if (!errs) return E_OUTOFMEMORY;
    for (DWORD i = 0; i < dwNumItems; ++i) {
        OPCHANDLE c;
        errs[i] = client_of(phServer[i], &c) ? model_.DeleteAtTime(phServer[i], ticks_of(ftTimeStamps[i]))
                                             : kOpcInvalidHandle;
    }
    *ppErrors = errs;
    return overall(errs, dwNumItems);
}

// ---------------------------------------------------------------- IOPCHDA_SyncAnnotations

HRESULT SimHistorianObject::QueryCapabilities(OPCHDA_ANNOTATIONCAPABILITIES* pCapabilities) {
    FAULT(kSyncAnnotations, L"QueryCapabilities");
    if (!pCapabilities) return E_POINTER;
    *pCapabilities = static_cast<OPCHDA_ANNOTATIONCAPABILITIES>(model_.AnnotationCapabilities());
    return S_OK;
}

HRESULT SimHistorianObject::Read(OPCHDA_TIME* htStartTime, OPCHDA_TIME* htEndTime, DWORD dwNumItems,
                                 OPCHANDLE* phServer, OPCHDA_ANNOTATION** ppAnnotationValues, HRESULT** ppErrors) {
    FAULT(kSyncAnnotations, L"Read");
    CHECK_OUT2(ppAnnotationValues, ppErrors);
    if (!htStartTime || !htEndTime || dwNumItems == 0 || !phServer) return E_INVALIDARG;
    Ticks s, e;
    if (FAILED(resolve(htStartTime, &s)) || FAILED(resolve(htEndTime, &e))) return E_INVALIDARG;
    return per_item(dwNumItems, phServer, ppAnnotationValues, ppErrors, CLIENT_OF,
                    [&](DWORD, Handle h, OPCHANDLE c, OPCHDA_ANNOTATION& out) {
                        AnnotationData d = model_.ReadAnnotations(s, e, h);
                        return fill_annotation(out, d, c) ? d.hr : E_OUTOFMEMORY;
                    });
}

namespace {
std::vector<Annotation> annotations_of(const FILETIME& stamp, const OPCHDA_ANNOTATION& a) {
    std::vector<Annotation> out;
    for (DWORD k = 0; k < a.dwNumValues; ++k) {
        Annotation x;
        x.time = ticks_of(stamp);
        x.text = a.szAnnotation && a.szAnnotation[k] ? a.szAnnotation[k] : L"";
        x.annotationTime = a.ftAnnotationTime ? ticks_of(a.ftAnnotationTime[k]) : 0;
        x.user = a.szUser && a.szUser[k] ? a.szUser[k] : L"";
        out.push_back(std::move(x));
    }
    return out;
}
}  // namespace

HRESULT SimHistorianObject::Insert(DWORD dwNumItems, OPCHANDLE* phServer, FILETIME* ftTimeStamps,
                                   OPCHDA_ANNOTATION* pAnnotationValues, HRESULT** ppErrors) {
    FAULT(kSyncAnnotations, L"Insert");
    if (!ppErrors) return E_POINTER;
    *ppErrors = nullptr;
    if (dwNumItems == 0 || !phServer || !ftTimeStamps || !pAnnotationValues) return E_INVALIDARG;
    auto* errs = alloc_zeroed<HRESULT>(dwNumItems);
    if (!errs) return E_OUTOFMEMORY;
    for (DWORD i = 0; i < dwNumItems; ++i) {
        OPCHANDLE c;
        if (!client_of(phServer[i], &c)) {
            errs[i] = kOpcInvalidHandle;
            continue;
        }
        errs[i] = S_OK;
        for (auto& a : annotations_of(ftTimeStamps[i], pAnnotationValues[i])) {
            HRESULT hr = model_.InsertAnnotation(phServer[i], a);
            if (FAILED(hr)) errs[i] = hr;
        }
    }
    *ppErrors = errs;
    return overall(errs, dwNumItems);
}

// ---------------------------------------------------------------- asynchronous delivery

namespace {

using ItemReader = std::function<ItemData(Handle)>;

// The work of every task holds a reference on the historian while it runs, so
// that a client releasing the historian inside a callback destroys it only
// when the work is done.
Scheduler::Work guarded(SimHistorianObject* self, std::function<bool(int64_t, int64_t*)> fn) {
    return [self, fn = std::move(fn)](int64_t now, int64_t* next) {
        if (!self->TryAddRef()) return false;
        bool again = fn(now, next);
        self->Release();
        return again;
    };
}

// Builds the items of one answer, hands them to `call`, and frees them.
void deliver_items(const std::vector<std::pair<OPCHANDLE, DWORD>>& clients, const std::vector<ItemData>& data,
                   const std::function<void(DWORD, OPCHDA_ITEM*, HRESULT*, HRESULT)>& call) {
    DWORD n = static_cast<DWORD>(data.size());
    auto* items = alloc_zeroed<OPCHDA_ITEM>(n);
    auto* errs = alloc_zeroed<HRESULT>(n);
    if (items && errs) {
        for (DWORD i = 0; i < n; ++i) {
            errs[i] = fill_item(items[i], data[i], clients[i].first, clients[i].second) ? data[i].hr : E_OUTOFMEMORY;
        }
        call(n, items, errs, overall(errs, n));
        for (DWORD i = 0; i < n; ++i) ClearHistorianAnswer(items[i]);
    }
    sim_free(items);
    sim_free(errs);
}

}  // namespace

// ---------------------------------------------------------------- IOPCHDA_AsyncRead

#define ASYNC_PREAMBLE(iface, method)            \
    FAULT(iface, method);                        \
    if (!pdwCancelID || !ppErrors) return E_POINTER; \
    *pdwCancelID = 0;                            \
    *ppErrors = nullptr

HRESULT SimHistorianObject::ReadRaw(DWORD tid, OPCHDA_TIME* htStartTime, OPCHDA_TIME* htEndTime,
                                    DWORD dwNumValues, BOOL bBounds, DWORD dwNumItems, OPCHANDLE* phServer,
                                    DWORD* pdwCancelID, HRESULT** ppErrors) {
    ASYNC_PREAMBLE(kAsyncRead, L"ReadRaw");
    if (!htStartTime || !htEndTime || dwNumItems == 0 || !phServer) return E_INVALIDARG;
    Ticks s, e;
    if (FAILED(resolve(htStartTime, &s)) || FAILED(resolve(htEndTime, &e))) return E_INVALIDARG;
    std::vector<Target> valid;
    DWORD id;
    HRESULT hr = accept(dwNumItems, phServer, pdwCancelID, ppErrors, &valid, &id);
    if (FAILED(hr) || valid.empty()) return hr;
    scheduler_->post(id, Scheduler::kNow, guarded(this, [this, tid, valid, s, e, dwNumValues, bBounds](int64_t, int64_t*) {
        std::vector<std::pair<OPCHANDLE, DWORD>> clients;
        std::vector<ItemData> data;
        for (auto& t : valid) {
            clients.emplace_back(t.client, 0);
            data.push_back(model_.ReadRaw(s, e, dwNumValues, bBounds != FALSE, t.handle));
        }
        deliver_items(clients, data, [&](DWORD n, OPCHDA_ITEM* items, HRESULT* errs, HRESULT status) {
            each_callback([&](IOPCHDA_DataCallback* cb) { cb->OnReadComplete(tid, status, n, items, errs); });
        });
        return false;
    }));
    return hr;
}

HRESULT SimHistorianObject::AdviseRaw(DWORD tid, OPCHDA_TIME* htStartTime, FILETIME ftUpdateInterval,
                                      DWORD dwNumItems, OPCHANDLE* phServer, DWORD* pdwCancelID,
                                      HRESULT** ppErrors) {
    ASYNC_PREAMBLE(kAsyncRead, L"AdviseRaw");
    if (!htStartTime || dwNumItems == 0 || !phServer) return E_INVALIDARG;
    Ticks s;
    if (FAILED(resolve(htStartTime, &s))) return E_INVALIDARG;
    Ticks interval = std::max<Ticks>(ticks_of(ftUpdateInterval), kTicksPerSecond / 10);
    std::vector<Target> valid;
    DWORD id;
    HRESULT hr = accept(dwNumItems, phServer, pdwCancelID, ppErrors, &valid, &id);
    if (FAILED(hr) || valid.empty()) return hr;
    auto from = std::make_shared<Ticks>(s);
    scheduler_->post(id, Scheduler::kNow, guarded(this, [this, tid, valid, from, interval](int64_t now, int64_t* next) {
        std::vector<std::pair<OPCHANDLE, DWORD>> clients;
        std::vector<ItemData> data;
        for (auto& t : valid) {
            clients.emplace_back(t.client, 0);
            data.push_back(model_.ReadRaw(*from, now, 0, false, t.handle));
        }
        deliver_items(clients, data, [&](DWORD n, OPCHDA_ITEM* items, HRESULT* errs, HRESULT status) {
            each_callback([&](IOPCHDA_DataCallback* cb) { cb->OnDataChange(tid, status, n, items, errs); });
        });
        *from = now;  // reads end before their end time
        *next = now + interval;
        return true;
    }), true, false);
    return hr;
}

HRESULT SimHistorianObject::ReadProcessed(DWORD tid, OPCHDA_TIME* htStartTime, OPCHDA_TIME* htEndTime,
                                          FILETIME ftResampleInterval, DWORD dwNumItems, OPCHANDLE* phServer,
                                          DWORD* haAggregate, DWORD* pdwCancelID, HRESULT** ppErrors) {
    ASYNC_PREAMBLE(kAsyncRead, L"ReadProcessed");
    if (!htStartTime || !htEndTime || dwNumItems == 0 || !phServer || !haAggregate) return E_INVALIDARG;
    Ticks s, e;
    if (FAILED(resolve(htStartTime, &s)) || FAILED(resolve(htEndTime, &e))) return E_INVALIDARG;
    Ticks interval = ticks_of(ftResampleInterval);
    std::vector<Target> valid;
    DWORD id;
    HRESULT hr = accept(dwNumItems, phServer, pdwCancelID, ppErrors, &valid, &id);
    if (FAILED(hr) || valid.empty()) return hr;
    std::vector<DWORD> aggs;
    for (auto& t : valid) aggs.push_back(haAggregate[t.index]);
    scheduler_->post(id, Scheduler::kNow, guarded(this, [this, tid, valid, aggs, s, e, interval](int64_t, int64_t*) {
        std::vector<std::pair<OPCHANDLE, DWORD>> clients;
        std::vector<ItemData> data;
        for (size_t i = 0; i < valid.size(); ++i) {
            clients.emplace_back(valid[i].client, aggs[i]);
            data.push_back(model_.ReadProcessed(s, e, interval, aggs[i], valid[i].handle));
        }
        deliver_items(clients, data, [&](DWORD n, OPCHDA_ITEM* items, HRESULT* errs, HRESULT status) {
            each_callback([&](IOPCHDA_DataCallback* cb) { cb->OnReadComplete(tid, status, n, items, errs); });
        });
        return false;
    }));
    return hr;
}

HRESULT SimHistorianObject::AdviseProcessed(DWORD tid, OPCHDA_TIME* htStartTime, FILETIME ftResampleInterval,
                                            DWORD dwNumItems, OPCHANDLE* phServer, DWORD* haAggregate,
                                            DWORD dwNumIntervals, DWORD* pdwCancelID, HRESULT** ppErrors) {
    ASYNC_PREAMBLE(kAsyncRead, L"AdviseProcessed");
    if (!htStartTime || dwNumItems == 0 || !phServer || !haAggregate) return E_INVALIDARG;
    Ticks s;
    if (FAILED(resolve(htStartTime, &s))) return E_INVALIDARG;
    Ticks interval = ticks_of(ftResampleInterval);
    if (interval <= 0) return E_INVALIDARG;
    std::vector<Target> valid;
    DWORD id;
    HRESULT hr = accept(dwNumItems, phServer, pdwCancelID, ppErrors, &valid, &id);
    if (FAILED(hr) || valid.empty()) return hr;
    std::vector<DWORD> aggs;
    for (auto& t : valid) aggs.push_back(haAggregate[t.index]);
    // Each delivery covers the intervals completed since the last one; the
    // first at most dwNumIntervals of them (all when 0).
    auto from = std::make_shared<Ticks>(s);
    auto first = std::make_shared<bool>(true);
    scheduler_->post(id, Scheduler::kNow,
                     guarded(this, [this, tid, valid, aggs, s, interval, from, first, dwNumIntervals](int64_t now, int64_t* next) {
        Ticks end = now < s ? s : s + ((now - s) / interval) * interval;
        if (*first && dwNumIntervals > 0 && (end - *from) / interval > static_cast<Ticks>(dwNumIntervals))
            *from = end - static_cast<Ticks>(dwNumIntervals) * interval;
        if (end > *from) {
            std::vector<std::pair<OPCHANDLE, DWORD>> clients;
            std::vector<ItemData> data;
            for (size_t i = 0; i < valid.size(); ++i) {
                clients.emplace_back(valid[i].client, aggs[i]);
                data.push_back(model_.ReadProcessed(*from, end, interval, aggs[i], valid[i].handle));
            }
            deliver_items(clients, data, [&](DWORD n, OPCHDA_ITEM* items, HRESULT* errs, HRESULT status) {
                each_callback([&](IOPCHDA_DataCallback* cb) { cb->OnDataChange(tid, status, n, items, errs); });
            });
            *from = end;
            *first = false;
        }
        *next = std::max(end, s) + interval;
        return true;
    }), true, false);
    return hr;
}

HRESULT SimHistorianObject::ReadAtTime(DWORD tid, DWORD dwNumTimeStamps, FILETIME* ftTimeStamps,
                                       DWORD dwNumItems, OPCHANDLE* phServer, DWORD* pdwCancelID,
                                       HRESULT** ppErrors) {
    ASYNC_PREAMBLE(kAsyncRead, L"ReadAtTime");
    if (dwNumTimeStamps == 0 || !ftTimeStamps || dwNumItems == 0 || !phServer) return E_INVALIDARG;
    std::vector<Ticks> times;
    for (DWORD t = 0; t < dwNumTimeStamps; ++t) times.push_back(ticks_of(ftTimeStamps[t]));
    std::vector<Target> valid;
    DWORD id;
    HRESULT hr = accept(dwNumItems, phServer, pdwCancelID, ppErrors, &valid, &id);
    if (FAILED(hr) || valid.empty()) return hr;
    scheduler_->post(id, Scheduler::kNow, guarded(this, [this, tid, valid, times](int64_t, int64_t*) {
        std::vector<std::pair<OPCHANDLE, DWORD>> clients;
        std::vector<ItemData> data;
        for (auto& t : valid) {
            clients.emplace_back(t.client, 0);
            data.push_back(model_.ReadAtTime(times, t.handle));
        }
        deliver_items(clients, data, [&](DWORD n, OPCHDA_ITEM* items, HRESULT* errs, HRESULT status) {
            each_callback([&](IOPCHDA_DataCallback* cb) { cb->OnReadComplete(tid, status, n, items, errs); });
        });
        return false;
    }));
    return hr;
}

HRESULT SimHistorianObject::ReadModified(DWORD tid, OPCHDA_TIME* htStartTime, OPCHDA_TIME* htEndTime,
                                         DWORD dwNumValues, DWORD dwNumItems, OPCHANDLE* phServer,
                                         DWORD* pdwCancelID, HRESULT** ppErrors) {
    ASYNC_PREAMBLE(kAsyncRead, L"ReadModified");
    if (!htStartTime || !htEndTime || dwNumItems == 0 || !phServer) return E_INVALIDARG;
    Ticks s, e;
    if (FAILED(resolve(htStartTime, &s)) || FAILED(resolve(htEndTime, &e))) return E_INVALIDARG;
    std::vector<Target> valid;
    DWORD id;
    HRESULT hr = accept(dwNumItems, phServer, pdwCancelID, ppErrors, &valid, &id);
    if (FAILED(hr) || valid.empty()) return hr;
    scheduler_->post(id, Scheduler::kNow, guarded(this, [this, tid, valid, s, e, dwNumValues](int64_t, int64_t*) {
        DWORD n = static_cast<DWORD>(valid.size());
        auto* items = alloc_zeroed<OPCHDA_MODIFIEDITEM>(n);
        auto* errs = alloc_zeroed<HRESULT>(n);
        if (items && errs) {
            for (DWORD i = 0; i < n; ++i) {
                ModifiedData d = model_.ReadModified(s, e, dwNumValues, valid[i].handle);
                errs[i] = fill_modified(items[i], d, valid[i].client) ? d.hr : E_OUTOFMEMORY;
            }
            HRESULT status = overall(errs, n);
            each_callback([&](IOPCHDA_DataCallback* cb) { cb->OnReadModifiedComplete(tid, status, n, items, errs); });
            for (DWORD i = 0; i < n; ++i) ClearHistorianAnswer(items[i]);
        }
        sim_free(items);
        sim_free(errs);
        return false;
    }));
    return hr;
}

HRESULT SimHistorianObject::ReadAttribute(DWORD tid, OPCHDA_TIME* htStartTime, OPCHDA_TIME* htEndTime,
                                          OPCHANDLE hServer, DWORD dwNumAttributes, DWORD* dwAttributeIDs,
                                          DWORD* pdwCancelID, HRESULT** ppErrors) {
    ASYNC_PREAMBLE(kAsyncRead, L"ReadAttribute");
    if (!htStartTime || !htEndTime || dwNumAttributes == 0 || !dwAttributeIDs) return E_INVALIDARG;
    OPCHANDLE client = 0;
    if (!client_of(hServer, &client)) return kOpcInvalidHandle;
    Ticks s, e;
    if (FAILED(resolve(htStartTime, &s)) || FAILED(resolve(htEndTime, &e))) return E_INVALIDARG;
    auto* codes = alloc_zeroed<HRESULT>(dwNumAttributes);
    if (!codes) return E_OUTOFMEMORY;
    DWORD id = g_next_cancel_id++;
    *pdwCancelID = id;
    *ppErrors = codes;
    std::vector<std::uint32_t> ids(dwAttributeIDs, dwAttributeIDs + dwNumAttributes);
    scheduler_->post(id, Scheduler::kNow, guarded(this, [this, tid, hServer, client, ids, s, e](int64_t, int64_t*) {
        auto data = model_.ReadAttribute(s, e, hServer, ids);
        DWORD n = static_cast<DWORD>(ids.size());
        auto* items = alloc_zeroed<OPCHDA_ATTRIBUTE>(n);
        auto* errs = alloc_zeroed<HRESULT>(n);
        if (items && errs) {
            for (DWORD i = 0; i < n; ++i) {
                AttributeData d = i < data.size() ? data[i] : AttributeData{kHdaInvalidAttrId, ids[i], {}, {}};
                errs[i] = fill_attribute(items[i], d, client) ? d.hr : E_OUTOFMEMORY;
                items[i].dwAttributeID = ids[i];
            }
            HRESULT status = overall(errs, n);
            each_callback([&](IOPCHDA_DataCallback* cb) {
                cb->OnReadAttributeComplete(tid, status, client, n, items, errs);
            });
            for (DWORD i = 0; i < n; ++i) ClearHistorianAnswer(items[i]);
        }
        sim_free(items);
        sim_free(errs);
        return false;
    }));
    return S_OK;
}

HRESULT SimHistorianObject::Cancel(DWORD dwCancelID) {
    FAULT(kAsyncRead, L"Cancel");
    if (!scheduler_->cancel(dwCancelID)) return E_FAIL;
    scheduler_->post(0, Scheduler::kNow, guarded(this, [this, dwCancelID](int64_t, int64_t*) {
        each_callback([&](IOPCHDA_DataCallback* cb) { cb->OnCancelComplete(dwCancelID); });
        return false;
    }));
    return S_OK;
}

// ---------------------------------------------------------------- IOPCHDA_AsyncUpdate

void SimHistorianObject::post_update_complete(DWORD tid, DWORD cancel_id,
                                              std::function<std::vector<HRESULT>()> work,
                                              std::vector<OPCHANDLE> clients, bool annotations) {
    scheduler_->post(cancel_id, Scheduler::kNow,
                     guarded(this, [this, tid, work = std::move(work), clients, annotations](int64_t, int64_t*) {
        std::vector<HRESULT> codes = work();
        std::vector<OPCHANDLE> handles = clients;
        DWORD n = static_cast<DWORD>(handles.size());
        HRESULT status = overall(codes.data(), n);
        each_callback([&](IOPCHDA_DataCallback* cb) {
            if (annotations) cb->OnInsertAnnotations(tid, status, n, handles.data(), codes.data());
            else cb->OnUpdateComplete(tid, status, n, handles.data(), codes.data());
        });
        return false;
    }));
}

HRESULT SimHistorianObject::async_update(int kind, DWORD tid, DWORD n, OPCHANDLE* ph, FILETIME* ft, VARIANT* v,
                                         DWORD* q, DWORD* pdwCancelID, HRESULT** ppErrors) {
    if (n == 0 || !ph || !ft || !v || !q) return E_INVALIDARG;
    std::vector<Target> valid;
    DWORD id;
    HRESULT hr = accept(n, ph, pdwCancelID, ppErrors, &valid, &id);
    if (FAILED(hr) || valid.empty()) return hr;
    struct Edit {
        Handle h;
        Ticks t;
        Variant v;
        DWORD q;
    };
    std::vector<Edit> edits;
    std::vector<OPCHANDLE> clients;
    for (auto& t : valid) {
        edits.push_back({t.handle, ticks_of(ft[t.index]), Variant(v[t.index]), q[t.index]});
        clients.push_back(t.client);
    }
    post_update_complete(tid, id, [this, kind, edits]() {
        std::vector<HRESULT> codes;
        for (auto& e : edits) {
            codes.push_back(kind == kInsert    ? model_.Insert(e.h, e.t, e.v.get(), e.q)
                            : kind == kReplace ? model_.Replace(e.h, e.t, e.v.get(), e.q)
                                               : model_.InsertReplace(e.h, e.t, e.v.get(), e.q));
        }
        return codes;
    }, clients, false);
    return hr;
}

HRESULT SimHistorianObject::Insert(DWORD tid, DWORD n, OPCHANDLE* ph, FILETIME* ft, VARIANT* v, DWORD* q,
                                   DWORD* pdwCancelID, HRESULT** ppErrors) {
    ASYNC_PREAMBLE(kAsyncUpdate, L"Insert");
    return async_update(kInsert, tid, n, ph, ft, v, q, pdwCancelID, ppErrors);
}

HRESULT SimHistorianObject::Replace(DWORD tid, DWORD n, OPCHANDLE* ph, FILETIME* ft, VARIANT* v, DWORD* q,
                                    DWORD* pdwCancelID, HRESULT** ppErrors) {
    ASYNC_PREAMBLE(kAsyncUpdate, L"Replace");
    return async_update(kReplace, tid, n, ph, ft, v, q, pdwCancelID, ppErrors);
}

HRESULT SimHistorianObject::InsertReplace(DWORD tid, DWORD n, OPCHANDLE* ph, FILETIME* ft, VARIANT* v, DWORD* q,
                                          DWORD* pdwCancelID, HRESULT** ppErrors) {
    ASYNC_PREAMBLE(kAsyncUpdate, L"InsertReplace");
    return async_update(kInsertReplace, tid, n, ph, ft, v, q, pdwCancelID, ppErrors);
}

HRESULT SimHistorianObject::DeleteRaw(DWORD tid, OPCHDA_TIME* htStartTime, OPCHDA_TIME* htEndTime,
                                      DWORD dwNumItems, OPCHANDLE* phServer, DWORD* pdwCancelID,
                                      HRESULT** ppErrors) {
    ASYNC_PREAMBLE(kAsyncUpdate, L"DeleteRaw");
    if (!htStartTime || !htEndTime || dwNumItems == 0 || !phServer) return E_INVALIDARG;
    Ticks s, e;
    if (FAILED(resolve(htStartTime, &s)) || FAILED(resolve(htEndTime, &e))) return E_INVALIDARG;
    std::vector<Target> valid;
    DWORD id;
    HRESULT hr = accept(dwNumItems, phServer, pdwCancelID, ppErrors, &valid, &id);
    if (FAILED(hr) || valid.empty()) return hr;
    std::vector<OPCHANDLE> clients;
    for (auto& t : valid) clients.push_back(t.client);
    post_update_complete(tid, id, [this, valid, s, e]() {
        std::vector<HRESULT> codes;
        for (auto& t : valid) codes.push_back(model_.DeleteRaw(s, e, t.handle));
        return codes;
    }, clients, false);
    return hr;
}

HRESULT SimHistorianObject::DeleteAtTime(DWORD tid, DWORD dwNumItems, OPCHANDLE* phServer, FILETIME* ftTimeStamps,
                                         DWORD* pdwCancelID, HRESULT** ppErrors) {
    ASYNC_PREAMBLE(kAsyncUpdate, L"DeleteAtTime");
    if (dwNumItems == 0 || !phServer || !ftTimeStamps) return E_INVALIDARG;
    std::vector<Target> valid;
    DWORD id;
    HRESULT hr = accept(dwNumItems, phServer, pdwCancelID, ppErrors, &valid, &id);
    if (FAILED(hr) || valid.empty()) return hr;
    std::vector<OPCHANDLE> clients;
    std::vector<Ticks> times;
    for (auto& t : valid) {
        clients.push_back(t.client);
        times.push_back(ticks_of(ftTimeStamps[t.index]));
    }
    post_update_complete(tid, id, [this, valid, times]() {
        std::vector<HRESULT> codes;
        for (size_t i = 0; i < valid.size(); ++i) codes.push_back(model_.DeleteAtTime(valid[i].handle, times[i]));
        return codes;
    }, clients, false);
    return hr;
}

// ---------------------------------------------------------------- IOPCHDA_AsyncAnnotations

HRESULT SimHistorianObject::Read(DWORD tid, OPCHDA_TIME* htStartTime, OPCHDA_TIME* htEndTime, DWORD dwNumItems,
                                 OPCHANDLE* phServer, DWORD* pdwCancelID, HRESULT** ppErrors) {
    ASYNC_PREAMBLE(kAsyncAnnotations, L"Read");
    if (!htStartTime || !htEndTime || dwNumItems == 0 || !phServer) return E_INVALIDARG;
    Ticks s, e;
    if (FAILED(resolve(htStartTime, &s)) || FAILED(resolve(htEndTime, &e))) return E_INVALIDARG;
    std::vector<Target> valid;
    DWORD id;
    HRESULT hr = accept(dwNumItems, phServer, pdwCancelID, ppErrors, &valid, &id);
    if (FAILED(hr) || valid.empty()) return hr;
    scheduler_->post(id, Scheduler::kNow, guarded(this, [this, tid, valid, s, e](int64_t, int64_t*) {
        DWORD n = static_cast<DWORD>(valid.size());
        auto* items = alloc_zeroed<OPCHDA_ANNOTATION>(n);
        auto* errs = alloc_zeroed<HRESULT>(n);
        if (items && errs) {
            for (DWORD i = 0; i < n; ++i) {
                AnnotationData d = model_.ReadAnnotations(s, e, valid[i].handle);
                errs[i] = fill_annotation(items[i], d, valid[i].client) ? d.hr : E_OUTOFMEMORY;
            }
            HRESULT status = overall(errs, n);
            each_callback([&](IOPCHDA_DataCallback* cb) { cb->OnReadAnnotations(tid, status, n, items, errs); });
            for (DWORD i = 0; i < n; ++i) ClearHistorianAnswer(items[i]);
        }
        sim_free(items);
        sim_free(errs);
        return false;
    }));
    return hr;
}

HRESULT SimHistorianObject::Insert(DWORD tid, DWORD dwNumItems, OPCHANDLE* phServer, FILETIME* ftTimeStamps,
                                   OPCHDA_ANNOTATION* pAnnotationValues, DWORD* pdwCancelID, HRESULT** ppErrors) {
    ASYNC_PREAMBLE(kAsyncAnnotations, L"Insert");
    if (dwNumItems == 0 || !phServer || !ftTimeStamps || !pAnnotationValues) return E_INVALIDARG;
    std::vector<Target> valid;
    DWORD id;
    HRESULT hr = accept(dwNumItems, phServer, pdwCancelID, ppErrors, &valid, &id);
    if (FAILED(hr) || valid.empty()) return hr;
    std::vector<OPCHANDLE> clients;
    std::vector<std::pair<Handle, std::vector<Annotation>>> edits;
    for (auto& t : valid) {
        clients.push_back(t.client);
        edits.emplace_back(t.handle, annotations_of(ftTimeStamps[t.index], pAnnotationValues[t.index]));
    }
    post_update_complete(tid, id, [this, edits]() {
        std::vector<HRESULT> codes;
        for (auto& [h, list] : edits) {
            HRESULT code = S_OK;
            for (auto& a : list) {
                HRESULT one = model_.InsertAnnotation(h, a);
                if (FAILED(one)) code = one;
            }
            codes.push_back(code);
        }
        return codes;
    }, clients, true);
    return hr;
}

// ---------------------------------------------------------------- IOPCHDA_Playback

namespace {
void deliver_playback(SimHistorianObject*, const std::vector<std::pair<OPCHANDLE, DWORD>>& clients,
                      const std::vector<ItemData>& data, DWORD tid,
                      const std::function<void(const std::function<void(IOPCHDA_DataCallback*)>&)>& each) {
    deliver_items(clients, data, [&](DWORD n, OPCHDA_ITEM* items, HRESULT* errs, HRESULT status) {
        std::vector<OPCHDA_ITEM*> pointers;
        for (DWORD i = 0; i < n; ++i) pointers.push_back(&items[i]);
        each([&](IOPCHDA_DataCallback* cb) { cb->OnPlayback(tid, status, n, pointers.data(), errs); });
    });
}
}  // namespace

HRESULT SimHistorianObject::ReadRawWithUpdate(DWORD tid, OPCHDA_TIME* htStartTime, OPCHDA_TIME* htEndTime,
                                              DWORD dwNumValues, FILETIME ftUpdateDuration,
                                              FILETIME ftUpdateInterval, DWORD dwNumItems, OPCHANDLE* phServer,
                                              DWORD* pdwCancelID, HRESULT** ppErrors) {
    ASYNC_PREAMBLE(kPlayback, L"ReadRawWithUpdate");
    if (!htStartTime || !htEndTime || dwNumItems == 0 || !phServer) return E_INVALIDARG;
    Ticks s, e;
    if (FAILED(resolve(htStartTime, &s)) || FAILED(resolve(htEndTime, &e))) return E_INVALIDARG;
    Ticks duration = ticks_of(ftUpdateDuration);
    Ticks interval = std::max<Ticks>(ticks_of(ftUpdateInterval), kTicksPerSecond / 10);
    if (duration <= 0 || e <= s) return E_INVALIDARG;
    std::vector<Target> valid;
    DWORD id;
    HRESULT hr = accept(dwNumItems, phServer, pdwCancelID, ppErrors, &valid, &id);
    if (FAILED(hr) || valid.empty()) return hr;
    auto cur = std::make_shared<Ticks>(s);
    scheduler_->post(id, Scheduler::kNow,
                     guarded(this, [this, tid, valid, cur, e, duration, interval, dwNumValues](int64_t now, int64_t* next) {
        Ticks slice_end = std::min(*cur + duration, e);
        std::vector<std::pair<OPCHANDLE, DWORD>> clients;
        std::vector<ItemData> data;
        for (auto& t : valid) {
            clients.emplace_back(t.client, 0);
            data.push_back(model_.ReadRaw(*cur, slice_end, dwNumValues, false, t.handle));
        }
        deliver_playback(this, clients, data, tid, [this](auto& fn) { each_callback(fn); });
        *cur = slice_end;
        *next = now + interval;
        return *cur < e;
    }), true, false);
    return hr;
}

HRESULT SimHistorianObject::ReadProcessedWithUpdate(DWORD tid, OPCHDA_TIME* htStartTime, OPCHDA_TIME* htEndTime,
                                                    FILETIME ftResampleInterval, DWORD dwNumIntervals,
                                                    FILETIME ftUpdateInterval, DWORD dwNumItems,
                                                    OPCHANDLE* phServer, DWORD* haAggregate, DWORD* pdwCancelID,
                                                    HRESULT** ppErrors) {
    ASYNC_PREAMBLE(kPlayback, L"ReadProcessedWithUpdate");
    if (!htStartTime || !htEndTime || dwNumItems == 0 || !phServer || !haAggregate) return E_INVALIDARG;
    Ticks s, e;
    if (FAILED(resolve(htStartTime, &s)) || FAILED(resolve(htEndTime, &e))) return E_INVALIDARG;
    Ticks resample = ticks_of(ftResampleInterval);
    Ticks interval = std::max<Ticks>(ticks_of(ftUpdateInterval), kTicksPerSecond / 10);
    if (resample <= 0 || e <= s) return E_INVALIDARG;
    Ticks slice = resample * std::max<DWORD>(dwNumIntervals, 1);
    std::vector<Target> valid;
    DWORD id;
    HRESULT hr = accept(dwNumItems, phServer, pdwCancelID, ppErrors, &valid, &id);
    if (FAILED(hr) || valid.empty()) return hr;
    std::vector<DWORD> aggs;
    for (auto& t : valid) aggs.push_back(haAggregate[t.index]);
    auto cur = std::make_shared<Ticks>(s);
    scheduler_->post(id, Scheduler::kNow,
                     guarded(this, [this, tid, valid, aggs, cur, e, slice, resample, interval](int64_t now, int64_t* next) {
        Ticks slice_end = std::min(*cur + slice, e);
        std::vector<std::pair<OPCHANDLE, DWORD>> clients;
        std::vector<ItemData> data;
        for (size_t i = 0; i < valid.size(); ++i) {
            clients.emplace_back(valid[i].client, aggs[i]);
            data.push_back(model_.ReadProcessed(*cur, slice_end, resample, aggs[i], valid[i].handle));
        }
        deliver_playback(this, clients, data, tid, [this](auto& fn) { each_callback(fn); });
        *cur = slice_end;
        *next = now + interval;
        return *cur < e;
    }), true, false);
    return hr;
}

// ---------------------------------------------------------------- IOPCCommon

HRESULT SimHistorianObject::SetLocaleID(LCID dwLcid) {
    FAULT(kCommon, L"SetLocaleID");
    return model_.SetLocaleID(dwLcid);
}

HRESULT SimHistorianObject::GetLocaleID(LCID* pdwLcid) {
    FAULT(kCommon, L"GetLocaleID");
    if (!pdwLcid) return E_POINTER;
    *pdwLcid = model_.GetLocaleID();
    return S_OK;
}

HRESULT SimHistorianObject::QueryAvailableLocaleIDs(DWORD* pdwCount, LCID** pdwLcid) {
    FAULT(kCommon, L"QueryAvailableLocaleIDs");
    if (!pdwCount || !pdwLcid) return E_POINTER;
    auto ids = model_.AvailableLocaleIDs();
    DWORD n = static_cast<DWORD>(ids.size());
    auto* out = alloc_zeroed<LCID>(n);
    if (!out) return E_OUTOFMEMORY;
    std::copy(ids.begin(), ids.end(), out);
    *pdwCount = n;
    *pdwLcid = out;
    return S_OK;
}

HRESULT SimHistorianObject::GetErrorString(HRESULT dwError, LPWSTR* ppString) {
    FAULT(kCommon, L"GetErrorString");
    if (!ppString) return E_POINTER;
    *ppString = nullptr;
    std::wstring text;
    HRESULT hr = model_.GetErrorString(dwError, &text);
    if (FAILED(hr)) return hr;
    *ppString = sim_strdup(text);
    return *ppString ? S_OK : E_OUTOFMEMORY;
}

HRESULT SimHistorianObject::SetClientName(LPCWSTR szName) {
    FAULT(kCommon, L"SetClientName");
    model_.SetClientName(szName ? szName : L"");
    return S_OK;
}

// ---------------------------------------------------------------- IConnectionPointContainer

HRESULT SimHistorianObject::EnumConnectionPoints(IEnumConnectionPoints** ppEnum) {
    return events::EnumConnectionPoints<SimSinks>({&data_cp_, &shutdown_cp_}, ppEnum);
}

HRESULT SimHistorianObject::FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) {
    HRESULT fault;
    if (faulted(L"IConnectionPointContainer", L"FindConnectionPoint", &fault)) return fault;
    if (!ppCP) return E_POINTER;
    *ppCP = nullptr;
    ConnectionPoint* cp = riid == IID_IOPCHDA_DataCallback ? &data_cp_
                          : riid == IID_IOPCShutdown        ? &shutdown_cp_
                                                            : nullptr;
    if (!cp) return CONNECT_E_NOCONNECTION;
    cp->AddRef();
    *ppCP = cp;
    return S_OK;
}

// ---------------------------------------------------------------- IHdaSimControl

HRESULT SimHistorianObject::FailMethod(LPCWSTR method, HRESULT hr) {
    if (!method) return E_POINTER;
    std::lock_guard<std::mutex> g(lock_);
    method_faults_[method] = hr;
    return S_OK;
}

HRESULT SimHistorianObject::ClearFaults() {
    {
        std::lock_guard<std::mutex> g(lock_);
        method_faults_.clear();
        refused_.clear();
    }
    model_.ClearFaults();
    scheduler_->set_delay(0);
    scheduler_->hold(false, false);
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
    scheduler_->set_delay(ms);
    return S_OK;
}

HRESULT SimHistorianObject::HoldCallbacks(BOOL hold, BOOL reverse) {
    scheduler_->hold(hold != FALSE, reverse != FALSE);
    return S_OK;
}

void SimHistorianObject::send_shutdown_and_wait(const std::wstring& reason) {
    HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!done) return;
    auto shared_done = std::shared_ptr<void>(done, CloseHandle);
    scheduler_->post(0, Scheduler::kNow, guarded(this, [this, reason, shared_done](int64_t, int64_t*) {
        shutdown_cp_.for_each([&](IUnknown* p) { static_cast<IOPCShutdown*>(p)->ShutdownRequest(reason.c_str()); });
        SetEvent(shared_done.get());
        return false;
    }), false);
    DWORD index;
    CoWaitForMultipleHandles(0, 10000, 1, &done, &index);
}

HRESULT SimHistorianObject::SendShutdown(LPCWSTR reason) {
    send_shutdown_and_wait(reason ? reason : L"");
    return S_OK;
}

HRESULT SimHistorianObject::ClockSetSpeed(double speed) {
    SimClock::instance().set_speed(speed);
    return S_OK;
}

HRESULT SimHistorianObject::ClockStep(hyper duration) {
    SimClock::instance().step(duration);
    return S_OK;
}

HRESULT SimHistorianObject::ClockSet(hyper utcFileTime) {
    SimClock::instance().set(utcFileTime);
    return S_OK;
}

HRESULT SimHistorianObject::ClockGet(hyper* utcFileTime) {
    if (!utcFileTime) return E_POINTER;
    *utcFileTime = SimClock::instance().now();
    return S_OK;
}

HRESULT SimHistorianObject::OutstandingTaskMemory(LONG* count) {
    if (!count) return E_POINTER;
    *count = outstanding_task_memory();
    return S_OK;
}

HRESULT SimHistorianObject::OutstandingHandles(LONG* count) {
    if (!count) return E_POINTER;
    *count = static_cast<LONG>(model_.OutstandingHandles());
    return S_OK;
}

HRESULT SimHistorianObject::AdviseCount(LONG* dataCallbacks, LONG* shutdowns) {
    if (!dataCallbacks || !shutdowns) return E_POINTER;
    *dataCallbacks = data_cp_.count();
    *shutdowns = shutdown_cp_.count();
    return S_OK;
}

HRESULT SimHistorianObject::PendingRequests(LONG* count) {
    if (!count) return E_POINTER;
    *count = scheduler_->pending();
    return S_OK;
}

HRESULT SimHistorianObject::CallCount(LPCWSTR method, LONG* count) {
    if (!method || !count) return E_POINTER;
    std::wstring name = method;
    std::lock_guard<std::mutex> g(lock_);
    LONG n = 0;
    for (auto& [full, c] : calls_) {
        size_t sep = full.find(L"::");
        if (full == name || (sep != std::wstring::npos && full.compare(sep + 2, std::wstring::npos, name) == 0))
            n += c;
    }
    *count = n;
    return S_OK;
}

HRESULT SimHistorianObject::ResetDefaults() { return S_OK; }

}  // namespace hdasim
