// IDispatch fuzzer: seeded random calls through IDispatch::Invoke (by name
// and by DISPID) into every member of every object the component hands out,
// with the member list taken from the registered type library, against the
// in-process simulated historian whose fault switches are set at random.
// Arguments: every VARTYPE, by reference and not, arrays of wrong element
// types, dimensions and bounds, empty and huge counts, NaN and out-of-range
// dates, strings with embedded zeros, null pointers where the protocol allows
// them, named arguments and wrong argument counts; and what JScript hands
// over: arrays whose length is huge, negative, fractional or lying, sparse
// arrays, getters that fail, Dates that are NaN or infinite, and output
// variables and arrays that one call fills and the next, failing, reuses.
//   wine bin/dispatch_fuzz.exe [calls] [seed] [trace-from] [watchdog-ms]
// A crash or a hang (watchdog) ends the run with the seed and the call; the
// same seed replays the same calls (the simulated clock is frozen), and
// trace-from prints every call from that number on. At the end every object
// must be gone (the component unloadable) and every historian answer freed.
#include <windows.h>
#include <ocidl.h>
#include <oleauto.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <cwctype>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "OPCHDAAuto.h"
#include "opc_hda.h"
#include "com/com_holders.h"
#include "../support/script_objects.h"
#include "reliability.h"
#include "sim_control.h"

using namespace reliability;

namespace {

// What a parameter is, as far as generating a sensible argument goes.
enum class Shape { Long, Short, Date, Bstr, Variant, VariantInOut, VariantOut, InArray, OutArray, OutScalar, Other };

struct Param {
    Shape shape = Shape::Other;
    VARTYPE element = VT_EMPTY;  // arrays' element, scalars' type
    bool optional = false;
    std::wstring name;
};

struct Member {
    std::wstring name;
    MEMBERID id = 0;
    INVOKEKIND kind = INVOKE_FUNC;
    bool restricted = false;  // IUnknown and IDispatch, reachable by DISPID
    std::vector<Param> params;
    long calls = 0;
    double seconds = 0;
};

struct InterfaceModel {
    GUID iid{};
    std::wstring name;
    std::vector<Member> members;
};

Shape ShapeOf(const TYPEDESC& type, USHORT flags, VARTYPE* element) {
    const bool out = (flags & PARAMFLAG_FOUT) != 0, in = (flags & PARAMFLAG_FIN) != 0 || !out;
    *element = type.vt;
    switch (type.vt) {
        case VT_I4:
        case VT_INT: return Shape::Long;
        case VT_I2: return Shape::Short;
        case VT_DATE: return Shape::Date;
        case VT_BSTR: return Shape::Bstr;
        case VT_VARIANT: return Shape::Variant;
        case VT_PTR: break;
        default: return Shape::Other;
    }
    const TYPEDESC* target = type.lptdesc;
    if (!target) return Shape::Other;
    if (target->vt == VT_VARIANT) return in && out ? Shape::VariantInOut : out ? Shape::VariantOut : Shape::Variant;
    if (target->vt == VT_SAFEARRAY && target->lptdesc) {
        *element = target->lptdesc->vt;
        return in ? Shape::InArray : Shape::OutArray;
    }
    *element = target->vt;
    return out ? Shape::OutScalar : Shape::Other;
}

// The members of a dual interface and of every interface it derives from
// (IDispatch's and IUnknown's marked restricted), from the type information.
void AddMembers(ITypeInfo* info, InterfaceModel& model) {
    TYPEATTR* attr = nullptr;
    if (FAILED(info->GetTypeAttr(&attr))) return;
    const UINT funcs = attr->cFuncs, bases = attr->cImplTypes;
    info->ReleaseTypeAttr(attr);
    for (UINT i = 0; i < funcs; ++i) {
        FUNCDESC* desc = nullptr;
        if (FAILED(info->GetFuncDesc(i, &desc))) continue;
        Member member;
        member.id = desc->memid;
        member.kind = desc->invkind;
        member.restricted = (desc->wFuncFlags & FUNCFLAG_FRESTRICTED) != 0;
        BSTR names[32] = {};
        UINT got = 0;
        info->GetNames(desc->memid, names, 32, &got);
        if (got > 0) member.name = names[0];
        for (SHORT p = 0; p < desc->cParams; ++p) {
            const ELEMDESC& e = desc->lprgelemdescParam[p];
            const USHORT flags = e.paramdesc.wParamFlags;
            if (flags & PARAMFLAG_FRETVAL) continue;
            Param param;
            param.shape = ShapeOf(e.tdesc, flags, &param.element);
            param.optional = (flags & (PARAMFLAG_FOPT | PARAMFLAG_FHASDEFAULT)) != 0;
            if (static_cast<UINT>(p + 1) < got && names[p + 1]) param.name = names[p + 1];
            member.params.push_back(param);
        }
        for (UINT n = 0; n < got && n < 32; ++n) SysFreeString(names[n]);
        info->ReleaseFuncDesc(desc);
        model.members.push_back(std::move(member));
    }
    for (UINT b = 0; b < bases; ++b) {
        HREFTYPE ref = 0;
        ComPtr<ITypeInfo> base;
        if (SUCCEEDED(info->GetRefTypeOfImplType(b, &ref)) && SUCCEEDED(info->GetRefTypeInfo(ref, base.put())))
            AddMembers(base.get(), model);
    }
}

// Every dual interface of the library: the objects a client can call.
std::vector<InterfaceModel> LoadModels() {
    std::vector<InterfaceModel> models;
    ComPtr<ITypeLib> lib;
    // Registered for US English only.
    if (FAILED(LoadRegTypeLib(LIBID_OPCHDAAutomation, 1, 0, MAKELCID(0x0409, SORT_DEFAULT), lib.put()))) return models;
    for (UINT i = 0; i < lib->GetTypeInfoCount(); ++i) {
        ComPtr<ITypeInfo> info;
        TYPEATTR* attr = nullptr;
        if (FAILED(lib->GetTypeInfo(i, info.put())) || FAILED(info->GetTypeAttr(&attr))) continue;
        const bool dual = attr->typekind == TKIND_DISPATCH && (attr->wTypeFlags & TYPEFLAG_FDUAL);
        InterfaceModel model;
        model.iid = attr->guid;
        info->ReleaseTypeAttr(attr);
        if (!dual) continue;
        HREFTYPE side = 0;
        ComPtr<ITypeInfo> interfaceSide;
        if (FAILED(info->GetRefTypeOfImplType(static_cast<UINT>(-1), &side)) ||
            FAILED(info->GetRefTypeInfo(side, interfaceSide.put())))
            continue;
        UniqueBstr name;
        lib->GetDocumentation(static_cast<INT>(i), name.put(), nullptr, nullptr, nullptr);
        model.name = name.get() ? name.get() : L"?";
        AddMembers(interfaceSide.get(), model);
        models.push_back(std::move(model));
    }
    return models;
}

// Counts the events it receives; nothing else.
class CountingSink final : public SinkBase {
public:
    std::atomic<long> events{0};
    STDMETHODIMP Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
        ++events;
        return S_OK;
    }
};

constexpr wchar_t kItemIDs[][48] = {L"Plant/Lab/Calibration/Ramp",       L"Plant/Lab/Calibration/Step",
                                    L"Plant/Lab/Calibration/Text",       L"Plant/Lab/Calibration/Flag",
                                    L"Plant/Area1/Reactor1/Temperature", L"Plant/Area2/Tank1/Level",
                                    L"Plant/Lab/Calibration/Gappy",      L"Plant/NoSuchItem"};
