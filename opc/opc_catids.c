/* The component category has no interface of its own, so widl does not emit it with
   the interface identifiers; it lives here, next to them. */
#include <windows.h>
#include "opc_hda.h"

const CATID CATID_OPCHDAServer10 = {0x7de5b060, 0xe089, 0x11d2, {0xa5, 0xe6, 0x00, 0x00, 0x86, 0x33, 0x93, 0x99}};
