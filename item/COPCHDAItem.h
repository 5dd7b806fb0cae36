// COPCHDAItem: one historian item the client added to the items collection.
#pragma once

#include <windows.h>

#include <memory>

#include "OPCHDAAuto.h"
#include "com/com_holders.h"
#include "com/implements.h"
#include "automation/type_info_holder.h"

class WeakLink;

class COPCHDAItem final : public Implements<COPCHDAItem, DispatchImpl<OPCHDAItem>> {
public:
    static constexpr char kTraceName[] = "COPCHDAItem";

    STDMETHODIMP get_Parent(IOPCHDAAutoServer** ppParent) override;
    STDMETHODIMP get_ClientHandle(LONG* pVal) override;
    STDMETHODIMP get_ServerHandle(LONG* pVal) override;
    STDMETHODIMP get_ItemID(BSTR* pVal) override;
    STDMETHODIMP ReadRaw(VARIANT* StartTime, VARIANT* EndTime, LONG NumValues, LONG Bounds,
                         VARIANT* ItemValues) override;
    STDMETHODIMP ReadProcessed(VARIANT* StartTime, VARIANT* EndTime, DATE ResampleInterval, LONG Aggregate,
                               VARIANT* ItemValues) override;
    STDMETHODIMP ReadAtTime(LONG NumTimeStamps, SAFEARRAY** TimeStamps, VARIANT* ItemValues) override;
    STDMETHODIMP Update(DATE TimeStamp, VARIANT DataValue, LONG Quality, LONG EditType) override;
    STDMETHODIMP DeleteRaw(VARIANT* StartTime, VARIANT* EndTime) override;

    // Called once by the collection right after creation. Virtual so that it
    // holds the slot right after the dual interface's members.
    virtual HRESULT Initialize(BSTR itemID, LONG clientHandle, LONG serverHandle, std::shared_ptr<WeakLink> parent);

    LONG ServerHandle() const { return serverHandle_; }
    BSTR ItemIDText() const { return itemID_.get(); }

private:
    // The parent collection, with a reference; E_FAIL once the server object is gone.
    HRESULT ParentItems(ComPtr<IOPCHDAItems>& items);
    // Runs call(items, &handles) with the collection and a one-element array
    // of this item's server handle; E_FAIL once the item has no collection.
    template <class Call>
    HRESULT WithOwnHandle(Call&& call);

    UniqueBstr itemID_;
    LONG clientHandle_ = 0;
    LONG serverHandle_ = 0;
    std::shared_ptr<WeakLink> parent_;
};
