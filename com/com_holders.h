// Owner types for every COM resource the component touches (task-memory
// arrays: com/task_array.h). Outside these holders nobody calls Release,
// SysFreeString, VariantClear, SafeArrayDestroy or CoTaskMemFree by hand, so a leak or a double free shows up as a named
// transfer (detach/put) in review rather than as a missing line.
#pragma once

#include <windows.h>
#include <oleauto.h>
#include <objbase.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <utility>

#include "com/task_array.h"
#include "com/variant_values.h"

// A counted interface reference.
template <class T>
class ComPtr {
public:
    ComPtr() = default;
    ComPtr(std::nullptr_t) {}
    // Takes a new reference on p.
    explicit ComPtr(T* p) : p_(p) {
        if (p_) p_->AddRef();
    }
    ComPtr(const ComPtr& o) : p_(o.p_) {
        if (p_) p_->AddRef();
    }
    ComPtr(ComPtr&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    ~ComPtr() { reset(); }
    ComPtr& operator=(const ComPtr& o) {
        ComPtr(o).swap(*this);
        return *this;
    }
    ComPtr& operator=(ComPtr&& o) noexcept {
        ComPtr(std::move(o)).swap(*this);
        return *this;
    }
    ComPtr& operator=(std::nullptr_t) {
        reset();
        return *this;
    }

    // Adopts a reference the caller already owns.
    static ComPtr attach(T* p) {
        ComPtr c;
        c.p_ = p;
        return c;
    }
    T* detach() { return std::exchange(p_, nullptr); }
    void reset() {
        if (T* p = std::exchange(p_, nullptr)) p->Release();
    }
    // For out-parameters: releases what is held and hands out the slot.
    T** put() {
        reset();
        return &p_;
    }
    void** put_void() {
        reset();
        return reinterpret_cast<void**>(&p_);
    }

    T* get() const { return p_; }
    T* operator->() const { return p_; }
    T& operator*() const { return *p_; }
    explicit operator bool() const { return p_ != nullptr; }
    void swap(ComPtr& o) noexcept { std::swap(p_, o.p_); }

    template <class U>
    HRESULT query(const IID& iid, ComPtr<U>& out) const {
        if (!p_) return E_POINTER;
        return p_->QueryInterface(iid, out.put_void());
    }
    // Hands a new reference to a raw out-parameter.
    void copy_to(T** out) const {
        *out = p_;
        if (p_) p_->AddRef();
    }

private:
    T* p_ = nullptr;
};

// One owner template for every resource that has a "none" value and one way
// to be let go, in the style of WIL's unique_any. Traits give the stored type,
// its none value, and how it is freed; the holders below add what is
// particular to their resource.
template <class Traits>
class UniqueAny {
public:
    using Type = typename Traits::Type;

    UniqueAny() noexcept : v_(Traits::None()) {}
    // Adopts a resource the caller owned.
    explicit UniqueAny(Type v) noexcept : v_(v) {}
    UniqueAny(const UniqueAny&) = delete;
    UniqueAny& operator=(const UniqueAny&) = delete;
    UniqueAny(UniqueAny&& o) noexcept : v_(o.detach()) {}
    UniqueAny& operator=(UniqueAny&& o) noexcept {
        if (this != &o) reset(o.detach());
        return *this;
    }
    ~UniqueAny() { reset(); }

    void reset(Type v = Traits::None()) noexcept {
        Type old = v_;
        v_ = v;
        if (!Traits::IsNone(old)) Traits::Free(old);
    }
    Type detach() noexcept {
        Type v = v_;
        v_ = Traits::None();
        return v;
    }
    // For out-parameters: frees what is held and hands out the slot.
    Type* put() noexcept {
        reset();
        return &v_;
    }
    const Type& get() const noexcept { return v_; }
    explicit operator bool() const noexcept { return !Traits::IsNone(v_); }

protected:
    Type v_;
};

template <class P>
struct PointerTraits {
    using Type = P;
    static P None() { return nullptr; }
    static bool IsNone(P p) { return p == nullptr; }
};
struct BstrTraits : PointerTraits<BSTR> {
    static void Free(BSTR s) { SysFreeString(s); }
};
struct SafeArrayTraits : PointerTraits<SAFEARRAY*> {
    static void Free(SAFEARRAY* a) { SafeArrayDestroy(a); }
};

struct VariantTraits {
    using Type = VARIANT;
    static VARIANT None() {
        VARIANT v;
        VariantInit(&v);
        return v;
    }
    static bool IsNone(const VARIANT& v) { return V_VT(&v) == VT_EMPTY; }
    static void Free(VARIANT v) { ClearVariantValue(&v); }
};

// A BSTR owned by this scope.
class UniqueBstr : public UniqueAny<BstrTraits> {
public:
    UniqueBstr() = default;
    // Copies (embedded zeros end the copy); null stays null.
    explicit UniqueBstr(const wchar_t* s) : UniqueAny(s ? SysAllocString(s) : nullptr) {}
    UniqueBstr(const wchar_t* s, UINT len) : UniqueAny(SysAllocStringLen(s, len)) {}

