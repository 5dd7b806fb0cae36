// Arrays in every shape a script host passes them reach the member as a typed
// array would; what does not convert or cannot receive a result is refused first.
#include <algorithm>
#include <limits>
#include <map>

#include "support/file_time.h"
#include "support/script_objects.h"
#include "support/sim_fixture.h"

using namespace comtest;
using scripttest::ScriptObject;

namespace {

// How a script host hands an array argument over.
enum class Shape {
    VbsVariable,      // VT_BYREF|VT_VARIANT holding VT_BYREF|VT_ARRAY|VT_VARIANT: VBScript's Dim a(2)
    VariantByValue,   // VT_ARRAY|VT_VARIANT
    VariableByValue,  // VT_BYREF|VT_VARIANT holding VT_ARRAY|VT_VARIANT
};

// A VARIANT array of longs in one shape (no elements: a null array); owns what it made.
struct ArrayArgument {
    ArrayArgument(Shape shape, std::vector<LONG> elements, LONG lower = 1, ULONG columns = 1) {
        if (!elements.empty()) {
            SAFEARRAYBOUND bounds[2] = {{static_cast<ULONG>(elements.size() / columns), lower}, {columns, 1}};
            array.reset(SafeArrayCreate(VT_VARIANT, columns > 1 ? 2 : 1, bounds));
            VARIANT* data = nullptr;
            SafeArrayAccessData(array.get(), reinterpret_cast<void**>(&data));
            for (size_t i = 0; i < elements.size(); ++i) data[i] = VarI4(elements[i]);
            SafeArrayUnaccessData(array.get());
        }
        pointer = array.get();
        inner =
            shape == Shape::VbsVariable ? Ref(VT_ARRAY | VT_VARIANT, &pointer) : Typed(VT_ARRAY | VT_VARIANT, pointer);
        arg = shape == Shape::VariantByValue ? inner : Ref(VT_VARIANT, &inner);
    }
    UniqueSafeArray array;
    SAFEARRAY* pointer = nullptr;
    VARIANT inner{}, arg{};
};

class ScriptArguments : public ConnectedServerAt {
protected:
    // The member's own result, not DISP_E_EXCEPTION; by default on the collection.
    // Named: every argument named by its parameter's DISPID, in declared order.
    HRESULT Invoke(const wchar_t* name, std::vector<VARIANT> declaredOrder, VARIANT* result = nullptr,
                   UINT* argErr = nullptr, IDispatch* object = nullptr, bool named = false) {
        if (!object) object = static_cast<IDispatch*>(items_.get());
        DISPID id = DISPID_UNKNOWN;
        LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
        EXPECT_EQ(object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id), S_OK);
        std::vector<VARIANT> args = declaredOrder;
        std::vector<DISPID> ids(args.size());
        for (size_t i = 0; i < ids.size(); ++i) ids[i] = static_cast<DISPID>(i);
        if (!named) std::reverse(args.begin(), args.end());  // positional: the last argument first
        const UINT count = static_cast<UINT>(args.size());
        DISPPARAMS params{args.data(), named ? ids.data() : nullptr, count, named ? count : 0};
        EXCEPINFO excep{};
        UniqueVariant ignored;
        HRESULT hr = object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params,
                                    result ? result : ignored.get(), &excep, argErr);
        for (BSTR text : {excep.bstrSource, excep.bstrDescription, excep.bstrHelpFile}) SysFreeString(text);
        return hr == DISP_E_EXCEPTION ? excep.scode : hr;
    }
    // From ten minutes ago as a JScript Date (whole seconds, UTC); the historian must receive that instant,
    // startUnits_, in any zone (the suite runs in Sydney, where a date taken as local time moves by 10 or 11 hours).
    HRESULT ReadRaw(LONG count, VARIANT handles, VARIANT values, VARIANT errors, UINT* argErr = nullptr) {
        constexpr LONGLONG kUnixEpoch = 116444736000000000LL;
        FILETIME now;
        GetSystemTimeAsFileTime(&now);
        const LONGLONG milliseconds = ((testsupport::Units(now) - kUnixEpoch) / 10000000 - 10 * 60) * 1000;
        startUnits_ = kUnixEpoch + milliseconds * 10000;
        auto start = ComPtr<IDispatch>::attach(ScriptObject::Date(static_cast<double>(milliseconds)));
        return Invoke(L"SyncReadRaw",
                      {Typed(VT_DISPATCH, start.get()), VarDate(LocalNow()), VarI4(0), VarI4(0), VarI4(count), handles,
                       values, errors},
                      nullptr, argErr);
    }
    LONGLONG startUnits_ = 0;
};

