// The historian: handles, reads over base history merged with the edit overlay,
// edits with their log, annotations and server information.
//
// History of an item = base samples (item_space.cpp) that exist (on the grid,
// not in a gap, at or after ArchiveStart(), not later than now, not inside a
// deleted range, no overlay entry at that time) plus the overlay's values.
// Raw reads: ascending [start, end), descending (start > end) (end, start]
// newest first, start == end the value at exactly that time. Bounds add the
// value just outside each end (ascending: last value before start, first value
// at or after end; descending mirrored), or a kQualityNoBound placeholder
// (VT_EMPTY) when there is none. Values returned count against the limit.
#include "historian.h"

#include "aggregates.h"
#include "item_space.h"

#include <algorithm>
#include <deque>
#include <map>

namespace hdasim {

namespace {

struct OverlayEntry {
    bool deleted = false;  // hides a base sample (delete at time)
    std::uint32_t quality = 0;
    Variant value;
};

// An item's modification log keeps this many edits, dropping the oldest: one
// wide deletion logs up to this many values, and a long run of them (a fuzzer
// makes thousands) must not grow the process without bound.
constexpr std::size_t kLogCap = 100000;

struct ItemState {
    std::map<Ticks, OverlayEntry> overlay;
    std::map<Ticks, Ticks> deletedRanges;  // [first, second) without base samples
    std::deque<ModifiedValue> log;  // the newest kLogCap edits, oldest first
    std::vector<Annotation> annotations;
    HRESULT fault = S_OK;
};

// Without overflow near the ends of the range (clients may pass any FILETIME).
Ticks CeilDiv(Ticks a, Ticks b) { return a / b + (a % b > 0 ? 1 : 0); }
Ticks FloorDiv(Ticks a, Ticks b) { return a / b - (a % b < 0 ? 1 : 0); }

std::uint32_t WorstLow(std::uint32_t a, std::uint32_t b) {
    auto rank = [](std::uint32_t q) { return (q & 0xC0) == 0xC0 ? 2 : (q & 0xC0) == 0x40 ? 1 : 0; };
    return rank(a) <= rank(b) ? (a & 0xFFFF) : (b & 0xFFFF);
}

Value NoBound(Ticks t) {
    Value v;
    v.time = t;
    v.quality = kQualityNoBound;
    return v;
}

}  // namespace

struct Historian::Impl {
    std::shared_ptr<Clock> clock;
    std::shared_ptr<const ItemSpace> space = std::make_shared<const ItemSpace>();
    mutable std::mutex mu;
    std::vector<ItemState> items;
    std::map<Handle, std::uint32_t> handles;
    Handle nextHandle = 1;
    std::uint32_t maxReturn = 10000;
    ServerStatus status = kStatusUp;
    std::wstring statusString = L"Running";
    Ticks startTime = 0;
    LCID locale = 0x409;
    std::shared_ptr<const std::wstring> clientName = std::make_shared<const std::wstring>();

    // ---- everything below runs with `mu` held ----

    const SignalDef* Resolve(Handle h, HRESULT* hr) const {
        auto it = handles.find(h);
        if (it == handles.end()) {
            *hr = kOpcInvalidHandle;
            return nullptr;
        }
        const HRESULT fault = items[it->second].fault;
        if (fault != S_OK) {
            *hr = fault;
            return nullptr;
        }
        *hr = S_OK;
        return &space->Signals()[it->second];
    }

    const ItemState& State(const SignalDef& s) const { return items[s.index]; }
    ItemState& State(const SignalDef& s) { return items[s.index]; }

    static const std::pair<const Ticks, Ticks>* DeletedRangeAt(const ItemState& st, Ticks t) {
        auto it = st.deletedRanges.upper_bound(t);
        if (it == st.deletedRanges.begin()) return nullptr;
        --it;
        return t < it->second ? &*it : nullptr;
    }

    // Whether base sample k exists, ignoring the overlay.
    bool BaseExists(const SignalDef& s, const ItemState& st, std::int64_t k, Ticks now) const {
        const Ticks t = k * s.period;
        return t >= ArchiveStart() && t <= now && !s.gap.Contains(k) && !DeletedRangeAt(st, t);
    }

