// Turning the model's answers into the task-memory structures of the custom
// interfaces. They are freed by the product's own routines
// (ClearHistorianAnswer, history/historian_answers.h) when the simulator keeps
// them (callback payloads, error paths).
#pragma once

#include "opc_hda.h"
#include "opc/historian_answers.h"
#include "sim/model/historian.h"

namespace hdasim {

// Fills `out` (arrays in tracked task memory; null when there are no values).
// False when memory ran out (then nothing is left allocated in `out`).
bool FillItem(OPCHDA_ITEM& out, const ItemData& data, OPCHANDLE client, DWORD aggregate);
bool FillModified(OPCHDA_MODIFIEDITEM& out, const ModifiedData& data, OPCHANDLE client);
bool FillAttribute(OPCHDA_ATTRIBUTE& out, const AttributeData& data, OPCHANDLE client);
bool FillAnnotation(OPCHDA_ANNOTATION& out, const AnnotationData& data, OPCHANDLE client);

}  // namespace hdasim
