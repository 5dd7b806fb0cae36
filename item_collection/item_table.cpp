// The item table: the collection's members that look up, add and remove items.
#include <cwchar>
#include <new>
#include <vector>

#include "item/COPCHDAItem.h"
#include "com/weak_link.h"
#include "automation/client_arrays.h"
#include "com/enumerator.h"
#include "com/floating_point_defaults.h"
#include "item_collection/request.h"
#include "server/COPCHDAAutoServer.h"

using namespace client_arrays;
using request::InArray;
using request::Request;

namespace {

// The collection's enumerator, traced under the name of the framework
// enumerator clients know it by.
struct ItemEnumTrace {
    static constexpr char kTraceName[] = "_CComEnum";
};
using ItemEnumerator = Enumerator<IEnumVARIANT, VARIANT, ItemEnumTrace>;

using ItemTable = std::list<ComPtr<COPCHDAItem>>;

// A new item appended to the table; E_OUTOFMEMORY leaves the table as it was.
HRESULT AppendItem(ItemTable& items, LPCWSTR itemID, LONG clientHandle, LONG serverHandle,
                   const std::shared_ptr<WeakLink>& parent, ComPtr<COPCHDAItem>* added = nullptr) try {
    ComPtr<COPCHDAItem> entry = MakeObject<COPCHDAItem>();
    if (!entry) return E_OUTOFMEMORY;
    entry->Initialize(const_cast<BSTR>(itemID), clientHandle, serverHandle, parent);
    items.push_back(entry);
    if (added) *added = entry;
    return S_OK;
} catch (const std::bad_alloc&) {
    // The caller still holds the historian's handle and must give it back.
    return E_OUTOFMEMORY;
}

HRESULT HandOutItem(COPCHDAItem* item, OPCHDAItem** ppItem) {
    return item->QueryInterface(IID_OPCHDAItem, reinterpret_cast<void**>(ppItem));
}

bool SameText(BSTR a, BSTR b) { return std::wcscmp(a ? a : L"", b ? b : L"") == 0; }

// Handles the historian gave out but that no entry holds (the entry could not
// be made) go back at once.
void ReleaseOrphans(IOPCHDA_Server* server, std::vector<OPCHANDLE>& orphans) {
    if (orphans.empty()) return;
    TaskArray<HRESULT> errors;
    server->ReleaseItemHandles(static_cast<DWORD>(orphans.size()), orphans.data(), errors.put());
}

}  // namespace

STDMETHODIMP COPCHDAAutoServer::get_Parent(IOPCHDAAutoServer** ppParent) try {
    if (!ppParent) return E_POINTER;
    *ppParent = nullptr;
    return QueryInterface(IID_IOPCHDAAutoServer, reinterpret_cast<void**>(ppParent));
} catch (...) {
    return HResultFromCaughtException();
}

STDMETHODIMP COPCHDAAutoServer::get_Count(LONG* pVal) try {
    if (!pVal) return E_POINTER;
    *pVal = static_cast<LONG>(items_.size());
    return S_OK;
} catch (...) {
    return HResultFromCaughtException();
}

STDMETHODIMP COPCHDAAutoServer::get__NewEnum(IUnknown** ppUnk) try {
    if (!ppUnk) return E_POINTER;
    *ppUnk = nullptr;
    std::shared_ptr<EnumSnapshot<VARIANT>> snapshot = std::make_shared<EnumSnapshot<VARIANT>>();
    for (const ComPtr<COPCHDAItem>& item : items_) {
        // An item that cannot be handed out is an empty element, still counted.
        VARIANT element;
        VariantInit(&element);
        OPCHDAItem* itf = nullptr;
        if (SUCCEEDED(HandOutItem(item.get(), &itf))) {
            V_VT(&element) = VT_DISPATCH;
            V_DISPATCH(&element) = itf;
        }
        if (!snapshot->Adopt(element)) return E_OUTOFMEMORY;
    }
    return ItemEnumerator::Create(std::move(snapshot), reinterpret_cast<IEnumVARIANT**>(ppUnk));
} catch (...) {
    return HResultFromCaughtException();
}

