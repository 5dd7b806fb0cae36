// COPCHDAValue: one value of an item's history as the client sees it.
#pragma once

#include "value_fields.h"

class COPCHDAValue final : public ValueFields<OPCHDAValue, &IID_OPCHDAValue> {
public:
    static const InterfaceEntry kInterfaces[1];
    OPCHDA_IUNKNOWN(COPCHDAValue)
};