TEST_P(ScriptArguments, EveryScriptShapeKeepsTheArraysBoundsAndChecks) {
    constexpr LONG kNeverRead = 0x7FFF0000;
    const LONG ramp = rampHandle_, step = stepHandle_;
    const struct {
        const char* what;
        std::vector<LONG> elements;
        LONG lower, count;
        HRESULT expected;
        ULONG columns = 1;
    } kCases[] = {
        {"one-based", {ramp, step}, 1, 2, S_OK},
        {"zero-based, element 0 ignored", {kNeverRead, ramp, step}, 0, 2, S_OK},
        {"zero-based, one short", {ramp, step}, 0, 2, E_INVALIDARG},
        {"lower bound 2", {ramp, step}, 2, 2, E_INVALIDARG},
        {"null array", {}, 1, 2, E_POINTER},
        {"two dimensions", {ramp, step, ramp, step}, 1, 2, E_INVALIDARG, 2},
    };
    // A typed client's arrays (VB6's Dim a() As Long) keep the runtime's path.
    SAFEARRAY *typedHandles = MakeLongArray({ramp, step}), *typedValues = nullptr, *typedErrors = nullptr;
    EXPECT_EQ(ReadRaw(2, Ref(VT_ARRAY | VT_I4, &typedHandles), Ref(VT_ARRAY | VT_VARIANT, &typedValues),
                      Ref(VT_ARRAY | VT_I4, &typedErrors)),
              S_OK);
    UniqueSafeArray owned[] = {UniqueSafeArray(typedHandles), UniqueSafeArray(typedValues),
                               UniqueSafeArray(typedErrors)};
    EXPECT_EQ(typedErrors ? BoundsOf(typedErrors) : std::make_pair(0L, 0L), std::make_pair(1L, 2L));
    for (const auto& c : kCases) {
        for (Shape shape : {Shape::VbsVariable, Shape::VariantByValue, Shape::VariableByValue}) {
            SCOPED_TRACE(testing::Message() << c.what << ", shape " << static_cast<int>(shape));
            ArrayArgument handles(shape, c.elements, c.lower, c.columns);
            UniqueVariant values, errors;
            ASSERT_EQ(ReadRaw(c.count, handles.arg, Ref(VT_VARIANT, values.get()), Ref(VT_VARIANT, errors.get())),
                      c.expected);
            if (FAILED(c.expected)) {
                EXPECT_TRUE(values->vt == VT_EMPTY && errors->vt == VT_EMPTY);
                continue;
            }
            // One-based VARIANTs in the request's order (the ramp samples every 10 s, the step every minute).
            ASSERT_EQ(errors->vt, VT_ARRAY | VT_VARIANT);
            ASSERT_EQ(values->vt, VT_ARRAY | VT_VARIANT);
            EXPECT_EQ(BoundsOf(errors->parray), std::make_pair(1L, 2L));
            UniqueVariant code;
            EXPECT_EQ(VariantAt(errors->parray, 2, code.get()), S_OK);
            EXPECT_TRUE(code->vt == VT_I4 && code->lVal == S_OK);
            EXPECT_GT(CountOf(HistoryAt(values->parray, 1).get()), CountOf(HistoryAt(values->parray, 2).get()) + 20);
            LONGLONG start = 0;
            EXPECT_EQ(control_->RecordedArgument(L"IOPCHDA_SyncRead::ReadRaw", L"start", &start), S_OK);
            EXPECT_EQ(start, startUnits_) << "a script date taken as local time";
        }
    }
}

