// The values script hosts hold that typed clients never pass: VBScript arrays
// (VT_ARRAY|VT_VARIANT), JScript arrays and dates (objects behind VT_DISPATCH).
// These turn them into the typed values the members declare, and back.
#pragma once

#include <windows.h>
#include <oaidl.h>

namespace script_values {

// The value a by-reference VARIANT (a script variable) holds, or `v` itself.
inline const VARIANT& Dereferenced(const VARIANT& v) {
    return v.vt == (VT_BYREF | VT_VARIANT) && v.pvarVal ? *v.pvarVal : v;
}

// No argument, or nothing to receive a result: omitted, undefined or null.
inline bool PassesNothing(const VARIANT& v) {
    return v.vt == VT_EMPTY || v.vt == VT_NULL || (v.vt == VT_ERROR && v.scode == DISP_E_PARAMNOTFOUND);
}

// Types whose value fits the VARIANT union and moves by copying bytes.
bool IsPlainType(VARTYPE vt);

// A JScript Date's value as a local date. S_FALSE when the object is not a
// date; DISP_E_TYPEMISMATCH for an invalid one.
HRESULT DateOf(IDispatch* object, DATE* date);

// The most elements a script array converts to: more cannot be a real
// script's array, and every element size times it fits 32 bits.
constexpr ULONG kMaxScriptElements = 1u << 24;

// A JScript array (an object whose `length` is a whole number up to 2^32 - 1)
// as a one-dimensional VT_ARRAY|VT_VARIANT with lower bound 0; a hole is
// VT_EMPTY. With `count` (a member's NumItems), only elements 1 to the count
// are read and the array ends there; an array shorter than that comes with
// no elements (the member refuses its bounds); kWholeArray reads 0 to
// length - 1. S_FALSE (and null) when
// the object is not an array; E_INVALIDARG when the result would exceed
// kMaxScriptElements.
constexpr LONG kWholeArray = static_cast<LONG>(0x80000000u);
HRESULT ArrayOf(IDispatch* object, LONG count, SAFEARRAY** array);

// Whether an object is a JScript array (has a numeric `length`).
bool IsArray(IDispatch* object);

// Whether FillArray can write a JScript array: its length can be written (a
// frozen array's cannot). Fails with the reason.
HRESULT CanFill(IDispatch* object);

// Replaces the contents of a JScript array with the elements of `from`, each
// at its own index; EmptyArray leaves it with none.
HRESULT FillArray(IDispatch* object, SAFEARRAY* from);
HRESULT EmptyArray(IDispatch* object);

// A new array of element type `to` with the dimensions and bounds of `from`,
// converted element by element (JScript dates give their date, by-reference
// elements their value). An element that does not convert gives
// DISP_E_TYPEMISMATCH.
HRESULT ConvertArray(SAFEARRAY* from, VARTYPE to, SAFEARRAY** converted);

}  // namespace script_values
