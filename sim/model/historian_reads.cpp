// Reads of the historian: raw, processed, at time, modified and attributes.
#include "historian_state.h"

namespace hdasim {

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
        out.hr = OPCHDA_S_MOREDATA;
    else if (!real)
        out.hr = OPCHDA_S_NODATA;
    return out;
}

ItemData Historian::ReadProcessed(Ticks start, Ticks end, Ticks resampleInterval, std::uint32_t aggregate,
                                  Handle h) const {
    std::lock_guard lock(impl_->mu);
    ItemData out;
    const SignalDef* s = impl_->Resolve(h, &out.hr);
    if (!s) return out;
    if (!IsSupportedAggregate(aggregate) || (s->vt == VT_BSTR && IsNumericAggregate(aggregate))) {
        out.hr = OPCHDA_E_INVALIDAGGREGATE;
        return out;
    }
    if (start == end) {
        out.hr = OPCHDA_S_NODATA;
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
            out.hr = OPCHDA_S_MOREDATA;
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
        if (!(v.quality & OPCHDA_NODATA)) anyData = true;
        out.values.push_back(std::move(v));
    }
    if (out.hr == S_OK && !anyData) out.hr = OPCHDA_S_NODATA;
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
        anyData = anyData || !(out.values.back().quality & OPCHDA_NODATA);
    }
    if (!anyData) out.hr = OPCHDA_S_NODATA;
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
            out.hr = OPCHDA_S_MOREDATA;
            break;
        }
        out.values.push_back(CopyOf(*m));
    }
    if (out.values.empty()) out.hr = OPCHDA_S_NODATA;
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
            a.hr = OPCHDA_E_INVALIDATTRID;
        }
        out.push_back(std::move(a));
    }
    return out;
}

}  // namespace hdasim
