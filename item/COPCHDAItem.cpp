#include "item/COPCHDAItem.h"

#include "com/weak_link.h"

HRESULT COPCHDAItem::Initialize(BSTR itemID, LONG clientHandle, LONG serverHandle, std::shared_ptr<WeakLink> parent) {
    parent_ = std::move(parent);
    itemID_ = UniqueBstr(itemID);  // ends at the first zero character; null stays null
    clientHandle_ = clientHandle;
    serverHandle_ = serverHandle;
    return S_OK;
}

HRESULT COPCHDAItem::ParentItems(ComPtr<IOPCHDAItems>& items) {
    if (!parent_) return E_FAIL;
    return parent_->Query(IID_IOPCHDAItems, items.put_void());
}

STDMETHODIMP COPCHDAItem::get_Parent(IOPCHDAAutoServer** ppParent) {
    if (!ppParent) return E_POINTER;
    *ppParent = nullptr;
    if (!parent_) return E_FAIL;
    return parent_->Query(IID_IOPCHDAAutoServer, reinterpret_cast<void**>(ppParent));
}

STDMETHODIMP COPCHDAItem::get_ClientHandle(LONG* pVal) { return PropertyGet(pVal, clientHandle_); }

STDMETHODIMP COPCHDAItem::get_ServerHandle(LONG* pVal) { return PropertyGet(pVal, serverHandle_); }

STDMETHODIMP COPCHDAItem::get_ItemID(BSTR* pVal) { return PropertyGet(pVal, itemID_.get()); }