constexpr const wchar_t* kTimeTexts[] = {
    L"NOW",      L"NOW-1H", L"NOW-10M", L"DAY",         L"DAY-1D",       L"YEAR+1Y", L"NOW-", L"", L"MONTH-999999999MO",
    L"NOW+1.5H", L"now-1h", L"W-1W+2D", L" NOW - 1 H ", L"\x00e9t\x00e9"};
constexpr const wchar_t* kSimMethods[] = {L"ReadRaw",
                                          L"ReadProcessed",
                                          L"ReadAtTime",
                                          L"ReadModified",
                                          L"ReadAttribute",
                                          L"Insert",
                                          L"Replace",
                                          L"InsertReplace",
                                          L"DeleteRaw",
                                          L"DeleteAtTime",
                                          L"QueryCapabilities",
                                          L"GetItemHandles",
                                          L"ReleaseItemHandles",
                                          L"ValidateItemIDs",
                                          L"GetHistorianStatus",
                                          L"GetItemAttributes",
                                          L"GetAggregates",
                                          L"CreateBrowse",
                                          L"AdviseRaw",
                                          L"AdviseProcessed",
                                          L"Cancel",
                                          L"Read",
                                          L"QueryLocaleIDs",
                                          L"GetErrorString",
                                          L"SetLocaleID",
                                          L"GetLocaleID",
                                          L"GetEnum",
                                          L"ChangeBrowsePosition",
                                          L"GetItemID",
                                          L"GetBranchPosition",
                                          L"ReadRawWithUpdate",
                                          L"ReadProcessedWithUpdate",
                                          L"SetClientName",
                                          L"Advise",
                                          L"Unadvise"};
constexpr HRESULT kFaults[] = {E_FAIL,
                               E_OUTOFMEMORY,
                               E_INVALIDARG,
                               E_NOTIMPL,
                               static_cast<HRESULT>(0x80070005),
                               S_FALSE,
                               S_OK,
                               static_cast<HRESULT>(0xC0040004),
                               static_cast<HRESULT>(0x0004100A),
                               static_cast<HRESULT>(0x800706BA),
                               E_POINTER,
                               static_cast<HRESULT>(0x80010108)};
constexpr double kDates[] = {std::numeric_limits<double>::quiet_NaN(),
                             std::numeric_limits<double>::infinity(),
                             -std::numeric_limits<double>::infinity(),
                             0.0,
                             -0.0,
                             -657434.0,
                             -657435.5,
                             2958465.99999,
                             2958466.0,
                             1e300,
                             -1e300,
                             std::numeric_limits<double>::denorm_min(),
                             -1.0,
                             1.0 / 1440,
                             0.5,
                             1e-12};
constexpr LONG kLongs[] = {0,       1,     -1,  2, 3, 7, 100, 1000, 0x7FFFFFFF, static_cast<LONG>(0x80000000),
                           0x10000, 65535, -100};
// The simulated clock stands at 2024-06-01 12:00 UTC: dates near it find data.
constexpr LONGLONG kClock = 133616880000000000LL;
constexpr double kBaseDate = 45444.5;

class Fuzzer {
public:
    Fuzzer(unsigned long long seed, long traceFrom) : rng_(seed), traceFrom_(traceFrom) {}

    bool Start() {
        models_ = LoadModels();
        if (models_.empty()) return Fail("the type library is not registered");
        if (FAILED(CoCreateInstance(CLSID_HdaSimControl, nullptr, CLSCTX_INPROC_SERVER, IID_IHdaSimControl,
                                    control_.put_void())))
            return Fail("no simulator control");
        control_->ResetDefaults();
        control_->ClockSetSpeed(0);
        control_->ClockSet(kClock);
        return NewServer();
    }

    void Call(long index) {
        index_ = index;
        // Held callbacks pile up in the historian's queue (task memory that
        // Wine's malloc spy then scans on every allocation): let them go soon.
        if (held_ && index_ - heldSince_ > 200) {
            held_ = false;
            control_->HoldCallbacks(FALSE, Chance(50));
        }
        const unsigned roll = Pick(1000);
        if (roll < 6) return SetFault();
        if (roll < 8) {
            NewServer();
            return;
        }
        if (roll < 14 && objects_.size() > 1) {
            objects_.erase(objects_.begin() + 1 + Pick(static_cast<unsigned>(objects_.size() - 1)));
            return;
        }
        if (roll < 60 && !enums_.empty()) return CallEnumerator();
        if (roll < 66) return CallTypeInfo();
        if (roll < 72) {
            Connect(objects_[0].dispatch.get());  // most members only work on a connected object
            return;
        }
        if (roll < 74) return ReadModifiedValues();
        CallMember();
    }

    bool Finish(double seconds, long calls) {
        for (VARIANT& v : scriptVariables_) VariantClear(&v);
        for (ComPtr<IDispatch>& a : scriptArrays_) a = nullptr;
        objects_.clear();
        enums_.clear();
        control_->ClearFaults();
        control_->ResetDefaults();
        const HRESULT unload = WaitUntilUnloadable(10000);
        LONG memory = -1, handles = -1;
        control_->OutstandingTaskMemory(&memory);
        control_->OutstandingHandles(&handles);
        size_t total = 0, called = 0;
        for (const InterfaceModel& model : models_)
            for (const Member& member : model.members)
                if (!member.restricted) {
                    ++total;
                    if (member.calls > 0) ++called;
                }
        Bench("dispatch_fuzz_calls", calls, "calls");
        Bench("dispatch_fuzz_rate", calls / seconds, "calls/s");
        Bench("dispatch_fuzz_members_called", static_cast<double>(called), "members");
        Bench("dispatch_fuzz_members_in_library", static_cast<double>(total), "members");
        Bench("dispatch_fuzz_events", sink_.events.load(), "events");
        Bench("dispatch_fuzz_script_objects", scriptObjects_, "objects");
        Bench("dispatch_fuzz_live_objects", unload == S_OK ? 0 : 1, "modules");
        Bench("dispatch_fuzz_task_memory", memory, "blocks");
        Bench("dispatch_fuzz_item_handles", handles, "handles");
        std::vector<const Member*> byTime;
        for (const InterfaceModel& model : models_)
            for (const Member& member : model.members) byTime.push_back(&member);
        std::sort(byTime.begin(), byTime.end(),
                  [](const Member* a, const Member* b) { return a->seconds > b->seconds; });
        for (size_t i = 0; i < byTime.size() && i < 5; ++i)
            std::printf("time in %ls: %.2f s in %ld calls\n", byTime[i]->name.c_str(), byTime[i]->seconds,
                        byTime[i]->calls);
        for (const InterfaceModel& model : models_)
            for (const Member& member : model.members)
                if (member.calls == 0 && !member.restricted)
                    std::printf("never called: %ls.%ls\n", model.name.c_str(), member.name.c_str());
        control_ = nullptr;
        return unload == S_OK && memory == 0 && handles == 0 && called == total;
    }

private:
    struct Object {
        ComPtr<IDispatch> dispatch;
        InterfaceModel* model = nullptr;
    };

