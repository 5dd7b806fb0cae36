// Owner types for every COM resource the component touches. Outside these
// holders nobody calls Release, SysFreeString, VariantClear, SafeArrayDestroy
// or CoTaskMemFree by hand, so a leak or a double free shows up as a named
// transfer (detach/put) in review rather than as a missing line.
#pragma once

#include <windows.h>
#include <oleauto.h>
#include <objbase.h>

#include <cstddef>
#include <utility>

// A counted interface reference.
template <class T>
class ComPtr {
public:
    ComPtr() = default;
    ComPtr(std::nullptr_t) {}
    // Takes a new reference on p.
    explicit ComPtr(T* p) : p_(p) { if (p_) p_->AddRef(); }
    ComPtr(const ComPtr& o) : p_(o.p_) { if (p_) p_->AddRef(); }
    ComPtr(ComPtr&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    ~ComPtr() { reset(); }
    ComPtr& operator=(const ComPtr& o) { ComPtr(o).swap(*this); return *this; }
    ComPtr& operator=(ComPtr&& o) noexcept { ComPtr(std::move(o)).swap(*this); return *this; }
    ComPtr& operator=(std::nullptr_t) { reset(); return *this; }

    // Adopts a reference the caller already owns.
    static ComPtr attach(T* p) { ComPtr c; c.p_ = p; return c; }
    T* detach() { return std::exchange(p_, nullptr); }
    void reset() { if (T* p = std::exchange(p_, nullptr)) p->Release(); }
    // For out-parameters: releases what is held and hands out the slot.
    T** put() { reset(); return &p_; }
    void** put_void() { reset(); return reinterpret_cast<void**>(&p_); }

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
    void copy_to(T** out) const { *out = p_; if (p_) p_->AddRef(); }

private:
    T* p_ = nullptr;
};

// A BSTR owned by this scope.
class UniqueBstr {
public:
    UniqueBstr() = default;
    explicit UniqueBstr(const wchar_t* s) : s_(s ? SysAllocString(s) : nullptr) {}
    UniqueBstr(const wchar_t* s, UINT len) : s_(SysAllocStringLen(s, len)) {}
    UniqueBstr(const UniqueBstr&) = delete;
    UniqueBstr& operator=(const UniqueBstr&) = delete;
    UniqueBstr(UniqueBstr&& o) noexcept : s_(std::exchange(o.s_, nullptr)) {}
    UniqueBstr& operator=(UniqueBstr&& o) noexcept { reset(std::exchange(o.s_, nullptr)); return *this; }
    ~UniqueBstr() { reset(); }

    static UniqueBstr attach(BSTR s) { UniqueBstr b; b.s_ = s; return b; }
    // A copy with the full stored length (embedded zeros kept); null gives "".
    static UniqueBstr copy_of(BSTR s) { return UniqueBstr(s ? s : L"", s ? SysStringLen(s) : 0); }
    BSTR detach() { return std::exchange(s_, nullptr); }
    void reset(BSTR s = nullptr) { if (s_ != s) SysFreeString(s_); s_ = s; }
    BSTR* put() { reset(); return &s_; }
    BSTR get() const { return s_; }
    UINT length() const { return s_ ? SysStringLen(s_) : 0; }
    explicit operator bool() const { return s_ != nullptr; }

private:
    BSTR s_ = nullptr;
};

// A VARIANT cleared when the scope ends.
class UniqueVariant {
public:
    UniqueVariant() { VariantInit(&v_); }
    UniqueVariant(const UniqueVariant&) = delete;
    UniqueVariant& operator=(const UniqueVariant&) = delete;
    UniqueVariant(UniqueVariant&& o) noexcept : v_(o.v_) { VariantInit(&o.v_); }
    ~UniqueVariant() { VariantClear(&v_); }

