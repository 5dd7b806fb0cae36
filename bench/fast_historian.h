// A historian that costs as little as a historian can: ReadRaw hands out a
// raw answer prepared once (time stamps, qualities and doubles of one item),
// copied into fresh task memory for every item of every call, since the caller
// frees what it receives. Nothing else is answered beyond what a connection
// and its items need. It lives in the benchmark's process, registered as a
// class object, so that the automation DLL reaches it as it reaches any
// historian, and the read through the DLL can be set against the historian's
// own call without a simulator's costs in between.
#pragma once

#include <windows.h>
#include <objbase.h>

#include <cstring>
#include <vector>

#include "opc_hda.h"
#include "com/file_time.h"
#include "com/task_array.h"
#include "support/refusing_historian.h"

namespace fastbench {

// {6A3C9E51-4B1F-4E0D-9C57-2F0D8E1B7A31}; the automation DLL connects to it by this text.
inline constexpr CLSID kClsid = {0x6a3c9e51, 0x4b1f, 0x4e0d, {0x9c, 0x57, 0x2f, 0x0d, 0x8e, 0x1b, 0x7a, 0x31}};
inline constexpr wchar_t kClsidText[] = L"{6A3C9E51-4B1F-4E0D-9C57-2F0D8E1B7A31}";

// What it does not answer, it refuses as the tests' fake historians do.
class FastHistorian final : public comtest::RefusingHistorian<IOPCHDA_Server>,
                           public comtest::RefusingSyncRead<IOPCHDA_SyncRead>,
                           public IClassFactory {
public:
    // The answer of each item: `values` doubles ten seconds apart.
    void Prepare(DWORD values) {
        stamps_.resize(values);
        qualities_.assign(values, 0xC0);
        values_.resize(values);
        const ULONGLONG start = 133485408000000000ULL;  // 2024-01-01 UTC
        for (DWORD k = 0; k < values; ++k) {
            const ULONGLONG t = start + k * 100000000ULL;
            stamps_[k] = FileTimeOf(t);
            VariantInit(&values_[k]);
            V_VT(&values_[k]) = VT_R8;
            V_R8(&values_[k]) = k * 0.5;
        }
    }

    // Registered for the process while it lives.
    HRESULT Register() {
        return CoRegisterClassObject(kClsid, static_cast<IClassFactory*>(this), CLSCTX_INPROC_SERVER,
                                     REGCLS_MULTIPLEUSE, &cookie_);
    }
    void Revoke() {
        if (cookie_) CoRevokeClassObject(cookie_);
        cookie_ = 0;
    }

    // IUnknown: one static object, never deleted.
    STDMETHODIMP QueryInterface(REFIID iid, void** ppv) override {
        if (!ppv) return E_POINTER;
        if (iid == IID_IUnknown || iid == IID_IOPCHDA_Server)
            *ppv = static_cast<IOPCHDA_Server*>(this);
        else if (iid == IID_IOPCHDA_SyncRead)
            *ppv = static_cast<IOPCHDA_SyncRead*>(this);
        else if (iid == IID_IClassFactory)
            *ppv = static_cast<IClassFactory*>(this);
        else
            *ppv = nullptr;
        return *ppv ? S_OK : E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }

    // IClassFactory
    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID iid, void** ppv) override {
        if (ppv) *ppv = nullptr;
        return outer ? CLASS_E_NOAGGREGATION : QueryInterface(iid, ppv);
    }
    STDMETHODIMP LockServer(BOOL) override { return S_OK; }

    // IOPCHDA_Server: handles are the items' positions, 1 to n.
    STDMETHODIMP GetItemHandles(DWORD count, LPWSTR*, OPCHANDLE*, OPCHANDLE** handles, HRESULT** errors) override {
        *handles = Task<OPCHANDLE>(count);
        *errors = Task<HRESULT>(count);
        for (DWORD i = 0; i < count; ++i) {
            (*handles)[i] = i + 1;
            (*errors)[i] = S_OK;
        }
        return S_OK;
    }
    STDMETHODIMP ReleaseItemHandles(DWORD count, OPCHANDLE*, HRESULT** errors) override {
        *errors = Task<HRESULT>(count);
        for (DWORD i = 0; i < count; ++i) (*errors)[i] = S_OK;
        return S_OK;
    }
    STDMETHODIMP ValidateItemIDs(DWORD count, LPWSTR*, HRESULT** errors) override {
        return ReleaseItemHandles(count, nullptr, errors);
    }

    // IOPCHDA_SyncRead: the prepared answer for each item, whatever the
    // handles and times (at most the prepared count of values).
    STDMETHODIMP ReadRaw(OPCHDA_TIME* start, OPCHDA_TIME* end, DWORD numValues, BOOL, DWORD numItems, OPCHANDLE*,
                         OPCHDA_ITEM** items, HRESULT** errors) override {
        const DWORD n = numValues && numValues < stamps_.size() ? numValues : static_cast<DWORD>(stamps_.size());
        start->ftTime = stamps_.empty() ? FILETIME{} : stamps_.front();
        end->ftTime = stamps_.empty() ? FILETIME{} : stamps_.back();
        OPCHDA_ITEM* answer = Task<OPCHDA_ITEM>(numItems);
        HRESULT* codes = Task<HRESULT>(numItems);
        for (DWORD i = 0; i < numItems; ++i) {
            OPCHDA_ITEM& item = answer[i];
            item.hClient = i + 1;
            item.haAggregate = 0;
            item.dwCount = n;
            item.pftTimeStamps = Copy(stamps_.data(), n);
            item.pdwQualities = Copy(qualities_.data(), n);
            item.pvDataValues = Copy(values_.data(), n);  // doubles: a copy of the bytes is a copy
            codes[i] = S_OK;
        }
        *items = answer;
        *errors = codes;
        return S_OK;
    }

private:
    template <class T>
    static T* Task(DWORD n) {
        return TaskArray<T>::alloc(n).detach();
    }
    template <class T>
    static T* Copy(const T* source, DWORD n) {
        return static_cast<T*>(std::memcpy(Task<T>(n), source, n * sizeof(T)));
    }

    std::vector<FILETIME> stamps_;
    std::vector<DWORD> qualities_;
    std::vector<VARIANT> values_;
    DWORD cookie_ = 0;
};

}  // namespace fastbench
