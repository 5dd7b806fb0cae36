// IOPCHDA_SyncAnnotations and IOPCHDA_AsyncAnnotations of the simulated
// historian.
#include "historian_parts.h"

namespace hdasim {

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
    if (FAILED(ResolveRange(kSyncAnnotations, L"Read", htStartTime, htEndTime, &s, &e))) return E_INVALIDARG;
    return PerItem(dwNumItems, phServer, ppAnnotationValues, ppErrors, CLIENT_OF,
                   [&](DWORD, Handle h, OPCHANDLE c, OPCHDA_ANNOTATION& out) {
                       AnnotationData d = model_.ReadAnnotations(s, e, h);
                       return FillAnnotation(out, d, c) ? d.hr : E_OUTOFMEMORY;
                   });
}

namespace {
std::vector<Annotation> AnnotationsOf(const FILETIME& stamp, const OPCHDA_ANNOTATION& a) {
    std::vector<Annotation> out;
    for (DWORD k = 0; k < a.dwNumValues; ++k) {
        Annotation x;
        x.time = TicksOf(stamp);
        x.text = a.szAnnotation && a.szAnnotation[k] ? a.szAnnotation[k] : L"";
        x.annotationTime = a.ftAnnotationTime ? TicksOf(a.ftAnnotationTime[k]) : 0;
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
    return PerHandle(dwNumItems, phServer, ppErrors, CLIENT_OF, [&](DWORD i) {
        HRESULT code = S_OK;
        for (auto& a : AnnotationsOf(ftTimeStamps[i], pAnnotationValues[i])) {
            HRESULT hr = model_.InsertAnnotation(phServer[i], a);
            if (FAILED(hr)) code = hr;
        }
        return code;
    });
}

HRESULT SimHistorianObject::Read(DWORD tid, OPCHDA_TIME* htStartTime, OPCHDA_TIME* htEndTime, DWORD dwNumItems,
                                 OPCHANDLE* phServer, DWORD* pdwCancelID, HRESULT** ppErrors) {
    ASYNC_PREAMBLE(kAsyncAnnotations, L"Read");
    Record(kAsyncAnnotations, L"Read", {{L"tid", tid}, {L"numItems", dwNumItems}});
    RecordArray(kAsyncAnnotations, L"Read", L"handle", phServer, dwNumItems);
    if (!htStartTime || !htEndTime || dwNumItems == 0 || !phServer) return E_INVALIDARG;
    Ticks s, e;
    if (FAILED(ResolveRange(kAsyncAnnotations, L"Read", htStartTime, htEndTime, &s, &e))) return E_INVALIDARG;
    return Start(dwNumItems, phServer, nullptr, pdwCancelID, ppErrors, false,
                 [this, tid, s, e](const std::vector<Target>& items, int64_t, int64_t*) {
                     Deliver<OPCHDA_ANNOTATION>(
                         static_cast<DWORD>(items.size()),
                         [&](DWORD i, OPCHDA_ANNOTATION& out) {
                             AnnotationData d = model_.ReadAnnotations(s, e, items[i].handle);
                             return FillAnnotation(out, d, items[i].client) ? d.hr : E_OUTOFMEMORY;
                         },
                         [&](DWORD n, OPCHDA_ANNOTATION* answers, HRESULT* errs, HRESULT status) {
                             EachCallback([&](IOPCHDA_DataCallback* cb) {
                                 cb->OnReadAnnotations(tid, status, n, answers, errs);
                             });
                         });
                     return false;
                 });
}

HRESULT SimHistorianObject::Insert(DWORD tid, DWORD dwNumItems, OPCHANDLE* phServer, FILETIME* ftTimeStamps,
                                   OPCHDA_ANNOTATION* pAnnotationValues, DWORD* pdwCancelID, HRESULT** ppErrors) {
    ASYNC_PREAMBLE(kAsyncAnnotations, L"Insert");
    if (dwNumItems == 0 || !phServer || !ftTimeStamps || !pAnnotationValues) return E_INVALIDARG;
    std::vector<std::vector<Annotation>> edits;
    for (DWORD i = 0; i < dwNumItems; ++i) edits.push_back(AnnotationsOf(ftTimeStamps[i], pAnnotationValues[i]));
    return Start(dwNumItems, phServer, nullptr, pdwCancelID, ppErrors, false,
                 [this, tid, edits](const std::vector<Target>& items, int64_t, int64_t*) {
                     std::vector<HRESULT> codes;
                     for (const Target& t : items) {
                         HRESULT code = S_OK;
                         for (const Annotation& a : edits[t.index]) {
                             HRESULT one = model_.InsertAnnotation(t.handle, a);
                             if (FAILED(one)) code = one;
                         }
                         codes.push_back(code);
                     }
                     SendUpdate(tid, items, codes, true);
                     return false;
                 });
}

}  // namespace hdasim