// What would leak the member's result or destroy the caller's array is refused
// before the member runs, naming the argument (counted from the end).
TEST_P(ScriptArguments, WhatDoesNotConvertOrCannotReceiveIsRefusedBeforeTheMemberRuns) {
    UniqueBstr text(L"not a handle");
    UniqueVariant mixed(
        Typed(VT_ARRAY | VT_VARIANT, MakeVariantArray({VarI4(rampHandle_), Typed(VT_BSTR, text.get())})));
    UniqueVariant strings(Typed(VT_ARRAY | VT_BSTR, MakeBstrArray({L"1", L"2"})));  // typed, of another type
    UniqueVariant longs(Typed(VT_ARRAY | VT_I4, MakeLongArray({rampHandle_, stepHandle_})));
    UniqueVariant own(Typed(VT_ARRAY | VT_VARIANT, MakeVariantArray({VarR8(1.5)})));
    SAFEARRAY *typedValues = nullptr, *typedErrors = nullptr;
    const struct {
        VARIANT handles, values, errors;
        UINT argErr;
    } kRefused[] = {
        {*mixed.get(), VarEmpty(), VarEmpty(), 2},
        {*strings.get(), Ref(VT_ARRAY | VT_VARIANT, &typedValues), Ref(VT_ARRAY | VT_I4, &typedErrors), 99},
        {*longs.get(), Typed(VT_UI2, 0), VarEmpty(), 1},
        {*longs.get(), *own.get(), VarEmpty(), 1},
    };
    const LONG calls = CallCount(L"ReadRaw");
    for (const auto& r : kRefused) {
        UINT argErr = 99;
        EXPECT_EQ(ReadRaw(2, r.handles, r.values, r.errors, &argErr), DISP_E_TYPEMISMATCH) << r.argErr;
        EXPECT_TRUE(r.argErr == 99 || argErr == r.argErr) << argErr;  // 99: the runtime's refusal names none
    }
    EXPECT_EQ(CallCount(L"ReadRaw"), calls);
    EXPECT_EQ(typedValues, nullptr);
    EXPECT_EQ(typedErrors, nullptr);
    UniqueVariant element;
    EXPECT_EQ(VariantAt(own->parray, 1, element.get()), S_OK) << "the caller's array is still whole";
    // CreateBrowser's Errors: by value or in a typed variable it is refused (the runtime would run the member and
    // fail to write the array back; Wine, given named arguments, then drops the browser), Empty or Missing drops it,
    // a JScript array that cannot be written fails the call; a failed call hands out no browser, none is left behind.
    double number = 0;
    UniqueVariant attributes(Typed(VT_ARRAY | VT_I4, MakeLongArray({17, 266250})));  // 266250: unknown, an error
    UniqueVariant operators(Typed(VT_ARRAY | VT_I4, MakeLongArray({4, 4})));
    UniqueVariant filters(Typed(VT_ARRAY | VT_VARIANT, MakeVariantArray({VarR8(28.25), VarR8(109.125)})));
    ScriptObject* frozen = ScriptObject::Array(VarI4(0));
    frozen->FailWriting(L"length", E_ACCESSDENIED);
    UniqueVariant frozenArray(Typed(VT_DISPATCH, static_cast<IDispatch*>(frozen)));
    const struct {
        VARIANT errors;
        HRESULT expected;
    } kErrors[] = {{VarI4(0), DISP_E_TYPEMISMATCH},
                   {Ref(VT_R8, &number), DISP_E_TYPEMISMATCH},
                   {*frozenArray.get(), E_ACCESSDENIED},
                   {VarEmpty(), S_OK},
                   {VarMissing(), S_OK}};
    for (bool named : {false, true})
        for (const auto& row : kErrors) {
            UniqueVariant browser;
            EXPECT_EQ(
                Invoke(L"CreateBrowser", {VarI4(2), *attributes.get(), *operators.get(), *filters.get(), row.errors},
                       browser.get(), nullptr, static_cast<IDispatch*>(server_.get()), named),
                row.expected)
                << named << " " << row.errors.vt;
            EXPECT_EQ(browser->vt, row.expected == S_OK ? VT_DISPATCH : VT_EMPTY) << named << " " << row.errors.vt;
        }
}

