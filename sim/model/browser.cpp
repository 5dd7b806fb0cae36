// Browsing the item space with filters on attributes.
#include "historian.h"
#include "item_space.h"

#include <cwctype>

namespace hdasim {

namespace {

int CompareNoCase(const std::wstring& a, const std::wstring& b) {
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        const wint_t x = std::towupper(a[i]), y = std::towupper(b[i]);
        if (x != y) return x < y ? -1 : 1;
    }
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

bool Holds(std::uint32_t op, int cmp) {
    switch (op) {
        case OPCHDA_EQUAL: return cmp == 0;
        case OPCHDA_LESS: return cmp < 0;
        case OPCHDA_LESSEQUAL: return cmp <= 0;
        case OPCHDA_GREATER: return cmp > 0;
        case OPCHDA_GREATEREQUAL: return cmp >= 0;
        case OPCHDA_NOTEQUAL: return cmp != 0;
        default: return false;
    }
}

// Text attributes compare as case-insensitive text, where equal / not equal
// take '*' and '?' wildcards; the others compare as numbers.
bool Passes(const SignalDef& s, const BrowseFilter& f) {
    auto av = AttributeValue(s, f.attributeId);
    if (!av) return false;
    if ((*av)->vt == VT_BSTR) {
        const std::wstring pattern = AsString(f.value.get()), text = AsString(av->get());
        if (f.op == OPCHDA_EQUAL) return WildcardMatch(pattern, text);
        if (f.op == OPCHDA_NOTEQUAL) return !WildcardMatch(pattern, text);
        return Holds(f.op, CompareNoCase(text, pattern));
    }
    double x = 0, y = 0;
    if (!AsDouble(av->get(), &x) || !AsDouble(f.value.get(), &y)) return false;
    return Holds(f.op, x < y ? -1 : x > y ? 1 : 0);
}

bool PassesAll(const SignalDef& s, const std::vector<BrowseFilter>& filters) {
    for (const auto& f : filters)
        if (!Passes(s, f)) return false;
    return true;
}

bool IsUnder(const std::wstring& branch, const std::wstring& position) {
    if (position.empty()) return true;
    return branch == position || (branch.size() > position.size() &&
                                  branch.compare(0, position.size(), position) == 0 && branch[position.size()] == L'/');
}

std::wstring Join(const std::wstring& position, const std::wstring& name) {
    return position.empty() ? name : position + L"/" + name;
}

}  // namespace

HRESULT ValidateBrowseFilter(const ItemSpace& space, const BrowseFilter& f) {
    if (f.attributeId < OPCHDA_DATA_TYPE || f.attributeId > OPCHDA_LOW_ENTRY_LIMIT) return OPCHDA_E_INVALIDATTRID;
    if (f.op < OPCHDA_EQUAL || f.op > OPCHDA_NOTEQUAL) return E_INVALIDARG;
    if (f.value->vt == VT_EMPTY || f.value->vt == VT_NULL) return E_INVALIDARG;
    // Every item has the same attribute types: check the filter against the first one.
    auto sample = AttributeValue(space.Signals().front(), f.attributeId);
    if (sample && (*sample)->vt != VT_BSTR) {
        double y = 0;
        if (!AsDouble(f.value.get(), &y)) return E_INVALIDARG;
    }
    return S_OK;
}

struct Browser::Impl {
    std::shared_ptr<const ItemSpace> space;
    std::vector<BrowseFilter> filters;
    std::wstring position;
    mutable std::mutex mu;
};

Browser::Browser(std::shared_ptr<const ItemSpace> space, std::vector<BrowseFilter> filters)
    : impl_(std::make_unique<Impl>()) {
    impl_->space = std::move(space);
    impl_->filters = std::move(filters);
}

Browser::~Browser() = default;

HRESULT Browser::GetEnum(std::uint32_t browseType, std::vector<std::wstring>* out) const {
    std::lock_guard lock(impl_->mu);
    out->clear();
    const ItemSpace& space = *impl_->space;
    const std::wstring& pos = impl_->position;
    const ItemSpace::Branch* here = space.FindBranch(pos);
    switch (browseType) {
        case OPCHDA_BRANCH:
            if (!here) return S_OK;
            // A branch is listed when an item below it passes the filters, or when
            // nothing at all is below it yet (filters apply to items, not branches).
            for (const auto& child : here->children) {
                const std::wstring path = Join(pos, child);
                bool anyBelow = false, passing = false;
                for (const auto& s : space.Signals()) {
                    if (!IsUnder(s.branch, path)) continue;
                    anyBelow = true;
                    if (PassesAll(s, impl_->filters)) {
                        passing = true;
                        break;
                    }
                }
                if (passing || !anyBelow) out->push_back(child);
            }
            return S_OK;
        case OPCHDA_LEAF:
        case OPCHDA_ITEMS:
            if (!here) return S_OK;
            for (std::uint32_t i : here->leaves) {
                const SignalDef& s = space.Signals()[i];
                if (PassesAll(s, impl_->filters)) out->push_back(browseType == OPCHDA_LEAF ? s.name : s.itemId);
            }
            return S_OK;
        case OPCHDA_FLAT:
            for (const auto& s : space.Signals())
                if (IsUnder(s.branch, pos) && PassesAll(s, impl_->filters)) out->push_back(s.itemId);
            return S_OK;
        default: return E_INVALIDARG;
    }
}

HRESULT Browser::ChangePosition(std::uint32_t direction, const std::wstring& name) {
    std::lock_guard lock(impl_->mu);
    std::wstring& pos = impl_->position;
    switch (direction) {
        case OPCHDA_BROWSE_UP: {
            if (pos.empty()) return E_FAIL;
            const std::size_t slash = pos.rfind(L'/');
            pos = slash == std::wstring::npos ? L"" : pos.substr(0, slash);
            return S_OK;
        }
        case OPCHDA_BROWSE_DOWN: {
            if (name.empty()) return E_INVALIDARG;
            const std::wstring target = Join(pos, name);
            if (!impl_->space->FindBranch(target)) return E_INVALIDARG;
            pos = target;
            return S_OK;
        }
        case OPCHDA_BROWSE_DIRECT:
            if (!name.empty() && !impl_->space->FindBranch(name)) return E_INVALIDARG;
            pos = name;
            return S_OK;
        default: return E_INVALIDARG;
    }
}

HRESULT Browser::GetItemID(const std::wstring& node, std::wstring* itemId) const {
    std::lock_guard lock(impl_->mu);
    if (node.empty()) return E_INVALIDARG;
    const std::wstring full = Join(impl_->position, node);
    if (impl_->space->Find(full) || impl_->space->FindBranch(full)) {
        *itemId = full;
        return S_OK;
    }
    return E_INVALIDARG;
}

std::wstring Browser::GetBranchPosition() const {
    std::lock_guard lock(impl_->mu);
    return impl_->position;
}

}  // namespace hdasim
