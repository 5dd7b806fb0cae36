// IDispatch::Invoke as script hosts call it. ITypeInfo::Invoke takes arguments
// only in the exact types the library declares; VBScript and JScript cannot
// produce most of them. Before the member runs, each argument a script host
// passes is adapted from the member's own type information (FUNCDESC):
// - [in] SAFEARRAY(T)* parameters take a VT_ARRAY|VT_VARIANT (also inside a
//   by-reference VARIANT) or a JScript array, converted element by element to
//   T with the array's own bounds; of a JScript array only elements 1 to the
//   member's count (the nearest Num... parameter before it) are read;
// - outputs ([out] SAFEARRAY(T)*, [out] VARIANT*, GetItemAttributes' Count)
//   and times ([in, out] VARIANT*) go through stand-ins of ours, which the
//   caller's variables and JScript arrays receive afterwards as
//   automation/script_outputs.h says: what cannot receive is refused first,
//   a failed call leaves every output empty and every time as it was;
// - DATE and VARIANT parameters take a JScript Date as its date;
// - VARIANT [in] parameters take a script array by value (CreateBrowser's
//   criteria, whose element types only the member knows, are named below);
// - a property read asked for as a method call (JScript's Enumerator) is a
//   property read.
// A member whose call succeeded reports its own outcome, even when one of its
// outputs then cannot be delivered (that output is left empty): the historian
// has acted. An asynchronous request in that case is cancelled, and the call
// fails with the reason, every output empty.
// Arguments already in their declared types take the unchanged path, so typed
// clients see exactly what they saw before; an adapted call reaches the member
// as a typed client's call would.
#pragma once

#include <windows.h>
#include <oaidl.h>

HRESULT InvokeWithScriptArguments(ITypeInfo* info, IDispatch* self, DISPID id, WORD flags, DISPPARAMS* params,
                                  VARIANT* result, EXCEPINFO* excep, UINT* argErr);
