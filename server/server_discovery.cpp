// GetOPCHDAServers: the ProgIDs of the historians the target node's server
// list knows, in its enumeration order. Needs no connection and touches none.
#include "server/COPCHDAAutoServer.h"

#include "automation/client_arrays.h"

#include <vector>

#include "server/activation.h"

namespace {

// How many class identifiers are asked of the enumerator at a time.
constexpr ULONG kBatch = 100;

}  // namespace

STDMETHODIMP COPCHDAAutoServer::GetOPCHDAServers(VARIANT Node, VARIANT* OPCHDAServers) try {
    if (!OPCHDAServers) return E_POINTER;

    const ActivationTarget target = ActivationTarget::FromNode(Node);
    ComPtr<IOPCServerList> list;
    HRESULT hr = target.Create(CLSID_OpcServerList, IID_IOPCServerList, list.put_void());
    if (FAILED(hr)) return hr;
    if (!list) return E_NOINTERFACE;

    CATID implemented[] = {CATID_OPCHDAServer10};
    ComPtr<IEnumGUID> classes;
    hr = list->EnumClassesOfCategories(1, implemented, 0, nullptr, classes.put());
    if (FAILED(hr)) return hr;
    if (!classes) return E_FAIL;

    std::vector<TaskArray<WCHAR>> progIDs;
    do {
        CLSID batch[kBatch];
        ULONG fetched = 0;
        hr = classes->Next(kBatch, batch, &fetched);
        if (fetched > kBatch) fetched = kBatch;
        for (ULONG i = 0; i < fetched; ++i) {
            TaskArray<WCHAR> progID;
            TaskArray<WCHAR> userType;
            // A class whose details cannot be read is left out.
            if (SUCCEEDED(list->GetClassDetails(batch[i], progID.put(), userType.put())))
                progIDs.push_back(std::move(progID));
        }
    } while (hr == S_OK);
    if (FAILED(hr)) return hr;

    UniqueSafeArray array;
    if (FAILED(client_arrays::FillResultArray<BSTR>(VT_BSTR, progIDs.size(), array, [&progIDs](BSTR& element, size_t k) {
            element = UniqueBstr(progIDs[k] ? progIDs[k].get() : L"").detach();
            progIDs[k].reset();
            return S_OK;
        })))
        return E_FAIL;
    ClearVariantValue(OPCHDAServers);
    OPCHDAServers->vt = VT_ARRAY | VT_BSTR;
    OPCHDAServers->parray = array.detach();
    return hr;
} catch (...) {
    return HResultFromCaughtException();
}