    Value BaseSample(const SignalDef& s, std::int64_t k) const {
        Value v;
        v.time = k * s.period;
        v.quality = BaseQuality(s, k);
        v.value = BaseValue(s, k);
        return v;
    }

    std::optional<Value> At(const SignalDef& s, const ItemState& st, Ticks t, Ticks now) const {
        auto o = st.overlay.find(t);
        if (o != st.overlay.end()) {
            if (o->second.deleted) return std::nullopt;
            return Value{t, o->second.quality, o->second.value};
        }
        if (t % s.period == 0 && BaseExists(s, st, t / s.period, now)) return BaseSample(s, t / s.period);
        return std::nullopt;
    }

    // The next value after t (forward) or before t (backward); at t too when inclusive.
    std::optional<Value> Next(const SignalDef& s, const ItemState& st, Ticks t, bool inclusive, bool forward,
                              Ticks now) const {
        std::optional<Value> base;
        const Ticks archive = ArchiveStart();
        // Base samples lie in [archive, now]; clamping first keeps k * period in range.
        if (forward && t <= now) {
            Ticks from = t;
            bool incl = inclusive;
            if (from < archive) {
                from = archive;
                incl = true;
            }
            std::int64_t k = CeilDiv(from, s.period);
            if (!incl && k * s.period == from) ++k;
            while (k * s.period <= now) {
                const Ticks tk = k * s.period;
                if (s.gap.Contains(k) || st.overlay.count(tk)) {
                    ++k;
                } else if (auto r = DeletedRangeAt(st, tk)) {
                    k = CeilDiv(r->second, s.period);
                } else {
                    base = BaseSample(s, k);
                    break;
                }
            }
        } else if (!forward && t >= archive) {
            Ticks from = t;
            bool incl = inclusive;
            if (from > now) {
                from = now;
                incl = true;
            }
            std::int64_t k = FloorDiv(from, s.period);
            if (!incl && k * s.period == from) --k;
            while (k * s.period >= archive) {
                const Ticks tk = k * s.period;
                if (s.gap.Contains(k) || st.overlay.count(tk)) {
                    --k;
                } else if (auto r = DeletedRangeAt(st, tk)) {
                    k = FloorDiv(r->first - 1, s.period);
                } else {
                    base = BaseSample(s, k);
                    break;
                }
            }
        }
        std::optional<Value> over;
        if (forward) {
            for (auto it = inclusive ? st.overlay.lower_bound(t) : st.overlay.upper_bound(t); it != st.overlay.end();
                 ++it) {
                if (!it->second.deleted) {
                    over = Value{it->first, it->second.quality, it->second.value};
                    break;
                }
            }
        } else {
            auto it = inclusive ? st.overlay.upper_bound(t) : st.overlay.lower_bound(t);
            while (it != st.overlay.begin()) {
                --it;
                if (!it->second.deleted) {
                    over = Value{it->first, it->second.quality, it->second.value};
                    break;
                }
            }
        }
        if (!base) return over;
        if (!over) return base;
        const bool overFirst = forward ? over->time < base->time : over->time > base->time;
        return overFirst ? over : base;
    }

    // All values in [a, b), ascending, at most `cap` (cap reached: *more = true).
    std::vector<Value> Range(const SignalDef& s, const ItemState& st, Ticks a, Ticks b, Ticks now,
                             std::size_t cap = static_cast<std::size_t>(-1), bool* more = nullptr) const {
        std::vector<Value> out;
        auto v = Next(s, st, a, true, true, now);
        while (v && v->time < b) {
            if (out.size() == cap) {
                if (more) *more = true;
                break;
            }
            const Ticks t = v->time;
            out.push_back(std::move(*v));
            v = Next(s, st, t, false, true, now);
        }
        return out;
    }