STDMETHODIMP COPCHDAAutoServer::Item(VARIANT ItemSpecifier, OPCHDAItem** ppItem) try {
    if (!ppItem) return E_POINTER;
    if (V_VT(&ItemSpecifier) == VT_BSTR) {
        *ppItem = nullptr;
        for (const ComPtr<COPCHDAItem>& item : items_)
            if (SameText(item->ItemIDText(), V_BSTR(&ItemSpecifier))) return HandOutItem(item.get(), ppItem);
        return E_FAIL;
    }
    // Converted into a copy: the specifier belongs to the caller. A NaN would
    // raise the caller's unmasked invalid-operation exception.
    UniqueVariant index;
    const FloatingPointDefaults floatingPoint;
    if (FAILED(VariantChangeType(index.get(), &ItemSpecifier, 0, VT_I4))) return E_INVALIDARG;
    LONG position = V_I4(index.get());
    if (position < 1 || static_cast<size_t>(position) > items_.size()) return E_INVALIDARG;
    *ppItem = nullptr;
    auto it = items_.begin();
    std::advance(it, position - 1);
    return HandOutItem(it->get(), ppItem);
} catch (...) {
    return HResultFromCaughtException();
}

STDMETHODIMP COPCHDAAutoServer::GetOPCHDAItem(LONG ServerHandle, OPCHDAItem** ppItem) try {
    if (!ppItem) return E_POINTER;
    *ppItem = nullptr;
    for (const ComPtr<COPCHDAItem>& item : items_)
        if (item->ServerHandle() == ServerHandle) return HandOutItem(item.get(), ppItem);
    return E_FAIL;
} catch (...) {
    return HResultFromCaughtException();
}

STDMETHODIMP COPCHDAAutoServer::AddItem(BSTR ItemID, LONG ClientHandle, OPCHDAItem** ppItem) try {
    if (!ppItem) return E_POINTER;
    *ppItem = nullptr;
    if (!server_) return E_FAIL;

    LPWSTR id = ItemID;
    OPCHANDLE client = static_cast<OPCHANDLE>(ClientHandle);
    TaskArray<OPCHANDLE> handles;
    TaskArray<HRESULT> errors;
    HRESULT hr = server_->GetItemHandles(1, &id, &client, handles.put(), errors.put());
    if (FAILED(hr)) return hr;
    if (!handles || !errors) return E_FAIL;
    if (FAILED(errors[0])) return errors[0];

    ComPtr<COPCHDAItem> item;
    hr = AppendItem(items_, ItemID, ClientHandle, static_cast<LONG>(handles[0]), parentLink_, &item);
    if (FAILED(hr)) {
        std::vector<OPCHANDLE> orphan{handles[0]};
        ReleaseOrphans(server_.get(), orphan);
        return hr;
    }
    return HandOutItem(item.get(), ppItem);
} catch (...) {
    return HResultFromCaughtException();
}

