#include "browser_object.h"

#include "sim_module.h"
#include "task_memory.h"

#include <new>
#include <string>
#include <vector>

namespace hdasim {
namespace {

class StringEnum final : public Implements<StringEnum, IEnumString> {
public:
    explicit StringEnum(std::shared_ptr<const std::vector<std::wstring>> list, ULONG pos = 0)
        : list_(std::move(list)), pos_(pos) {}

    HRESULT STDMETHODCALLTYPE Next(ULONG celt, LPOLESTR* rgelt, ULONG* fetched) override {
        if (!rgelt || (celt > 1 && !fetched)) return E_POINTER;
        ULONG n = 0;
        while (n < celt && pos_ < list_->size()) rgelt[n++] = SimStrdup((*list_)[pos_++]);
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
        return HandOut(MakeObject<StringEnum>(list_, pos_), IID_IEnumString, reinterpret_cast<void**>(out));
    }

private:
    std::shared_ptr<const std::vector<std::wstring>> list_;
    ULONG pos_;
};

}  // namespace

HRESULT SimBrowserObject::Create(std::unique_ptr<Browser> browser, IOPCHDA_Browser** out) {
    return HandOut(MakeObject<SimBrowserObject>(std::move(browser)), IID_IOPCHDA_Browser,
                   reinterpret_cast<void**>(out));
}

HRESULT SimBrowserObject::GetEnum(OPCHDA_BROWSETYPE dwBrowseType, LPENUMSTRING* ppIEnumString) try {
    if (!ppIEnumString) return E_POINTER;
    *ppIEnumString = nullptr;
    auto list = std::make_shared<std::vector<std::wstring>>();
    HRESULT hr = browser_->GetEnum(dwBrowseType, list.get());
    if (FAILED(hr)) return hr;
    hr = HandOut(MakeObject<StringEnum>(list), IID_IEnumString, reinterpret_cast<void**>(ppIEnumString));
    if (FAILED(hr)) return hr;
    return list->empty() ? S_FALSE : S_OK;
} catch (...) {
    return HResultFromCaughtException();
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
    *pszItemID = SimStrdup(id);
    return *pszItemID ? S_OK : E_OUTOFMEMORY;
}

HRESULT SimBrowserObject::GetBranchPosition(LPWSTR* pszBranchPos) {
    if (!pszBranchPos) return E_POINTER;
    *pszBranchPos = SimStrdup(browser_->GetBranchPosition());
    return *pszBranchPos ? S_OK : E_OUTOFMEMORY;
}

}  // namespace hdasim