    // One argument and the storage a by-reference argument points into. The
    // caller owns what a by-value argument holds, and what a by-reference
    // argument points to after the call.
    struct Cell {
        VARIANT value;
        VARIANT target;
        SAFEARRAY* array = nullptr;
        BSTR bstr = nullptr;
        IUnknown* unknown = nullptr;
        DECIMAL decimal{};
        LONGLONG scalar = 0;
        Cell() {
            VariantInit(&value);
            VariantInit(&target);
        }
        Cell(const Cell&) = delete;
        Cell& operator=(const Cell&) = delete;
        ~Cell() {
            if (!(value.vt & VT_BYREF)) {
                VariantClear(&value);
            } else if ((value.vt & ~VT_BYREF) == VT_VARIANT) {
                VariantClear(&target);
            } else if (value.vt & VT_ARRAY) {
                SafeArrayDestroy(array);
            } else if ((value.vt & VT_TYPEMASK) == VT_BSTR) {
                SysFreeString(bstr);
            } else if ((value.vt & VT_TYPEMASK) == VT_DISPATCH || (value.vt & VT_TYPEMASK) == VT_UNKNOWN) {
                if (unknown) unknown->Release();
            }
        }
    };

    // JScript's arrays: usually the elements 1 to the count (JScript leaves
    // element 0 out), otherwise a length that is huge, negative, fractional,
    // NaN or one short, a sparse element far out, a getter that fails.
    IDispatch* MakeScriptArray(VARTYPE element, LONG count) {
        static constexpr double kLengths[] = {178956971.0, 4294967295.0, 16777217.0, 4294967296.0,
                                              -1.0,        2.5,          std::numeric_limits<double>::quiet_NaN()};
        ++scriptObjects_;
        const unsigned roll = Pick(10);
        const LONG n = count < 0 || count > 64 ? static_cast<LONG>(Pick(5)) : count;
        VARIANT length;
        length.vt = VT_R8;
        length.dblVal = roll == 0 ? OneOf(kLengths) : roll == 1 ? n : n + 1.0;
        std::map<ULONG, VARIANT> elements;
        for (LONG i = 1; i <= n; ++i) {
            VARIANT& e = elements[static_cast<ULONG>(i)];
            VariantInit(&e);
            if (element == VT_BSTR) {
                e.vt = VT_BSTR;
                e.bstrVal = MakeString(L"");
            } else if (element == VT_DATE) {
                e.vt = VT_DATE;
                e.date = Chance(80) ? MakeDate(L"") : OneOf(kDates);
            } else {
                e.vt = VT_I4;
                e.lVal = !handles_.empty() && Chance(70) ? handles_[Pick(handles_.size())] : MakeLong(L"", 1);
            }
        }
        if (roll == 2) {  // sparse
            VARIANT& outlier = elements[64 + Pick(4000000)];
            outlier.vt = VT_I4;
            outlier.lVal = 1;
            length.dblVal = 4000100.0;
        }
        scripttest::ScriptObject* array = scripttest::ScriptObject::Array(length, elements);
        for (auto& e : elements) VariantClear(&e.second);
        if (roll == 3) array->FailReading(Chance(50) ? L"length" : L"1", OneOf(kFaults));
        return array;
    }
    // A JScript Date: mostly near the clock, otherwise NaN (an invalid Date), infinite or far out.
    IDispatch* MakeScriptDate() {
        static constexpr double kMilliseconds[] = {std::numeric_limits<double>::quiet_NaN(),
                                                   std::numeric_limits<double>::infinity(),
                                                   -std::numeric_limits<double>::infinity(), 1e300, -1.2e13, 0.0};
        ++scriptObjects_;
        constexpr double kClockMilliseconds = (kClock - 116444736000000000LL) / 10000.0;
        return scripttest::ScriptObject::Date(Chance(70) ? kClockMilliseconds - Pick(86400) * 1000.0
                                                         : OneOf(kMilliseconds));
    }
    // What receives an [out] array as a script passes it: a variable or a
    // JScript array kept from call to call, so that a call that fails
    // follows one that filled them.
    void ScriptOutput(VARIANT& v) {
        if (Chance(50)) {
            v.vt = VT_BYREF | VT_VARIANT;
            v.pvarVal = &scriptVariables_[Pick(kScriptOutputs)];
            return;
        }
        ComPtr<IDispatch>& array = scriptArrays_[Pick(kScriptOutputs)];
        if (!array) array = ComPtr<IDispatch>::attach(scripttest::ScriptObject::Array(Typed(VT_I4, 0L)));
        v.vt = VT_DISPATCH;
        v.pdispVal = array.get();
        v.pdispVal->AddRef();
    }
    static VARIANT Typed(VARTYPE vt, LONG value) {
        VARIANT v;
        v.vt = vt;
        v.lVal = value;
        return v;
    }

    bool Fail(const char* what) {
        std::printf("FAILED: %s\n", what);
        return false;
    }
    unsigned Pick(unsigned n) { return n ? static_cast<unsigned>(rng_() % n) : 0; }
    bool Chance(unsigned percent) { return Pick(100) < percent; }
    template <class T, size_t N>
    const T& OneOf(const T (&list)[N]) {
        return list[Pick(N)];
    }

    InterfaceModel* ModelOf(IDispatch* object) {
        ComPtr<ITypeInfo> info;
        TYPEATTR* attr = nullptr;
        if (FAILED(object->GetTypeInfo(0, 0, info.put())) || !info || FAILED(info->GetTypeAttr(&attr))) return nullptr;
        const GUID iid = attr->guid;
        info->ReleaseTypeAttr(attr);
        for (InterfaceModel& model : models_)
            if (IsEqualGUID(model.iid, iid)) return &model;
        return nullptr;
    }

    void Keep(IDispatch* object) {
        if (!object) return;
        InterfaceModel* model = ModelOf(object);
        if (!model) return;
        Object entry{ComPtr<IDispatch>(object), model};
        if (objects_.size() < 48)
            objects_.push_back(std::move(entry));
        else
            objects_[1 + Pick(47)] = std::move(entry);
    }
    void KeepEnum(IUnknown* unknown) {
        ComPtr<IEnumVARIANT> walk;
        if (!unknown || FAILED(unknown->QueryInterface(IID_IEnumVARIANT, walk.put_void()))) return;
        if (enums_.size() < 8)
            enums_.push_back(std::move(walk));
        else
            enums_[Pick(8)] = std::move(walk);
    }
    void Harvest(const VARIANT& v, int depth = 0) {
        const VARTYPE type = v.vt & VT_TYPEMASK;
        if (v.vt == VT_DISPATCH) Keep(v.pdispVal);
        if (v.vt == VT_UNKNOWN) KeepEnum(v.punkVal);
        if (v.vt == VT_I4 && handles_.size() < 64) handles_.push_back(v.lVal);
        if (v.vt == (VT_BYREF | VT_VARIANT) && v.pvarVal && depth == 0) Harvest(*v.pvarVal, 1);
        SAFEARRAY* array = nullptr;
        if (v.vt & VT_ARRAY) array = (v.vt & VT_BYREF) ? (v.pparray ? *v.pparray : nullptr) : v.parray;
        if (!array || depth > 1 || SafeArrayGetDim(array) != 1) return;
        LONG lower = 0, upper = -1;
        SafeArrayGetLBound(array, 1, &lower);
        SafeArrayGetUBound(array, 1, &upper);
        for (LONG i = lower; i <= upper && i < lower + 16; ++i) {
            if (type == VT_VARIANT) {
                UniqueVariant element;
                if (SUCCEEDED(SafeArrayGetElement(array, &i, element.get()))) Harvest(*element.get(), depth + 1);
            } else if (type == VT_I4 && handles_.size() < 64) {
                LONG value = 0;
                if (SUCCEEDED(SafeArrayGetElement(array, &i, &value)) && value) handles_.push_back(value);
            }
        }
    }

