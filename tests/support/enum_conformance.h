// One conformance check for every enumerator of the library: Next in batches,
// Skip that never wraps, Reset, and Clone keeping a position of its own.
#pragma once

#include <windows.h>
#include <ocidl.h>

#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "com/com_holders.h"

namespace comtest {

inline void ClearElement(VARIANT& v) { VariantClear(&v); }
template <class I>
void ClearElement(I*& p) {
    if (I* held = std::exchange(p, nullptr)) held->Release();
}
inline void ClearElement(CONNECTDATA& c) { ClearElement(c.pUnk); }

// What `walk` still yields, fetched in batches (the last answers S_FALSE with what it found).
template <class Enum, class T>
ULONG CountRest(Enum* walk, ULONG batch) {
    std::vector<T> got(batch);
    ULONG total = 0;
    for (;;) {
        ULONG fetched = 0xBAD;
        HRESULT hr = walk->Next(batch, got.data(), &fetched);
        EXPECT_TRUE(hr == S_OK || hr == S_FALSE) << std::hex << hr;
        EXPECT_EQ(hr == S_OK, fetched == batch);
        if (fetched > batch) return total;
        for (ULONG k = 0; k < fetched; ++k) ClearElement(got[k]);
        total += fetched;
        if (hr != S_OK) return total;
    }
}

template <class Enum, class T>
void ExpectEnumeratorConforms(Enum* walk, ULONG count) {
    ASSERT_NE(walk, nullptr);
    for (ULONG batch : {ULONG{1}, ULONG{2}, count + 1}) {
        EXPECT_EQ(walk->Reset(), S_OK);
        EXPECT_EQ((CountRest<Enum, T>(walk, batch)), count) << "batches of " << batch;
    }
    T none{};
    ULONG fetched = 7;
    EXPECT_EQ(walk->Reset(), S_OK);
    EXPECT_EQ(walk->Next(0, &none, &fetched), S_OK);
    EXPECT_EQ(fetched, 0u);
    EXPECT_TRUE(!count || walk->Skip(count - 1) == S_OK);
    EXPECT_EQ((CountRest<Enum, T>(walk, 1)), count ? 1u : 0u);
    EXPECT_EQ(walk->Reset(), S_OK);
    EXPECT_EQ(walk->Skip(count), S_OK) << "a skip that lands exactly at the end skipped all it was asked to";
    for (ULONG distance : {count + 1, ULONG{0xFFFFFFFF}}) {  // no wrap-around
        EXPECT_EQ(walk->Reset(), S_OK);
        EXPECT_EQ(walk->Skip(distance), S_FALSE);
        EXPECT_EQ(walk->Next(1, &none, &fetched), S_FALSE);
        EXPECT_EQ(fetched, 0u);
    }
    // A clone starts where its original stands and moves on its own.
    EXPECT_EQ(walk->Reset(), S_OK);
    EXPECT_TRUE(!count || walk->Skip(1) == S_OK);
    ComPtr<Enum> clone;
    ASSERT_EQ(walk->Clone(clone.put()), S_OK);
    EXPECT_EQ(walk->Clone(nullptr), E_POINTER);
    EXPECT_EQ((CountRest<Enum, T>(clone.get(), 2)), count ? count - 1 : 0);
    EXPECT_EQ((CountRest<Enum, T>(walk, 2)), count ? count - 1 : 0);
    EXPECT_EQ(clone->Reset(), S_OK);
    EXPECT_EQ((CountRest<Enum, T>(clone.get(), 3)), count);
}

}  // namespace comtest
