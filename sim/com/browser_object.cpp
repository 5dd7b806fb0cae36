#include "browser_object.h"

#include "sim_module.h"
#include "task_memory.h"

#include <new>
#include <string>
#include <vector>

namespace hdasim {
namespace {

class StringEnum final : public SingleInterface<IEnumString, &IID_IEnumString> {
public:
    explicit StringEnum(std::shared_ptr<const std::vector<std::wstring>> list, ULONG pos = 0)
        : list_(std::move(list)), pos_(pos) {
        module_add_ref();
    }
    ~StringEnum() override { module_release(); }

    HRESULT STDMETHODCALLTYPE Next(ULONG celt, LPOLESTR* rgelt, ULONG* fetched) override {
        if (!rgelt || (celt > 1 && !fetched)) return E_POINTER;
        ULONG n = 0;
        while (n < celt && pos_ < list_->size()) rgelt[n++] = sim_strdup((*list_)[pos_++]);
        if (fetched) *fetched = n;
        return n == celt ? S_OK : S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE Skip(ULONG celt) override {
        ULONG left = static_cast<ULONG>(list_->size()) - pos_;
        if (celt > left) {
            pos_ = static_cast<ULONG>(list_->size());
            return S_FALSE;
        }
        pos_ += celt;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Reset() override {
        pos_ = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Clone(IEnumString** out) override {
        if (!out) return E_POINTER;
        auto* e = new (std::nothrow) StringEnum(list_, pos_);
        if (!e) return E_OUTOFMEMORY;
        e->AddRef();
        *out = e;
        return S_OK;
    }

private:
    std::shared_ptr<const std::vector<std::wstring>> list_;
    ULONG pos_;
};

}  // namespace

SimBrowserObject::SimBrowserObject(std::unique_ptr<Browser> b) : browser_(std::move(b)) { module_add_ref(); }
SimBrowserObject::~SimBrowserObject() { module_release(); }

HRESULT SimBrowserObject::Create(std::unique_ptr<Browser> browser, IOPCHDA_Browser** out) {
    auto* b = new (std::nothrow) SimBrowserObject(std::move(browser));
    if (!b) return E_OUTOFMEMORY;
    b->AddRef();
    *out = b;
    return S_OK;
}

HRESULT SimBrowserObject::GetEnum(OPCHDA_BROWSETYPE dwBrowseType, LPENUMSTRING* ppIEnumString) {
    if (!ppIEnumString) return E_POINTER;
    *ppIEnumString = nullptr;
    auto list = std::make_shared<std::vector<std::wstring>>();
    HRESULT hr = browser_->GetEnum(dwBrowseType, list.get());
    if (FAILED(hr)) return hr;
    auto* e = new (std::nothrow) StringEnum(list);
    if (!e) return E_OUTOFMEMORY;
    e->AddRef();
    *ppIEnumString = e;
    return list->empty() ? S_FALSE : S_OK;
}

HRESULT SimBrowserObject::ChangeBrowsePosition(OPCHDA_BROWSEDIRECTION dwBrowseDirection, LPCWSTR szString) {
    return browser_->ChangePosition(dwBrowseDirection, szString ? szString : L"");
}

HRESULT SimBrowserObject::GetItemID(LPCWSTR szNode, LPWSTR* pszItemID) {
    if (!pszItemID) return E_POINTER;
    *pszItemID = nullptr;
    std::wstring id;
    HRESULT hr = browser_->GetItemID(szNode ? szNode : L"", &id);
    if (FAILED(hr)) return hr;
    *pszItemID = sim_strdup(id);
    return *pszItemID ? S_OK : E_OUTOFMEMORY;
}

HRESULT SimBrowserObject::GetBranchPosition(LPWSTR* pszBranchPos) {
    if (!pszBranchPos) return E_POINTER;
    *pszBranchPos = sim_strdup(browser_->GetBranchPosition());
    return *pszBranchPos ? S_OK : E_OUTOFMEMORY;
}

}  // namespace hdasim
