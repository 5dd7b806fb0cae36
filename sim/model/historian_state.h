// The historian's state, shared by its source files: per item the edit
// overlay, the deleted ranges, the modification log and the annotations, and
// how base history and overlay merge into the history of an item.
//
// History of an item = base samples (item_space.cpp) that exist (on the grid,
// not in a gap, at or after ArchiveStart(), not later than now, not inside a
// deleted range, no overlay entry at that time) plus the overlay's values.
// Raw reads: ascending [start, end), descending (start > end) (end, start]
// newest first, start == end the value at exactly that time. Bounds add the
// value just outside each end (ascending: last value before start, first value
// at or after end; descending mirrored), or a OPCHDA_NOBOUND placeholder
// (VT_EMPTY) when there is none. Values returned count against the limit.
#pragma once

#include "historian.h"

#include "aggregates.h"
#include "item_space.h"

#include <algorithm>
#include <deque>
#include <map>
#include <optional>

namespace hdasim {

struct OverlayEntry {
    bool deleted = false;  // hides a base sample (delete at time)
    std::uint32_t quality = 0;
    UniqueVariant value;
};

// An item's modification log keeps this many edits, dropping the oldest: one
// wide deletion logs up to this many values, and a long run of them (a fuzzer
// makes thousands) must not grow the process without bound.
constexpr std::size_t kLogCap = 100000;

struct ItemState {
    ItemState() = default;
    ItemState(const ItemState&) = delete;
    ItemState(ItemState&&) = default;
    std::map<Ticks, OverlayEntry> overlay;
    std::map<Ticks, Ticks> deletedRanges;  // [first, second) without base samples
    std::deque<ModifiedValue> log;         // the newest kLogCap edits, oldest first
    std::vector<Annotation> annotations;
    HRESULT fault = S_OK;
};

// Without overflow near the ends of the range (clients may pass any FILETIME).
inline Ticks CeilDiv(Ticks a, Ticks b) { return a / b + (a % b > 0 ? 1 : 0); }
inline Ticks FloorDiv(Ticks a, Ticks b) { return a / b - (a % b < 0 ? 1 : 0); }

inline std::uint32_t WorstLow(std::uint32_t a, std::uint32_t b) {
    auto rank = [](std::uint32_t q) { return (q & 0xC0) == 0xC0 ? 2 : (q & 0xC0) == 0x40 ? 1 : 0; };
    return rank(a) <= rank(b) ? (a & 0xFFFF) : (b & 0xFFFF);
}

inline Value NoBound(Ticks t) {
    Value v;
    v.time = t;
    v.quality = OPCHDA_NOBOUND;
    return v;
}

struct Historian::Impl {
    const SimClock* clock;
    std::shared_ptr<const ItemSpace> space = std::make_shared<const ItemSpace>();
    mutable std::mutex mu;
    std::vector<ItemState> items;
    std::map<Handle, std::uint32_t> handles;
    Handle nextHandle = 1;
    std::uint32_t maxReturn = 10000;
    OPCHDA_SERVERSTATUS status = OPCHDA_UP;
    std::wstring statusString = L"Running";
    Ticks startTime = 0;
    LCID locale = 0x409;
    std::shared_ptr<const std::wstring> clientName = std::make_shared<const std::wstring>();

    // ---- everything below runs with `mu` held ----

