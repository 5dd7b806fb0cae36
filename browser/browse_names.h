// The names a historian's string enumerator hands out, collected in batches
// and turned into the client's array.
#pragma once

#include <windows.h>
#include <objidl.h>

#include <cstddef>

#include "com/com_holders.h"

class BrowseNames {
public:
    // Names asked of the enumerator per call.
    static constexpr ULONG kBatch = 100;

    BrowseNames() = default;
    BrowseNames(const BrowseNames&) = delete;
    BrowseNames& operator=(const BrowseNames&) = delete;

    // Calls Next for kBatch names while it answers exactly S_OK and returns
    // the last answer. On a failure every name collected so far is freed.
    // Null names are dropped; a count above the batch is not believed.
    HRESULT Collect(IEnumString* enumerator);

    // A one-dimensional VT_BSTR array, lower bound 1, one element per name in
    // the order received; the historian's strings are freed as they are
    // copied. E_FAIL when the array cannot be made, E_OUTOFMEMORY when a
    // name cannot be copied.
    HRESULT ToArray(UniqueSafeArray& array);

    size_t size() const { return names_.count(); }

private:
    // Room for a batch past the names collected; false when it cannot be had.
    bool MakeRoom();
    void FreeAll();

    TaskArray<LPWSTR, TaskStringElements> names_;  // counts the names collected
    size_t capacity_ = 0;
};