    VARIANT* get() { return &v_; }
    const VARIANT* get() const { return &v_; }
    VARIANT* operator->() { return &v_; }
    const VARIANT* operator->() const { return &v_; }
    VARIANT* put() { VariantClear(&v_); return &v_; }
    void reset() { VariantClear(&v_); }
    // Moves the content into a raw VARIANT the caller owns (cleared first).
    void detach_to(VARIANT* out) { VariantClear(out); *out = v_; VariantInit(&v_); }

private:
    VARIANT v_;
};

// A SAFEARRAY destroyed when the scope ends.
class UniqueSafeArray {
public:
    UniqueSafeArray() = default;
    explicit UniqueSafeArray(SAFEARRAY* sa) : sa_(sa) {}
    UniqueSafeArray(const UniqueSafeArray&) = delete;
    UniqueSafeArray& operator=(const UniqueSafeArray&) = delete;
    UniqueSafeArray(UniqueSafeArray&& o) noexcept : sa_(std::exchange(o.sa_, nullptr)) {}
    UniqueSafeArray& operator=(UniqueSafeArray&& o) noexcept { reset(std::exchange(o.sa_, nullptr)); return *this; }
    ~UniqueSafeArray() { reset(); }

    // A one-dimensional array with lower bound 1 and n elements.
    static UniqueSafeArray vector(VARTYPE vt, ULONG n) { return UniqueSafeArray(SafeArrayCreateVector(vt, 1, n)); }
    SAFEARRAY* detach() { return std::exchange(sa_, nullptr); }
    void reset(SAFEARRAY* sa = nullptr) { if (sa_ && sa_ != sa) SafeArrayDestroy(sa_); sa_ = sa; }
    SAFEARRAY** put() { reset(); return &sa_; }
    SAFEARRAY* get() const { return sa_; }
    explicit operator bool() const { return sa_ != nullptr; }

private:
    SAFEARRAY* sa_ = nullptr;
};

// A block of task memory (typically an array a callee allocated), freed with
// CoTaskMemFree. Element cleanup (strings, variants inside) is the owner's
// business before the block goes; see the free helpers next to each structure.
template <class T>
class CoTaskMemPtr {
public:
    CoTaskMemPtr() = default;
    explicit CoTaskMemPtr(T* p) : p_(p) {}
    CoTaskMemPtr(const CoTaskMemPtr&) = delete;
    CoTaskMemPtr& operator=(const CoTaskMemPtr&) = delete;
    CoTaskMemPtr(CoTaskMemPtr&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    CoTaskMemPtr& operator=(CoTaskMemPtr&& o) noexcept { reset(std::exchange(o.p_, nullptr)); return *this; }
    ~CoTaskMemPtr() { reset(); }

    // Allocates n elements (uninitialised); null on failure.
    static CoTaskMemPtr alloc(size_t n) { return CoTaskMemPtr(static_cast<T*>(CoTaskMemAlloc(n ? n * sizeof(T) : 1))); }
    T* detach() { return std::exchange(p_, nullptr); }
    void reset(T* p = nullptr) { if (p_ && p_ != p) CoTaskMemFree(p_); p_ = p; }
    T** put() { reset(); return &p_; }
    T* get() const { return p_; }
    T& operator[](size_t i) const { return p_[i]; }
    explicit operator bool() const { return p_ != nullptr; }

private:
    T* p_ = nullptr;
};

// A callee-allocated array of task-memory strings: frees every string, then the array.
class CoTaskMemStrings {
public:
    CoTaskMemStrings() = default;
    CoTaskMemStrings(const CoTaskMemStrings&) = delete;
    CoTaskMemStrings& operator=(const CoTaskMemStrings&) = delete;
    ~CoTaskMemStrings() { reset(); }
    void reset() {
        if (p_) for (size_t i = 0; i < n_; ++i) CoTaskMemFree(p_[i]);
        CoTaskMemFree(p_);
        p_ = nullptr;
        n_ = 0;
    }
    // The count is known only after the call that fills the array.
    LPWSTR** put() { reset(); return &p_; }
    void set_count(size_t n) { n_ = n; }
    LPWSTR* get() const { return p_; }
    // Hands string i over to the caller, who frees it.
    LPWSTR take(size_t i) { return std::exchange(p_[i], nullptr); }
    LPWSTR operator[](size_t i) const { return p_[i]; }

private:
    LPWSTR* p_ = nullptr;
    size_t n_ = 0;
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
