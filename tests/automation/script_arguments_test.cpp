// Arrays in every shape a script host passes them reach the member as a typed
// array would; what does not convert or cannot receive a result is refused first.
#include <algorithm>
#include <limits>
#include <map>

#include "support/event_sink.h"
#include "support/file_time.h"
#include "support/script_objects.h"
#include "support/sim_fixture.h"

using namespace comtest;

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

// VBScript's Dim e(3) in a variable: an array the engine owns in place (`feature` says how).
struct FixedArray {
    explicit FixedArray(USHORT feature = FADF_FIXEDSIZE | FADF_STATIC) : feature(feature) {
        array.get()->fFeatures |= feature;
    }
    FixedArray(const FixedArray&) = delete;
    ~FixedArray() { array.get()->fFeatures &= ~feature; }  // so that it can be destroyed
    bool Untouched() const {
        return variable.vt == (VT_BYREF | VT_ARRAY | VT_VARIANT) && held == array.get() &&
               BoundsOf(held) == std::make_pair(0L, 3L);
    }
    USHORT feature;
    SAFEARRAYBOUND four{4, 0};
    UniqueSafeArray array{SafeArrayCreate(VT_VARIANT, 1, &four)};
    SAFEARRAY* held = array.get();
    VARIANT variable = Ref(VT_ARRAY | VT_VARIANT, &held);
};

