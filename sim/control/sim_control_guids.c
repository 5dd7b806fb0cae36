/* Storage for the simulator's class identifiers declared in sim_control.h. */
#include <initguid.h>
#include "sim_control.h"
