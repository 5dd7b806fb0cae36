// Script-style arguments through IDispatch::Invoke: every shape in which a
// script host passes an array reaches the member exactly as a typed client's
// array does (same result, same check order, same outputs); typed arrays keep
// their path; what does not convert is refused naming the argument.
#include "support/sim_fixture.h"

using namespace comtest;

namespace {

// How a client hands an array argument over.
enum class Shape {
    Typed,            // VT_BYREF|VT_ARRAY|VT_I4: VB6 with Dim a() As Long
    VbsVariable,      // VT_BYREF|VT_VARIANT holding VT_BYREF|VT_ARRAY|VT_VARIANT: VBScript's Dim a(2)
    VariantByValue,   // VT_ARRAY|VT_VARIANT
    VariableByValue,  // VT_BYREF|VT_VARIANT holding VT_ARRAY|VT_VARIANT
};
constexpr Shape kScriptShapes[] = {Shape::VbsVariable, Shape::VariantByValue, Shape::VariableByValue};

// A VARIANT array with the bounds and values of a long array (null stays null).
SAFEARRAY* AsVariants(SAFEARRAY* longs) {
    if (!longs) return nullptr;
    const UINT dims = SafeArrayGetDim(longs);
    SAFEARRAYBOUND bounds[2];
    for (UINT d = 0; d < dims; ++d) {
        LONG lower = 0, upper = 0;
        SafeArrayGetLBound(longs, d + 1, &lower);
        SafeArrayGetUBound(longs, d + 1, &upper);
        bounds[d] = {static_cast<ULONG>(upper - lower + 1), lower};
    }
    SAFEARRAY* out = SafeArrayCreate(VT_VARIANT, dims, bounds);
    LONG* from = nullptr;
    VARIANT* to = nullptr;
    SafeArrayAccessData(longs, reinterpret_cast<void**>(&from));
    SafeArrayAccessData(out, reinterpret_cast<void**>(&to));
    ULONG count = 1;
    for (UINT d = 0; d < dims; ++d) count *= bounds[d].cElements;
    for (ULONG i = 0; i < count; ++i) to[i] = VarI4(from[i]);
    SafeArrayUnaccessData(out);
    SafeArrayUnaccessData(longs);
    return out;
}

// An array argument in one shape; owns what it made.
class ArrayArgument {
public:
    ArrayArgument(Shape shape, SAFEARRAY* longs) {
        typed_.reset(longs);
        if (shape == Shape::Typed) {
            pointer_ = typed_.get();
            arg_.vt = VT_BYREF | VT_ARRAY | VT_I4;
            arg_.pparray = &pointer_;
            return;
        }
        variants_.reset(AsVariants(longs));
        pointer_ = variants_.get();
        if (shape == Shape::VariantByValue) {
            arg_.vt = VT_ARRAY | VT_VARIANT;
            arg_.parray = pointer_;
            return;
        }
        if (shape == Shape::VbsVariable) {
            inner_.vt = VT_BYREF | VT_ARRAY | VT_VARIANT;
            inner_.pparray = &pointer_;
        } else {
            inner_.vt = VT_ARRAY | VT_VARIANT;
            inner_.parray = pointer_;
        }
        arg_.vt = VT_BYREF | VT_VARIANT;
        arg_.pvarVal = &inner_;
    }
    VARIANT get() const { return arg_; }

private:
    UniqueSafeArray typed_, variants_;
    SAFEARRAY* pointer_ = nullptr;
    VARIANT inner_{}, arg_{};
};

class ScriptArguments : public ConnectedServer {
protected:
    void SetUp() override {
        ConnectedServer::SetUp();
        Connect(Where::InProcess);
        // The collection's own dispatch interface (IDispatch of the object is the server's).
        dispatch_ = ComPtr<IDispatch>(items_.get());
    }
    void TearDown() override {
        dispatch_ = nullptr;
        ConnectedServer::TearDown();
    }
    // The member's own result: a member failure comes back as DISP_E_EXCEPTION.
    HRESULT Invoke(const wchar_t* name, WORD flags, std::vector<VARIANT> declaredOrder, VARIANT* result = nullptr,
                   UINT* argErr = nullptr, IDispatch* object = nullptr) {
        if (!object) object = dispatch_.get();
        DISPID id = DISPID_UNKNOWN;
        LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
        EXPECT_EQ(object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id), S_OK);
        std::vector<VARIANT> args(declaredOrder.rbegin(), declaredOrder.rend());
        DISPPARAMS params{args.data(), nullptr, static_cast<UINT>(args.size()), 0};
        EXCEPINFO excep{};
        UniqueVariant ignored;
        HRESULT hr = object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, result ? result : ignored.get(),
                                    &excep, argErr);
        SysFreeString(excep.bstrSource);
        SysFreeString(excep.bstrDescription);
        SysFreeString(excep.bstrHelpFile);
        return hr == DISP_E_EXCEPTION ? excep.scode : hr;
    }

    // SyncReadRaw over `handles` passed in `shape`; outputs as the shape's client
    // receives them, returned as VARIANT arrays (or VT_EMPTY).
    struct Read {
        HRESULT hr;
        UniqueVariant values, errors;
    };
    void ReadRaw(Shape shape, SAFEARRAY* handles, LONG count, Read& out) {
        ArrayArgument argument(shape, handles);
        TimeRange times;
        SAFEARRAY* typedValues = nullptr;
        SAFEARRAY* typedErrors = nullptr;
        const bool typed = shape == Shape::Typed;
        VARIANT valuesArg = typed ? Ref(VT_ARRAY | VT_VARIANT, &typedValues) : Ref(VT_VARIANT, out.values.get());
        VARIANT errorsArg = typed ? Ref(VT_ARRAY | VT_I4, &typedErrors) : Ref(VT_VARIANT, out.errors.get());
        out.hr = Invoke(L"SyncReadRaw", DISPATCH_METHOD,
                        {*times.start.get(), *times.end.get(), VarI4(0), VarI4(0), VarI4(count), argument.get(),
                         valuesArg, errorsArg});
        if (shape == Shape::Typed) {
            UniqueSafeArray ownedErrors(typedErrors);
            if (typedValues) {
                out.values->vt = VT_ARRAY | VT_VARIANT;
                out.values->parray = typedValues;
            }
            if (typedErrors) {
                out.errors->vt = VT_ARRAY | VT_VARIANT;
                out.errors->parray = AsVariants(typedErrors);
            }
        }
    }

    ComPtr<IDispatch> dispatch_;
};

