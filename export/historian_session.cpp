#include "export/historian_session.h"

#include "export/csv_format.h"

namespace {

bool NamesThisComputer(const std::wstring& node) {
    if (node.empty() || lstrcmpiW(node.c_str(), L"localhost") == 0 || lstrcmpiW(node.c_str(), L"127.0.0.1") == 0)
        return true;
    wchar_t name[MAX_COMPUTERNAME_LENGTH + 1];
    DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
    return GetComputerNameW(name, &size) && lstrcmpiW(node.c_str(), name) == 0;
}

HRESULT CreateOn(const std::wstring& node, REFCLSID clsid, REFIID iid, void** object) {
    *object = nullptr;
    if (NamesThisComputer(node)) return CoCreateInstance(clsid, nullptr, CLSCTX_ALL, iid, object);
    COSERVERINFO server{};
    server.pwszName = const_cast<LPWSTR>(node.c_str());
    MULTI_QI query{&iid, nullptr, S_OK};
    const HRESULT hr = CoCreateInstanceEx(clsid, nullptr, CLSCTX_REMOTE_SERVER, &server, 1, &query);
    ComPtr<IUnknown> answer = ComPtr<IUnknown>::attach(query.pItf);
    if (FAILED(hr)) return hr;
    if (FAILED(query.hr)) return query.hr;
    *object = answer.detach();
    return S_OK;
}

// The node's server list knows the ProgIDs of its historians; this
// computer's registry, or the text read as a CLSID, serve where it has none.
HRESULT ResolveClsid(const std::wstring& node, const std::wstring& progID, CLSID* clsid) {
    ComPtr<IOPCServerList> list;
    if (SUCCEEDED(CreateOn(node, CLSID_OpcServerList, IID_IOPCServerList, list.put_void())) &&
        SUCCEEDED(list->CLSIDFromProgID(progID.c_str(), clsid)))
        return S_OK;
    HRESULT hr = CLSIDFromProgID(progID.c_str(), clsid);
    if (FAILED(hr) && SUCCEEDED(CLSIDFromString(progID.c_str(), clsid))) hr = S_OK;
    return hr;
}

}  // namespace

HistorianSession::~HistorianSession() {
    if (server_ && !granted_.empty()) {
        CoTaskMemPtr<HRESULT> errors;
        server_->ReleaseItemHandles(static_cast<DWORD>(granted_.size()), granted_.data(), errors.put());
    }
}

HRESULT HistorianSession::Connect(const std::wstring& progID, const std::wstring& node) {
    CLSID clsid;
    HRESULT hr = ResolveClsid(node, progID, &clsid);
    if (FAILED(hr)) return hr;
    hr = CreateOn(node, clsid, IID_IOPCHDA_Server, server_.put_void());
    if (FAILED(hr)) return hr;
    hr = server_.query(IID_IOPCHDA_SyncRead, syncRead_);
    if (FAILED(hr)) return hr;
    if (SUCCEEDED(server_.query(IID_IOPCCommon, common_))) common_->SetClientName(L"OPCHDAExport");
    return S_OK;
}

HRESULT HistorianSession::AddItems(const std::vector<std::wstring>& itemIDs, std::vector<OPCHANDLE>* handles,
                                   std::vector<HRESULT>* errors) {
    const DWORD count = static_cast<DWORD>(itemIDs.size());
    std::vector<LPWSTR> ids;
    std::vector<OPCHANDLE> clientHandles;
    for (DWORD i = 0; i < count; ++i) {
        ids.push_back(const_cast<LPWSTR>(itemIDs[i].c_str()));
        clientHandles.push_back(i + 1);
    }
    CoTaskMemPtr<OPCHANDLE> serverHandles;
    CoTaskMemPtr<HRESULT> codes;
    const HRESULT hr = server_->GetItemHandles(count, ids.data(), clientHandles.data(), serverHandles.put(), codes.put());
    if (FAILED(hr)) return hr;
    handles->assign(count, 0);
    errors->assign(count, S_OK);
    for (DWORD i = 0; i < count; ++i) {
        (*errors)[i] = codes[i];
        if (FAILED(codes[i])) continue;
        (*handles)[i] = serverHandles[i];
        granted_.push_back(serverHandles[i]);
    }
    return hr;
}

std::string SystemErrorText(HRESULT code) {
    wchar_t* buffer = nullptr;
    const DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<LPWSTR>(&buffer), 0, nullptr);
    std::wstring text(buffer ? buffer : L"", n);
    LocalFree(buffer);
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' ')) text.pop_back();
    return Utf8(text);
}

std::string HistorianSession::ErrorText(HRESULT code) const {
    std::string text;
    CoTaskMemPtr<wchar_t> historianText;
    if (common_ && SUCCEEDED(common_->GetErrorString(code, historianText.put())) && historianText)
        text = Utf8(historianText.get());
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
    if (text.empty()) text = SystemErrorText(code);
    const std::string name = CodeName(code);
    if (name.empty()) return text;
    return text.empty() ? name : name + ": " + text;
}