// GetItemAttributes' outputs reach five plain variables, the count among them.
TEST_P(ScriptArguments, OutputsReachPlainVariables) {
    UniqueVariant outputs[5];
    std::vector<VARIANT> args;
    for (UniqueVariant& v : outputs) args.push_back(Ref(VT_VARIANT, v.get()));
    ASSERT_EQ(Invoke(L"GetItemAttributes", args, nullptr, nullptr, static_cast<IDispatch*>(server_.get())), S_OK);
    ASSERT_TRUE(outputs[0]->vt == VT_I4 && outputs[0]->lVal > 3) << "the count, as a long";
    for (int i = 1; i < 5; ++i) {
        ASSERT_EQ(outputs[i]->vt, VT_ARRAY | VT_VARIANT) << i;
        EXPECT_EQ(BoundsOf(outputs[i]->parray), std::make_pair(1L, outputs[0]->lVal)) << i;
    }
    UniqueVariant name;
    EXPECT_TRUE(VariantAt(outputs[2]->parray, 1, name.get()) == S_OK && name->vt == VT_BSTR);
}

// A JScript object is looked at from element 1 to the member's count only:
// its length may lie, its elements may be sparse, its getters may fail.
TEST_P(ScriptArguments, ScriptArraysAreReadToTheCountWhateverTheyClaim) {
    constexpr LONG kHuge = 178956971;  // 16-byte elements wrap 32 bits
    const VARIANT ramp = VarI4(rampHandle_);
    std::map<ULONG, VARIANT> dense;
    for (ULONG i = 0; i < 100000; ++i) dense[i] = ramp;
    const struct {
        const char* what;
        VARIANT length;
        std::map<ULONG, VARIANT> elements;
        LONG count;
        HRESULT expected;
        const wchar_t* failing = nullptr;
    } kCases[] = {
        {"a lying length", VarI4(kHuge), {{1, ramp}}, 1, S_OK},
        // Where holes run on, the members the object has are enumerated, not every index asked for;
        // a dense array longer than its count is read by index to the count.
        {"sparse, long", VarI4(5001), {{1, ramp}, {5000, VarI4(stepHandle_)}}, 5000, S_OK},
        {"dense, far longer than its count", VarI4(100000), dense, 5000, S_OK},
        {"shorter than the count: the member's own refusal", VarI4(2), {{1, ramp}}, 2, E_INVALIDARG},
        {"a count of -2^31 reads nothing either", VarI4(4000), {{1, ramp}}, LONG_MIN, E_INVALIDARG},
        {"a count no script array can reach", VarR8(4294967295.0), {{1, ramp}}, kHuge, E_INVALIDARG},
        {"a negative length is no array", VarI4(-1), {{1, ramp}}, 1, DISP_E_TYPEMISMATCH},
        {"nor a fractional one", VarR8(2.5), {{1, ramp}}, 1, DISP_E_TYPEMISMATCH},
        {"nor one beyond 2^32 - 1", VarR8(4294967296.0), {{1, ramp}}, 1, DISP_E_TYPEMISMATCH},
        {"nor NaN", VarR8(std::numeric_limits<double>::quiet_NaN()), {{1, ramp}}, 1, DISP_E_TYPEMISMATCH},
        {"a length that cannot be read", VarI4(2), {{1, ramp}}, 1, DISP_E_TYPEMISMATCH, L"length"},
        {"an element that cannot be read", VarI4(2), {{1, ramp}}, 1, DISP_E_TYPEMISMATCH, L"1"},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.what);
        const LONG calls = CallCount(L"IOPCHDA_SyncRead::ReadRaw");
        auto handles = ComPtr<IDispatch>::attach(ScriptObject::Array(c.length, c.elements));
        auto* object = static_cast<ScriptObject*>(handles.get());
        if (c.failing) object->FailReading(c.failing, E_ACCESSDENIED);
        UniqueVariant values, errors;
        EXPECT_EQ(ReadRaw(c.count, Typed(VT_DISPATCH, handles.get()), Ref(VT_VARIANT, values.get()),
                          Ref(VT_VARIANT, errors.get())),
                  c.expected);
        // A dense array is asked for each index to the count, a sparse one for a few holes only.
        EXPECT_LT(object->lookups(), c.elements.size() > 2 ? c.count + 2 : 64) << "beyond the count, or every hole";
        if (FAILED(c.expected)) {
            EXPECT_EQ(CallCount(L"IOPCHDA_SyncRead::ReadRaw"), calls);
            continue;
        }
        ASSERT_EQ(errors->vt, VT_ARRAY | VT_VARIANT);
        EXPECT_EQ(BoundsOf(errors->parray), std::make_pair(1L, c.count));
        for (LONG k : {1L, c.count}) {  // the first and the last element held a handle
            UniqueVariant code;
            EXPECT_TRUE(VariantAt(errors->parray, k, code.get()) == S_OK && code->vt == VT_I4 && code->lVal == S_OK);
        }
    }
}

