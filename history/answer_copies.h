// Deep copies of one element of a historian's answer, in task memory as the
// historian allocates it: what a history does with an answer the historian
// keeps (a callback's), so that its histories can then keep the copy as they
// keep a synchronous read's answer.
#pragma once

#include <windows.h>

#include "opc_hda.h"
#include "opc/historian_answers.h"

// `copy` receives the count and a copy of every array of `source` (a null
// array stays null; a value that cannot be copied becomes VT_ERROR with the
// reason). False when memory runs out: `copy` then holds nothing.
bool CopyHistorianAnswer(const OPCHDA_ITEM& source, OPCHDA_ITEM& copy);
bool CopyHistorianAnswer(const OPCHDA_MODIFIEDITEM& source, OPCHDA_MODIFIEDITEM& copy);
bool CopyHistorianAnswer(const OPCHDA_ATTRIBUTE& source, OPCHDA_ATTRIBUTE& copy);
bool CopyHistorianAnswer(const OPCHDA_ANNOTATION& source, OPCHDA_ANNOTATION& copy);

// A one-element answer holding a copy of `source`; empty when memory runs out.
template <class T>
HistorianAnswer<T> CopyAsAnswer(const T& source) {
    HistorianAnswer<T> copy = HistorianAnswer<T>::zeroed(1);
    if (copy && !CopyHistorianAnswer(source, copy[0])) copy.reset();
    return copy;
}
