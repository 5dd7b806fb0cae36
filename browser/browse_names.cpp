#include "browser/browse_names.h"

#include "automation/client_arrays.h"

#include <algorithm>
#include <cstdint>

void BrowseNames::FreeAll() {
    names_ = decltype(names_)();
    capacity_ = 0;
}

bool BrowseNames::MakeRoom() {
    const size_t count = names_.count();
    if (capacity_ - count >= kBatch) return true;
    const size_t grown = capacity_ ? capacity_ * 2 : kBatch;
    if (grown > SIZE_MAX / sizeof(LPWSTR) / 2 || !names_.grow(grown)) return false;
    capacity_ = grown;
    return true;
}

HRESULT BrowseNames::Collect(IEnumString* enumerator) {
    HRESULT hr = S_OK;
    do {
        // The enumerator writes straight after the names collected, so that
        // what it hands out is owned from the moment it arrives.
        if (!MakeRoom()) {
            hr = E_OUTOFMEMORY;
            break;
        }
        const size_t count = names_.count();
        LPOLESTR* batch = names_.get() + count;
        std::fill_n(batch, kBatch, nullptr);
        ULONG fetched = 0;
        hr = enumerator->Next(kBatch, batch, &fetched);
        if (fetched > kBatch) fetched = kBatch;
        // Null names are dropped: the rest close up.
        size_t kept = count;
        for (ULONG i = 0; i < fetched; ++i)
            if (batch[i]) names_[kept++] = batch[i];
        names_.set_count(kept);
        // An enumerator that answers S_OK with less than a batch has nothing more.
        if (hr == S_OK && fetched < kBatch) break;
    } while (hr == S_OK);
    if (FAILED(hr)) FreeAll();
    return hr;
}

HRESULT BrowseNames::ToArray(UniqueSafeArray& array) {
    if (names_.count() > static_cast<size_t>(MAXLONG - 1)) return E_FAIL;
    HRESULT hr = client_arrays::FillResultArray<BSTR>(VT_BSTR, names_.count(), array, [this](BSTR& element, size_t k) {
        element = SysAllocString(names_[k]);
        return element ? S_OK : E_OUTOFMEMORY;
    });
    FreeAll();
    return hr;
}