    bool NewServer() {
        ComPtr<IDispatch> server;
        if (FAILED(
                CoCreateInstance(CLSID_OPCHDAServer, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, server.put_void())))
            return Fail("the server object cannot be created");
        ComPtr<IConnectionPointContainer> container;
        if (SUCCEEDED(server.query(IID_IConnectionPointContainer, container))) {
            for (const IID* events : {&DIID__IOPCHDAItemEvents, &DIID__IOPCHDAAutoServerEvents}) {
                ComPtr<IConnectionPoint> point;
                DWORD cookie = 0;
                if (SUCCEEDED(container->FindConnectionPoint(*events, point.put())))
                    point->Advise(static_cast<IDispatch*>(&sink_), &cookie);
            }
        }
        if (Chance(90)) Connect(server.get());
        Object entry{server, ModelOf(server.get())};
        if (!entry.model) return Fail("the server object has no type information");
        if (objects_.empty())
            objects_.push_back(std::move(entry));
        else
            objects_[0] = std::move(entry);
        return true;
    }

    void Connect(IDispatch* server) {
        Doing("Connect");
        DISPID connect = 0;
        LPOLESTR name = const_cast<LPOLESTR>(L"Connect");
        if (FAILED(server->GetIDsOfNames(IID_NULL, &name, 1, 0, &connect))) return;
        VARIANT arg;
        arg.vt = VT_BSTR;
        arg.bstrVal = SysAllocString(L"Sim.HdaHistorian");
        DISPPARAMS params{&arg, nullptr, 1, 0};
        server->Invoke(connect, IID_NULL, 0, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr);
        VariantClear(&arg);
    }

    // Invokes `name` on `object` with `args` (declared order; consumed).
    HRESULT InvokeByName(IDispatch* object, const wchar_t* name, std::vector<VARIANT> args, VARIANT* result) {
        DISPID id = 0;
        LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
        HRESULT hr = object->GetIDsOfNames(IID_NULL, names, 1, 0, &id);
        std::reverse(args.begin(), args.end());
        DISPPARAMS params{args.data(), nullptr, static_cast<UINT>(args.size()), 0};
        if (SUCCEEDED(hr)) hr = object->Invoke(id, IID_NULL, 0, DISPATCH_METHOD, &params, result, nullptr, nullptr);
        for (VARIANT& v : args)
            if (!(v.vt & VT_BYREF)) VariantClear(&v);
        return hr;
    }

    // Entries (values with their modification) exist only once a value was
    // changed: replaces one and reads the modification back, so that the
    // entry objects get their share of calls.
    void ReadModifiedValues() {
        Doing("replacing a value and reading it back as modified");
        UniqueVariant collection;
        DISPPARAMS none{nullptr, nullptr, 0, 0};
        if (FAILED(objects_[0].dispatch->Invoke(DISPID_VALUE, IID_NULL, 0, DISPATCH_PROPERTYGET, &none,
                                                collection.get(), nullptr, nullptr)) ||
            collection->vt != VT_DISPATCH || !collection->pdispVal)
            return;
        IDispatch* server = collection->pdispVal;  // the items collection
        VARIANT id{}, client{};
        id.vt = VT_BSTR;
        id.bstrVal = SysAllocString(kItemIDs[0]);
        client.vt = VT_I4;
        client.lVal = 1;
        UniqueVariant item;
        if (FAILED(InvokeByName(server, L"AddItem", {id, client}, item.get())) || item->vt != VT_DISPATCH) return;
        UniqueVariant handle;
        DISPID handleID = 0;
        LPOLESTR handleName = const_cast<LPOLESTR>(L"ServerHandle");
        if (FAILED(item->pdispVal->GetIDsOfNames(IID_NULL, &handleName, 1, 0, &handleID)) ||
            FAILED(item->pdispVal->Invoke(handleID, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, handle.get(), nullptr,
                                          nullptr)))
            return;
        const DATE stamp = kBaseDate - 1.0 / 24;
        SAFEARRAY *handles = MakeArray(VT_I4, 1, 1, 1), *stamps = SafeArrayCreateVector(VT_DATE, 1, 1),
                  *values = SafeArrayCreateVector(VT_VARIANT, 1, 1), *qualities = SafeArrayCreateVector(VT_I4, 1, 1),
                  *errors = nullptr;
        LONG one = 1, quality = 0xC0;
        VARIANT value{};
        value.vt = VT_R8;
        value.dblVal = 42;
        SafeArrayPutElement(handles, &one, &handle->lVal);
        SafeArrayPutElement(stamps, &one, const_cast<DATE*>(&stamp));
        SafeArrayPutElement(values, &one, &value);
        SafeArrayPutElement(qualities, &one, &quality);
        auto byRef = [](SAFEARRAY** array, VARTYPE element) {
            VARIANT v{};
            v.vt = VT_BYREF | VT_ARRAY | element;
            v.pparray = array;
            return v;
        };
        VARIANT count{};
        count.vt = VT_I4;
        count.lVal = 1;
        InvokeByName(server, L"SyncInsertReplace",
                     {count, byRef(&handles, VT_I4), byRef(&stamps, VT_DATE), byRef(&values, VT_VARIANT),
                      byRef(&qualities, VT_I4), byRef(&errors, VT_I4)},
                     nullptr);
        SafeArrayDestroy(errors);
        errors = nullptr;
        UniqueVariant start, end;
        start->vt = end->vt = VT_DATE;
        start->date = stamp - 1.0 / 24;
        end->date = stamp + 1.0 / 24;
        VARIANT startRef{}, endRef{}, numValues{};
        startRef.vt = endRef.vt = VT_BYREF | VT_VARIANT;
        startRef.pvarVal = start.get();
        endRef.pvarVal = end.get();
        numValues.vt = VT_I4;
        SAFEARRAY* itemValues = nullptr;
        InvokeByName(server, L"SyncReadModified",
                     {startRef, endRef, numValues, count, byRef(&handles, VT_I4), byRef(&itemValues, VT_VARIANT),
                      byRef(&errors, VT_I4)},
                     nullptr);
        VARIANT harvested{};
        harvested.vt = VT_ARRAY | VT_VARIANT;
        harvested.parray = itemValues;
        Harvest(harvested);
        for (SAFEARRAY* array : {handles, stamps, values, qualities, errors, itemValues}) SafeArrayDestroy(array);
    }

    // One of the simulator's fault switches, at random.
    void SetFault() {
        char text[160];
        const unsigned which = Pick(12);
        std::snprintf(text, sizeof text, "call %ld: simulator switch %u", index_, which);
        Doing(text);
        switch (which) {
            case 0:
            case 1: control_->FailMethod(OneOf(kSimMethods), OneOf(kFaults)); break;
            case 2:
            case 10:
            case 11:
                held_ = false;
                control_->ClearFaults();
                break;
            case 3: control_->SetItemCode(OneOf(kItemIDs), Chance(30) ? S_OK : OneOf(kFaults)); break;
            case 4: control_->DelayCallbacks(Pick(3) == 0 ? Pick(20) : 0); break;
            case 5:
                held_ = Chance(50);
                heldSince_ = index_;
                control_->HoldCallbacks(held_, Chance(50));
                break;
            case 6:
                // Waits for the delivery, which held callbacks would keep back.
                if (!held_) control_->SendShutdown(Chance(20) ? nullptr : L"fuzz");
                break;
            case 7: control_->ClockSetSpeed(Chance(50) ? 0.0 : Chance(50) ? 1.0 : 10.0); break;
            case 8: control_->ClockStep(static_cast<LONGLONG>(Pick(3600)) * 10000000LL); break;
            default: {
                static const IID* const kRefusable[] = {&IID_IOPCHDA_SyncRead,  &IID_IOPCHDA_SyncUpdate,
                                                        &IID_IOPCHDA_AsyncRead, &IID_IOPCHDA_Playback,
                                                        &IID_IOPCHDA_Browser,   &IID_IConnectionPointContainer};
                control_->RefuseInterface(*OneOf(kRefusable), Chance(50));
            }
        }
    }

