// COPCHDABrowser: a client's walk over the historian's item space. Every
// member is one call on the historian's browse object, which also keeps the
// position; the browser holds no link to the server object, so it goes on
// working after Disconnect and after the server object is gone.
#pragma once

#include <windows.h>

#include "OPCHDAAuto.h"
#include "opc_hda.h"
#include "com/com_holders.h"
#include "com/implements.h"
#include "automation/type_info_holder.h"

// The dual interface pointer is the client's IDispatch; IDispatch alone is not answered.
class COPCHDABrowser final : public Implements<COPCHDABrowser, DispatchImpl<OPCHDABrowser>> {
public:
    static constexpr char kTraceName[] = "COPCHDABrowser";

    // A new browser over `historianBrowser` (which it references), handed
    // out as the client's OPCHDABrowser.
    static HRESULT Create(IOPCHDA_Browser* historianBrowser, OPCHDABrowser** browser);

    STDMETHODIMP get_CurrentPosition(BSTR* pVal) override;
    STDMETHODIMP get_OPCHDABranches(VARIANT* pVal) override;
    STDMETHODIMP get_OPCHDALeaves(VARIANT* pVal) override;
    STDMETHODIMP get_OPCHDAItems(VARIANT* pVal) override;
    STDMETHODIMP MoveUp() override;
    STDMETHODIMP MoveToRoot() override;
    STDMETHODIMP MoveDown(BSTR BranchName) override;
    STDMETHODIMP MoveTo(BSTR NewPosition) override;
    STDMETHODIMP GetItemID(BSTR ItemName, BSTR* pItemID) override;

    // Takes its own reference on the historian's browse object, replacing
    // any it held. Virtual so that it holds the slot right after the dual
    // interface's members.
    virtual HRESULT AttachBrowser(IOPCHDA_Browser* historianBrowser);

private:
    template <class Call>
    HRESULT StringResult(BSTR* out, Call call);
    HRESULT List(OPCHDA_BROWSETYPE type, VARIANT* names);
    HRESULT Move(OPCHDA_BROWSEDIRECTION direction, const wchar_t* name);

    ComPtr<IOPCHDA_Browser> browser_;
};