    static UniqueBstr attach(BSTR s) {
        UniqueBstr b;
        b.v_ = s;
        return b;
    }
    // A copy with the full stored length (embedded zeros kept); null gives "".
    static UniqueBstr copy_of(BSTR s) { return UniqueBstr(s ? s : L"", s ? SysStringLen(s) : 0); }
    UINT length() const { return v_ ? SysStringLen(v_) : 0; }
};

// A VARIANT cleared when the scope ends; the same size as a VARIANT, so that
// an array of holders can be handed to a call that takes VARIANT*.
class UniqueVariant : public UniqueAny<VariantTraits> {
public:
    using UniqueAny::UniqueAny;
    // A deep copy (VariantCopy); empty when the value cannot be copied.
    static UniqueVariant copy_of(const VARIANT* v) {
        UniqueVariant c;
        CopyVariantValue(&c.v_, v);
        return c;
    }
    VARIANT* get() { return &v_; }
    const VARIANT* get() const { return &v_; }
    VARIANT* operator->() { return &v_; }
    const VARIANT* operator->() const { return &v_; }
};

// Holders laid end to end are the VARIANT array a call takes (the callee
// sees plain variants; the holders clear them afterwards).
static_assert(sizeof(UniqueVariant) == sizeof(VARIANT) && std::is_standard_layout_v<UniqueVariant>);
inline VARIANT* AsVariantArray(UniqueVariant* holders) { return reinterpret_cast<VARIANT*>(holders); }

// A SAFEARRAY destroyed when the scope ends.
class UniqueSafeArray : public UniqueAny<SafeArrayTraits> {
public:
    using UniqueAny::UniqueAny;
    // A one-dimensional array with lower bound 1 and n elements.
    static UniqueSafeArray vector(VARTYPE vt, ULONG n) { return UniqueSafeArray(SafeArrayCreateVector(vt, 1, n)); }
};

// The elements of a SAFEARRAY as T, for the holder's scope (the array is
// locked meanwhile: it cannot be destroyed until the holder goes). Empty when
// the array is null or cannot be accessed.
template <class T>
class SafeArrayData {
public:
    explicit SafeArrayData(SAFEARRAY* array) {
        void* data = nullptr;
        if (array && SUCCEEDED(SafeArrayAccessData(array, &data))) {
            array_ = array;
            data_ = static_cast<T*>(data);
        }
    }
    ~SafeArrayData() {
        if (array_) SafeArrayUnaccessData(array_);
    }
    SafeArrayData(const SafeArrayData&) = delete;
    SafeArrayData& operator=(const SafeArrayData&) = delete;
    explicit operator bool() const { return data_ != nullptr; }
    T* get() const { return data_; }
    T& operator[](size_t i) const { return data_[i]; }

private:
    SAFEARRAY* array_ = nullptr;
    T* data_ = nullptr;
};

// Critical section with scoped entry.
class CriticalSection {
public:
    CriticalSection() { InitializeCriticalSection(&cs_); }
    ~CriticalSection() { DeleteCriticalSection(&cs_); }
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;
    void enter() { EnterCriticalSection(&cs_); }
    void leave() { LeaveCriticalSection(&cs_); }

private:
    CRITICAL_SECTION cs_;
};

class CsLock {
public:
    explicit CsLock(CriticalSection& cs) : cs_(cs) { cs_.enter(); }
    ~CsLock() { cs_.leave(); }
    CsLock(const CsLock&) = delete;
    CsLock& operator=(const CsLock&) = delete;

private:
    CriticalSection& cs_;
};
