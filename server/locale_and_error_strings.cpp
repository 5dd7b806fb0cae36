// Locale and error texts: thin services of the historian's IOPCCommon, with
// the platform's message table behind GetErrorString.
#include "server/COPCHDAAutoServer.h"

#include "automation/client_arrays.h"

STDMETHODIMP COPCHDAAutoServer::get_LocaleID(LONG* pVal) {
    if (!pVal) return E_POINTER;
    if (!common_) return E_FAIL;
    return common_->GetLocaleID(reinterpret_cast<LCID*>(pVal));
}

STDMETHODIMP COPCHDAAutoServer::put_LocaleID(LONG newVal) {
    if (!common_) return E_FAIL;
    return common_->SetLocaleID(static_cast<LCID>(newVal));
}

STDMETHODIMP COPCHDAAutoServer::GetErrorString(LONG ErrorCode, BSTR* ErrorString) {
    if (!ErrorString) return E_POINTER;
    HRESULT result = E_FAIL;
    if (common_) {
        TaskArray<WCHAR> text;
        HRESULT hr = common_->GetErrorString(static_cast<HRESULT>(ErrorCode), text.put());
        if (SUCCEEDED(hr)) {
            *ErrorString = UniqueBstr(text ? text.get() : L"").detach();
            return hr;
        }
        result = hr;
    }

    // The historian does not know the code (or is not there): the system may.
    char* message = nullptr;
    DWORD length =
        FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM,
                       nullptr, static_cast<DWORD>(ErrorCode), MAKELANGID(LANG_NEUTRAL, SUBLANG_SYS_DEFAULT),
                       reinterpret_cast<char*>(&message), 0, nullptr);
    if (length == 0 || !message) {
        if (message) LocalFree(message);
        return result;
    }
    // The text is kept whole, its closing line break included.
    int wide = MultiByteToWideChar(CP_ACP, 0, message, static_cast<int>(length), nullptr, 0);
    UniqueBstr converted(nullptr, static_cast<UINT>(wide > 0 ? wide : 0));
    if (wide > 0) MultiByteToWideChar(CP_ACP, 0, message, static_cast<int>(length), converted.get(), wide);
    LocalFree(message);
    if (!converted) return E_OUTOFMEMORY;
    *ErrorString = converted.detach();
    return S_OK;
}

STDMETHODIMP COPCHDAAutoServer::QueryAvailableLocaleIDs(VARIANT* LocaleIDs) {
    if (!LocaleIDs) return E_POINTER;
    if (!common_) return E_FAIL;
    DWORD count = 0;
    TaskArray<LCID> ids;
    HRESULT hr = common_->QueryAvailableLocaleIDs(&count, ids.put());
    if (FAILED(hr)) return hr;
    if (count > 0 && !ids) return E_FAIL;  // a historian that breaks its promise

    UniqueSafeArray array;
    if (FAILED(client_arrays::FillResultArray<LONG>(VT_I4, count, array, [&ids](LONG& element, size_t k) {
            element = static_cast<LONG>(ids[k]);
            return S_OK;
        })))
        return E_FAIL;
    ClearVariantValue(LocaleIDs);
    LocaleIDs->vt = VT_ARRAY | VT_I4;
    LocaleIDs->parray = array.detach();
    return hr;
}
