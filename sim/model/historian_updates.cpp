// Updates of the historian with their log, and annotations.
#include "historian_state.h"

namespace hdasim {

HRESULT Historian::Insert(Handle h, Ticks time, const VARIANT& value, std::uint32_t quality) {
    std::lock_guard lock(impl_->mu);
    return impl_->Update(h, time, value, quality, OPCHDA_INSERT);
}

HRESULT Historian::Replace(Handle h, Ticks time, const VARIANT& value, std::uint32_t quality) {
    std::lock_guard lock(impl_->mu);
    return impl_->Update(h, time, value, quality, OPCHDA_REPLACE);
}

HRESULT Historian::InsertReplace(Handle h, Ticks time, const VARIANT& value, std::uint32_t quality) {
    std::lock_guard lock(impl_->mu);
    return impl_->Update(h, time, value, quality, OPCHDA_INSERTREPLACE);
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
    if (gone.empty()) return OPCHDA_S_NODATA;
    for (const auto& v : gone) impl_->Log(st, v, OPCHDA_DELETE, now);
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
    if (!old) return OPCHDA_E_NODATAEXISTS;
    impl_->Log(st, *old, OPCHDA_DELETE, now);
    const bool base = time % s->period == 0 && impl_->BaseExists(*s, st, time / s->period, now);
    if (base)
        st.overlay[time] = OverlayEntry{true, 0, UniqueVariant()};
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
    if (out.values.empty()) out.hr = OPCHDA_S_NODATA;
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

}  // namespace hdasim