    // ---- argument makers ----
    BSTR MakeString(const std::wstring& paramName) {
        const unsigned roll = Pick(20);
        if (roll == 0) return nullptr;
        if (roll == 1) return SysAllocString(L"");
        if (roll == 2) {
            std::wstring s = OneOf(kItemIDs);
            s.insert(s.begin() + static_cast<long>(Pick(static_cast<unsigned>(s.size()))), L'\0');
            return SysAllocStringLen(s.data(), static_cast<UINT>(s.size()));
        }
        if (roll == 3) {
            const std::wstring longText(Chance(50) ? 70000 : 300, L'x');
            return SysAllocStringLen(longText.data(), static_cast<UINT>(longText.size()));
        }
        if (roll == 4) return SysAllocString(OneOf(kTimeTexts));
        if (paramName == L"ProgID") return SysAllocString(Chance(90) ? L"Sim.HdaHistorian" : L"No.Such.Server");
        if (paramName == L"NewPosition" || paramName == L"BranchName")
            return SysAllocString(Chance(50) ? L"Plant/Lab" : Chance(50) ? L"Calibration" : L"Plant");
        if (paramName == L"ItemName") return SysAllocString(Chance(50) ? L"Ramp" : L"Temperature");
        return SysAllocString(OneOf(kItemIDs));
    }
    LONG MakeLong(const std::wstring& paramName, LONG count) {
        if (Chance(10)) return OneOf(kLongs);
        if (paramName.rfind(L"Num", 0) == 0) return count;
        if (paramName == L"ServerHandle" && !handles_.empty() && Chance(80)) return handles_[Pick(handles_.size())];
        if (paramName == L"ErrorCode") return static_cast<LONG>(OneOf(kFaults));
        if (paramName == L"LocaleID") return Chance(50) ? 0x409 : 0x407;
        if (paramName == L"Bounds") return Pick(2);
        if (paramName == L"TransactionID") return static_cast<LONG>(index_);
        if (paramName == L"CancelID") return Pick(5);
        return static_cast<LONG>(Pick(20));
    }
    DATE MakeDate(const std::wstring& paramName) {
        if (Chance(10)) return OneOf(kDates);
        if (paramName.find(L"Interval") != std::wstring::npos) return (1 + Pick(60)) / 1440.0;
        return kBaseDate - Pick(48) / 24.0 - Pick(3600) / 86400.0;
    }

    // A VARIANT of any type (by-reference ones point into `cell`).
    void RandomVariant(VARIANT& v, Cell& cell, int depth) {
        static constexpr VARTYPE kTypes[] = {VT_EMPTY, VT_NULL, VT_I2,       VT_I4,    VT_R4,   VT_R8,      VT_CY,
                                             VT_DATE,  VT_BSTR, VT_DISPATCH, VT_ERROR, VT_BOOL, VT_UNKNOWN, VT_DECIMAL,
                                             VT_I1,    VT_UI1,  VT_UI2,      VT_UI4,   VT_I8,   VT_UI8,     VT_INT,
                                             VT_UINT,  VT_VOID, VT_HRESULT,  0x7F};
        VariantInit(&v);
        const unsigned roll = Pick(10);
        if (roll == 0 && depth < 2) return RandomArray(v, depth);
        if (roll == 1 && depth == 0) return RandomReference(v, cell);
        const VARTYPE type = OneOf(kTypes);
        v.vt = type;
        switch (type) {
            case VT_BSTR: v.bstrVal = MakeString(L""); break;
            case VT_DISPATCH:
            case VT_UNKNOWN:
                v.pdispVal = nullptr;
                if (!objects_.empty() && Chance(80)) {
                    v.pdispVal = objects_[Pick(static_cast<unsigned>(objects_.size()))].dispatch.get();
                    v.pdispVal->AddRef();
                }
                break;
            case VT_DATE: v.date = Chance(50) ? OneOf(kDates) : MakeDate(L""); break;
            case VT_R8: v.dblVal = Chance(50) ? OneOf(kDates) : 1.5; break;
            case VT_R4: v.fltVal = Chance(50) ? static_cast<float>(OneOf(kDates)) : 2.5f; break;
            case VT_ERROR: v.scode = Chance(50) ? DISP_E_PARAMNOTFOUND : OneOf(kFaults); break;
            case VT_BOOL: v.boolVal = Chance(50) ? VARIANT_TRUE : VARIANT_FALSE; break;
            case VT_DECIMAL:
                v.decVal.scale = static_cast<BYTE>(Pick(40));  // above 28 is invalid on purpose
                v.decVal.Hi32 = Pick(2) ? 0xFFFFFFFF : 0;
                v.decVal.Lo64 = rng_();
                v.vt = VT_DECIMAL;
                break;
            case VT_VOID:
            case VT_HRESULT:
            case 0x7F:
                v.llVal = 0;  // no payload a reader could follow
                break;
            default: v.llVal = Chance(50) ? static_cast<LONGLONG>(OneOf(kLongs)) : static_cast<LONGLONG>(rng_());
        }
    }
    void RandomReference(VARIANT& v, Cell& cell) {
        static constexpr VARTYPE kTypes[] = {VT_VARIANT,
                                             VT_I4,
                                             VT_I2,
                                             VT_R8,
                                             VT_DATE,
                                             VT_BSTR,
                                             VT_BOOL,
                                             VT_DISPATCH,
                                             VT_UI1,
                                             VT_ERROR,
                                             VT_DECIMAL,
                                             VT_ARRAY | VT_I4,
                                             VT_ARRAY | VT_VARIANT,
                                             VT_ARRAY | VT_BSTR,
                                             VT_ARRAY | VT_DATE};
        const VARTYPE type = OneOf(kTypes);
        v.vt = VT_BYREF | type;
        if (type == VT_VARIANT) {
            RandomVariant(cell.target, cell, 1);
            v.pvarVal = &cell.target;
        } else if (type & VT_ARRAY) {
            cell.array = Chance(20) ? nullptr : MakeArray(type & VT_TYPEMASK, Pick(5), 1, 1);
            v.pparray = &cell.array;
        } else if (type == VT_BSTR) {
            cell.bstr = MakeString(L"");
            v.pbstrVal = &cell.bstr;
        } else if (type == VT_DISPATCH) {
            if (!objects_.empty() && Chance(70)) {
                cell.unknown = objects_[Pick(static_cast<unsigned>(objects_.size()))].dispatch.get();
                cell.unknown->AddRef();
            }
            v.ppdispVal = reinterpret_cast<IDispatch**>(&cell.unknown);
        } else if (type == VT_DECIMAL) {
            v.pdecVal = &cell.decimal;
        } else {
            cell.scalar = Chance(50) ? OneOf(kLongs) : 0;
            if (type == VT_R8 || type == VT_DATE) {
                double d = OneOf(kDates);
                std::memcpy(&cell.scalar, &d, sizeof d);
            }
            v.byref = &cell.scalar;
        }
    }
    // An array of `element` (VT_VARIANT elements random), `count` elements a
    // dimension, lower bound `lower`.
    SAFEARRAY* MakeArray(VARTYPE element, unsigned count, LONG lower, unsigned dims, int depth = 1) {
        SAFEARRAYBOUND bounds[3];
        for (unsigned d = 0; d < dims; ++d) bounds[d] = {count, lower};
        SAFEARRAY* array = SafeArrayCreate(element, dims, bounds);
        if (!array || dims != 1) return array;
        for (LONG i = lower; i < lower + static_cast<LONG>(count); ++i) {
            switch (element) {
                case VT_I4: {
                    LONG value = !handles_.empty() && Chance(70) ? handles_[Pick(handles_.size())] : MakeLong(L"", 1);
                    SafeArrayPutElement(array, &i, &value);
                    break;
                }
                case VT_I2: {
                    SHORT value = static_cast<SHORT>(Pick(20));
                    SafeArrayPutElement(array, &i, &value);
                    break;
                }
                case VT_DATE: {
                    DATE value = MakeDate(L"");
                    SafeArrayPutElement(array, &i, &value);
                    break;
                }
                case VT_BSTR: {
                    UniqueBstr value(MakeString(L""));
                    SafeArrayPutElement(array, &i, value.get());
                    break;
                }
                case VT_VARIANT: {
                    Cell scratch;
                    if (Chance(60)) {
                        scratch.value.vt = VT_R8;
                        scratch.value.dblVal = Pick(1000) / 8.0;
                    } else {
                        RandomVariant(scratch.value, scratch, depth);
                    }
                    // No objects inside arrays: the same platform fault as above.
                    const VARTYPE type = scratch.value.vt & VT_TYPEMASK;
                    if (!(scratch.value.vt & VT_BYREF) && type != VT_DISPATCH && type != VT_UNKNOWN)
                        SafeArrayPutElement(array, &i, &scratch.value);
                    break;
                }
                default: break;  // zeroed elements
            }
        }
        return array;
    }
    void RandomArray(VARIANT& v, int depth) {
        static constexpr VARTYPE kElements[] = {VT_I2,      VT_I4,  VT_R8,   VT_DATE,  VT_BSTR,
                                                VT_VARIANT, VT_UI1, VT_BOOL, VT_ERROR, VT_DISPATCH};
        const VARTYPE element = OneOf(kElements);
        static constexpr LONG kLowers[] = {1, 1, 0, -5, 2, 1000};
        v.vt = VT_ARRAY | element;
        v.parray =
            Chance(5) ? nullptr : MakeArray(element, Pick(6), OneOf(kLowers), Chance(85) ? 1 : 2 + Pick(2), depth + 1);
    }

