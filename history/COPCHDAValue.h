// COPCHDAValue: one value of an item's history as the client sees it.
#pragma once

#include "history/value_fields.h"

// Filled once, then read-only: nothing to lock.
class COPCHDAValue;
template <>
inline constexpr bool kHasObjectLock<COPCHDAValue> = false;

// The dual interface pointer is the client's IDispatch; IDispatch alone is not answered.
class COPCHDAValue final : public ValueFields<COPCHDAValue, OPCHDAValue> {
public:
    static constexpr char kTraceName[] = "COPCHDAValue";

    // Called once by the history, right after creation. Virtual so that it
    // holds the slot right after the dual interface's members.
    virtual HRESULT SetValue(DATE timeStamp, const VARIANT* value, LONG quality) {
        SetFields(timeStamp, value, quality);
        return S_OK;
    }
};
