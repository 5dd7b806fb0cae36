// IDispatch fuzzer: seeded random calls through IDispatch::Invoke into every member (from the registered type
// library) of every object the component hands out, against the in-process simulated historian whose fault
// switches are set at random. What it sends and checks: README.md.
//   wine bin/dispatch_fuzz.exe [calls] [seed] [trace-from] [watchdog-ms]
// A crash or a hang (watchdog) names the call; a seed replays the same calls (the simulated clock is frozen)
// and trace-from prints each from there on.
#include <algorithm>
#include <cstdlib>
#include <cwctype>
#include <iterator>
#include <limits>
#include <memory>
#include <random>
#include <sstream>

#include "opc_hda.h"
#include "support/run_checks.h"
#include "support/script_objects.h"
#include "support/sim_fixture.h"

using namespace comtest;

namespace {

// What a parameter is, as far as generating a sensible argument goes.
enum class Shape { Number, Date, Bstr, Variant, VariantInOut, VariantOut, InArray, OutArray, OutScalar, Other };

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
};

struct InterfaceModel {
    GUID iid{};
    std::wstring name;
    std::vector<Member> members;
};

// A copy of a type's attributes (zeroes if it has none).
TYPEATTR AttributesOf(ITypeInfo* info) {
    TYPEATTR copy{}, *attr = nullptr;
    if (!info || FAILED(info->GetTypeAttr(&attr))) return copy;
    copy = *attr;
    info->ReleaseTypeAttr(attr);
    return copy;
}

Shape ShapeOf(const TYPEDESC& type, USHORT flags, VARTYPE* element) {
    const bool out = (flags & PARAMFLAG_FOUT) != 0, in = (flags & PARAMFLAG_FIN) != 0 || !out;
    const TYPEDESC* target = type.vt == VT_PTR ? type.lptdesc : nullptr;
    *element = target ? target->vt : type.vt;
    if (!target) {
        const bool number = type.vt == VT_I4 || type.vt == VT_INT || type.vt == VT_I2;
        return number                  ? Shape::Number
               : type.vt == VT_DATE    ? Shape::Date
               : type.vt == VT_BSTR    ? Shape::Bstr
               : type.vt == VT_VARIANT ? Shape::Variant
                                       : Shape::Other;
    }
    if (target->vt == VT_VARIANT) return in && out ? Shape::VariantInOut : out ? Shape::VariantOut : Shape::Variant;
    if (target->vt == VT_SAFEARRAY && target->lptdesc) {
        *element = target->lptdesc->vt;
        return in ? Shape::InArray : Shape::OutArray;
    }
    return out ? Shape::OutScalar : Shape::Other;
}

// The members of a dual interface and of its bases (IUnknown's and IDispatch's are restricted).
void AddMembers(ITypeInfo* info, InterfaceModel& model) {
    const TYPEATTR attr = AttributesOf(info);
    for (UINT i = 0; i < attr.cFuncs; ++i) {
        FUNCDESC* desc = nullptr;
        if (FAILED(info->GetFuncDesc(i, &desc))) continue;
        BSTR names[32] = {};
        UINT got = 0;
        info->GetNames(desc->memid, names, 32, &got);
        Member& member = model.members.emplace_back(Member{got && names[0] ? names[0] : L"",
                                                           desc->memid,
                                                           desc->invkind,
                                                           (desc->wFuncFlags & FUNCFLAG_FRESTRICTED) != 0,
                                                           {}});
        for (SHORT p = 0; p < desc->cParams; ++p) {
            const ELEMDESC& e = desc->lprgelemdescParam[p];
            const USHORT flags = e.paramdesc.wParamFlags;
            if (flags & PARAMFLAG_FRETVAL) continue;
            Param& param = member.params.emplace_back();
            param.shape = ShapeOf(e.tdesc, flags, &param.element);
            param.optional = (flags & (PARAMFLAG_FOPT | PARAMFLAG_FHASDEFAULT)) != 0;
            if (static_cast<UINT>(p + 1) < got && names[p + 1]) param.name = names[p + 1];
        }
        for (UINT n = 0; n < got; ++n) SysFreeString(names[n]);
        info->ReleaseFuncDesc(desc);
    }
    for (UINT b = 0; b < attr.cImplTypes; ++b) {
        HREFTYPE ref = 0;
        ComPtr<ITypeInfo> base;
        if (SUCCEEDED(info->GetRefTypeOfImplType(b, &ref)) && SUCCEEDED(info->GetRefTypeInfo(ref, base.put())))
            AddMembers(base.get(), model);
    }
}

