#include "export/historian_session.h"

#include "export/csv_format.h"
#include "server/activation.h"

HistorianSession::~HistorianSession() {
    if (server_ && !granted_.empty()) {
        TaskArray<HRESULT> errors;
        server_->ReleaseItemHandles(static_cast<DWORD>(granted_.size()), granted_.data(), errors.put());
    }
}

HRESULT HistorianSession::Connect(const std::wstring& progID, const std::wstring& node) {
    const ActivationTarget target = ActivationTarget::FromName(node.c_str());
    CLSID clsid;
    HRESULT hr = ResolveClsid(target, progID.c_str(), &clsid);
    if (FAILED(hr)) return hr;
    ComPtr<IUnknown> historian;
    hr = target.Create(clsid, IID_IOPCHDA_Server, historian.put_void());
    return FAILED(hr) ? hr : Attach(historian.get());
}

HRESULT HistorianSession::Attach(IUnknown* historian) {
    HRESULT hr = historian->QueryInterface(IID_IOPCHDA_Server, server_.put_void());
    if (FAILED(hr)) return hr;
    hr = server_.query(IID_IOPCHDA_SyncRead, syncRead_);
    if (FAILED(hr)) return hr;
    server_.query(IID_IOPCHDA_SyncAnnotations, syncAnnotations_);
    if (SUCCEEDED(server_.query(IID_IOPCCommon, common_))) common_->SetClientName(L"OPCHDAExport");
    return S_OK;
}

HRESULT HistorianSession::Attributes(std::vector<Attribute>* attributes) const {
    DWORD count = 0;
    TaskArray<DWORD> ids;
    TaskArray<VARTYPE> types;
    TaskArray<LPWSTR, TaskStringElements> names, descriptions;
    const HRESULT hr = server_->GetItemAttributes(&count, ids.put(), names.put(), descriptions.put(), types.put());
    names.set_count(names.get() ? count : 0);
    descriptions.set_count(descriptions.get() ? count : 0);
    if (FAILED(hr)) return hr;
    if (count && !ids) return kIncompleteAnswer;
    for (DWORD i = 0; i < count; ++i) attributes->push_back({ids[i], names.get() && names[i] ? names[i] : L""});
    return hr;
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
    TaskArray<OPCHANDLE> serverHandles;
    TaskArray<HRESULT> codes;
    const HRESULT hr =
        server_->GetItemHandles(count, ids.data(), clientHandles.data(), serverHandles.put(), codes.put());
    if (FAILED(hr)) return hr;
    if (!serverHandles || !codes) return kIncompleteAnswer;
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
    const DWORD n =
        FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<LPWSTR>(&buffer), 0, nullptr);
    std::wstring text(buffer ? buffer : L"", n);
    LocalFree(buffer);
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' ')) text.pop_back();
    return Utf8(text);
}

std::string HistorianSession::ErrorText(HRESULT code) const {
    std::string text;
    TaskArray<wchar_t> historianText;
    if (common_ && SUCCEEDED(common_->GetErrorString(code, historianText.put())) && historianText)
        text = Utf8(historianText.get());
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
    if (text.empty()) text = SystemErrorText(code);
    const std::string name = CodeName(code);
    if (name.empty()) return text;
    return text.empty() ? name : name + ": " + text;
}
