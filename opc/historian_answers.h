// The historian hands its answers back as arrays of structures in task
// memory, each structure holding further arrays, strings and variants. One
// routine per structure kind frees such an array completely: the variants of
// every element are cleared, the strings freed, the inner arrays freed, then
// the array itself. HistorianAnswer<T> owns such an array for a scope.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <algorithm>
#include <utility>

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

// Frees an array of `count` elements that the historian allocated, with
// everything each element owns. A null array is ignored.
void FreeHistorianItems(OPCHDA_ITEM* items, DWORD count);
void FreeHistorianModifiedItems(OPCHDA_MODIFIEDITEM* items, DWORD count);
void FreeHistorianAttributes(OPCHDA_ATTRIBUTE* attributes, DWORD count);
void FreeHistorianAnnotations(OPCHDA_ANNOTATION* annotations, DWORD count);

inline void FreeHistorianArray(OPCHDA_ITEM* p, DWORD n) { FreeHistorianItems(p, n); }
inline void FreeHistorianArray(OPCHDA_MODIFIEDITEM* p, DWORD n) { FreeHistorianModifiedItems(p, n); }
inline void FreeHistorianArray(OPCHDA_ATTRIBUTE* p, DWORD n) { FreeHistorianAttributes(p, n); }
inline void FreeHistorianArray(OPCHDA_ANNOTATION* p, DWORD n) { FreeHistorianAnnotations(p, n); }

// Owns a historian-allocated array of T (one of the four structures above).
// The element count is that of the request, known before the call:
//
//     HistorianAnswer<OPCHDA_ITEM> values(numItems);
//     hr = syncRead->ReadRaw(..., values.put(), errors.put());
//     ... values[i] ...
//
// A failed call allocates nothing, so put() leaves a null pointer and the
// holder frees nothing.
template <class T>
class HistorianAnswer {
public:
    explicit HistorianAnswer(DWORD count = 0) : count_(count) {}
    HistorianAnswer(const HistorianAnswer&) = delete;
    HistorianAnswer& operator=(const HistorianAnswer&) = delete;
    HistorianAnswer(HistorianAnswer&& o) noexcept
        : p_(std::exchange(o.p_, nullptr)), count_(std::exchange(o.count_, 0)) {}
    HistorianAnswer& operator=(HistorianAnswer&& o) noexcept {
        if (this != &o) {
            reset();
            p_ = std::exchange(o.p_, nullptr);
            count_ = std::exchange(o.count_, 0);
        }
        return *this;
    }
    ~HistorianAnswer() { reset(); }

    void reset() {
        if (p_) FreeHistorianArray(std::exchange(p_, nullptr), count_);
    }
    // Frees what is held and hands out the slot for the call's out-parameter.
    T** put() {
        reset();
        return &p_;
    }
    // For answers whose element count the historian reports itself.
    void set_count(DWORD count) { count_ = count; }
    DWORD count() const { return count_; }
    T* get() const { return p_; }
    T& operator[](size_t i) const { return p_[i]; }
    explicit operator bool() const { return p_ != nullptr; }

private:
    T* p_ = nullptr;
    DWORD count_ = 0;
};
