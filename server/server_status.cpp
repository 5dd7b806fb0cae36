// The status properties: each read is one GetHistorianStatus call.
#include "server/COPCHDAAutoServer.h"

#include "time/time_conversion.h"

namespace {

// Everything GetHistorianStatus hands back, the task memory owned.
struct HistorianStatus {
    OPCHDA_SERVERSTATUS status = static_cast<OPCHDA_SERVERSTATUS>(0);
    TaskArray<FILETIME> currentTime;
    TaskArray<FILETIME> startTime;
    WORD majorVersion = 0;
    WORD minorVersion = 0;
    WORD buildNumber = 0;
    DWORD maxReturnValues = 0;
    TaskArray<WCHAR> statusString;
    TaskArray<WCHAR> vendorInfo;
};

HRESULT ReadStatus(IOPCHDA_Server* server, HistorianStatus& s) {
    if (!server) return E_FAIL;
    HRESULT hr =
        server->GetHistorianStatus(&s.status, s.currentTime.put(), s.startTime.put(), &s.majorVersion, &s.minorVersion,
                                   &s.buildNumber, &s.maxReturnValues, s.statusString.put(), s.vendorInfo.put());
    return FAILED(hr) ? hr : S_OK;
}

// Reads the status and hands `take` the record; the out-pointer is checked first.
template <class Out, class Take>
HRESULT StatusProperty(IOPCHDA_Server* server, Out* out, Take take) {
    if (!out) return E_POINTER;
    HistorianStatus s;
    HRESULT hr = ReadStatus(server, s);
    if (FAILED(hr)) return hr;
    take(s, out);
    return S_OK;
}

}  // namespace

STDMETHODIMP COPCHDAAutoServer::get_StartTime(DATE* pVal) {
    return StatusProperty(server_.get(), pVal, [](HistorianStatus& s, DATE* out) {
        *out = 0.0;
        if (s.startTime) FileTimeToLocalDate(*s.startTime.get(), out);
    });
}

STDMETHODIMP COPCHDAAutoServer::get_CurrentTime(DATE* pVal) {
    // The bias in force now, not the one of the time's own date.
    return StatusProperty(server_.get(), pVal, [](HistorianStatus& s, DATE* out) {
        *out = 0.0;
        if (s.currentTime) FileTimeToLocalDateAtCurrentBias(*s.currentTime.get(), out);
    });
}

STDMETHODIMP COPCHDAAutoServer::get_MaxReturnValues(LONG* pVal) {
    return StatusProperty(server_.get(), pVal,
                          [](HistorianStatus& s, LONG* out) { *out = static_cast<LONG>(s.maxReturnValues); });
}

STDMETHODIMP COPCHDAAutoServer::get_MajorVersion(short* pVal) {
    return StatusProperty(server_.get(), pVal,
                          [](HistorianStatus& s, short* out) { *out = static_cast<short>(s.majorVersion); });
}

STDMETHODIMP COPCHDAAutoServer::get_MinorVersion(short* pVal) {
    return StatusProperty(server_.get(), pVal,
                          [](HistorianStatus& s, short* out) { *out = static_cast<short>(s.minorVersion); });
}

STDMETHODIMP COPCHDAAutoServer::get_BuildNumber(short* pVal) {
    return StatusProperty(server_.get(), pVal,
                          [](HistorianStatus& s, short* out) { *out = static_cast<short>(s.buildNumber); });
}

STDMETHODIMP COPCHDAAutoServer::get_VendorInfo(BSTR* pVal) {
    return StatusProperty(server_.get(), pVal, [](HistorianStatus& s, BSTR* out) {
        *out = UniqueBstr(s.vendorInfo ? s.vendorInfo.get() : L"").detach();
    });
}

STDMETHODIMP COPCHDAAutoServer::get_HistorianStatus(LONG* pVal) {
    return StatusProperty(server_.get(), pVal,
                          [](HistorianStatus& s, LONG* out) { *out = static_cast<LONG>(s.status); });
}

STDMETHODIMP COPCHDAAutoServer::get_StatusString(BSTR* pVal) {
    return StatusProperty(server_.get(), pVal, [](HistorianStatus& s, BSTR* out) {
        *out = UniqueBstr(s.statusString ? s.statusString.get() : L"").detach();
    });
}
