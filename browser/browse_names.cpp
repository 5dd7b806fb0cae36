#include "browser/browse_names.h"

#include "automation/client_arrays.h"

#include <cstdint>

BrowseNames::~BrowseNames() { FreeAll(); }

void BrowseNames::FreeAll() {
    for (size_t i = 0; i < count_; ++i) CoTaskMemFree(names_[i]);
    CoTaskMemFree(names_);
    names_ = nullptr;
    count_ = capacity_ = 0;
}

bool BrowseNames::Append(LPWSTR name) {
    if (count_ == capacity_) {
        const size_t grown = capacity_ ? capacity_ * 2 : kBatch;
        if (grown > SIZE_MAX / sizeof(LPWSTR) / 2) return false;
        void* bigger = CoTaskMemRealloc(names_, grown * sizeof(LPWSTR));
        if (!bigger) return false;
        names_ = static_cast<LPWSTR*>(bigger);
        capacity_ = grown;
    }
    names_[count_++] = name;
    return true;
}

HRESULT BrowseNames::Collect(IEnumString* enumerator) {
    HRESULT hr = S_OK;
    do {
        LPOLESTR batch[kBatch] = {};
        ULONG fetched = 0;
        hr = enumerator->Next(kBatch, batch, &fetched);
        if (fetched > kBatch) fetched = kBatch;
        bool stored = true;
        for (ULONG i = 0; i < fetched; ++i) {
            if (!batch[i]) continue;
            if (stored && SUCCEEDED(hr) && Append(batch[i])) continue;
            stored = false;
            CoTaskMemFree(batch[i]);
        }
        // A Next that failed while handing out strings keeps its own code.
        if (!stored && SUCCEEDED(hr)) hr = E_OUTOFMEMORY;
        // An enumerator that answers S_OK with less than a batch has nothing more.
        if (hr == S_OK && fetched < kBatch) break;
    } while (hr == S_OK);
    if (FAILED(hr)) FreeAll();
    return hr;
}

HRESULT BrowseNames::ToArray(UniqueSafeArray& array) {
    if (count_ > static_cast<size_t>(MAXLONG - 1)) return E_FAIL;
    HRESULT hr = client_arrays::FillResultArray<BSTR>(VT_BSTR, count_, array, [this](BSTR& element, size_t k) {
        element = SysAllocString(names_[k]);
        return element ? S_OK : E_OUTOFMEMORY;
    });
    FreeAll();
    return hr;
}
