// Deep copies of one element of a historian's answer, in task memory as the
// historian allocates it: what a history does with an answer the historian
// keeps (a callback's), so that it can then keep the copy as it keeps a
// synchronous read's answer.
#pragma once

#include <windows.h>

#include "opc_hda.h"

// `copy` receives the count and a copy of every array of `source` (a null
// array stays null; a value that cannot be copied becomes VT_ERROR with the
// reason). False when memory runs out: `copy` then holds nothing.
bool CopyHistorianAnswer(const OPCHDA_ITEM& source, OPCHDA_ITEM& copy);
bool CopyHistorianAnswer(const OPCHDA_MODIFIEDITEM& source, OPCHDA_MODIFIEDITEM& copy);
bool CopyHistorianAnswer(const OPCHDA_ATTRIBUTE& source, OPCHDA_ATTRIBUTE& copy);
bool CopyHistorianAnswer(const OPCHDA_ANNOTATION& source, OPCHDA_ANNOTATION& copy);