// What a script receives must be what a typed client receives, element for
// element: lower bound 1, the per-item codes, one history per item.
void ExpectSameOutputs(const VARIANT& script, const VARIANT& typed, bool histories) {
    ASSERT_EQ(script.vt, typed.vt);
    if (typed.vt == VT_EMPTY) return;
    ASSERT_EQ(script.vt, VT_ARRAY | VT_VARIANT);
    const LONG upper = BoundsOf(typed.parray).second;
    ASSERT_EQ(BoundsOf(script.parray), std::make_pair(1L, upper));
    for (LONG i = 1; i <= upper; ++i) {
        UniqueVariant a, b;
        VariantAt(script.parray, i, a.get());
        VariantAt(typed.parray, i, b.get());
        ASSERT_EQ(a->vt, b->vt) << "element " << i;
        if (histories) {
            ComPtr<OPCHDAHistory> ha, hb;
            ASSERT_EQ(a->pdispVal->QueryInterface(IID_OPCHDAHistory, ha.put_void()), S_OK);
            ASSERT_EQ(b->pdispVal->QueryInterface(IID_OPCHDAHistory, hb.put_void()), S_OK);
            LONG na = 0, nb = 0;
            ha->get_Count(&na);
            hb->get_Count(&nb);
            EXPECT_GT(na, 0);
            EXPECT_NEAR(na, nb, 1) << "element " << i;  // the simulator's clock moves between the reads
        } else {
            EXPECT_EQ(a->lVal, b->lVal) << "element " << i;
        }
    }
}