STDMETHODIMP COPCHDAAutoServer::AddItems(LONG NumItems, SAFEARRAY** ItemIDs, SAFEARRAY** ClientHandles,
                                         SAFEARRAY** ServerHandles, SAFEARRAY** Errors) try {
    Request request(this, server_);
    request.Check({{InArray(ItemIDs), InArray(ClientHandles), ServerHandles, Errors},
                   {NumItems},
                   {ServerHandles, Errors},
                   {{ItemIDs, NumItems, VT_BSTR}, {ClientHandles, NumItems, VT_I4}}});
    if (request.Failed()) return request.Result();

    ClientStrings ids = ReadStrings(*ItemIDs, NumItems);
    std::vector<LONG> clients = ReadLongs(*ClientHandles, NumItems);
    TaskArray<OPCHANDLE> handles;
    TaskArray<HRESULT> errors;
    HRESULT hr = server_->GetItemHandles(static_cast<DWORD>(NumItems), ids.pointers(),
                                         reinterpret_cast<OPCHANDLE*>(clients.data()), handles.put(), errors.put());
    if (FAILED(hr)) return hr;
    if (!handles || !errors) return E_FAIL;

    std::vector<LONG> added(NumItems, 0);
    std::vector<LONG> codes(NumItems, 0);
    std::vector<OPCHANDLE> orphans;
    for (LONG i = 0; i < NumItems; ++i) {
        codes[i] = errors[i];
        if (FAILED(errors[i])) continue;
        added[i] = static_cast<LONG>(handles[i]);
        if (FAILED(AppendItem(items_, ids.pointers()[i], clients[i], added[i], parentLink_))) {
            orphans.push_back(handles[i]);
            added[i] = 0;
            codes[i] = E_OUTOFMEMORY;
        }
    }
    ReleaseOrphans(server_.get(), orphans);
    UniqueSafeArray handleArray = MakeLongArray(added.data(), NumItems);
    UniqueSafeArray codeArray = MakeLongArray(codes.data(), NumItems);
    return HandOutResults({{&handleArray, ServerHandles}, {&codeArray, Errors}}, hr);
} catch (...) {
    return HResultFromCaughtException();
}

STDMETHODIMP COPCHDAAutoServer::Remove(LONG NumItems, SAFEARRAY** ServerHandles, SAFEARRAY** Errors) try {
    Request request(this, server_);
    request.Check({{InArray(ServerHandles), Errors}, {NumItems}, {Errors}, {{ServerHandles, NumItems, VT_I4}}});
    if (request.Failed()) return request.Result();

    std::vector<LONG> handles = ReadLongs(*ServerHandles, NumItems);
    // Each handle takes out at most the first entry holding it; the historian
    // hears of every handle, found or not.
    for (LONG handle : handles) {
        for (auto it = items_.begin(); it != items_.end(); ++it) {
            if ((*it)->ServerHandle() == handle) {
                items_.erase(it);
                break;
            }
        }
    }
    TaskArray<HRESULT> errors;
    HRESULT hr = server_->ReleaseItemHandles(static_cast<DWORD>(NumItems), reinterpret_cast<OPCHANDLE*>(handles.data()),
                                             errors.put());
    if (FAILED(hr)) return hr;
    UniqueSafeArray codes = MakeLongArray(reinterpret_cast<const LONG*>(errors.get()), NumItems);
    return HandOutResults({{&codes, Errors}}, hr);
} catch (...) {
    return HResultFromCaughtException();
}

STDMETHODIMP COPCHDAAutoServer::RemoveAll() try {
    if (items_.empty()) return S_OK;
    if (!server_) return E_FAIL;

    std::vector<OPCHANDLE> handles;
    handles.reserve(items_.size());
    for (const ComPtr<COPCHDAItem>& item : items_) handles.push_back(static_cast<OPCHANDLE>(item->ServerHandle()));
    items_.clear();
    // The historian's verdict changes nothing: the table is empty either way.
    TaskArray<HRESULT> errors;
    server_->ReleaseItemHandles(static_cast<DWORD>(handles.size()), handles.data(), errors.put());
    return S_OK;
} catch (...) {
    return HResultFromCaughtException();
}

STDMETHODIMP COPCHDAAutoServer::Validate(LONG NumItems, SAFEARRAY** ItemIDs, SAFEARRAY** Errors) try {
    Request request(this, server_);
    request.Check({{InArray(ItemIDs), Errors}, {NumItems}, {Errors}, {{ItemIDs, NumItems, VT_BSTR}}});
    if (request.Failed()) return request.Result();

    ClientStrings ids = ReadStrings(*ItemIDs, NumItems);
    TaskArray<HRESULT> errors;
    HRESULT hr = server_->ValidateItemIDs(static_cast<DWORD>(NumItems), ids.pointers(), errors.put());
    if (FAILED(hr)) return hr;
    UniqueSafeArray codes = MakeLongArray(reinterpret_cast<const LONG*>(errors.get()), NumItems);
    return HandOutResults({{&codes, Errors}}, hr);
} catch (...) {
    return HResultFromCaughtException();
}
