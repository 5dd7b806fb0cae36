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
};
