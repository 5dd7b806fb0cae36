// The one owner of a block of task memory: an array a callee allocated (or
// one we allocate to hand out), with the elements' own resources let go
// before the block is. What an element owns is said by its traits, so a
// historian's string array, a variant array and an array of answer structures
// are the same holder:
//
//     TaskArray<HRESULT> codes;                      // nothing inside
//     TaskArray<LPWSTR, TaskStringElements> names;   // each string freed
//     hr = server->GetItemAttributes(&count, ids.put(), names.put(), ...);
//     names.set_count(count);
//
// Elements are walked only as far as the allocator says the block reaches: a
// count that arrives with a callee's block is believed no further.
#pragma once

#include <windows.h>
#include <objbase.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

#include "com/variant_values.h"

// How many elements of `size` bytes a task-memory block holds, as its
// allocator knows it. SIZE_MAX when the allocator cannot tell (a null block).
inline size_t TaskMemoryElements(const void* block, size_t size) {
    IMalloc* allocator = nullptr;
    if (!block || !size || FAILED(CoGetMalloc(1, &allocator))) return SIZE_MAX;
    const SIZE_T bytes = allocator->GetSize(const_cast<void*>(block));
    allocator->Release();
    return bytes == static_cast<SIZE_T>(-1) ? SIZE_MAX : bytes / size;
}

// Element traits. kOwnsInside false: the block is freed without a walk.
struct PlainElements {
    static constexpr bool kOwnsInside = false;
    template <class T>
    static void Clear(T&) noexcept {}
};
struct TaskStringElements {
    static constexpr bool kOwnsInside = true;
    static void Clear(LPWSTR& s) noexcept { CoTaskMemFree(std::exchange(s, nullptr)); }
};
struct VariantElements {
    static constexpr bool kOwnsInside = true;
    static void Clear(VARIANT& v) noexcept { ClearVariantValue(&v); }
};

template <class T, class Elements = PlainElements>
class TaskArray {
public:
    TaskArray() = default;
    // For a call's out-parameter whose element count the caller knows before
    // the call (that of its request); put() keeps it.
    explicit TaskArray(size_t count) noexcept : count_(count) {}
    TaskArray(const TaskArray&) = delete;
    TaskArray& operator=(const TaskArray&) = delete;
    TaskArray(TaskArray&& o) noexcept : p_(std::exchange(o.p_, nullptr)), count_(std::exchange(o.count_, 0)) {}
    TaskArray& operator=(TaskArray&& o) noexcept {
        if (this != &o) {
            reset();
            p_ = std::exchange(o.p_, nullptr);
            count_ = std::exchange(o.count_, 0);
        }
        return *this;
    }
    ~TaskArray() { reset(); }

    // Adopts a block of `count` elements the caller owned.
    static TaskArray attach(T* block, size_t count) noexcept {
        TaskArray a(count);
        a.p_ = block;
        return a;
    }
    // A new block of n elements, uninitialised; null when it cannot be had,
    // or when its size would wrap (a lying count on x86).
    static TaskArray alloc(size_t n) noexcept {
        if (n > SIZE_MAX / sizeof(T)) return TaskArray();
        return attach(static_cast<T*>(CoTaskMemAlloc(n ? n * sizeof(T) : 1)), n);
    }
    // The same, every byte zero (null strings, VT_EMPTY variants).
    static TaskArray zeroed(size_t n) noexcept {
        TaskArray a = alloc(n);
        if (a.p_) std::memset(static_cast<void*>(a.p_), 0, n * sizeof(T));
        return a;
    }

    // Makes room for `capacity` elements, keeping the counted ones; the room
    // past them is uninitialised. False, with the block as it was, when the
    // memory cannot be had or the size would wrap.
    bool grow(size_t capacity) noexcept {
        if (capacity < count_ || capacity > SIZE_MAX / sizeof(T)) return false;
        void* bigger = CoTaskMemRealloc(p_, capacity ? capacity * sizeof(T) : 1);
        if (!bigger) return false;
        p_ = static_cast<T*>(bigger);
        return true;
    }

    void reset() noexcept {
        T* p = std::exchange(p_, nullptr);
        if (!p) return;
        if constexpr (Elements::kOwnsInside)
            for (size_t i = 0, n = std::min(count_, TaskMemoryElements(p, sizeof(T))); i < n; ++i) Elements::Clear(p[i]);
        CoTaskMemFree(p);
    }
    // Frees what is held and hands out the slot for an out-parameter.
    T** put() noexcept {
        reset();
        return &p_;
    }
    // For blocks whose element count the callee reports itself.
    void set_count(size_t count) noexcept { count_ = count; }
    size_t count() const noexcept { return count_; }
    // Hands the block over; its elements' resources go with it.
    T* detach() noexcept {
        count_ = 0;
        return std::exchange(p_, nullptr);
    }
    // Hands element i over to the caller, who then owns what it holds.
    T take(size_t i) noexcept { return std::exchange(p_[i], T{}); }

    T* get() const noexcept { return p_; }
    T& operator[](size_t i) const noexcept { return p_[i]; }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    T* p_ = nullptr;
    size_t count_ = 0;
};
