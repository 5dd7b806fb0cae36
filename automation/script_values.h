// The values script hosts hold that typed clients never pass: VBScript arrays
// (VT_ARRAY|VT_VARIANT), JScript arrays and dates (objects behind VT_DISPATCH).
// These turn them into the typed values the members declare, and back.
#pragma once

#include <windows.h>
#include <oaidl.h>

namespace script_values {

// Types whose value fits the VARIANT union and moves by copying bytes.
bool IsPlainType(VARTYPE vt);

// A JScript Date's value as a local date. S_FALSE when the object is not a
// date; DISP_E_TYPEMISMATCH for an invalid one.
HRESULT DateOf(IDispatch* object, DATE* date);

// A JScript array (an object with a numeric `length`) as a one-dimensional
// VT_ARRAY|VT_VARIANT with its own bounds (0 to length - 1); a hole is
// VT_EMPTY. S_FALSE (and null) when the object is not an array.
HRESULT ArrayOf(IDispatch* object, SAFEARRAY** array);

// Whether an object is a JScript array (has a numeric `length`).
bool IsArray(IDispatch* object);

// Replaces the contents of a JScript array with the elements of `from`, each
// at its own index.
HRESULT FillArray(IDispatch* object, SAFEARRAY* from);

// A new array of element type `to` with the dimensions and bounds of `from`,
// converted element by element (JScript dates give their date, by-reference
// elements their value). An element that does not convert gives
// DISP_E_TYPEMISMATCH.
HRESULT ConvertArray(SAFEARRAY* from, VARTYPE to, SAFEARRAY** converted);

}  // namespace script_values
