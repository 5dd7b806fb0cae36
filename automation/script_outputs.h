// The outputs a script host passes and how they receive a member's results.
// The member writes into stand-ins of ours; the caller's variables and
// JScript arrays receive the results afterwards, all of them or none:
// - before the member runs, an output that cannot receive (a fixed array, a
//   JScript array whose length cannot be written, a typed variable where a
//   Variant must go) is refused, and nothing has happened;
// - after a failed call every output holds nothing (Empty): a plain variable
//   is Empty, an array variable holds an array with no elements, a JScript
//   array has length 0, a count is 0; a time keeps what the caller passed;
// - after a successful call each output receives its result (Deliver) and
//   each time what the historian used (WriteBack).
#pragma once

#include <windows.h>
#include <oaidl.h>

#include "com/com_holders.h"

namespace script_outputs {

struct Output {
    enum class Kind {
        None,
        Array,    // [out] SAFEARRAY(element)*: the member writes `array`
        Scalar,   // [out] T* (GetItemAttributes' Count): the member writes `local`
        Variant,  // [out] VARIANT* (CreateBrowser's Errors): the member writes `local`
        Time,     // [in, out] VARIANT* (StartTime, EndTime): `local` holds the caller's time, then the member's
    };
    Kind kind = Kind::None;
    VARTYPE element = VT_EMPTY;  // Array: the element type; Scalar: the type
    SAFEARRAY* array = nullptr;  // Array: what the member hands out
    UniqueVariant local;
    VARIANT* target = nullptr;  // the caller's variable, or null
    IDispatch* fill = nullptr;  // the caller's JScript array, or null
};

// How the member sees an output the caller passed: `pass` goes in the
// argument's place, and `out` says where the result goes afterwards. S_FALSE
// leaves the argument to the runtime as it is; a failure refuses the call
// before the member runs.
// [out] SAFEARRAY(element)*: a Variant variable (an array variable too), a
// JScript array, or nothing to receive it (undefined, null, omitted).
HRESULT AdaptArray(const VARIANT& arg, VARTYPE element, Output& out, VARIANT& pass);
// [out] T* for a plain T given a Variant variable.
HRESULT AdaptScalar(const VARIANT& arg, VARTYPE type, Output& out, VARIANT& pass);
// [out] VARIANT*: a Variant variable, a JScript array or nothing.
HRESULT AdaptVariant(const VARIANT& arg, Output& out, VARIANT& pass);
// [in, out] VARIANT*: a time by value or in a Variant variable.
HRESULT AdaptTime(const VARIANT& arg, Output& out, VARIANT& pass);

// Hands the member's result to the caller's variable or JScript array. On
// failure the output holds nothing, as after a failed call.
HRESULT Deliver(Output& output);

// The output holds nothing, whatever the member left in our stand-in.
void Empty(Output& output);

// A time the member rewrote goes to the caller's variable.
void WriteBack(Output& output);

}  // namespace script_outputs
