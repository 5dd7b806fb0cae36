// IOPCHDA_Browser over the model's browser, and the string enumerator it hands out.
#pragma once

#include "opc_hda.h"
#include "single_interface.h"
#include "sim/model/historian.h"

#include <memory>

namespace hdasim {

class SimBrowserObject final : public SingleInterface<IOPCHDA_Browser, &IID_IOPCHDA_Browser> {
public:
    static HRESULT Create(std::unique_ptr<Browser> browser, IOPCHDA_Browser** out);

    HRESULT STDMETHODCALLTYPE GetEnum(OPCHDA_BROWSETYPE dwBrowseType, LPENUMSTRING* ppIEnumString) override;
    HRESULT STDMETHODCALLTYPE ChangeBrowsePosition(OPCHDA_BROWSEDIRECTION dwBrowseDirection,
                                                   LPCWSTR szString) override;
    HRESULT STDMETHODCALLTYPE GetItemID(LPCWSTR szNode, LPWSTR* pszItemID) override;
    HRESULT STDMETHODCALLTYPE GetBranchPosition(LPWSTR* pszBranchPos) override;

private:
    explicit SimBrowserObject(std::unique_ptr<Browser> b);
    ~SimBrowserObject() override;
    std::unique_ptr<Browser> browser_;
};

}  // namespace hdasim