    // What ReadAtTime answers for one time stamp.
    Value Interpolate(const SignalDef& s, const ItemState& st, Ticks t, Ticks now) const {
        if (auto exact = At(s, st, t, now)) return *exact;
        auto prev = Next(s, st, t, false, false, now);
        if (!prev) {
            Value v;
            v.time = t;
            v.quality = kQualityNoData;
            return v;
        }
        auto next = Next(s, st, t, false, true, now);
        Value v;
        v.time = t;
        double x0 = 0, x1 = 0;
        if (!s.stepped && next && prev->value.AsDouble(&x0) && next->value.AsDouble(&x1)) {
            const double f = static_cast<double>(t - prev->time) / static_cast<double>(next->time - prev->time);
            v.value = Variant::FromDouble(x0 + (x1 - x0) * f);
            v.quality = kQualityInterpolated | WorstLow(prev->quality, next->quality);
            return v;
        }
        v.value = prev->value;
        std::uint32_t low = prev->quality & 0xFFFF;
        // Holding the last value of a continuous signal is only a guess.
        if (!s.stepped && !next) low = WorstLow(low, kQualityUncertain);
        v.quality = kQualityInterpolated | low;
        return v;
    }

    std::uint32_t Limit(std::uint32_t numValues) const {
        return numValues == 0 || numValues > maxReturn ? maxReturn : numValues;
    }

    void Log(ItemState& st, const Value& v, EditType type, Ticks now) {
        ModifiedValue m;
        m.time = v.time;
        m.quality = v.quality;
        m.value = v.value;
        m.modificationTime = now;
        m.editType = type;
        m.user = clientName;
        if (st.log.size() == kLogCap) st.log.pop_front();
        st.log.push_back(std::move(m));
    }

    // Converts to the item's type and adds the raw flag when no flags are given.
    HRESULT Normalize(const SignalDef& s, const VARIANT& in, std::uint32_t quality, Value* out) const {
        if (in.vt == VT_EMPTY || in.vt == VT_NULL) return kHdaInvalidDataType;
        VARIANT conv;
        VariantInit(&conv);
        if (FAILED(VariantChangeTypeEx(&conv, const_cast<VARIANT*>(&in), 0x409, 0, s.vt))) return kHdaInvalidDataType;
        out->value = Variant(conv);
        VariantClear(&conv);
        out->quality = (quality & 0xFFFF0000) ? quality : (quality | kQualityRaw);
        return S_OK;
    }

