// GetItemAttributes and GetAggregates: the historian's catalogues, column by
// column, as automation arrays. The outputs are all or nothing: every array
// with its count, or none of them and a count of 0 (a loop to the count of a
// failed call runs no turn).
#include "server/COPCHDAAutoServer.h"

#include "automation/client_arrays.h"

namespace {

// Beyond this a lower-bound-1 array cannot be indexed with a LONG.
constexpr DWORD kMaxEntries = MAXLONG - 1;

// A lower-bound-1 array of `count` numbers of type Element (VT_I4 or VT_I2).
template <class Element, class Source>
UniqueSafeArray NumberColumn(VARTYPE vt, const Source* source, DWORD count) {
    UniqueSafeArray array;
    client_arrays::FillResultArray<Element>(vt, count, array, [source](Element& element, size_t k) {
        element = static_cast<Element>(source[k]);
        return S_OK;
    });
    return array;
}

// A lower-bound-1 array of BSTR copies of the historian's texts (a null text
// gives a null BSTR, which clients read as ""). E_FAIL when the array cannot
// be made, E_OUTOFMEMORY when a text cannot be copied.
HRESULT TextColumn(const TaskArray<LPWSTR, TaskStringElements>& texts, DWORD count, UniqueSafeArray& column) {
    return client_arrays::FillResultArray<BSTR>(VT_BSTR, count, column, [&texts](BSTR& element, size_t k) {
        if (!texts[k]) return S_OK;
        element = SysAllocString(texts[k]);
        return element ? S_OK : E_OUTOFMEMORY;
    });
}

// What the historian answered for one catalogue (data types only for attributes).
struct Catalogue {
    DWORD count = 0;
    TaskArray<DWORD> ids;
    TaskArray<LPWSTR, TaskStringElements> names;
    TaskArray<LPWSTR, TaskStringElements> descriptions;
    TaskArray<VARTYPE> dataTypes;

    // Lets the holders free the strings whatever the answer was.
    void Received() {
        names.set_count(names.get() ? count : 0);
        descriptions.set_count(descriptions.get() ? count : 0);
    }

    // A historian that reports entries without the arrays to hold them (or
    // more than a client can index) has answered nothing usable.
    bool Complete(bool withDataTypes) const {
        if (count == 0) return true;
        return count <= kMaxEntries && ids && names.get() && descriptions.get() && (!withDataTypes || dataTypes);
    }
};

// What GetItemAttributes and GetAggregates do with the historian's answer:
// the columns, then the outputs.
HRESULT HandOut(Catalogue& answer, HRESULT historianResult, LONG* count, SAFEARRAY** ids, SAFEARRAY** names,
                SAFEARRAY** descriptions, SAFEARRAY** dataTypes) {
    if (!answer.Complete(dataTypes != nullptr)) return E_FAIL;
    UniqueSafeArray idColumn = NumberColumn<LONG>(VT_I4, answer.ids.get(), answer.count);
    UniqueSafeArray nameColumn, descriptionColumn, typeColumn;
    HRESULT hr = idColumn ? S_OK : E_FAIL;
    if (SUCCEEDED(hr)) hr = TextColumn(answer.names, answer.count, nameColumn);
    if (SUCCEEDED(hr)) hr = TextColumn(answer.descriptions, answer.count, descriptionColumn);
    if (SUCCEEDED(hr) && dataTypes) {
        typeColumn = NumberColumn<SHORT>(VT_I2, answer.dataTypes.get(), answer.count);
        if (!typeColumn) hr = E_FAIL;
    }
    if (FAILED(hr)) return hr;

    *count = static_cast<LONG>(answer.count);
    *ids = idColumn.detach();
    *names = nameColumn.detach();
    *descriptions = descriptionColumn.detach();
    if (dataTypes) *dataTypes = typeColumn.detach();
    return historianResult;
}

}  // namespace

STDMETHODIMP COPCHDAAutoServer::GetItemAttributes(LONG* Count, SAFEARRAY** AttributeIDs, SAFEARRAY** Names,
                                                  SAFEARRAY** Descriptions, SAFEARRAY** DataTypes) {
    if (!Count || !AttributeIDs || !Names || !Descriptions || !DataTypes) return E_POINTER;
    *Count = 0;
    *AttributeIDs = *Names = *Descriptions = *DataTypes = nullptr;
    if (!server_) return E_FAIL;
    Catalogue answer;
    HRESULT hr = server_->GetItemAttributes(&answer.count, answer.ids.put(), answer.names.put(),
                                            answer.descriptions.put(), answer.dataTypes.put());
    answer.Received();
    if (FAILED(hr)) return hr;
    return HandOut(answer, hr, Count, AttributeIDs, Names, Descriptions, DataTypes);
}

STDMETHODIMP COPCHDAAutoServer::GetAggregates(LONG* Count, SAFEARRAY** AggregateIDs, SAFEARRAY** Names,
                                              SAFEARRAY** Descriptions) {
    if (!Count || !AggregateIDs || !Names || !Descriptions) return E_POINTER;
    *Count = 0;
    *AggregateIDs = *Names = *Descriptions = nullptr;
    if (!server_) return E_FAIL;
    Catalogue answer;
    HRESULT hr = server_->GetAggregates(&answer.count, answer.ids.put(), answer.names.put(), answer.descriptions.put());
    answer.Received();
    if (FAILED(hr)) return hr;
    return HandOut(answer, hr, Count, AggregateIDs, Names, Descriptions, nullptr);
}