class ScriptArguments : public ConnectedServerAt {
protected:
    // The member's own result, not DISP_E_EXCEPTION; by default on the collection, the default member when `name`
    // is empty. `args` in declared order; named: each named by its parameter's DISPID.
    HRESULT Invoke(const wchar_t* name, std::vector<VARIANT> args, VARIANT* result = nullptr, UINT* argErr = nullptr,
                   IDispatch* object = nullptr, bool named = false) {
        if (!object) object = static_cast<IDispatch*>(items_.get());
        DISPID id = DISPID_VALUE;  // no name: the default member
        LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
        const HRESULT found = *name ? object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id) : S_OK;
        EXPECT_EQ(found, S_OK) << name;
        std::vector<DISPID> ids(args.size());
        for (size_t i = 0; i < ids.size(); ++i) ids[i] = static_cast<DISPID>(i);
        if (!named) std::reverse(args.begin(), args.end());  // positional: the last argument first
        const UINT count = static_cast<UINT>(args.size());
        DISPPARAMS params{args.data(), named ? ids.data() : nullptr, count, named ? count : 0};
        EXCEPINFO excep{};
        UniqueVariant ignored;
        // As VBScript calls: a method that may be a property read when a result is wanted.
        const WORD flags = result ? DISPATCH_METHOD | DISPATCH_PROPERTYGET : DISPATCH_METHOD;
        HRESULT hr = object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, result ? result : ignored.get(),
                                    &excep, argErr);
        for (BSTR text : {excep.bstrSource, excep.bstrDescription, excep.bstrHelpFile}) SysFreeString(text);
        return hr == DISP_E_EXCEPTION ? excep.scode : hr;
    }
    // From ten minutes ago as a JScript Date (whole seconds, UTC); the historian must receive that instant,
    // startUnits_, in any zone (the suite runs in Sydney, where a date taken as local time moves by 10 or 11 hours).
    HRESULT ReadRaw(LONG count, VARIANT handles, VARIANT values, VARIANT errors, UINT* argErr = nullptr) {
        constexpr LONGLONG kUnixEpoch = 116444736000000000LL;
        FILETIME now;
        GetSystemTimeAsFileTime(&now);
        const LONGLONG milliseconds = ((comtest::Units(now) - kUnixEpoch) / 10000000 - 10 * 60) * 1000;
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
    // Named as VBA calls (ReadRaw StartTime:="NOW-10M", ..., NumValues:=0): times by value, numbers as Integers.
    // Wine's runtime wrote a rewritten time back into the slot of another argument, failed to make an Integer of
    // it and dropped the history the member returned.
    UniqueVariant start(VarBstr(L"NOW-10M")), end(VarBstr(L"NOW")), history;
    EXPECT_EQ(Invoke(L"ReadRaw", {*start.get(), *end.get(), Typed(VT_I2, SHORT{0}), Typed(VT_I2, SHORT{0})},
                     history.get(), nullptr, static_cast<IDispatch*>(ramp_.get()), true),
              S_OK);
    EXPECT_EQ(history->vt, VT_DISPATCH);
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
            EXPECT_EQ(Show(*errors.get()), L"{0 0}");
            ASSERT_EQ(values->vt, VT_ARRAY | VT_VARIANT);
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
    ScriptObject* frozen = ScriptObject::Array(VarI4(0));  // its length cannot be written
    frozen->FailWriting(L"length", E_ACCESSDENIED);
    UniqueVariant frozenArray(Typed(VT_DISPATCH, static_cast<IDispatch*>(frozen)));
    // Dim e(3): an array the engine owns, however it marks it.
    FixedArray fixed[] = {FixedArray(FADF_FIXEDSIZE | FADF_STATIC), FixedArray(FADF_AUTO), FixedArray(FADF_EMBEDDED)};
    const struct {
        VARIANT handles, values, errors;
        UINT argErr;
    } kRefused[] = {
        {*mixed.get(), VarEmpty(), VarEmpty(), 2},
        {*strings.get(), Ref(VT_ARRAY | VT_VARIANT, &typedValues), Ref(VT_ARRAY | VT_I4, &typedErrors), 99},
        {*longs.get(), Typed(VT_UI2, 0), VarEmpty(), 1},
        {*longs.get(), *own.get(), VarEmpty(), 1},
        {*longs.get(), VarEmpty(), *frozenArray.get(), 0},
        {*longs.get(), VarEmpty(), Ref(VT_VARIANT, &fixed[0].variable), 0},
        {*longs.get(), VarEmpty(), Ref(VT_VARIANT, &fixed[1].variable), 0},
        {*longs.get(), VarEmpty(), Ref(VT_VARIANT, &fixed[2].variable), 0},
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
    // CreateBrowser's Errors: by value, in a typed variable, in a variable holding a fixed array or as a frozen
    // JScript array it is refused (the runtime would run the member and fail to write the array back; Wine, given
    // named arguments, then drops the browser), Empty or Missing drops it; nothing refused reaches the historian.
    double number = 0;
    UniqueVariant attributes(Typed(VT_ARRAY | VT_I4, MakeLongArray({17, 266250})));  // 266250: unknown, an error
    UniqueVariant operators(Typed(VT_ARRAY | VT_I4, MakeLongArray({4, 4})));
    UniqueVariant filters(Typed(VT_ARRAY | VT_VARIANT, MakeVariantArray({VarR8(28.25), VarR8(109.125)})));
    const struct {
        VARIANT errors;
        HRESULT expected;
    } kErrors[] = {{VarI4(0), DISP_E_TYPEMISMATCH},
                   {Ref(VT_R8, &number), DISP_E_TYPEMISMATCH},
                   {Ref(VT_VARIANT, &fixed[0].variable), DISP_E_TYPEMISMATCH},
                   {*frozenArray.get(), DISP_E_TYPEMISMATCH},
                   {VarEmpty(), S_OK},
                   {VarMissing(), S_OK}};
    for (bool named : {false, true})
        for (const auto& row : kErrors) {
            UniqueVariant browser;
            const LONG browses = CallCount(L"CreateBrowse");
            EXPECT_EQ(
                Invoke(L"CreateBrowser", {VarI4(2), *attributes.get(), *operators.get(), *filters.get(), row.errors},
                       browser.get(), nullptr, static_cast<IDispatch*>(server_.get()), named),
                row.expected)
                << named << " " << row.errors.vt;
            EXPECT_EQ(browser->vt, row.expected == S_OK ? VT_DISPATCH : VT_EMPTY) << named << " " << row.errors.vt;
            EXPECT_EQ(CallCount(L"CreateBrowse"), browses + (row.expected == S_OK ? 1 : 0));
        }
    for (const FixedArray& f : fixed) EXPECT_TRUE(f.Untouched());
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
    // A failed call leaves the count as empty as the arrays: a For loop to it runs no turn.
    ASSERT_EQ(control_->FailMethod(L"GetItemAttributes", E_ABORT), S_OK);
    EXPECT_EQ(Invoke(L"GetItemAttributes", args, nullptr, nullptr, static_cast<IDispatch*>(server_.get())), E_ABORT);
    EXPECT_TRUE(outputs[0]->vt == VT_I4 && outputs[0]->lVal == 0) << outputs[0]->vt;
    for (int i = 1; i < 5; ++i) EXPECT_EQ(outputs[i]->vt, VT_EMPTY) << i;
    // Nor can a fixed array (Dim n(3)) take the count: refused before the historian is asked.
    FixedArray fixed;
    args[0] = Ref(VT_VARIANT, &fixed.variable);
    const LONG asked = CallCount(L"GetItemAttributes");
    EXPECT_EQ(Invoke(L"GetItemAttributes", args, nullptr, nullptr, static_cast<IDispatch*>(server_.get())),
              DISP_E_TYPEMISMATCH);
    EXPECT_TRUE(CallCount(L"GetItemAttributes") == asked && fixed.Untouched());
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
// arrays are null: never the previous call's results.
TEST_P(ScriptArguments, AFailedCallLeavesNoStaleOutputs) {
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
}

// A member's arguments as a script passes them, in declared order, made from its parameters' names: the text
// item, the last ten minutes (`start` a variable), one of everything, the outputs into `output`.
std::vector<VARIANT> ScriptCall(IDispatch* object, const wchar_t* member, LONG item, VARIANT* start, VARIANT output,
                                std::vector<UniqueVariant>& owned) {
    ComPtr<ITypeInfo> dispatch, info;
    ComPtr<ITypeInfo2> info2;
    HREFTYPE side = 0;
    DISPID id = DISPID_UNKNOWN;
    LPOLESTR name[] = {const_cast<LPOLESTR>(member)};
    FUNCDESC* desc = nullptr;
    UINT index = 0, got = 0;
    BSTR names[16] = {};
    EXPECT_EQ(object->GetTypeInfo(0, 0, dispatch.put()), S_OK);
    EXPECT_EQ(dispatch->GetRefTypeOfImplType(static_cast<UINT>(-1), &side), S_OK);
    EXPECT_EQ(dispatch->GetRefTypeInfo(side, info.put()), S_OK);
    EXPECT_EQ(info.query(IID_ITypeInfo2, info2), S_OK);
    EXPECT_EQ(info->GetIDsOfNames(name, 1, &id), S_OK);
    EXPECT_EQ(info2->GetFuncIndexOfMemId(id, INVOKE_FUNC, &index), S_OK);
    EXPECT_EQ(info->GetFuncDesc(index, &desc), S_OK);
    info->GetNames(id, names, 16, &got);
    const auto array = [&owned](VARIANT element) {
        return *owned.emplace_back(Typed(VT_ARRAY | VT_VARIANT, MakeVariantArray({element}))).get();
    };
    const VARIANT now = *owned.emplace_back(VarBstr(L"NOW")).get(), text = *owned.emplace_back(VarBstr(L"x")).get();
    const std::map<std::wstring, VARIANT> values = {{L"TransactionID", VarI4(7)},
                                                    {L"StartTime", Ref(VT_VARIANT, start)},
                                                    {L"EndTime", now},
                                                    {L"ServerHandle", VarI4(item)},
                                                    {L"ServerHandles", array(VarI4(item))},
                                                    {L"Aggregates", array(VarI4(3))},
                                                    {L"TimeStamps", array(VarDate(LocalNow() - kHour))},
                                                    {L"DataValues", array(text)},
                                                    {L"Qualities", array(VarI4(192))},
                                                    {L"AttributeIDs", array(VarI4(1))},
                                                    {L"AnnotationValues", array(text)}};
    std::vector<VARIANT> args;
    for (UINT p = 1; p < got && p <= static_cast<UINT>(desc->cParams); ++p) {
        const std::wstring parameter = names[p];
        const auto known = values.find(parameter);
        const USHORT flags = desc->lprgelemdescParam[p - 1].paramdesc.wParamFlags;
        if (flags & PARAMFLAG_FRETVAL) break;
        const bool counted = parameter.rfind(L"Num", 0) == 0;
        if ((flags & PARAMFLAG_FOUT) && !(flags & PARAMFLAG_FIN))
            args.push_back(output);
        else if (known != values.end())
            args.push_back(known->second);
        else  // a count (none of values), the bounds flag, or an interval or duration
            args.push_back(counted || parameter == L"Bounds" ? VarI4(counted && parameter != L"NumValues")
                                                             : VarDate(kSecond));
    }
    for (UINT i = 0; i < got; ++i) SysFreeString(names[i]);
    info->ReleaseFuncDesc(desc);
    return args;
}

// An output that fails after the historian has acted (a JScript array whose elements cannot be written): a
// member reports its own result, that output emptied; an asynchronous request is cancelled at the historian and
// the call fails, every output emptied, the times as they were, no CancelID.
TEST_P(ScriptArguments, AnOutputThatFailsAfterTheHistorianActed) {
    constexpr wchar_t kRead[] = L"IOPCHDA_AsyncRead::Cancel", kUpdate[] = L"IOPCHDA_AsyncUpdate::Cancel",
                      kAnnotations[] = L"IOPCHDA_AsyncAnnotations::Cancel", kPlayback[] = L"IOPCHDA_Playback::Cancel";
    const struct {
        const wchar_t* member;
        const wchar_t* cancel;  // null: synchronous, its own result S_OK
    } kMembers[] = {{L"SyncInsert", nullptr},          {L"SyncReadRaw", nullptr},
                    {L"SyncReadAnnotations", nullptr}, {L"AsyncReadRaw", kRead},
                    {L"AsyncAdviseRaw", kRead},        {L"AsyncReadProcessed", kRead},
                    {L"AsyncAdviseProcessed", kRead},  {L"AsyncReadAtTime", kRead},
                    {L"AsyncReadModified", kRead},     {L"AsyncReadAttribute", kRead},
                    {L"AsyncInsert", kUpdate},         {L"AsyncReplace", kUpdate},
                    {L"AsyncInsertReplace", kUpdate},  {L"AsyncDeleteRaw", kUpdate},
                    {L"AsyncDeleteAtTime", kUpdate},   {L"AsyncReadAnnotations", kAnnotations},
                    {L"AsyncPlaybackRaw", kPlayback},  {L"AsyncPlaybackProcessed", kPlayback}};
    ASSERT_EQ(control_->HoldCallbacks(TRUE, FALSE), S_OK);
    for (const auto& m : kMembers) {
        SCOPED_TRACE(testing::Message() << m.member);
        auto sink = ComPtr<IDispatch>::attach(ScriptObject::Array(VarI4(0)));
        static_cast<ScriptObject*>(sink.get())->FailWriting(L"1", E_ACCESSDENIED);  // its length can be written
        UniqueVariant start(VarBstr(L"NOW-10M"));
        std::vector<UniqueVariant> owned;
        LONG pending = -1, stillPending = -1;
        control_->PendingRequests(&pending);
        const LONG cancels = m.cancel ? CallCount(m.cancel) : 0;
        UniqueVariant cancelID;
        const HRESULT hr =
            Invoke(m.member,
                   ScriptCall(items_.get(), m.member, textHandle_, start.get(), Typed(VT_DISPATCH, sink.get()), owned),
                   cancelID.get());
        control_->PendingRequests(&stillPending);
        EXPECT_EQ(static_cast<ScriptObject*>(sink.get())->Length(), 0) << "emptied";
        if (!m.cancel) {
            EXPECT_EQ(hr, S_OK) << "the historian acted";
            EXPECT_EQ(start->vt, std::wstring(m.member) == L"SyncInsert" ? VT_BSTR : VT_DATE);
            continue;
        }
        EXPECT_EQ(hr, E_ACCESSDENIED);
        EXPECT_EQ(CallCount(m.cancel), cancels + 1) << "cancelled";
        EXPECT_EQ(stillPending, pending) << "nothing left running";
        EXPECT_EQ(cancelID->vt, VT_EMPTY);
        EXPECT_TRUE(start->vt == VT_BSTR && std::wstring(start->bstrVal) == L"NOW-10M") << "the time as it was";
    }
    ASSERT_EQ(control_->HoldCallbacks(FALSE, FALSE), S_OK);
    // The released callbacks run on the historian's thread, each holding the server until it returns.
    ramp_ = step_ = text_ = nullptr;
    items_ = nullptr;
    server_ = nullptr;
    WaitUntilUnloadable(3000);
}

// VBScript's items(3) and values(1)(1) are calls of the default member (DISPID_VALUE, a method call or property
// read), which is Item: the type library's test holds its DISPID, Item's own tests its indices, texts and dates.
// A failed call hands out nothing (Wine's VBScript carries on after a failed default member with what came back).
TEST_P(ScriptArguments, TheDefaultMemberIsItem) {
    TimeRange range;
    UniqueVariant history;
    ASSERT_EQ(ramp_->ReadRaw(range.start.get(), range.end.get(), 0, 0, history.get()), S_OK);
    ASSERT_EQ(history->vt, VT_DISPATCH);
    const struct {
        IDispatch* object;
        LONG index;
        HRESULT expected;
    } kRows[] = {{static_cast<IDispatch*>(items_.get()), 3, S_OK},
                 {static_cast<IDispatch*>(items_.get()), 4, E_INVALIDARG},
                 {history->pdispVal, 1, S_OK},
                 {history->pdispVal, 100000, E_INVALIDARG}};
    for (const auto& row : kRows) {
        UniqueVariant result;
        EXPECT_EQ(Invoke(L"", {VarI4(row.index)}, result.get(), nullptr, row.object), row.expected) << row.index;
        EXPECT_EQ(result->vt, SUCCEEDED(row.expected) ? VT_DISPATCH : VT_EMPTY) << row.index;
    }
}

INSTANTIATE_TEST_SUITE_P(Sim, ScriptArguments, ::testing::Values(Where::InProcess), NameOf);

}  // namespace
