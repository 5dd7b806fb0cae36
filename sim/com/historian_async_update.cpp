// IOPCHDA_AsyncUpdate of the simulated historian: the edits are copied when
// the request is accepted and made on the worker thread, which then answers
// OnUpdateComplete with one code per accepted item.
#include "historian_parts.h"

namespace hdasim {

HRESULT SimHistorianObject::AsyncUpdate(int kind, DWORD tid, DWORD n, OPCHANDLE* ph, FILETIME* ft, VARIANT* v, DWORD* q,
                                        DWORD* pdwCancelID, HRESULT** ppErrors) {
    const wchar_t* method = kind == kInsert ? L"Insert" : kind == kReplace ? L"Replace" : L"InsertReplace";
    Record(kAsyncUpdate, method, {{L"tid", tid}, {L"numItems", n}});
    RecordArray(kAsyncUpdate, method, L"handle", ph, n);
    RecordArray(kAsyncUpdate, method, L"stamp", ft, n);
    RecordArray(kAsyncUpdate, method, L"quality", q, n);
    if (n == 0 || !ph || !ft || !v || !q) return E_INVALIDARG;
    struct Edit {
        Ticks t;
        UniqueVariant v;
        DWORD q;
    };
    // Shared by the copies of the request's work.
    auto edits = std::make_shared<std::vector<Edit>>();
    for (DWORD i = 0; i < n; ++i) edits->push_back({TicksOf(ft[i]), UniqueVariant::copy_of(&v[i]), q[i]});
    return Start(n, ph, nullptr, pdwCancelID, ppErrors, false,
                 [this, tid, kind, edits](const std::vector<Target>& items, int64_t, int64_t*) {
                     std::vector<HRESULT> codes;
                     for (const Target& t : items) {
                         const Edit& e = (*edits)[t.index];
                         codes.push_back(kind == kInsert    ? model_.Insert(t.handle, e.t, *e.v.get(), e.q)
                                         : kind == kReplace ? model_.Replace(t.handle, e.t, *e.v.get(), e.q)
                                                            : model_.InsertReplace(t.handle, e.t, *e.v.get(), e.q));
                     }
                     SendUpdate(tid, items, codes, false);
                     return false;
                 });
}

HRESULT SimHistorianObject::Insert(DWORD tid, DWORD n, OPCHANDLE* ph, FILETIME* ft, VARIANT* v, DWORD* q,
                                   DWORD* pdwCancelID, HRESULT** ppErrors) {
    ASYNC_PREAMBLE(kAsyncUpdate, L"Insert");
    return AsyncUpdate(kInsert, tid, n, ph, ft, v, q, pdwCancelID, ppErrors);
}

HRESULT SimHistorianObject::Replace(DWORD tid, DWORD n, OPCHANDLE* ph, FILETIME* ft, VARIANT* v, DWORD* q,
                                    DWORD* pdwCancelID, HRESULT** ppErrors) {
    ASYNC_PREAMBLE(kAsyncUpdate, L"Replace");
    return AsyncUpdate(kReplace, tid, n, ph, ft, v, q, pdwCancelID, ppErrors);
}

HRESULT SimHistorianObject::InsertReplace(DWORD tid, DWORD n, OPCHANDLE* ph, FILETIME* ft, VARIANT* v, DWORD* q,
                                          DWORD* pdwCancelID, HRESULT** ppErrors) {
    ASYNC_PREAMBLE(kAsyncUpdate, L"InsertReplace");
    return AsyncUpdate(kInsertReplace, tid, n, ph, ft, v, q, pdwCancelID, ppErrors);
}

HRESULT SimHistorianObject::DeleteRaw(DWORD tid, OPCHDA_TIME* htStartTime, OPCHDA_TIME* htEndTime, DWORD dwNumItems,
                                      OPCHANDLE* phServer, DWORD* pdwCancelID, HRESULT** ppErrors) {
    ASYNC_PREAMBLE(kAsyncUpdate, L"DeleteRaw");
    Record(kAsyncUpdate, L"DeleteRaw", {{L"tid", tid}, {L"numItems", dwNumItems}});
    RecordArray(kAsyncUpdate, L"DeleteRaw", L"handle", phServer, dwNumItems);
    if (!htStartTime || !htEndTime || dwNumItems == 0 || !phServer) return E_INVALIDARG;
    Ticks s, e;
    if (FAILED(ResolveRange(kAsyncUpdate, L"DeleteRaw", htStartTime, htEndTime, &s, &e))) return E_INVALIDARG;
    return Start(dwNumItems, phServer, nullptr, pdwCancelID, ppErrors, false,
                 [this, tid, s, e](const std::vector<Target>& items, int64_t, int64_t*) {
                     std::vector<HRESULT> codes;
                     for (const Target& t : items) codes.push_back(model_.DeleteRaw(s, e, t.handle));
                     SendUpdate(tid, items, codes, false);
                     return false;
                 });
}

HRESULT SimHistorianObject::DeleteAtTime(DWORD tid, DWORD dwNumItems, OPCHANDLE* phServer, FILETIME* ftTimeStamps,
                                         DWORD* pdwCancelID, HRESULT** ppErrors) {
    ASYNC_PREAMBLE(kAsyncUpdate, L"DeleteAtTime");
    Record(kAsyncUpdate, L"DeleteAtTime", {{L"tid", tid}, {L"numItems", dwNumItems}});
    RecordArray(kAsyncUpdate, L"DeleteAtTime", L"handle", phServer, dwNumItems);
    RecordArray(kAsyncUpdate, L"DeleteAtTime", L"stamp", ftTimeStamps, dwNumItems);
    if (dwNumItems == 0 || !phServer || !ftTimeStamps) return E_INVALIDARG;
    std::vector<Ticks> times;
    for (DWORD i = 0; i < dwNumItems; ++i) times.push_back(TicksOf(ftTimeStamps[i]));
    return Start(dwNumItems, phServer, nullptr, pdwCancelID, ppErrors, false,
                 [this, tid, times](const std::vector<Target>& items, int64_t, int64_t*) {
                     std::vector<HRESULT> codes;
                     for (const Target& t : items) codes.push_back(model_.DeleteAtTime(t.handle, times[t.index]));
                     SendUpdate(tid, items, codes, false);
                     return false;
                 });
}

}  // namespace hdasim
