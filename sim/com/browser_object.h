// IOPCHDA_Browser over the model's browser, and the string enumerator it hands out.
#pragma once

#include "opc_hda.h"
#include "sim/model/historian.h"

#include <memory>

namespace hdasim {

class SimBrowserObject final : public IOPCHDA_Browser {
public:
    static HRESULT Create(std::unique_ptr<Browser> browser, IOPCHDA_Browser** out);

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE GetEnum(OPCHDA_BROWSETYPE dwBrowseType, LPENUMSTRING* ppIEnumString) override;
    HRESULT STDMETHODCALLTYPE ChangeBrowsePosition(OPCHDA_BROWSEDIRECTION dwBrowseDirection,
                                                   LPCWSTR szString) override;
    HRESULT STDMETHODCALLTYPE GetItemID(LPCWSTR szNode, LPWSTR* pszItemID) override;
    HRESULT STDMETHODCALLTYPE GetBranchPosition(LPWSTR* pszBranchPos) override;

private:
    explicit SimBrowserObject(std::unique_ptr<Browser> b);
    ~SimBrowserObject();
    LONG refs_ = 0;
    std::unique_ptr<Browser> browser_;
};

}  // namespace hdasim