TEST_F(ScriptArguments, EveryScriptShapeReachesTheMemberAsATypedArrayDoes) {
    // Elements: 1 the ramp's handle, 2 the step's, 0 a handle never read.
    const struct Case {
        const char* what;
        std::vector<LONG> elements;
        LONG lower;
        LONG count;
        HRESULT expected;  // S_FALSE: as the typed client gets it
    } cases[] = {
        {"one-based", {1, 2}, 1, 2, S_OK},
        {"zero-based, element 0 ignored", {0, 1, 2}, 0, 2, S_OK},
        {"zero-based, one short", {1, 2}, 0, 2, E_INVALIDARG},
        {"lower bound 2", {1, 2}, 2, 2, E_INVALIDARG},
        {"count 0", {1, 2}, 1, 0, E_INVALIDARG},
        {"null array", {}, 1, 2, E_POINTER},
        {"two dimensions", {1, 2, 0, 0}, 1, 2, S_FALSE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto make = [&]() -> SAFEARRAY* {
            if (c.elements.empty()) return nullptr;
            SAFEARRAYBOUND bounds[2] = {{static_cast<ULONG>(c.elements.size()), c.lower}, {2, 1}};
            const bool square = c.expected == S_FALSE;
            if (square) bounds[0].cElements = 2;
            SAFEARRAY* a = SafeArrayCreate(VT_I4, square ? 2 : 1, bounds);
            LONG* data = nullptr;
            SafeArrayAccessData(a, reinterpret_cast<void**>(&data));
            for (size_t k = 0; k < c.elements.size(); ++k)
                data[k] = c.elements[k] == 1 ? rampHandle_ : c.elements[k] == 2 ? stepHandle_ : 0x7FFF0000 * !square;
            SafeArrayUnaccessData(a);
            return a;
        };
        Read typed;
        ReadRaw(Shape::Typed, make(), c.count, typed);
        if (c.expected != S_FALSE) {
            EXPECT_EQ(typed.hr, c.expected);
        }
        for (Shape shape : kScriptShapes) {
            SCOPED_TRACE(static_cast<int>(shape));
            Read script;
            ReadRaw(shape, make(), c.count, script);
            EXPECT_EQ(script.hr, typed.hr);
            ExpectSameOutputs(*script.errors.get(), *typed.errors.get(), false);
            ExpectSameOutputs(*script.values.get(), *typed.values.get(), true);
        }
    }
}

TEST_F(ScriptArguments, AnElementThatDoesNotConvertIsRefusedNamingItsArgument) {
    UniqueBstr text(L"not a handle");
    VARIANT bad;
    bad.vt = VT_BSTR;
    bad.bstrVal = text.get();
    UniqueVariant handles;
    handles->vt = VT_ARRAY | VT_VARIANT;
    handles->parray = MakeVariantArray({VarI4(rampHandle_), bad});
    const LONG calls = CallCount(L"ReadRaw");
    UINT argErr = 99;
    EXPECT_EQ(Invoke(L"SyncReadRaw", DISPATCH_METHOD,
                     {VarDate(LocalNow() - kHour), VarDate(LocalNow()), VarI4(0), VarI4(0), VarI4(2), *handles.get(),
                      VarEmpty(), VarEmpty()},
                     nullptr, &argErr),
              DISP_E_TYPEMISMATCH);
    EXPECT_EQ(argErr, 2u) << "ServerHandles is the third argument from the end";
    EXPECT_EQ(CallCount(L"ReadRaw"), calls);
}

TEST_F(ScriptArguments, TypedArraysOfAnotherTypeKeepTheirRefusal) {
    // A typed client that passes strings for handles gets what it always got.
    UniqueVariant handles;
    handles->vt = VT_ARRAY | VT_BSTR;
    handles->parray = MakeBstrArray({L"1", L"2"});
    SAFEARRAY* values = nullptr;
    SAFEARRAY* errors = nullptr;
    EXPECT_EQ(Invoke(L"SyncReadRaw", DISPATCH_METHOD,
                     {VarDate(LocalNow() - kHour), VarDate(LocalNow()), VarI4(0), VarI4(0), VarI4(2), *handles.get(),
                      Ref(VT_ARRAY | VT_VARIANT, &values), Ref(VT_ARRAY | VT_I4, &errors)}),
              DISP_E_TYPEMISMATCH);
    EXPECT_EQ(values, nullptr);
    EXPECT_EQ(errors, nullptr);
}

// What cannot receive an array is refused before the member runs: the runtime
// would run it and then leak the histories (a scalar there) or free the
// caller's own array (an array by value).
TEST_F(ScriptArguments, OutputArraysRefuseWhatCannotReceiveThem) {
    UniqueVariant handles, own;
    handles->vt = VT_ARRAY | VT_I4;
    handles->parray = MakeLongArray({rampHandle_});
    own->vt = VT_ARRAY | VT_VARIANT;
    own->parray = MakeVariantArray({VarR8(1.5)});
    VARIANT scalar{};
    scalar.vt = VT_UI2;
    for (const VARIANT& values : {scalar, *own.get()}) {
        const LONG calls = CallCount(L"ReadRaw");
        UINT argErr = 99;
        EXPECT_EQ(Invoke(L"SyncReadRaw", DISPATCH_METHOD,
                         {VarDate(LocalNow() - kHour), VarDate(LocalNow()), VarI4(0), VarI4(0), VarI4(1),
                          *handles.get(), values, VarEmpty()},
                         nullptr, &argErr),
                  DISP_E_TYPEMISMATCH);
        EXPECT_EQ(argErr, 1u) << "ItemValues is the second argument from the end";
        EXPECT_EQ(CallCount(L"ReadRaw"), calls);
    }
    UniqueVariant element;
    EXPECT_EQ(VariantAt(own->parray, 1, element.get()), S_OK) << "the caller's array is still whole";
    // CreateBrowser's Errors: a value by value is refused; Empty drops the
    // output. Either way no browser is left behind (the fixture's unload check).
    for (const VARIANT& errors : {VarI4(0), VarEmpty()}) {
        UniqueVariant browser;
        const HRESULT hr =
            Invoke(L"CreateBrowser", DISPATCH_METHOD, {VarI4(0), VarMissing(), VarMissing(), VarMissing(), errors},
                   browser.get(), nullptr, static_cast<IDispatch*>(server_.get()));
        EXPECT_EQ(hr, errors.vt == VT_EMPTY ? S_OK : DISP_E_TYPEMISMATCH);
    }
}

TEST_F(ScriptArguments, OutputsReachVariablesArrayVariablesAndNothing) {
    // AddItems as VBScript calls it: ItemIDs and ClientHandles as array variables.
    UniqueBstr ramp(kRamp), step(kStep);
    VARIANT a{}, b{};
    a.vt = b.vt = VT_BSTR;
    a.bstrVal = ramp.get();
    b.bstrVal = step.get();
    auto add = [&](VARIANT handlesOut, VARIANT errorsOut) {
        UniqueVariant strings;
        strings->vt = VT_ARRAY | VT_VARIANT;
        strings->parray = MakeVariantArray({a, b});
        ArrayArgument clients(Shape::VbsVariable, MakeLongArray({7, 8}));
        return Invoke(L"AddItems", DISPATCH_METHOD,
                      {VarI4(2), Ref(VT_VARIANT, strings.get()), clients.get(), handlesOut, errorsOut});
    };

    // (Plain variables are what the script clients in tests/scripts receive.)
    // An array variable (VBScript's Dim a()) gets its array replaced.
    SAFEARRAY* old = MakeVariantArray({VarI4(1), VarI4(2), VarI4(3), VarI4(4), VarI4(5)});
    VARIANT arrayVariable = Ref(VT_ARRAY | VT_VARIANT, &old);
    ASSERT_EQ(add(Ref(VT_VARIANT, &arrayVariable), VarEmpty()), S_OK);
    UniqueSafeArray replaced(old);
    EXPECT_EQ(BoundsOf(replaced.get()).second, 2);

    // Outputs nobody receives (JScript's undefined, an omitted argument).
    EXPECT_EQ(add(VarEmpty(), VarMissing()), S_OK);
    LONG count = 0;
    items_->get_Count(&count);
    EXPECT_EQ(count, 3 + 4);
}

TEST_F(ScriptArguments, CatalogueCountAndArraysReachVariables) {
    // GetItemAttributes as VBScript calls it: five plain variables.
    UniqueVariant outputs[5];
    std::vector<VARIANT> args;
    for (UniqueVariant& v : outputs) args.push_back(Ref(VT_VARIANT, v.get()));
    ASSERT_EQ(
        Invoke(L"GetItemAttributes", DISPATCH_METHOD, args, nullptr, nullptr, static_cast<IDispatch*>(server_.get())),
        S_OK);
    LONG count = 0;
    UniqueSafeArray ids, names, descriptions, types;
    ASSERT_HRESULT_SUCCEEDED(
        server_->GetItemAttributes(&count, ids.put(), names.put(), descriptions.put(), types.put()));
    ASSERT_EQ(outputs[0]->vt, VT_I4);
    EXPECT_EQ(outputs[0]->lVal, count);
    for (int i = 1; i < 5; ++i) {
        ASSERT_EQ(outputs[i]->vt, VT_ARRAY | VT_VARIANT) << i;
        EXPECT_EQ(BoundsOf(outputs[i]->parray).second, count) << i;
    }
    UniqueVariant name;
    ASSERT_EQ(VariantAt(outputs[2]->parray, 1, name.get()), S_OK);
    ASSERT_EQ(name->vt, VT_BSTR);
    BSTR typedName = nullptr;
    LONG first = 1;
    SafeArrayGetElement(names.get(), &first, &typedName);
    EXPECT_STREQ(name->bstrVal, typedName);
    SysFreeString(typedName);
}

TEST_F(ScriptArguments, PropertyReadsAnswerMethodCalls) {
    for (WORD flags : {WORD(DISPATCH_METHOD), WORD(DISPATCH_METHOD | DISPATCH_PROPERTYGET)}) {
        UniqueVariant count, enumerator;
        EXPECT_EQ(Invoke(L"Count", flags, {}, count.get()), S_OK);
        EXPECT_EQ(count->vt, VT_I4);
        EXPECT_EQ(count->lVal, 3);
        EXPECT_EQ(Invoke(L"_NewEnum", flags, {}, enumerator.get()), S_OK);
        ASSERT_TRUE(enumerator->vt == VT_UNKNOWN || enumerator->vt == VT_DISPATCH);
        ComPtr<IEnumVARIANT> walk;
        EXPECT_EQ(enumerator->punkVal->QueryInterface(IID_IEnumVARIANT, walk.put_void()), S_OK);
    }
}

}  // namespace