// After a failed call a script's outputs hold nothing, as a typed client's
// arrays are null: never the previous call's results. A fixed array (Dim
// e(3)) belongs to the engine: refused, left as it is.
TEST_P(ScriptArguments, AFailedCallLeavesNoStaleOutputsAndFixedArraysAlone) {
    UniqueSafeArray good(MakeVariantArray({VarI4(rampHandle_)})), bad(MakeVariantArray({VarI4(rampHandle_)}, 2));
    UniqueVariant plainValues;
    SAFEARRAY* dynamic = nullptr;  // Dim e(): ReDim'd by the call
    VARIANT arrayVariable = Ref(VT_ARRAY | VT_VARIANT, &dynamic);
    auto jsErrors = ComPtr<IDispatch>::attach(ScriptObject::Array(VarI4(0)));
    for (SAFEARRAY* handles : {good.get(), bad.get()}) {
        const HRESULT expected = handles == good.get() ? S_OK : E_INVALIDARG;
        EXPECT_EQ(ReadRaw(1, Typed(VT_ARRAY | VT_VARIANT, handles), Ref(VT_VARIANT, plainValues.get()),
                          Ref(VT_VARIANT, &arrayVariable)),
                  expected);
        EXPECT_EQ(ReadRaw(1, Typed(VT_ARRAY | VT_VARIANT, handles), VarEmpty(), Typed(VT_DISPATCH, jsErrors.get())),
                  expected);
        const LONG n = SUCCEEDED(expected) ? 1 : 0;
        EXPECT_EQ(plainValues->vt, n ? VT_ARRAY | VT_VARIANT : VT_EMPTY);
        ASSERT_NE(dynamic, nullptr);
        EXPECT_EQ(BoundsOf(dynamic), std::make_pair(1L, n));
        EXPECT_EQ(static_cast<ScriptObject*>(jsErrors.get())->Length(), n ? n + 1 : 0);  // results at 1 to n
    }
    UniqueSafeArray owned(dynamic);

    SAFEARRAYBOUND four{4, 0};
    for (USHORT feature : {FADF_FIXEDSIZE | FADF_STATIC, FADF_AUTO, FADF_EMBEDDED}) {
        UniqueSafeArray fixed(SafeArrayCreate(VT_VARIANT, 1, &four));
        fixed.get()->fFeatures |= feature;
        SAFEARRAY* held = fixed.get();
        VARIANT variable = Ref(VT_ARRAY | VT_VARIANT, &held);
        UniqueVariant values;
        const LONG calls = CallCount(L"IOPCHDA_SyncRead::ReadRaw");
        EXPECT_EQ(ReadRaw(1, Typed(VT_ARRAY | VT_VARIANT, good.get()), Ref(VT_VARIANT, values.get()),
                          Ref(VT_VARIANT, &variable)),
                  DISP_E_TYPEMISMATCH);
        EXPECT_EQ(CallCount(L"IOPCHDA_SyncRead::ReadRaw"), calls);
        EXPECT_TRUE(held == fixed.get() && BoundsOf(held) == std::make_pair(0L, 3L));
        fixed.get()->fFeatures &= ~feature;  // so that it can be destroyed
    }
}

INSTANTIATE_TEST_SUITE_P(Sim, ScriptArguments, ::testing::Values(Where::InProcess), NameOf);

}  // namespace