    HRESULT Update(Handle h, Ticks t, const VARIANT& value, std::uint32_t quality, EditType type) {
        HRESULT hr;
        const SignalDef* s = Resolve(h, &hr);
        if (!s) return hr;
        Value nv;
        nv.time = t;
        if (HRESULT c = Normalize(*s, value, quality, &nv); c != S_OK) return c;
        ItemState& st = State(*s);
        const Ticks now = clock->Now();
        auto old = At(*s, st, t, now);
        if (type == kEditInsert && old) return kHdaDataExists;
        if (type == kEditReplace && !old) return kHdaNoDataExists;
        // The log keeps the value that was superseded; an insert logs the new one.
        Log(st, old ? *old : nv, type, now);
        st.overlay[t] = OverlayEntry{false, nv.quality, nv.value};
        if (type == kEditInsertReplace) return old ? kHdaReplaced : kHdaInserted;
        return S_OK;
    }
};

Historian::Historian(std::shared_ptr<Clock> clock) : impl_(std::make_unique<Impl>()) {
    impl_->clock = clock ? std::move(clock) : std::make_shared<RealClock>();
    impl_->items.resize(impl_->space->Signals().size());
    impl_->startTime = impl_->clock->Now();
    // The calibration text carries a note from the historian's own tools, so
    // that an annotation answer has every string field filled.
    if (const SignalDef* text = impl_->space->Find(L"Plant/Lab/Calibration/Text")) {
        const Ticks hourAgo = impl_->startTime - 3600 * kTicksPerSecond;
        impl_->items[text->index].annotations.push_back(
            {hourAgo - hourAgo % text->period, L"Recalibrated", hourAgo, L"lab technician"});
    }
}

Historian::~Historian() = default;

Ticks Historian::Now() const { return impl_->clock->Now(); }

HRESULT Historian::ResolveTime(const TimeArg& arg, Ticks* resolved) const {
    if (!arg.isString) {
        *resolved = arg.ticks;
        return S_OK;
    }
    return ParseRelativeTime(arg.text, impl_->clock->Now(), resolved);
}

// ---------------------------------------------------------------- server

HistorianStatus Historian::GetStatus() const {
    std::lock_guard lock(impl_->mu);
    HistorianStatus s;
    s.status = impl_->status;
    s.currentTime = impl_->clock->Now();
    s.startTime = impl_->startTime;
    s.maxReturnValues = impl_->maxReturn;
    s.statusString = impl_->statusString;
    s.vendorInfo = L"HdaSim simulated historian";
    return s;
}

std::vector<AttributeInfo> Historian::GetItemAttributes() const {
    return {
        {kAttrDataType, L"Data Type", L"Data type of the item's values", VT_I2},
        {kAttrDescription, L"Description", L"Description of the item", VT_BSTR},
        {kAttrEngUnits, L"Eng Units", L"Engineering units", VT_BSTR},
        {kAttrStepped, L"Stepped", L"Whether values are held until the next one", VT_BOOL},
        {kAttrArchiving, L"Archiving", L"Whether the item is being archived", VT_BOOL},
        {kAttrDeriveEquation, L"Derive Equation", L"Equation of a derived item", VT_BSTR},
        {kAttrNodeName, L"Node Name", L"Node of the data source", VT_BSTR},
        {kAttrProcessName, L"Process Name", L"Process of the data source", VT_BSTR},
        {kAttrSourceName, L"Source Name", L"Name of the item in the data source", VT_BSTR},
        {kAttrSourceType, L"Source Type", L"Kind of data source", VT_BSTR},
        {kAttrNormalMaximum, L"Normal Maximum", L"Upper limit of the normal range", VT_R8},
        {kAttrNormalMinimum, L"Normal Minimum", L"Lower limit of the normal range", VT_R8},
        {kAttrItemId, L"ItemID", L"Item identifier", VT_BSTR},
        {kAttrMaxTimeInt, L"Max Time Interval", L"Longest time between two values (seconds)", VT_CY},
        {kAttrMinTimeInt, L"Min Time Interval", L"Shortest time between two values (seconds)", VT_CY},
        {kAttrExceptionDev, L"Exception Deviation", L"Deviation that triggers archiving", VT_R8},
        {kAttrExceptionDevType, L"Exception Dev Type", L"0 absolute, 1 percent of value, 2 percent of span", VT_I2},
        {kAttrHighEntryLimit, L"High Entry Limit", L"Highest value accepted", VT_R8},
        {kAttrLowEntryLimit, L"Low Entry Limit", L"Lowest value accepted", VT_R8},
    };
}

std::vector<AggregateInfo> Historian::GetAggregates() const { return AggregateCatalogue(); }

static HRESULT CheckItemIdSyntax(const std::wstring& id) {
    if (id.empty() || id.front() == L'/' || id.back() == L'/' || id.find(L"//") != std::wstring::npos ||
        id.find_first_of(L"*?\t\r\n") != std::wstring::npos)
        return kOpcInvalidItemId;
    return S_OK;
}

HRESULT Historian::ValidateItemId(const std::wstring& itemId) const {
    if (HRESULT hr = CheckItemIdSyntax(itemId); hr != S_OK) return hr;
    return impl_->space->Find(itemId) ? S_OK : kOpcUnknownItemId;
}

HRESULT Historian::GetItemHandle(const std::wstring& itemId, Handle* handle) {
    *handle = 0;
    if (HRESULT hr = ValidateItemId(itemId); hr != S_OK) return hr;
    std::lock_guard lock(impl_->mu);
    const SignalDef* s = impl_->space->Find(itemId);
    Handle h = impl_->nextHandle++;
    while (h == 0 || impl_->handles.count(h)) h = impl_->nextHandle++;
    impl_->handles[h] = s->index;
    *handle = h;
    return S_OK;
}

HRESULT Historian::ReleaseItemHandle(Handle handle) {
    std::lock_guard lock(impl_->mu);
    return impl_->handles.erase(handle) ? S_OK : kOpcInvalidHandle;
}

std::size_t Historian::OutstandingHandles() const {
    std::lock_guard lock(impl_->mu);
    return impl_->handles.size();
}

std::wstring Historian::ItemIdOf(Handle handle) const {
    std::lock_guard lock(impl_->mu);
    auto it = impl_->handles.find(handle);
    return it == impl_->handles.end() ? std::wstring() : impl_->space->Signals()[it->second].itemId;
}

std::vector<std::wstring> Historian::AllItemIds() const {
    std::vector<std::wstring> ids;
    for (const auto& s : impl_->space->Signals()) ids.push_back(s.itemId);
    return ids;
}

HRESULT ValidateBrowseFilter(const ItemSpace& space, const BrowseFilter& f);  // browser.cpp

HRESULT Historian::CreateBrowser(const std::vector<BrowseFilter>& filters, std::unique_ptr<Browser>* browser,
                                 std::vector<HRESULT>* errors) const {
    errors->clear();
    std::vector<BrowseFilter> valid;
    for (const auto& f : filters) {
        const HRESULT hr = ValidateBrowseFilter(*impl_->space, f);
        errors->push_back(hr);
        if (hr == S_OK) valid.push_back(f);
    }
    *browser = std::make_unique<Browser>(impl_->space, std::move(valid));
    return S_OK;
}

HRESULT Historian::SetLocaleID(LCID lcid) {
    std::lock_guard lock(impl_->mu);
    if (lcid == LOCALE_SYSTEM_DEFAULT || lcid == LOCALE_USER_DEFAULT || lcid == LOCALE_NEUTRAL) lcid = 0x409;
    if (lcid != 0x409 && lcid != 0x407) return E_INVALIDARG;
    impl_->locale = lcid;
    return S_OK;
}

LCID Historian::GetLocaleID() const {
    std::lock_guard lock(impl_->mu);
    return impl_->locale;
}

std::vector<LCID> Historian::AvailableLocaleIDs() const { return {0x409, 0x407}; }

HRESULT Historian::GetErrorString(HRESULT code, std::wstring* text) const {
    struct Entry {
        HRESULT code;
        const wchar_t* english;
        const wchar_t* german;
    };
    static const Entry kTexts[] = {
        {kOpcInvalidHandle, L"The handle is not valid.", L"Das Handle ist ung\u00fcltig."},
        {kOpcUnknownItemId, L"The item ID is not defined in the server address space.",
         L"Die Item-ID ist im Adressraum des Servers nicht definiert."},
        {kOpcInvalidItemId, L"The item ID does not conform to the server's syntax.",
         L"Die Item-ID entspricht nicht der Syntax des Servers."},
        {kHdaMaxExceeded, L"The maximum number of values requested exceeds the server's limit.",
         L"Die angeforderte Anzahl von Werten \u00fcbersteigt die Grenze des Servers."},
        {kHdaNoData, L"There is no data within the specified parameters.",
         L"Im angegebenen Bereich gibt es keine Daten."},
        {kHdaMoreData, L"There is more data satisfying the query than was returned.",
         L"Es gibt mehr Daten als zur\u00fcckgegeben wurden."},
        {kHdaInvalidAggregate, L"The aggregate requested is not valid.", L"Das Aggregat ist ung\u00fcltig."},
        {kHdaCurrentValue, L"The server only returns current values for the requested item attributes.",
         L"Der Server liefert f\u00fcr diese Attribute nur aktuelle Werte."},
        {kHdaExtraData, L"Additional data satisfying the query was found.",
         L"Es wurden zus\u00e4tzliche Daten gefunden."},
        {kHdaNoFilter, L"The server does not support this filter.",
         L"Der Server unterst\u00fctzt diesen Filter nicht."},
        {kHdaUnknownAttrId, L"The server does not support this attribute.",
         L"Der Server unterst\u00fctzt dieses Attribut nicht."},
        {kHdaNotAvail, L"The requested aggregate is not available for the specified item.",
         L"Das Aggregat ist f\u00fcr dieses Item nicht verf\u00fcgbar."},
        {kHdaInvalidDataType, L"The supplied value is not a valid data type for this item.",
         L"Der Wert hat keinen g\u00fcltigen Datentyp f\u00fcr dieses Item."},
        {kHdaDataExists, L"Unable to insert: data already present.",
         L"Einf\u00fcgen nicht m\u00f6glich: Daten vorhanden."},
        {kHdaInvalidAttrId, L"The supplied attribute ID is not valid.", L"Die Attribut-ID ist ung\u00fcltig."},
        {kHdaNoDataExists, L"The server has no value for the specified time and item.",
         L"Der Server hat keinen Wert f\u00fcr diese Zeit und dieses Item."},
        {kHdaInserted, L"The requested insert occurred.", L"Der Wert wurde eingef\u00fcgt."},
        {kHdaReplaced, L"The requested replace occurred.", L"Der Wert wurde ersetzt."},
    };
    const bool german = GetLocaleID() == 0x407;
    for (const auto& e : kTexts) {
        if (e.code == code) {
            *text = german ? e.german : e.english;
            return S_OK;
        }
    }
    wchar_t* buffer = nullptr;
    const DWORD n =
        FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    if (n == 0 || !buffer) return E_INVALIDARG;
    std::wstring s(buffer, n);
    LocalFree(buffer);
    while (!s.empty() && (s.back() == L'\n' || s.back() == L'\r')) s.pop_back();
    *text = s;
    return S_OK;
}

void Historian::SetClientName(const std::wstring& name) {
    std::lock_guard lock(impl_->mu);
    impl_->clientName = std::make_shared<const std::wstring>(name);
}

std::wstring Historian::ClientName() const {
    std::lock_guard lock(impl_->mu);
    return *impl_->clientName;
}

// ---------------------------------------------------------------- reads

ItemData Historian::ReadRaw(Ticks start, Ticks end, std::uint32_t numValues, bool bounds, Handle h) const {
    std::lock_guard lock(impl_->mu);
    ItemData out;
    const SignalDef* s = impl_->Resolve(h, &out.hr);
    if (!s) return out;
    const ItemState& st = impl_->State(*s);
    const Ticks now = impl_->clock->Now();
    const std::size_t limit = impl_->Limit(numValues);
    const bool forward = start <= end;
    bool more = false;
    bool real = false;  // any value other than a NoBound placeholder
    auto push = [&](Value v) {
        if (out.values.size() == limit) {
            more = true;
            return false;
        }
        out.values.push_back(std::move(v));
        return true;
    };
    if (bounds) {
        // The value just outside the start: before it ascending, after it descending.
        auto b = impl_->Next(*s, st, start, false, !forward, now);
        if (b) real = true;
        push(b ? std::move(*b) : NoBound(start));
    }
    if (start == end) {
        if (auto v = impl_->At(*s, st, start, now)) {
            real = true;
            push(std::move(*v));
        }
    } else {
        auto v = impl_->Next(*s, st, start, true, forward, now);
        while (v && (forward ? v->time < end : v->time > end)) {
            const Ticks t = v->time;
            real = true;
            if (!push(std::move(*v))) break;
            v = impl_->Next(*s, st, t, false, forward, now);
        }
    }
    if (bounds && !more) {
        // Ascending: first value at or after end; descending: last value at or before end.
        auto b = impl_->Next(*s, st, end, start != end, forward, now);
        if (b) real = true;
        push(b ? std::move(*b) : NoBound(end));
    }
    if (more)
        out.hr = kHdaMoreData;
    else if (!real)
        out.hr = kHdaNoData;
    return out;
}

ItemData Historian::ReadProcessed(Ticks start, Ticks end, Ticks resampleInterval, std::uint32_t aggregate,
                                  Handle h) const {
    std::lock_guard lock(impl_->mu);
    ItemData out;
    const SignalDef* s = impl_->Resolve(h, &out.hr);
    if (!s) return out;
    if (!IsSupportedAggregate(aggregate) || (s->vt == VT_BSTR && IsNumericAggregate(aggregate))) {
        out.hr = kHdaInvalidAggregate;
        return out;
    }
    if (start == end) {
        out.hr = kHdaNoData;
        return out;
    }
    const ItemState& st = impl_->State(*s);
    const Ticks now = impl_->clock->Now();
    const bool forward = start < end;
    const Ticks span = forward ? end - start : start - end;
    const Ticks step = resampleInterval <= 0 || resampleInterval > span ? span : resampleInterval;
    const Ticks count = span / step + (span % step ? 1 : 0);
    bool anyData = false;
    for (Ticks i = 0; i < count; ++i) {
        if (out.values.size() == impl_->maxReturn) {
            out.hr = kHdaMoreData;
            break;
        }
        // Intervals are laid from the start towards the end; the last one may be short.
        IntervalInput in;
        if (forward) {
            in.begin = start + i * step;
            in.end = std::min(in.begin + step, end);
        } else {
            in.end = start - i * step;
            in.begin = std::max(in.end - step, end);
        }
        in.stepped = s->stepped;
        in.raw = impl_->Range(*s, st, in.begin, in.end, now);
        if (auto before = impl_->Next(*s, st, in.begin, false, false, now)) in.qualityBefore = before->quality;
        in.interpolatedAtBegin = impl_->Interpolate(*s, st, in.begin, now);
        in.interpolatedAtEnd = impl_->Interpolate(*s, st, in.end, now);
        Value v = ComputeAggregate(aggregate, in);
        if (!(v.quality & kQualityNoData)) anyData = true;
        out.values.push_back(std::move(v));
    }
    if (out.hr == S_OK && !anyData) out.hr = kHdaNoData;
    return out;
}

ItemData Historian::ReadAtTime(const std::vector<Ticks>& times, Handle h) const {
    std::lock_guard lock(impl_->mu);
    ItemData out;
    const SignalDef* s = impl_->Resolve(h, &out.hr);
    if (!s) return out;
    const Ticks now = impl_->clock->Now();
    bool anyData = false;
    for (Ticks t : times) {
        out.values.push_back(impl_->Interpolate(*s, impl_->State(*s), t, now));
        anyData = anyData || !(out.values.back().quality & kQualityNoData);
    }
    if (!anyData) out.hr = kHdaNoData;
    return out;
}

ModifiedData Historian::ReadModified(Ticks start, Ticks end, std::uint32_t numValues, Handle h) const {
    std::lock_guard lock(impl_->mu);
    ModifiedData out;
    const SignalDef* s = impl_->Resolve(h, &out.hr);
    if (!s) return out;
    const bool forward = start <= end;
    std::vector<const ModifiedValue*> hits;
    for (const auto& m : impl_->State(*s).log) {
        const bool in = start == end ? m.time == start
                        : forward    ? (m.time >= start && m.time < end)
                                     : (m.time <= start && m.time > end);
        if (in) hits.push_back(&m);
    }
    // Value time order (newest first when reversed); edits of one time in the order made.
    std::stable_sort(hits.begin(), hits.end(), [forward](const ModifiedValue* a, const ModifiedValue* b) {
        return forward ? a->time < b->time : a->time > b->time;
    });
    const std::size_t limit = impl_->Limit(numValues);
    for (const ModifiedValue* m : hits) {
        if (out.values.size() == limit) {
            out.hr = kHdaMoreData;
            break;
        }
        out.values.push_back(*m);
    }
    if (out.values.empty()) out.hr = kHdaNoData;
    return out;
}

std::vector<AttributeData> Historian::ReadAttribute(Ticks start, Ticks /*end*/, Handle h,
                                                    const std::vector<std::uint32_t>& attributeIds) const {
    std::lock_guard lock(impl_->mu);
    std::vector<AttributeData> out;
    HRESULT hr;
    const SignalDef* s = impl_->Resolve(h, &hr);
    for (std::uint32_t id : attributeIds) {
        AttributeData a;
        a.attributeId = id;
        if (!s) {
            a.hr = hr;
        } else if (auto v = AttributeValue(*s, id)) {
            a.times.push_back(start);
            a.values.push_back(std::move(*v));
        } else {
            a.hr = kHdaInvalidAttrId;
        }
        out.push_back(std::move(a));
    }
    return out;
}

// ---------------------------------------------------------------- updates

HRESULT Historian::Insert(Handle h, Ticks time, const VARIANT& value, std::uint32_t quality) {
    std::lock_guard lock(impl_->mu);
    return impl_->Update(h, time, value, quality, kEditInsert);
}

HRESULT Historian::Replace(Handle h, Ticks time, const VARIANT& value, std::uint32_t quality) {
    std::lock_guard lock(impl_->mu);
    return impl_->Update(h, time, value, quality, kEditReplace);
}

HRESULT Historian::InsertReplace(Handle h, Ticks time, const VARIANT& value, std::uint32_t quality) {
    std::lock_guard lock(impl_->mu);
    return impl_->Update(h, time, value, quality, kEditInsertReplace);
}

HRESULT Historian::DeleteRaw(Ticks start, Ticks end, Handle h) {
    std::lock_guard lock(impl_->mu);
    HRESULT hr;
    const SignalDef* s = impl_->Resolve(h, &hr);
    if (!s) return hr;
    const Ticks a = std::min(start, end), b = std::max(start, end);
    ItemState& st = impl_->State(*s);
    const Ticks now = impl_->clock->Now();
    // The log keeps at most kLogCap of the deleted values; the deletion itself is unbounded.
    bool more = false;
    auto gone = impl_->Range(*s, st, a, b, now, kLogCap, &more);
    if (gone.empty()) return kHdaNoData;
    for (const auto& v : gone) impl_->Log(st, v, kEditDelete, now);
    st.overlay.erase(st.overlay.lower_bound(a), st.overlay.lower_bound(b));
    // Merge [a, b) into the deleted ranges.
    Ticks na = a, nb = b;
    auto it = st.deletedRanges.upper_bound(a);
    if (it != st.deletedRanges.begin() && std::prev(it)->second >= a) --it;
    while (it != st.deletedRanges.end() && it->first <= nb) {
        na = std::min(na, it->first);
        nb = std::max(nb, it->second);
        it = st.deletedRanges.erase(it);
    }
    st.deletedRanges[na] = nb;
    return S_OK;
}

HRESULT Historian::DeleteAtTime(Handle h, Ticks time) {
    std::lock_guard lock(impl_->mu);
    HRESULT hr;
    const SignalDef* s = impl_->Resolve(h, &hr);
    if (!s) return hr;
    ItemState& st = impl_->State(*s);
    const Ticks now = impl_->clock->Now();
    auto old = impl_->At(*s, st, time, now);
    if (!old) return kHdaNoDataExists;
    impl_->Log(st, *old, kEditDelete, now);
    const bool base = time % s->period == 0 && impl_->BaseExists(*s, st, time / s->period, now);
    if (base)
        st.overlay[time] = OverlayEntry{true, 0, Variant()};
    else
        st.overlay.erase(time);
    return S_OK;
}

// ---------------------------------------------------------------- annotations

AnnotationData Historian::ReadAnnotations(Ticks start, Ticks end, Handle h) const {
    std::lock_guard lock(impl_->mu);
    AnnotationData out;
    const SignalDef* s = impl_->Resolve(h, &out.hr);
    if (!s) return out;
    const Ticks a = std::min(start, end), b = std::max(start, end);
    for (const auto& an : impl_->State(*s).annotations)
        if (a == b ? an.time == a : (an.time >= a && an.time < b)) out.values.push_back(an);
    std::stable_sort(out.values.begin(), out.values.end(),
                     [](const Annotation& x, const Annotation& y) { return x.time < y.time; });
    if (out.values.empty()) out.hr = kHdaNoData;
    return out;
}

HRESULT Historian::InsertAnnotation(Handle h, const Annotation& annotation) {
    std::lock_guard lock(impl_->mu);
    HRESULT hr;
    const SignalDef* s = impl_->Resolve(h, &hr);
    if (!s) return hr;
    Annotation a = annotation;
    if (a.annotationTime == 0) a.annotationTime = impl_->clock->Now();
    if (a.user.empty()) a.user = *impl_->clientName;
    impl_->State(*s).annotations.push_back(std::move(a));
    return S_OK;
}

// ---------------------------------------------------------------- control seam

void Historian::SetMaxReturnValues(std::uint32_t max) {
    std::lock_guard lock(impl_->mu);
    impl_->maxReturn = max == 0 ? 1 : max;
}

std::uint32_t Historian::MaxReturnValues() const {
    std::lock_guard lock(impl_->mu);
    return impl_->maxReturn;
}

void Historian::SetServerStatus(ServerStatus status, const std::wstring& statusString) {
    std::lock_guard lock(impl_->mu);
    impl_->status = status;
    impl_->statusString = statusString;
}

bool Historian::SetItemFault(const std::wstring& itemId, HRESULT code) {
    std::lock_guard lock(impl_->mu);
    const SignalDef* s = impl_->space->Find(itemId);
    if (!s) return false;
    impl_->items[s->index].fault = code;
    return true;
}

void Historian::ClearFaults() {
    std::lock_guard lock(impl_->mu);
    for (auto& st : impl_->items) st.fault = S_OK;
}

}  // namespace hdasim
