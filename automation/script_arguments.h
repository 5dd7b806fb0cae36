// IDispatch::Invoke as script hosts call it. ITypeInfo::Invoke takes arguments
// only in the exact types the library declares; VBScript and JScript cannot
// produce most of them. Before the member runs, each argument a script host
// passes is adapted from the member's own type information (FUNCDESC):
// - [in] SAFEARRAY(T)* parameters take a VT_ARRAY|VT_VARIANT (also inside a
//   by-reference VARIANT) or a JScript array, converted element by element to
//   T with the array's own bounds; of a JScript array only elements 1 to the
//   member's count (the nearest Num... parameter before it) are read;
// - [out] SAFEARRAY(T)* parameters take a by-reference VARIANT, which receives
//   the result as VT_ARRAY|VT_VARIANT, or a JScript array, which receives the
//   elements at their own indices, or nothing to receive it (undefined, null);
//   where the member hands out no array (it failed) they are emptied, never
//   left with an earlier call's results; a fixed or locked array (VBScript's
//   Dim a(3)) belongs to the engine and is refused;
// - [out] VARIANT* parameters also fill a JScript array with an array result;
// - DATE and VARIANT parameters take a JScript Date as its date;
// - VARIANT [in] parameters take a script array by value (CreateBrowser's
//   criteria, whose element types only the member knows, are named below);
// - a property read asked for as a method call (JScript's Enumerator) is a
//   property read.
// Arguments already in their declared types take the unchanged path, so typed
// clients see exactly what they saw before; an adapted call reaches the member
// as a typed client's call would.
#pragma once

#include <windows.h>
#include <oaidl.h>

HRESULT InvokeWithScriptArguments(ITypeInfo* info, IDispatch* self, DISPID id, WORD flags, DISPPARAMS* params,
                                  VARIANT* result, EXCEPINFO* excep, UINT* argErr);