// Every dual interface of the library (registered for US English only): the objects a client can call.
std::vector<InterfaceModel> LoadModels() {
    std::vector<InterfaceModel> models;
    ComPtr<ITypeLib> lib;
    if (FAILED(LoadRegTypeLib(LIBID_OPCHDAAutomation, 1, 0, MAKELCID(0x0409, SORT_DEFAULT), lib.put()))) return models;
    for (UINT i = 0; i < lib->GetTypeInfoCount(); ++i) {
        ComPtr<ITypeInfo> info, interfaceSide;
        lib->GetTypeInfo(i, info.put());
        const TYPEATTR attr = AttributesOf(info.get());
        HREFTYPE side = 0;
        if (attr.typekind != TKIND_DISPATCH || !(attr.wTypeFlags & TYPEFLAG_FDUAL) ||
            FAILED(info->GetRefTypeOfImplType(static_cast<UINT>(-1), &side)) ||
            FAILED(info->GetRefTypeInfo(side, interfaceSide.put())))
            continue;
        UniqueBstr name;
        lib->GetDocumentation(static_cast<INT>(i), name.put(), nullptr, nullptr, nullptr);
        AddMembers(interfaceSide.get(),
                   models.emplace_back(InterfaceModel{attr.guid, name.get() ? name.get() : L"?", {}}));
    }
    return models;
}

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN(), kInf = std::numeric_limits<double>::infinity();
constexpr const wchar_t* kItemIDs[] = {L"Plant/Lab/Calibration/Ramp",       L"Plant/Lab/Calibration/Step",
                                       L"Plant/Lab/Calibration/Text",       L"Plant/Lab/Calibration/Flag",
                                       L"Plant/Area1/Reactor1/Temperature", L"Plant/Area2/Tank1/Level",
                                       L"Plant/Lab/Calibration/Gappy",      L"Plant/NoSuchItem"};
constexpr const wchar_t* kTimeTexts[] = {
    L"NOW",      L"NOW-1H", L"NOW-10M", L"DAY",         L"DAY-1D",       L"YEAR+1Y", L"NOW-", L"", L"MONTH-999999999MO",
    L"NOW+1.5H", L"now-1h", L"W-1W+2D", L" NOW - 1 H ", L"\x00e9t\x00e9"};
// The historian's methods the simulator can make fail.
constexpr wchar_t kSimMethods[] =
    L"ReadRaw ReadProcessed ReadAtTime ReadModified ReadAttribute Insert Replace InsertReplace DeleteRaw DeleteAtTime "
    L"QueryCapabilities GetItemHandles ReleaseItemHandles ValidateItemIDs GetHistorianStatus GetItemAttributes "
    L"GetAggregates CreateBrowse AdviseRaw AdviseProcessed Cancel Read QueryLocaleIDs GetErrorString SetLocaleID "
    L"GetLocaleID GetEnum ChangeBrowsePosition GetItemID GetBranchPosition ReadRawWithUpdate ReadProcessedWithUpdate "
    L"SetClientName Advise Unadvise";
constexpr HRESULT Code(unsigned long code) { return static_cast<HRESULT>(code); }
constexpr HRESULT kFaults[] = {E_FAIL,           E_OUTOFMEMORY,    E_INVALIDARG, E_NOTIMPL,
                               Code(0x80070005), S_FALSE,          S_OK,         Code(0xC0040004),
                               Code(0x0004100A), Code(0x800706BA), E_POINTER,    Code(0x80010108)};
constexpr double kDates[] = {kNaN,      kInf,       -kInf,     0.0,
                             -0.0,      -657434.0,  -657435.5, 2958465.99999,
                             2958466.0, 1e300,      -1e300,    std::numeric_limits<double>::denorm_min(),
                             -1.0,      1.0 / 1440, 0.5,       1e-12};
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
        if (!(control_ = SimControl(Where::InProcess))) return Fail("no simulator control");
        control_->ResetDefaults();
        control_->ClockSetSpeed(0);
        control_->ClockSet(kClock);
        return NewServer();
    }

    void Call(long index) {
        index_ = index;
        // Held callbacks pile up as task memory Wine's malloc spy scans on each allocation: let them go.
        if (held_ && index_ - heldSince_ > 200) {
            held_ = false;
            control_->HoldCallbacks(FALSE, Chance(50));
        }
        const unsigned roll = Pick(1000);
        if (roll < 6) return SetFault();
        if (roll < 8) return static_cast<void>(NewServer());
        if (roll < 14 && objects_.size() > 1)
            return static_cast<void>(objects_.erase(objects_.begin() + 1 + Pick(objects_.size() - 1)));
        if (roll < 60 && !enums_.empty()) return CallEnumerator();
        if (roll < 66) return CallTypeInfo();
        if (roll < 72) return Connect(objects_[0].dispatch.get());  // most members only work on a connected object
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
        const EndState end = FinalState(control_.get());
        control_ = nullptr;
        double total = 0, called = 0;
        for (const InterfaceModel& model : models_)
            for (const Member& member : model.members) {
                if (member.restricted) continue;
                ++total;
                called += member.calls > 0;
                if (member.calls == 0) std::printf("never called: %ls.%ls\n", model.name.c_str(), member.name.c_str());
            }
        return Report({{"dispatch_fuzz_calls", static_cast<double>(calls), "calls"},
                       {"dispatch_fuzz_rate", calls / seconds, "calls/s"},
                       {"dispatch_fuzz_members_called", called, "members", total, total},
                       {"dispatch_fuzz_members_in_library", total, "members"},
                       {"dispatch_fuzz_events", static_cast<double>(sink_.events), "events"},
                       {"dispatch_fuzz_script_objects", static_cast<double>(scriptObjects_), "objects"},
                       // A request that makes either side hold gigabytes is a finding, not a figure.
                       {"dispatch_fuzz_peak_working_set", PeakWorkingSet() / 1048576, "MiB", 0, 4096},
                       {"dispatch_fuzz_live_objects", end.liveObjects, "modules", 0, 0},
                       {"dispatch_fuzz_task_memory", end.taskMemory, "blocks", 0, 0},
                       {"dispatch_fuzz_item_handles", end.itemHandles, "handles", 0, 0},
                       {"dispatch_fuzz_wrong_named_ids", static_cast<double>(wrongNamedIds_), "lookups", 0, 0}});
    }

