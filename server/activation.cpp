#include "server/activation.h"

#include <atomic>
#include <cstdint>

#include "com/com_holders.h"
#include "opc_hda.h"

namespace {

std::atomic<activation_hooks::CreateInstanceFn> g_createInstance{&CoCreateInstance};
std::atomic<activation_hooks::CreateInstanceExFn> g_createInstanceEx{&CoCreateInstanceEx};

bool NamesThisComputer(const wchar_t* node) {
    if (lstrcmpiW(node, L"localhost") == 0 || lstrcmpiW(node, L"127.0.0.1") == 0) return true;
    char name[16];
    DWORD size = sizeof(name);
    // A name that cannot be read cannot be matched: the node counts as remote.
    if (!GetComputerNameA(name, &size)) return false;
    wchar_t wide[16];
    int n = MultiByteToWideChar(CP_ACP, 0, name, -1, wide, 16);
    if (n <= 0) return false;
    return lstrcmpiW(node, wide) == 0;
}

}  // namespace

HRESULT CreateOnThisComputer(REFCLSID clsid, REFIID iid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    constexpr DWORD kContext =
        CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER;
    return g_createInstance.load()(clsid, nullptr, kContext, iid, ppv);
}

HRESULT CreateOnNode(const wchar_t* node, REFCLSID clsid, REFIID iid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    COSERVERINFO server{};
    server.pwszName = const_cast<LPWSTR>(node);
    MULTI_QI query{&iid, nullptr, S_OK};
    HRESULT hr = g_createInstanceEx.load()(clsid, nullptr, CLSCTX_REMOTE_SERVER, &server, 1, &query);
    ComPtr<IUnknown> created = ComPtr<IUnknown>::attach(query.pItf);
    if (FAILED(hr)) return hr;
    if (FAILED(query.hr)) return query.hr;
    *ppv = created.detach();
    return hr;
}

ActivationTarget ActivationTarget::FromNode(const VARIANT& node) {
    if (node.vt != VT_BSTR || IsOmittedMark(node.bstrVal)) return ActivationTarget();
    ActivationTarget target = FromName(node.bstrVal);
    // The node exactly as the client gave it (ServerNode answers it back).
    if (target.IsRemote()) target.node_ = UniqueBstr::copy_of(node.bstrVal);
    return target;
}

ActivationTarget ActivationTarget::FromName(const wchar_t* node) {
    ActivationTarget target;
    if (!node || node[0] == L'\0' || NamesThisComputer(node)) return target;
    target.node_ = UniqueBstr(node);
    return target;
}

HRESULT ActivationTarget::Create(REFCLSID clsid, REFIID iid, void** ppv) const {
    return IsRemote() ? CreateOnNode(node_.get(), clsid, iid, ppv) : CreateOnThisComputer(clsid, iid, ppv);
}

HRESULT ResolveClsid(const ActivationTarget& target, const wchar_t* progID, CLSID* clsid) {
    *clsid = GUID_NULL;
    {
        ComPtr<IOPCServerList> list;
        if (SUCCEEDED(target.Create(CLSID_OpcServerList, IID_IOPCServerList, list.put_void())) && list &&
            SUCCEEDED(list->CLSIDFromProgID(progID, clsid)))
            return S_OK;
    }
    if (SUCCEEDED(CLSIDFromProgID(progID, clsid))) return S_OK;
    return CLSIDFromString(progID, clsid);
}

namespace activation_hooks {

Runtime Platform() { return {&CoCreateInstance, &CoCreateInstanceEx}; }

Runtime Install(Runtime runtime) {
    Runtime previous{g_createInstance.exchange(runtime.createInstance),
                     g_createInstanceEx.exchange(runtime.createInstanceEx)};
    return previous;
}

}  // namespace activation_hooks
