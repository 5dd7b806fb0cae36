/* Forced into the generated C proxy code: mingw-w64 declares the IUnknown proxy
   helpers that the proxy vtables reference only for C++, so C needs them here.
   rpcrt4 exports them. */
#ifndef OPC_PROXY_PRELUDE_H
#define OPC_PROXY_PRELUDE_H
#ifndef __cplusplus
#include <unknwn.h>
HRESULT STDMETHODCALLTYPE IUnknown_QueryInterface_Proxy(IUnknown* This, REFIID riid, void** ppvObject);
ULONG STDMETHODCALLTYPE IUnknown_AddRef_Proxy(IUnknown* This);
ULONG STDMETHODCALLTYPE IUnknown_Release_Proxy(IUnknown* This);
#endif
#endif