private:
    struct Object {
        ComPtr<IDispatch> dispatch;
        InterfaceModel* model = nullptr;
    };

    // An argument goes as the value, by reference to it, or to a VARIANT holding it (a script variable).
    enum class Pass { Value, Ref, Variant };
    // One argument and the value it points to, if by reference (ours after the call, whatever was written).
    struct Cell {
        VARIANT value{}, target{};
        Cell() = default;
        Cell(const Cell&) = delete;
        Cell& operator=(const Cell&) = delete;
        ~Cell() { VariantClear((value.vt & VT_BYREF) ? &target : &value); }
        void Set(const VARIANT& v, Pass how) {
            if (how == Pass::Value) return static_cast<void>(value = v);
            target = v;
            value = how == Pass::Variant
                        ? Ref(VT_VARIANT, &target)
                        : Ref(v.vt, v.vt == VT_DECIMAL ? static_cast<void*>(&target.decVal) : &target.llVal);
        }
    };

    bool Fail(const char* what) { return std::printf("FAILED: %s\n", what), false; }
    unsigned Pick(size_t n) { return n ? static_cast<unsigned>(rng_() % n) : 0; }
    bool Chance(unsigned percent) { return Pick(100) < percent; }
    template <class T, size_t N>
    const T& OneOf(const T (&list)[N]) {
        return list[Pick(N)];
    }
    IDispatch* AnyObject() { return objects_[Pick(objects_.size())].dispatch.get(); }

    // ---- the pool of objects, enumerators and handles calls have returned ----
    InterfaceModel* ModelOf(IDispatch* object) {
        ComPtr<ITypeInfo> info;
        object->GetTypeInfo(0, 0, info.put());
        const GUID iid = AttributesOf(info.get()).guid;
        for (InterfaceModel& model : models_)
            if (IsEqualGUID(model.iid, iid)) return &model;
        return nullptr;
    }
    // Adds `entry` to `pool` until it holds `size`, then replaces one (not the first `fixed`).
    template <class T>
    void Add(std::vector<T>& pool, T entry, size_t size, size_t fixed) {
        (pool.size() < size ? pool.emplace_back() : pool[fixed + Pick(size - fixed)]) = std::move(entry);
    }
    void KeepEnum(IUnknown* unknown) {
        ComPtr<IEnumVARIANT> walk;
        if (unknown && SUCCEEDED(unknown->QueryInterface(IID_IEnumVARIANT, walk.put_void())))
            Add(enums_, std::move(walk), 8, 0);
    }
    void Harvest(const VARIANT& v, int depth = 0) {
        const VARTYPE type = v.vt & VT_TYPEMASK;
        if (InterfaceModel* model = v.vt == VT_DISPATCH && v.pdispVal ? ModelOf(v.pdispVal) : nullptr)
            Add(objects_, Object{ComPtr<IDispatch>(v.pdispVal), model}, 48, 1);
        if (v.vt == VT_UNKNOWN) KeepEnum(v.punkVal);
        if (v.vt == VT_I4 && handles_.size() < 64) handles_.push_back(v.lVal);
        if (v.vt == (VT_BYREF | VT_VARIANT) && v.pvarVal && depth == 0) Harvest(*v.pvarVal, 1);
        SAFEARRAY* array = nullptr;
        if (v.vt & VT_ARRAY) array = (v.vt & VT_BYREF) ? (v.pparray ? *v.pparray : nullptr) : v.parray;
        if (!array || depth > 1 || SafeArrayGetDim(array) != 1) return;
        const auto [lower, upper] = BoundsOf(array);
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
        Subscribe(server.get(), &sink_, DIID__IOPCHDAItemEvents);
        Subscribe(server.get(), &sink_, DIID__IOPCHDAAutoServerEvents);
        if (Chance(90)) Connect(server.get());
        Object entry{server, ModelOf(server.get())};
        if (!entry.model) return Fail("the server object has no type information");
        if (objects_.empty()) objects_.emplace_back();
        objects_[0] = std::move(entry);
        return true;
    }
    void Connect(IDispatch* server) {
        Doing("Connect");
        InvokeByName(server, L"Connect", DISPATCH_METHOD, {VarBstr(L"Sim.HdaHistorian")}, nullptr);
    }

    // Entries (values with their modification) exist only once a value changed: replaces one and reads
    // it back as modified, so that the entry objects get their share of calls.
    void ReadModifiedValues() {
        Doing("replacing a value and reading it back as modified");
        ComPtr<IOPCHDAAutoServer> server;
        ComPtr<IOPCHDAItems> items;
        ComPtr<OPCHDAItem> item;
        UniqueBstr id(kRamp);
        LONG handle = 0;
        if (FAILED(objects_[0].dispatch.query(IID_IOPCHDAAutoServer, server)) ||
            FAILED(server->get_OPCHDAItems(items.put())) || FAILED(items->AddItem(id.get(), 1, item.put())) ||
            FAILED(item->get_ServerHandle(&handle)))
            return;
        const DATE stamp = kBaseDate - 1.0 / 24;
        UniqueVariant start(VarDate(stamp - 1.0 / 24)), end(VarDate(stamp + 1.0 / 24));
        UniqueSafeArray handles(MakeLongArray({handle})), errors, entries;
        SAFEARRAY* hp = handles.get();
        InsertReplace(items.get(), handle, stamp, 42);
        items->SyncReadModified(start.get(), end.get(), 0, 1, &hp, entries.put(), errors.put());
        Harvest(Typed(VT_ARRAY | VT_VARIANT, entries.get()));
    }

    // One of the simulator's fault switches, at random.
    void SetFault() {
        const unsigned which = Pick(12);
        Doing("call %ld: simulator switch %u", index_, which);
        switch (which) {
            case 0:
            case 1: {
                std::wistringstream list(kSimMethods);
                const std::vector<std::wstring> methods{std::istream_iterator<std::wstring, wchar_t>(list), {}};
                control_->FailMethod(methods[Pick(methods.size())].c_str(), OneOf(kFaults));
                break;
            }
            case 3: control_->SetItemCode(OneOf(kItemIDs), Chance(30) ? S_OK : OneOf(kFaults)); break;
            case 4: control_->DelayCallbacks(Pick(3) == 0 ? Pick(20) : 0); break;
            case 5:
                held_ = Chance(50);
                heldSince_ = index_;
                control_->HoldCallbacks(held_, Chance(50));
                break;
            case 6:  // waits for the delivery, which held callbacks would keep back
                if (!held_) control_->SendShutdown(Chance(20) ? nullptr : L"fuzz");
                break;
            case 7: control_->ClockSetSpeed(Chance(50) ? 0.0 : Chance(50) ? 1.0 : 10.0); break;
            case 8: control_->ClockStep(static_cast<LONGLONG>(Pick(3600)) * 10000000LL); break;
            case 9: {
                static const IID* const kRefusable[] = {&IID_IOPCHDA_SyncRead,  &IID_IOPCHDA_SyncUpdate,
                                                        &IID_IOPCHDA_AsyncRead, &IID_IOPCHDA_Playback,
                                                        &IID_IOPCHDA_Browser,   &IID_IConnectionPointContainer};
                control_->RefuseInterface(*OneOf(kRefusable), Chance(50));
                break;
            }
            default:  // all faults cleared
                held_ = false;
                control_->ClearFaults();
        }
    }

    // ---- argument makers ----
    BSTR MakeString(const std::wstring& paramName) {
        const unsigned roll = Pick(20);
        if (roll == 0) return nullptr;
        if (roll == 1) return SysAllocString(L"");
        if (roll == 2) {
            std::wstring s = OneOf(kItemIDs);
            s.insert(s.begin() + static_cast<long>(Pick(s.size())), L'\0');
            return SysAllocStringLen(s.data(), static_cast<UINT>(s.size()));
        }
        if (roll == 3) return SysAllocString(std::wstring(Chance(50) ? 70000 : 300, L'x').c_str());
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
        if (Chance(10) && !(nearTimes_ && paramName.find(L"Time") != std::wstring::npos)) return OneOf(kDates);
        if (paramName.find(L"Interval") != std::wstring::npos) return (1 + Pick(60)) / 1440.0;
        return kBaseDate - Pick(48) / 24.0 - Pick(3600) / 86400.0;
    }

    // Any value: now and then an array (any element type, dimensions, bounds, or null), else any scalar.
    VARIANT Any(int depth) {
        static constexpr VARTYPE kTypes[] = {VT_EMPTY, VT_NULL, VT_I2,       VT_I4,    VT_R4,   VT_R8,      VT_CY,
                                             VT_DATE,  VT_BSTR, VT_DISPATCH, VT_ERROR, VT_BOOL, VT_UNKNOWN, VT_DECIMAL,
                                             VT_I1,    VT_UI1,  VT_UI2,      VT_UI4,   VT_I8,   VT_UI8,     VT_INT,
                                             VT_UINT,  VT_VOID, VT_HRESULT,  0x7F};
        static constexpr VARTYPE kElements[] = {VT_I2,      VT_I4,  VT_R8,   VT_DATE,  VT_BSTR,
                                                VT_VARIANT, VT_UI1, VT_BOOL, VT_ERROR, VT_DISPATCH};
        static constexpr LONG kLowers[] = {1, 1, 0, -5, 2, 1000};
        if (depth >= 2 || !Chance(10)) return Value(OneOf(kTypes), false, depth);
        const VARTYPE element = OneOf(kElements);
        return Typed(
            VT_ARRAY | element,
            Chance(5) ? nullptr : MakeArray(element, Pick(6), OneOf(kLowers), Chance(85) ? 1 : 2 + Pick(2), depth + 1));
    }
    // Any argument: mostly by value, now and then by reference (to the value or through a VARIANT).
    void AnyArgument(Cell& cell) {
        if (!Chance(10)) return cell.Set(Any(0), Pass::Value);
        const VARIANT v = Any(1);
        const bool pointable =
            (v.vt & VT_ARRAY) || (v.vt > VT_NULL && v.vt != VT_VOID && v.vt != VT_HRESULT && v.vt != 0x7F);
        cell.Set(v, pointable && Chance(90) ? Pass::Ref : Pass::Variant);
    }
    // A value of `type`: `sensible` (a handle or small number, a date near the clock, a null object) or
    // anything (NaN dates, odd codes, invalid decimals, pooled objects). VT_VARIANT: mostly a number, else
    // anything but an object (array elements: Wine leaks objects' copies there, PassObjectsByReference).
    VARIANT Value(VARTYPE type, bool sensible, int depth) {
        VARIANT v = Typed(type, Chance(50) ? static_cast<LONGLONG>(OneOf(kLongs)) : static_cast<LONGLONG>(rng_()));
        switch (type) {
            case VT_I4:
            case VT_I2:
                if (sensible)
                    v.llVal =
                        type == VT_I4 && !handles_.empty() && Chance(70) ? handles_[Pick(handles_.size())] : Pick(20);
                break;
            case VT_BSTR: v.bstrVal = MakeString(L""); break;
            case VT_DISPATCH:
            case VT_UNKNOWN:
                v.pdispVal = !sensible && !objects_.empty() && Chance(80) ? AnyObject() : nullptr;
                if (v.pdispVal) v.pdispVal->AddRef();
                break;
            case VT_DATE:
            case VT_R8: v.dblVal = !sensible && Chance(50) ? OneOf(kDates) : MakeDate(L""); break;
            case VT_R4: v.fltVal = Chance(50) ? static_cast<float>(OneOf(kDates)) : 2.5f; break;
            case VT_ERROR: v.scode = Chance(50) ? DISP_E_PARAMNOTFOUND : OneOf(kFaults); break;
            case VT_BOOL: v.boolVal = Chance(50) ? VARIANT_TRUE : VARIANT_FALSE; break;
            case VT_DECIMAL:
                v.decVal.scale = static_cast<BYTE>(Pick(40));  // above 28 is invalid on purpose
                v.decVal.sign = Pick(2) ? DECIMAL_NEG : 0;
                v.decVal.Hi32 = Pick(2) ? 0xFFFFFFFF : 0;
                v.decVal.Lo64 = rng_();
                break;
            case VT_VOID:
            case VT_HRESULT:
            case 0x7F: v.llVal = 0; break;  // no payload a reader could follow
            case VT_VARIANT:
                if (Chance(60)) return VarR8(Pick(1000) / 8.0);
                v = Any(depth);
                if ((v.vt & VT_TYPEMASK) == VT_DISPATCH || (v.vt & VT_TYPEMASK) == VT_UNKNOWN) VariantClear(&v);
                break;
        }
        return v;
    }
    // An array of `element`, `count` elements a dimension, lower bound `lower`.
    SAFEARRAY* MakeArray(VARTYPE element, unsigned count, LONG lower, unsigned dims, int depth = 1) {
        SAFEARRAYBOUND bounds[3];
        for (unsigned d = 0; d < dims; ++d) bounds[d] = {count, lower};
        SAFEARRAY* array = SafeArrayCreate(element, dims, bounds);
        for (LONG i = lower; array && dims == 1 && i < lower + static_cast<LONG>(count); ++i) {
            UniqueVariant v(Value(element, true, depth));
            const bool pointer = element == VT_BSTR || element == VT_DISPATCH || element == VT_UNKNOWN;
            SafeArrayPutElement(array, &i, element == VT_VARIANT ? v.get() : pointer ? v->byref : &v->llVal);
        }
        return array;
    }

    // JScript's arrays: usually the elements 1 to the count (JScript leaves element 0 out), otherwise a
    // length that is huge, negative, fractional, NaN or one short, a sparse element far out, a failing getter.
    IDispatch* MakeScriptArray(VARTYPE element, LONG count) {
        static constexpr double kLengths[] = {178956971.0, 4294967295.0, 16777217.0, 4294967296.0, -1.0, 2.5, kNaN};
        ++scriptObjects_;
        const unsigned roll = Pick(10);
        const LONG n = count < 0 || count > 64 ? static_cast<LONG>(Pick(5)) : count;
        VARIANT length = VarR8(roll == 0 ? OneOf(kLengths) : roll == 1 ? n : n + 1.0);
        std::map<ULONG, VARIANT> elements;
        for (LONG i = 1; i <= n; ++i)
            elements[static_cast<ULONG>(i)] =
                Value(element == VT_BSTR || element == VT_DATE ? element : VARTYPE{VT_I4}, true, 1);
        if (roll == 2) {  // sparse
            elements[64 + Pick(4000000)] = Typed(VT_I4, 1);
            length.dblVal = 4000100.0;
        }
        ScriptObject* array = ScriptObject::Array(length, elements);
        for (auto& e : elements) VariantClear(&e.second);
        if (roll == 3) array->FailReading(Chance(50) ? L"length" : L"1", OneOf(kFaults));
        return array;
    }
    // A date as a client passes it: mostly a DATE, now and then a JScript Date, mostly near the clock,
    // otherwise NaN (an invalid Date), infinite or far out.
    VARIANT MakeDateArgument(const std::wstring& name) {
        static constexpr double kMilliseconds[] = {kNaN, kInf, -kInf, 1e300, -1.2e13, 0.0};
        constexpr double kClockMilliseconds = (kClock - 116444736000000000LL) / 10000.0;
        if (!Chance(5)) return VarDate(MakeDate(name));
        ++scriptObjects_;
        return Typed(VT_DISPATCH,
                     ScriptObject::Date(Chance(70) || nearTimes_ ? kClockMilliseconds - Pick(86400) * 1000.0
                                                                 : OneOf(kMilliseconds)));
    }
    // What receives an [out] array from a script: a variable or a JScript array kept from call to call,
    // so that a call that fails follows one that filled them.
    VARIANT ScriptOutput() {
        if (Chance(50)) return Ref(VT_VARIANT, &scriptVariables_[Pick(kScriptOutputs)]);
        ComPtr<IDispatch>& array = scriptArrays_[Pick(kScriptOutputs)];
        if (!array) array = ComPtr<IDispatch>::attach(ScriptObject::Array(Typed(VT_I4, 0)));
        array->AddRef();
        return Typed(VT_DISPATCH, array.get());
    }

    // The array a SAFEARRAY(element)* parameter receives: usually right, sometimes not, or missing.
    void MakeArrayArgument(Cell& cell, VARTYPE element, LONG count, bool good) {
        if (!good && Chance(30)) return AnyArgument(cell);
        if (Chance(good ? 4 : 15)) return cell.Set(Typed(VT_DISPATCH, MakeScriptArray(element, count)), Pass::Value);
        // Bad ones: another element type, two dimensions, another lower bound, one short, empty.
        const unsigned roll = good ? 10 : Pick(10), wanted = count < 0 || count > 64 ? Pick(4) : count;
        VARTYPE have = roll == 0 ? static_cast<VARTYPE>(Chance(50) ? VT_VARIANT : VT_BSTR) : element;
        const unsigned dims = roll == 1 ? 2 : 1, n = roll == 4 ? 0 : roll == 3 && wanted ? wanted - 1 : wanted;
        const LONG lower = roll == 2 ? (Chance(50) ? 0 : 2) : 1;
        // By value (a script's plain array), in a script variable (of variants) or by reference (or null).
        const Pass how = Chance(good ? 3 : 20) ? Pass::Value : Chance(good ? 3 : 15) ? Pass::Variant : Pass::Ref;
        if (how == Pass::Variant) have = VT_VARIANT;
        const bool null = how == Pass::Ref && Chance(good ? 1 : 10);
        cell.Set(Typed(VT_ARRAY | have, null ? nullptr : MakeArray(have, n, lower, dims)), how);
    }

    // Wine's ITypeInfo::Invoke copies a by-value argument of a VARIANT or VARIANT* parameter and leaks the
    // copy when a later argument does not convert: an object there would never be released (Wine's fault,
    // not the component's). Such values go by reference; a time ([in, out]) reaches the runtime by
    // reference whatever the caller passed.
    void RandomArgument(Cell& cell, const Param& param) {
        const VARIANT& v = cell.value;
        AnyArgument(cell);
        const VARTYPE type = v.vt & VT_TYPEMASK;
        const bool variant = param.shape == Shape::Variant || param.shape == Shape::VariantOut;
        if (variant && !(v.vt & VT_BYREF) && (type == VT_DISPATCH || type == VT_UNKNOWN || (v.vt & VT_ARRAY)))
            cell.Set(VARIANT(v), Pass::Variant);
    }

    void MakeArgument(Cell& cell, const Param& param, LONG count, bool good) {
        VARIANT& v = cell.value;
        if (!good && Chance(40)) return RandomArgument(cell, param);
        switch (param.shape) {
            case Shape::Number: v = Typed(param.element == VT_I2 ? VT_I2 : VT_I4, MakeLong(param.name, count)); break;
            case Shape::Date: v = MakeDateArgument(param.name); break;
            case Shape::Bstr: v = Typed(VT_BSTR, MakeString(param.name)); break;
            case Shape::InArray: MakeArrayArgument(cell, param.element, count, good); break;
            case Shape::OutArray:  // typed, to a script's output, or to a variable of this call
                if (Chance(85))
                    cell.Set(Typed(VT_ARRAY | param.element, static_cast<SAFEARRAY*>(nullptr)), Pass::Ref);
                else if (Chance(70))
                    v = ScriptOutput();
                else
                    cell.Set(VarEmpty(), Pass::Variant);
                break;
            case Shape::OutScalar: cell.Set(Typed(param.element, 0LL), Pass::Ref); break;
            case Shape::VariantOut: cell.Set(VarEmpty(), Pass::Variant); break;
            case Shape::VariantInOut:  // a time as a date or as a text
                cell.Set(Chance(50) ? MakeDateArgument(param.name) : VarBstr(OneOf(kTimeTexts)), Pass::Variant);
                break;
            case Shape::Variant: {  // the lists by their names, an item by its index, otherwise mostly omitted
                const VARTYPE list = param.name == L"Filters"                                          ? VT_VARIANT
                                     : param.name == L"AttributeIDs" || param.name == L"OperatorCodes" ? VT_I4
                                                                                                       : VT_EMPTY;
                if (list)
                    v = Typed(VT_ARRAY | list, MakeArray(list, count > 0 && count < 8 ? count : 1, 1, 1));
                else if (param.name == L"ItemSpecifier")
                    v = VarI4(static_cast<LONG>(Pick(5)));
                else if (Chance(70))
                    v = VarMissing();
                else
                    RandomArgument(cell, param);
                break;
            }
            case Shape::Other: AnyArgument(cell); break;
        }
    }

    WORD FlagsFor(const Member& member) {
        // 5: a method and a property put at once.
        static constexpr WORD kOdd[] = {
            0, DISPATCH_METHOD, DISPATCH_PROPERTYGET, DISPATCH_PROPERTYPUT, DISPATCH_PROPERTYPUTREF, 5, 0xFFFF};
        if (Chance(8)) return OneOf(kOdd);
        // INVOKEKIND's values are the DISPATCH_ flags; a getter or a method is also called as both.
        const WORD flags = static_cast<WORD>(member.kind);
        if (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) return flags;
        return Chance(flags == DISPATCH_PROPERTYGET ? 50 : 80) ? flags : DISPATCH_METHOD | DISPATCH_PROPERTYGET;
    }

    // The member's DISPID: by name, as it stands, or now and then one that names nothing. With `nameParams`
    // its parameters' names are looked up too: they come from the type library, so each must resolve to its
    // position.
    DISPID ResolveDispid(IDispatch* object, const Member& member, bool nameParams) {
        static constexpr DISPID kStray[] = {-1, -2, -5, 0x7FFFFFFF, 0x6002FFFF, 99, 0x60030005};
        if (Chance(2)) return OneOf(kStray);
        if (Chance(50) && !nameParams) return member.id;
        std::vector<std::wstring> names{member.name};
        if (Chance(10))  // another spelling
            for (wchar_t& c : names[0]) c = static_cast<wchar_t>(Chance(50) ? towupper(c) : towlower(c));
        if (nameParams)
            for (const Param& p : member.params) names.push_back(p.name);
        std::vector<LPOLESTR> pointers;
        for (std::wstring& n : names) pointers.push_back(n.data());
        std::vector<DISPID> ids(names.size(), DISPID_UNKNOWN);
        const HRESULT hr = object->GetIDsOfNames(IID_NULL, pointers.data(), static_cast<UINT>(pointers.size()),
                                                 Chance(90) ? 0 : 0x407, ids.data());
        for (size_t i = 1; i < ids.size(); ++i)
            if ((FAILED(hr) || ids[i] != static_cast<DISPID>(i - 1)) && wrongNamedIds_++ == 0)
                std::printf("named argument %ls of %ls: 0x%08lX, DISPID %ld, not %zu\n", names[i].c_str(),
                            member.name.c_str(), static_cast<unsigned long>(hr), static_cast<long>(ids[i]), i - 1);
        return ids[0];
    }

    void CallMember() {
        Object& object = objects_[Pick(objects_.size())];
        ComPtr<IDispatch> target = object.dispatch;  // the call may drop the pool's reference
        Member& member = object.model->members[Pick(object.model->members.size())];
        // A restricted member (IUnknown's, IDispatch's) is reachable by DISPID only, and the server list walks
        // the registry's categories (a quarter second under Wine): each now and then.
        if ((member.restricted || member.name == L"GetOPCHDAServers") && !Chance(10)) return;
        unsigned mode = Pick(10);  // 0-5 sensible, 6-8 mixed, 9 chaos
        // Deletions and processed reads get sensible times near the clock only: over a century the simulator
        // logs samples for minutes, and a processed read of a century in one interval (a resample interval of
        // 0 or less) makes every raw sample of it, a string each for the text item (hours under the spy that
        // counts task memory in process).
        nearTimes_ = member.name.find(L"DeleteRaw") != std::wstring::npos ||
                     member.name.find(L"Processed") != std::wstring::npos;
        if (nearTimes_) mode = Pick(6);
        const bool namedArgs = Chance(8) && !member.params.empty();
        const size_t declared = member.params.size();
        size_t count = declared;
        if (Chance(12))
            count = Pick(declared + 3);
        else
            while (count > 0 && member.params[count - 1].optional && Chance(40)) --count;
        const LONG itemCount = Chance(85) ? static_cast<LONG>(Pick(4)) : OneOf(kLongs);
        const DISPID id = ResolveDispid(target.get(), member, namedArgs && Chance(50));
        const WORD flags = FlagsFor(member);

        std::unique_ptr<Cell[]> cells(new Cell[count ? count : 1]);
        std::vector<VARIANTARG> args(count);
        for (size_t position = 0; position < count; ++position) {
            if (position < declared)
                MakeArgument(cells[position], member.params[position], itemCount, mode < 6 || (mode < 9 && Chance(80)));
            else
                AnyArgument(cells[position]);
            args[position] = cells[position].value;
        }
        // Positional: rgvarg holds the last argument first. Named: in either order.
        const bool reversed = !namedArgs || (count > 1 && Chance(50));
        if (reversed) std::reverse(args.begin(), args.end());
        std::vector<DISPID> namedIds;
        for (size_t slot = 0; namedArgs && slot < count; ++slot)
            namedIds.push_back(static_cast<DISPID>(reversed ? count - 1 - slot : slot));
        if (member.kind == INVOKE_PROPERTYPUT && !namedArgs && Chance(95) && count > 0) namedIds = {DISPID_PROPERTYPUT};
        if (namedArgs && !namedIds.empty() && Chance(5)) namedIds.back() = Chance(50) ? 77 : -7;  // names no parameter
        DISPPARAMS params{count ? args.data() : nullptr, namedIds.empty() ? nullptr : namedIds.data(),
                          static_cast<UINT>(count), static_cast<UINT>(namedIds.size())};

        UniqueVariant result;
        EXCEPINFO excep{};
        UINT argErr = 0;
        const bool wantResult = Chance(90), wantExcep = Chance(80);
        Doing("call %ld: %ls.%ls dispid 0x%lX flags 0x%X args %zu/%zu named %u mode %u", index_,
              object.model->name.c_str(), member.name.c_str(), static_cast<long>(id), flags, count, declared,
              params.cNamedArgs, mode);
        if (index_ >= traceFrom_) Trace(cells.get(), count, namedIds);
        if (id == member.id) ++member.calls;
        const HRESULT hr = target->Invoke(id, Chance(98) ? IID_NULL : IID_IDispatch, Chance(90) ? 0 : 0x409, flags,
                                          &params, wantResult ? result.get() : nullptr, wantExcep ? &excep : nullptr,
                                          Chance(80) ? &argErr : nullptr);
        if (index_ >= traceFrom_)
            std::printf("  -> 0x%08lX (0x%08lX) result vt %u\n", static_cast<unsigned long>(hr),
                        static_cast<unsigned long>(excep.scode), result->vt);
        for (BSTR text : {excep.bstrSource, excep.bstrDescription, excep.bstrHelpFile}) SysFreeString(text);
        // What Invoke left in the arguments is ours again (Wine frees a by-value array given for an [out]
        // array parameter and leaves null in its place: what it wrote is what we own now).
        for (size_t position = 0; position < count; ++position) {
            const size_t slot = reversed ? count - 1 - position : position;
            VARIANT& mine = cells[position].value;
            if (!(mine.vt & VT_BYREF) && std::memcmp(&args[slot], &mine, sizeof(VARIANT)) != 0) mine = args[slot];
            Harvest(mine);
        }
        Harvest(*result.get());
    }

    // The call being made and its arguments in declared order (trace-from).
    void Trace(const Cell* cells, size_t count, const std::vector<DISPID>& namedIds) {
        std::printf("%s\n  args (declared order):", g_doing);
        for (size_t position = 0; position < count; ++position) {
            const VARIANT& v = cells[position].value;
            const VARIANT& shown = v.vt == (VT_BYREF | VT_VARIANT) ? *v.pvarVal : v;
            // Any value as text, but objects: converting one would call it.
            UniqueVariant text;
            if ((shown.vt & VT_TYPEMASK) != VT_DISPATCH && (shown.vt & VT_TYPEMASK) != VT_UNKNOWN)
                VariantChangeType(text.get(), const_cast<VARIANT*>(&shown), 0, VT_BSTR);
            std::printf(" %X->%X'%.40ls'", v.vt, shown.vt, text->vt == VT_BSTR ? text->bstrVal : L"");
        }
        std::printf("\n  named DISPIDs as sent:");
        for (const DISPID named : namedIds) std::printf(" %ld", static_cast<long>(named));
        std::printf("\n");
    }

    void CallEnumerator() {
        ComPtr<IEnumVARIANT> walk = enums_[Pick(enums_.size())];
        const unsigned which = Pick(5);
        Doing("call %ld: IEnumVARIANT member %u", index_, which);
        if (which <= 1) {
            const ULONG wanted = Chance(80) ? Pick(20) : Chance(50) ? 100 : 1;
            std::vector<UniqueVariant> batch(wanted ? wanted : 1);
            ULONG fetched = 0;
            walk->Next(wanted, batch[0].get(), wanted == 1 && Chance(50) ? nullptr : &fetched);
            for (UniqueVariant& v : batch)
                if (Chance(5)) Harvest(*v.get());
            return;
        }
        if (which == 2) return static_cast<void>(walk->Skip(Chance(80) ? Pick(50) : 0xFFFFFFFFu));
        if (which == 3) return static_cast<void>(walk->Reset());
        ComPtr<IEnumVARIANT> copy;
        if (SUCCEEDED(walk->Clone(copy.put())) && copy) KeepEnum(copy.get());
    }

    void CallTypeInfo() {
        IDispatch* object = AnyObject();
        Doing("GetTypeInfo / GetTypeInfoCount");
        UINT count = 0;
        object->GetTypeInfoCount(Chance(90) ? &count : nullptr);
        ComPtr<ITypeInfo> info;
        object->GetTypeInfo(Pick(3), Chance(50) ? 0 : 0x407, Chance(90) ? info.put() : nullptr);
        LPOLESTR noName = nullptr;
        DISPID id = 0;
        object->GetIDsOfNames(IID_NULL, &noName, Chance(50) ? 1 : 0, 0, &id);
    }

    std::mt19937_64 rng_;
    const long traceFrom_;
    long index_ = 0, heldSince_ = 0, scriptObjects_ = 0, wrongNamedIds_ = 0;
    bool held_ = false;
    bool nearTimes_ = false;  // the times of this call stay within two days of the clock
    std::vector<InterfaceModel> models_;
    std::vector<Object> objects_;  // [0]: the newest server object
    std::vector<ComPtr<IEnumVARIANT>> enums_;
    std::vector<LONG> handles_;
    ComPtr<IHdaSimControl> control_;
    Sink sink_{kBothEvents, false};
    static constexpr unsigned kScriptOutputs = 4;
    VARIANT scriptVariables_[kScriptOutputs] = {};  // VT_EMPTY: all zero
    ComPtr<IDispatch> scriptArrays_[kScriptOutputs];
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
                if (i % 100000 != 99999) continue;
                std::printf("%ld calls, %.0f s\n", i + 1, SecondsSince(start));
                std::fflush(stdout);
            }
            Doing("final release and checks");
            passed = fuzzer.Finish(SecondsSince(start), calls);
        }
    }
    CoUninitialize();
    std::printf("%s (seed %llu)\n", passed ? "PASSED" : "FAILED", seed);
    return passed ? 0 : 1;
}