    // The array a SAFEARRAY(element)* parameter receives: usually right,
    // sometimes of another element type, dimension or bound, or missing.
    void MakeArrayArgument(Cell& cell, VARTYPE element, LONG count, bool good) {
        VARIANT& v = cell.value;
        if (!good && Chance(30)) return RandomVariant(v, cell, 0);
        if (Chance(good ? 4 : 15)) {  // a JScript array
            v.vt = VT_DISPATCH;
            v.pdispVal = MakeScriptArray(element, count);
            return;
        }
        const unsigned roll = good ? 10 : Pick(10);
        VARTYPE have = element;
        unsigned dims = 1, n = count < 0 || count > 64 ? Pick(4) : static_cast<unsigned>(count);
        LONG lower = 1;
        if (roll == 0) have = Chance(50) ? VT_VARIANT : VT_BSTR;
        if (roll == 1) dims = 2;
        if (roll == 2) lower = Chance(50) ? 0 : 2;
        if (roll == 3) n = n ? n - 1 : 0;
        if (roll == 4) n = 0;
        if (Chance(good ? 3 : 20)) {  // by value, as a script passes a plain array
            v.vt = VT_ARRAY | have;
            v.parray = MakeArray(have, n, lower, dims);
            return;
        }
        if (Chance(good ? 3 : 15)) {  // a script variable holding the array
            cell.target.vt = VT_ARRAY | VT_VARIANT;
            cell.target.parray = MakeArray(VT_VARIANT, n, lower, dims);
            v.vt = VT_BYREF | VT_VARIANT;
            v.pvarVal = &cell.target;
            return;
        }
        cell.array = Chance(good ? 1 : 10) ? nullptr : MakeArray(have, n, lower, dims);
        v.vt = VT_BYREF | VT_ARRAY | have;
        v.pparray = &cell.array;
    }

    // Wine's ITypeInfo::Invoke copies a by-value argument of a VARIANT or
    // VARIANT* parameter and leaks the copy when a later argument does not
    // convert: an object there would never be released (a platform fault,
    // not the component's). Such values go by reference.
    static void PassObjectsByReference(Cell& cell, const Param& param) {
        VARIANT& v = cell.value;
        const VARTYPE type = v.vt & VT_TYPEMASK;
        const bool variant =
            param.shape == Shape::Variant || param.shape == Shape::VariantInOut || param.shape == Shape::VariantOut;
        if (variant && !(v.vt & VT_BYREF) && (type == VT_DISPATCH || type == VT_UNKNOWN || (v.vt & VT_ARRAY))) {
            cell.target = v;
            v.vt = VT_BYREF | VT_VARIANT;
            v.pvarVal = &cell.target;
        }
    }

    void MakeArgument(Cell& cell, const Param& param, LONG count, bool good) {
        VARIANT& v = cell.value;
        if (!good && Chance(40)) {
            RandomVariant(v, cell, 0);
            PassObjectsByReference(cell, param);
            return;
        }
        switch (param.shape) {
            case Shape::Long:
                v.vt = VT_I4;
                v.lVal = MakeLong(param.name, count);
                break;
            case Shape::Short:
                v.vt = VT_I2;
                v.iVal = static_cast<SHORT>(MakeLong(param.name, count));
                break;
            case Shape::Date:
                if (Chance(5)) {
                    v.vt = VT_DISPATCH;
                    v.pdispVal = MakeScriptDate();
                    break;
                }
                v.vt = VT_DATE;
                v.date = MakeDate(param.name);
                break;
            case Shape::Bstr:
                v.vt = VT_BSTR;
                v.bstrVal = MakeString(param.name);
                break;
            case Shape::InArray: MakeArrayArgument(cell, param.element, count, good); break;
            case Shape::OutArray:
                if (Chance(85)) {
                    v.vt = VT_BYREF | VT_ARRAY | param.element;
                    v.pparray = &cell.array;
                } else if (Chance(70)) {
                    ScriptOutput(v);
                } else {
                    v.vt = VT_BYREF | VT_VARIANT;  // a script variable receives it
                    v.pvarVal = &cell.target;
                }
                break;
            case Shape::OutScalar:
                v.vt = VT_BYREF | param.element;
                v.byref = &cell.scalar;
                break;
            case Shape::VariantInOut:
            case Shape::VariantOut:
                v.vt = VT_BYREF | VT_VARIANT;
                v.pvarVal = &cell.target;
                if (param.shape == Shape::VariantOut) break;
                if (Chance(5)) {
                    cell.target.vt = VT_DISPATCH;  // a JScript Date in a variable
                    cell.target.pdispVal = MakeScriptDate();
                } else if (Chance(50)) {
                    cell.target.vt = VT_DATE;
                    cell.target.date = MakeDate(param.name);
                } else {
                    cell.target.vt = VT_BSTR;
                    cell.target.bstrVal = SysAllocString(OneOf(kTimeTexts));
                }
                break;
            case Shape::Variant:
                if (param.name == L"ItemSpecifier") {
                    v.vt = VT_I4;
                    v.lVal = static_cast<LONG>(Pick(5));
                } else if (param.name == L"AttributeIDs" || param.name == L"OperatorCodes") {
                    v.vt = VT_ARRAY | VT_I4;
                    v.parray = MakeArray(VT_I4, static_cast<unsigned>(count > 0 && count < 8 ? count : 1), 1, 1);
                } else if (param.name == L"Filters") {
                    v.vt = VT_ARRAY | VT_VARIANT;
                    v.parray = MakeArray(VT_VARIANT, static_cast<unsigned>(count > 0 && count < 8 ? count : 1), 1, 1);
                } else if (Chance(70)) {
                    v.vt = VT_ERROR;  // omitted
                    v.scode = DISP_E_PARAMNOTFOUND;
                } else {
                    RandomVariant(v, cell, 0);
                    PassObjectsByReference(cell, param);
                }
                break;
            case Shape::Other: RandomVariant(v, cell, 0); break;
        }
    }

