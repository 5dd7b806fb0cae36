// IOPCHDA_Browser over the model's browser, and the string enumerator it hands out.
#pragma once

#include "opc_hda.h"
#include "com/implements.h"
#include "sim/model/historian.h"

#include <memory>

namespace hdasim {

class SimBrowserObject final : public Implements<SimBrowserObject, IOPCHDA_Browser> {
public:
    static HRESULT Create(std::unique_ptr<Browser> browser, IOPCHDA_Browser** out);

    HRESULT STDMETHODCALLTYPE GetEnum(OPCHDA_BROWSETYPE dwBrowseType, LPENUMSTRING* ppIEnumString) override;
    HRESULT STDMETHODCALLTYPE ChangeBrowsePosition(OPCHDA_BROWSEDIRECTION dwBrowseDirection, LPCWSTR szString) override;
    HRESULT STDMETHODCALLTYPE GetItemID(LPCWSTR szNode, LPWSTR* pszItemID) override;
    HRESULT STDMETHODCALLTYPE GetBranchPosition(LPWSTR* pszBranchPos) override;

    explicit SimBrowserObject(std::unique_ptr<Browser> b) : browser_(std::move(b)) {}

private:
    std::unique_ptr<Browser> browser_;
};

}  // namespace hdasim
