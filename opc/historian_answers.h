// The historian hands its answers back as arrays of structures in task
// memory, each structure holding further arrays, strings and variants. One
// routine per structure kind frees such an array completely: the variants of
// every element are cleared, the strings freed, the inner arrays freed, then
// the array itself. HistorianAnswer<T> owns such an array.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <algorithm>

#include "opc_hda.h"
#include "com/com_holders.h"

// A count the historian sent with its arrays, cut to what the smallest of
// them (null ones aside) holds: nothing is ever walked past a block, however
// wrong the count. Only for blocks that are task memory the caller owns.
template <class... T>
DWORD WalkableCount(DWORD count, const T*... arrays) {
    size_t walkable = count;
    ((walkable = std::min(walkable, TaskMemoryElements(arrays, sizeof(T)))), ...);
    return static_cast<DWORD>(walkable);
}

// Frees what one element owns (its inner arrays, strings and variants) and
// zeroes its counts and pointers; the element itself is left in place.
void ClearHistorianAnswer(OPCHDA_ITEM& item);
void ClearHistorianAnswer(OPCHDA_MODIFIEDITEM& item);
void ClearHistorianAnswer(OPCHDA_ATTRIBUTE& attribute);
void ClearHistorianAnswer(OPCHDA_ANNOTATION& annotation);

// A historian-allocated array of T (one of the four structures above),
// freed with everything each element owns. The element count is that of the
// request, known before the call:
//
//     HistorianAnswer<OPCHDA_ITEM> values(numItems);
//     hr = syncRead->ReadRaw(..., values.put(), errors.put());
//     ... values[i] ...
//
// A failed call allocates nothing, so put() leaves a null pointer and the
// holder frees nothing.
struct HistorianAnswerElements {
    static constexpr bool kOwnsInside = true;
    template <class T>
    static void Clear(T& element) noexcept {
        ClearHistorianAnswer(element);
    }
};
template <class T>
using HistorianAnswer = TaskArray<T, HistorianAnswerElements>;

// Frees an array of `count` elements that the historian allocated, with
// everything each element owns. A null array is ignored.
template <class T>
void FreeHistorianAnswer(T* elements, size_t count) {
    HistorianAnswer<T> gone = HistorianAnswer<T>::attach(elements, count);
}
