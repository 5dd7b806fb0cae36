/* Glue between the published form of the members that return a single string
   ([out, string] LPWSTR*) and their [call_as] twins that carry it in an
   OPC_WIRE_STRING (see opc_hda.idl for why). The *_Proxy functions run in the
   caller's process in place of the member; the *_Stub functions run in the object's
   process and call the real member. Ownership is unchanged: the callee allocates
   each string with CoTaskMemAlloc, the stub frees it after sending, and the proxy
   hands the caller a fresh copy that the caller frees. */
/* The stubs call the real member through the interface macros. */
#define COBJMACROS
#include "opc_hda.h"

/* What the generated proxy reports for a null [out] reference pointer. */
#define NULL_OUT_POINTER HRESULT_FROM_WIN32(RPC_X_NULL_REF_POINTER)

/* The stub's slots arrive zeroed; the reset only guards against a callee that
   returns without writing its out parameter, so that nothing stale is sent. */
static LPWSTR* wire_slot(OPC_WIRE_STRING* w) {
    w->psz = NULL;
    return &w->psz;
}

/* ---- IOPCCommon ---- */

HRESULT CALLBACK IOPCCommon_GetErrorString_Proxy(IOPCCommon* This, HRESULT dwError, LPWSTR* ppString) {
    OPC_WIRE_STRING text = {NULL};
    HRESULT hr;
    if (!ppString) return NULL_OUT_POINTER;
    hr = IOPCCommon_RemoteGetErrorString_Proxy(This, dwError, &text);
    *ppString = text.psz;
    return hr;
}

HRESULT __RPC_STUB IOPCCommon_GetErrorString_Stub(IOPCCommon* This, HRESULT dwError, OPC_WIRE_STRING* ppString) {
    return IOPCCommon_GetErrorString(This, dwError, wire_slot(ppString));
}

/* ---- IOPCServerList ---- */

HRESULT CALLBACK IOPCServerList_GetClassDetails_Proxy(IOPCServerList* This, REFCLSID clsid, LPOLESTR* ppszProgID,
                                                      LPOLESTR* ppszUserType) {
    OPC_WIRE_STRING progid = {NULL}, user_type = {NULL};
    HRESULT hr;
    if (!ppszProgID || !ppszUserType) return NULL_OUT_POINTER;
    hr = IOPCServerList_RemoteGetClassDetails_Proxy(This, clsid, &progid, &user_type);
    *ppszProgID = progid.psz;
    *ppszUserType = user_type.psz;
    return hr;
}

HRESULT __RPC_STUB IOPCServerList_GetClassDetails_Stub(IOPCServerList* This, const CLSID* clsid,
                                                       OPC_WIRE_STRING* ppszProgID, OPC_WIRE_STRING* ppszUserType) {
    return IOPCServerList_GetClassDetails(This, clsid, wire_slot(ppszProgID), wire_slot(ppszUserType));
}

/* ---- IOPCHDA_Server ---- */

HRESULT CALLBACK IOPCHDA_Server_GetHistorianStatus_Proxy(IOPCHDA_Server* This, OPCHDA_SERVERSTATUS* pwStatus,
                                                         FILETIME** pftCurrentTime, FILETIME** pftStartTime,
                                                         WORD* pwMajorVersion, WORD* pwMinorVersion,
                                                         WORD* pwBuildNumber, DWORD* pdwMaxReturnValues,
                                                         LPWSTR* ppszStatusString, LPWSTR* ppszVendorInfo) {
    OPC_WIRE_STRING status = {NULL}, vendor = {NULL};
    HRESULT hr;
    if (!ppszStatusString || !ppszVendorInfo) return NULL_OUT_POINTER;
    hr = IOPCHDA_Server_RemoteGetHistorianStatus_Proxy(This, pwStatus, pftCurrentTime, pftStartTime, pwMajorVersion,
                                                       pwMinorVersion, pwBuildNumber, pdwMaxReturnValues, &status,
                                                       &vendor);
    *ppszStatusString = status.psz;
    *ppszVendorInfo = vendor.psz;
    return hr;
}

HRESULT __RPC_STUB IOPCHDA_Server_GetHistorianStatus_Stub(IOPCHDA_Server* This, OPCHDA_SERVERSTATUS* pwStatus,
                                                          FILETIME** pftCurrentTime, FILETIME** pftStartTime,
                                                          WORD* pwMajorVersion, WORD* pwMinorVersion,
                                                          WORD* pwBuildNumber, DWORD* pdwMaxReturnValues,
                                                          OPC_WIRE_STRING* ppszStatusString,
                                                          OPC_WIRE_STRING* ppszVendorInfo) {
    return IOPCHDA_Server_GetHistorianStatus(This, pwStatus, pftCurrentTime, pftStartTime, pwMajorVersion,
                                             pwMinorVersion, pwBuildNumber, pdwMaxReturnValues,
                                             wire_slot(ppszStatusString), wire_slot(ppszVendorInfo));
}

/* ---- IOPCHDA_Browser ---- */

HRESULT CALLBACK IOPCHDA_Browser_GetItemID_Proxy(IOPCHDA_Browser* This, LPCWSTR szNode, LPWSTR* pszItemID) {
    OPC_WIRE_STRING id = {NULL};
    HRESULT hr;
    if (!pszItemID) return NULL_OUT_POINTER;
    hr = IOPCHDA_Browser_RemoteGetItemID_Proxy(This, szNode, &id);
    *pszItemID = id.psz;
    return hr;
}

HRESULT __RPC_STUB IOPCHDA_Browser_GetItemID_Stub(IOPCHDA_Browser* This, LPCWSTR szNode, OPC_WIRE_STRING* pszItemID) {
    return IOPCHDA_Browser_GetItemID(This, szNode, wire_slot(pszItemID));
}

HRESULT CALLBACK IOPCHDA_Browser_GetBranchPosition_Proxy(IOPCHDA_Browser* This, LPWSTR* pszBranchPos) {
    OPC_WIRE_STRING position = {NULL};
    HRESULT hr;
    if (!pszBranchPos) return NULL_OUT_POINTER;
    hr = IOPCHDA_Browser_RemoteGetBranchPosition_Proxy(This, &position);
    *pszBranchPos = position.psz;
    return hr;
}

HRESULT __RPC_STUB IOPCHDA_Browser_GetBranchPosition_Stub(IOPCHDA_Browser* This, OPC_WIRE_STRING* pszBranchPos) {
    return IOPCHDA_Browser_GetBranchPosition(This, wire_slot(pszBranchPos));
}