    const SignalDef* Resolve(Handle h, HRESULT* hr) const {
        auto it = handles.find(h);
        if (it == handles.end()) {
            *hr = OPC_E_INVALIDHANDLE;
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
            return Value{t, o->second.quality, UniqueVariant::copy_of(o->second.value.get())};
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
                    over = Value{it->first, it->second.quality, UniqueVariant::copy_of(it->second.value.get())};
                    break;
                }
            }
        } else {
            auto it = inclusive ? st.overlay.upper_bound(t) : st.overlay.lower_bound(t);
            while (it != st.overlay.begin()) {
                --it;
                if (!it->second.deleted) {
                    over = Value{it->first, it->second.quality, UniqueVariant::copy_of(it->second.value.get())};
                    break;
                }
            }
        }
        if (!base) return over;
        if (!over) return base;
        const bool overFirst = forward ? over->time < base->time : over->time > base->time;
        return overFirst ? std::move(over) : std::move(base);
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
        if (auto exact = At(s, st, t, now)) return std::move(*exact);
        auto prev = Next(s, st, t, false, false, now);
        if (!prev) {
            Value v;
            v.time = t;
            v.quality = OPCHDA_NODATA;
            return v;
        }
        auto next = Next(s, st, t, false, true, now);
        Value v;
        v.time = t;
        double x0 = 0, x1 = 0;
        if (!s.stepped && next && AsDouble(prev->value.get(), &x0) && AsDouble(next->value.get(), &x1)) {
            const double f = static_cast<double>(t - prev->time) / static_cast<double>(next->time - prev->time);
            v.value = R8Variant(x0 + (x1 - x0) * f);
            v.quality = OPCHDA_INTERPOLATED | WorstLow(prev->quality, next->quality);
            return v;
        }
        v.value = std::move(prev->value);
        std::uint32_t low = prev->quality & 0xFFFF;
        // Holding the last value of a continuous signal is only a guess.
        if (!s.stepped && !next) low = WorstLow(low, kQualityUncertain);
        v.quality = OPCHDA_INTERPOLATED | low;
        return v;
    }

    std::uint32_t Limit(std::uint32_t numValues) const {
        return numValues == 0 || numValues > maxReturn ? maxReturn : numValues;
    }

    void Log(ItemState& st, const Value& v, OPCHDA_EDITTYPE type, Ticks now) {
        ModifiedValue m;
        m.time = v.time;
        m.quality = v.quality;
        m.value = UniqueVariant::copy_of(v.value.get());
        m.modificationTime = now;
        m.editType = type;
        m.user = clientName;
        if (st.log.size() == kLogCap) st.log.pop_front();
        st.log.push_back(std::move(m));
    }

    // Converts to the item's type and adds the raw flag when no flags are given.
    HRESULT Normalize(const SignalDef& s, const VARIANT& in, std::uint32_t quality, Value* out) const {
        if (in.vt == VT_EMPTY || in.vt == VT_NULL) return OPCHDA_E_INVALIDDATATYPE;
        if (FAILED(VariantChangeTypeEx(out->value.put(), const_cast<VARIANT*>(&in), 0x409, 0, s.vt)))
            return OPCHDA_E_INVALIDDATATYPE;
        out->quality = (quality & 0xFFFF0000) ? quality : (quality | OPCHDA_RAW);
        return S_OK;
    }

    HRESULT Update(Handle h, Ticks t, const VARIANT& value, std::uint32_t quality, OPCHDA_EDITTYPE type) {
        HRESULT hr;
        const SignalDef* s = Resolve(h, &hr);
        if (!s) return hr;
        Value nv;
        nv.time = t;
        if (HRESULT c = Normalize(*s, value, quality, &nv); c != S_OK) return c;
        ItemState& st = State(*s);
        const Ticks now = clock->Now();
        auto old = At(*s, st, t, now);
        if (type == OPCHDA_INSERT && old) return OPCHDA_E_DATAEXISTS;
        if (type == OPCHDA_REPLACE && !old) return OPCHDA_E_NODATAEXISTS;
        // The log keeps the value that was superseded; an insert logs the new one.
        Log(st, old ? *old : nv, type, now);
        st.overlay[t] = OverlayEntry{false, nv.quality, std::move(nv.value)};
        if (type == OPCHDA_INSERTREPLACE) return old ? OPCHDA_S_REPLACED : OPCHDA_S_INSERTED;
        return S_OK;
    }
};

}  // namespace hdasim
