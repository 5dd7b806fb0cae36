#include "COPCHDAValue.h"

// The dual interface pointer is the client's IDispatch; IDispatch alone is not answered.
const InterfaceEntry COPCHDAValue::kInterfaces[1] = {
    Interface<COPCHDAValue, OPCHDAValue>(IID_OPCHDAValue),
};