    WORD FlagsFor(const Member& member) {
        if (Chance(8)) {
            static constexpr WORD kOdd[] = {0,
                                            DISPATCH_METHOD,
                                            DISPATCH_PROPERTYGET,
                                            DISPATCH_PROPERTYPUT,
                                            DISPATCH_PROPERTYPUTREF,
                                            DISPATCH_METHOD | DISPATCH_PROPERTYPUT,
                                            0xFFFF};
            return OneOf(kOdd);
        }
        switch (member.kind) {
            case INVOKE_PROPERTYGET: return Chance(50) ? DISPATCH_PROPERTYGET : DISPATCH_METHOD | DISPATCH_PROPERTYGET;
            case INVOKE_PROPERTYPUT: return DISPATCH_PROPERTYPUT;
            case INVOKE_PROPERTYPUTREF: return DISPATCH_PROPERTYPUTREF;
            default: return Chance(80) ? DISPATCH_METHOD : DISPATCH_METHOD | DISPATCH_PROPERTYGET;
        }
    }

    // The member's DISPID: by name through GetIDsOfNames, or as it stands,
    // or now and then one that names nothing. Named arguments' DISPIDs by
    // their parameter names come back in `named`.
    DISPID ResolveDispid(IDispatch* object, Member& member, std::vector<DISPID>& named, bool nameParams) {
        if (Chance(2)) {
            static constexpr DISPID kStray[] = {-1, -2, -5, 0x7FFFFFFF, 0x6002FFFF, 99, 0x60030005};
            return OneOf(kStray);
        }
        if (Chance(50) && !nameParams) return member.id;
        std::vector<std::wstring> names{member.name};
        if (Chance(10)) {  // another spelling
            for (wchar_t& c : names[0])
                c = Chance(50) ? static_cast<wchar_t>(towupper(c)) : static_cast<wchar_t>(towlower(c));
        }
        if (nameParams)
            for (const Param& p : member.params) names.push_back(p.name);
        std::vector<LPOLESTR> pointers;
        for (std::wstring& n : names) pointers.push_back(n.data());
        std::vector<DISPID> ids(names.size(), DISPID_UNKNOWN);
        const HRESULT hr = object->GetIDsOfNames(IID_NULL, pointers.data(), static_cast<UINT>(pointers.size()),
                                                 Chance(90) ? 0 : 0x407, ids.data());
        if (FAILED(hr)) {
            // The names come from the type library: each must resolve.
            if (nameParams && wrongNamedIds_++ == 0)
                std::printf("the parameter names of %ls did not resolve: 0x%08lX\n", member.name.c_str(),
                            static_cast<unsigned long>(hr));
            named.clear();
            return ids[0];
        }
        named.assign(ids.begin() + 1, ids.end());
        // A parameter's DISPID is its position.
        for (size_t i = 0; i < named.size(); ++i)
            if (named[i] != static_cast<DISPID>(i)) {
                if (wrongNamedIds_++ == 0)
                    std::printf("named argument %ls of %ls resolved to %ld, not %zu\n", names[i + 1].c_str(),
                                member.name.c_str(), static_cast<long>(named[i]), i);
                named[i] = static_cast<DISPID>(i);
            }
        return ids[0];
    }

