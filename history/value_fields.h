// The fields and getters that OPCHDAValue and OPCHDAEntry share: an entry is
// a value that also records an edit, and its interface begins with the
// value's members, so one implementation serves both classes.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include "OPCHDAAuto.h"
#include "com/implements.h"
#include "automation/type_info_holder.h"
#include "com/variant_values.h"

// D is the class, Itf its dual interface, Extra further rows of its table.
template <class D, class Itf, class... Extra>
class ValueFields : public Implements<D, DispatchImpl<Itf>, Extra...> {
public:
    STDMETHODIMP get_TimeStamp(DATE* pVal) override { return PropertyGet(pVal, timeStamp_); }
    // The client always gets its own deep copy; a number is copied in place,
    // without a call into the runtime.
    STDMETHODIMP get_DataValue(VARIANT* pVal) override {
        if (!pVal) return E_POINTER;
        if (VariantOwnsNothing(V_VT(pVal)) && VariantOwnsNothing(V_VT(dataValue_.get()))) {
            *pVal = *dataValue_.get();
            return S_OK;
        }
        VariantClear(pVal);
        return VariantCopy(pVal, dataValue_.get());
    }
    STDMETHODIMP get_Quality(LONG* pVal) override { return PropertyGet(pVal, static_cast<LONG>(quality_)); }

protected:
    // What the value's SetValue and the entry's SetEntry fill first.
    void SetFields(DATE timeStamp, const VARIANT* value, LONG quality) {
        timeStamp_ = timeStamp;
        HRESULT hr = CopyVariantValue(dataValue_.put(), value);
        if (FAILED(hr)) {
            // A value that cannot be copied still reaches the client, as the reason.
            VariantInit(dataValue_.get());
            V_VT(dataValue_.get()) = VT_ERROR;
            V_ERROR(dataValue_.get()) = hr;
        }
        quality_ = static_cast<DWORD>(quality);
    }

    DATE timeStamp_ = 0.0;
    UniqueVariant dataValue_;
    DWORD quality_ = 0;
};