    void CallMember() {
        Object& object = objects_[Pick(static_cast<unsigned>(objects_.size()))];
        ComPtr<IDispatch> target = object.dispatch;  // the call may drop the pool's reference
        std::vector<Member>& members = object.model->members;
        Member& member = members[Pick(static_cast<unsigned>(members.size()))];
        // Through Invoke, a restricted member (IUnknown's, IDispatch's) is
        // reachable by DISPID only; now and then a caller tries.
        if (member.restricted && !Chance(10)) return;
        // The server list walks the registry's categories: a quarter of a
        // second a call under Wine. Called now and then, it still gets its share.
        if (member.name == L"GetOPCHDAServers" && !Chance(10)) return;
        unsigned mode = Pick(10);  // 0-5 sensible, 6-8 mixed, 9 chaos
        // A deletion over a century makes the simulator walk and log its
        // samples for minutes; deletions get sensible times only.
        if (member.name.find(L"DeleteRaw") != std::wstring::npos) mode = Pick(6);
        const bool namedArgs = Chance(8) && !member.params.empty();
        const size_t declared = member.params.size();
        size_t count = declared;
        if (Chance(12))
            count = Pick(static_cast<unsigned>(declared + 3));
        else
            while (count > 0 && member.params[count - 1].optional && Chance(40)) --count;
        const LONG itemCount = Chance(85) ? static_cast<LONG>(Pick(4)) : OneOf(kLongs);

        std::vector<DISPID> named;
        const DISPID id = ResolveDispid(target.get(), member, named, namedArgs && Chance(50));
        WORD flags = FlagsFor(member);

        std::unique_ptr<Cell[]> cells(new Cell[count ? count : 1]);
        std::vector<VARIANTARG> args(count);
        std::vector<DISPID> namedIds;
        // Positional: rgvarg holds the last argument first. Named: in any order.
        for (size_t position = 0; position < count; ++position) {
            const bool good = mode < 6 || (mode < 9 && Chance(80));
            Cell& cell = cells[position];
            if (position < declared)
                MakeArgument(cell, member.params[position], itemCount, good);
            else
                RandomVariant(cell.value, cell, 0);
            if (namedArgs) {
                args[position] = cell.value;
                namedIds.push_back(position < named.size() ? named[position] : static_cast<DISPID>(position));
            } else {
                args[count - 1 - position] = cell.value;
            }
        }
        const bool inOrder = namedArgs && !(count > 1 && Chance(50));
        if (namedArgs && !inOrder) {  // named arguments in reverse order
            std::reverse(args.begin(), args.end());
            std::reverse(namedIds.begin(), namedIds.end());
        }
        if (member.kind == INVOKE_PROPERTYPUT && !namedArgs && Chance(95) && count > 0) namedIds = {DISPID_PROPERTYPUT};
        if (namedArgs && !namedIds.empty() && Chance(5)) namedIds.back() = Chance(50) ? 77 : -7;  // names no parameter
        DISPPARAMS params{count ? args.data() : nullptr, namedIds.empty() ? nullptr : namedIds.data(),
                          static_cast<UINT>(count), static_cast<UINT>(namedIds.size())};
        if (!namedIds.empty() && namedIds.size() > count) params.cNamedArgs = static_cast<UINT>(count);
        if (params.cNamedArgs == 0) params.rgdispidNamedArgs = nullptr;

        UniqueVariant result;
        EXCEPINFO excep{};
        UINT argErr = 0;
        const bool wantResult = Chance(90), wantExcep = Chance(80);
        char text[sizeof g_doing];
        std::snprintf(text, sizeof text, "call %ld: %ls.%ls dispid 0x%lX flags 0x%X args %zu/%zu named %u mode %u",
                      index_, object.model->name.c_str(), member.name.c_str(), static_cast<long>(id), flags, count,
                      declared, params.cNamedArgs, mode);
        Doing(text);
        if (index_ >= traceFrom_) {
            std::printf("%s\n  args (declared order):", text);
            for (size_t position = 0; position < count; ++position) {
                const VARIANT& v = cells[position].value;
                std::printf(" %X", v.vt);
                const VARIANT& shown = v.vt == (VT_BYREF | VT_VARIANT) ? *v.pvarVal : v;
                if (&shown != &v) std::printf("->%X", shown.vt);
                if (shown.vt == VT_BSTR) std::printf("'%.40ls'", shown.bstrVal ? shown.bstrVal : L"(null)");
                if (shown.vt == VT_DATE || shown.vt == VT_R8) std::printf("(%g)", shown.dblVal);
                if (shown.vt == VT_I4 || shown.vt == VT_I2)
                    std::printf("(%ld)",
                                shown.vt == VT_I4 ? static_cast<long>(shown.lVal) : static_cast<long>(shown.iVal));
                if (namedArgs) std::printf("@%ld", static_cast<long>(namedIds[position]));
            }
            std::printf("\n");
        }
        if (id == member.id) ++member.calls;
        LARGE_INTEGER began;
        QueryPerformanceCounter(&began);
        const HRESULT hr = target->Invoke(id, Chance(98) ? IID_NULL : IID_IDispatch, Chance(90) ? 0 : 0x409, flags,
                                          &params, wantResult ? result.get() : nullptr, wantExcep ? &excep : nullptr,
                                          Chance(80) ? &argErr : nullptr);
        if (index_ >= traceFrom_)
            std::printf("  -> 0x%08lX (0x%08lX) result vt %u\n", static_cast<unsigned long>(hr),
                        static_cast<unsigned long>(excep.scode), result->vt);
        member.seconds += SecondsSince(began);
        SysFreeString(excep.bstrSource);
        SysFreeString(excep.bstrDescription);
        SysFreeString(excep.bstrHelpFile);
        // What Invoke left in the arguments is ours again. Wine's runtime
        // frees a by-value array given for an [out] array parameter and
        // leaves null in its place: what it wrote is what we own now.
        for (size_t position = 0; position < count; ++position) {
            const size_t slot = inOrder ? position : count - 1 - position;
            VARIANT& mine = cells[position].value;
            if (!(mine.vt & VT_BYREF) && std::memcmp(&args[slot], &mine, sizeof(VARIANT)) != 0) mine = args[slot];
            Harvest(cells[position].value);
        }
        Harvest(*result.get());
    }

    void CallEnumerator() {
        ComPtr<IEnumVARIANT> walk = enums_[Pick(static_cast<unsigned>(enums_.size()))];
        char text[96];
        const unsigned which = Pick(5);
        std::snprintf(text, sizeof text, "call %ld: IEnumVARIANT member %u", index_, which);
        Doing(text);
        if (which == 0 || which == 1) {
            const ULONG wanted = Chance(80) ? Pick(20) : Chance(50) ? 100 : 1;
            std::vector<VARIANT> batch(wanted ? wanted : 1);
            for (VARIANT& v : batch) VariantInit(&v);
            ULONG fetched = 0;
            walk->Next(wanted, batch.data(), wanted == 1 && Chance(50) ? nullptr : &fetched);
            for (VARIANT& v : batch) {
                if (Chance(5)) Harvest(v);
                VariantClear(&v);
            }
        } else if (which == 2) {
            walk->Skip(Chance(80) ? Pick(50) : 0xFFFFFFFFu);
        } else if (which == 3) {
            walk->Reset();
        } else {
            ComPtr<IEnumVARIANT> copy;
            if (SUCCEEDED(walk->Clone(copy.put())) && copy) KeepEnum(copy.get());
        }
    }

    void CallTypeInfo() {
        Object& object = objects_[Pick(static_cast<unsigned>(objects_.size()))];
        Doing("GetTypeInfo / GetTypeInfoCount");
        UINT count = 0;
        object.dispatch->GetTypeInfoCount(Chance(90) ? &count : nullptr);
        ComPtr<ITypeInfo> info;
        object.dispatch->GetTypeInfo(Pick(3), Chance(50) ? 0 : 0x407, Chance(90) ? info.put() : nullptr);
        LPOLESTR noName = nullptr;
        DISPID id = 0;
        object.dispatch->GetIDsOfNames(IID_NULL, &noName, Chance(50) ? 1 : 0, 0, &id);
    }

    std::mt19937_64 rng_;
    const long traceFrom_;
    long index_ = 0;
    std::vector<InterfaceModel> models_;
    std::vector<Object> objects_;  // [0]: the newest server object
    std::vector<ComPtr<IEnumVARIANT>> enums_;
    std::vector<LONG> handles_;
    ComPtr<IHdaSimControl> control_;
    bool held_ = false;
    long heldSince_ = 0;
    CountingSink sink_;
    static constexpr unsigned kScriptOutputs = 4;
    VARIANT scriptVariables_[kScriptOutputs] = {};  // VT_EMPTY: all zero
    ComPtr<IDispatch> scriptArrays_[kScriptOutputs];
    long scriptObjects_ = 0;

public:
    long wrongNamedIds_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
    const long calls = argc > 1 ? std::atol(argv[1]) : 1000000;
    unsigned long long seed = argc > 2 ? std::strtoull(argv[2], nullptr, 0) : 0;
    if (seed == 0) seed = GetTickCount() ^ (static_cast<unsigned long long>(GetCurrentProcessId()) << 32);
    const long traceFrom = argc > 3 ? std::atol(argv[3]) : 0x7FFFFFFF;
    std::printf("dispatch_fuzz: seed %llu, %ld calls\n", seed, calls);
    std::fflush(stdout);
    ReportCrashes();
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return 1;
    bool passed = false;
    {
        Watchdog watchdog(argc > 4 ? std::atol(argv[4]) : 60000);
        Fuzzer fuzzer(seed, traceFrom);
        if (fuzzer.Start()) {
            LARGE_INTEGER start;
            QueryPerformanceCounter(&start);
            for (long i = 0; i < calls; ++i) {
                watchdog.Beat();
                fuzzer.Call(i);
                if (i % 100000 == 99999) {
                    std::printf("%ld calls, %.0f s\n", i + 1, SecondsSince(start));
                    std::fflush(stdout);
                }
            }
            Doing("final release and checks");
            passed = fuzzer.Finish(SecondsSince(start), calls);
            Bench("dispatch_fuzz_wrong_named_ids", fuzzer.wrongNamedIds_, "lookups");
            passed = passed && fuzzer.wrongNamedIds_ == 0;
        }
    }
    CoUninitialize();
    std::printf("%s (seed %llu)\n", passed ? "PASSED" : "FAILED", seed);
    return passed ? 0 : 1;
}
