// A C++ client of the automation server: lists the OPC HDA historians of this
// computer (or of the node given as the first argument) through the vtable of
// IOPCHDAAutoServer, as an early-binding client would.
#include <windows.h>
#include <oleauto.h>

#include <cstdio>

#include "OPCHDAAuto.h"
#include "com/com_holders.h"

int wmain(int argc, wchar_t** argv) {
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return 1;
    int status = 1;
    {
        CLSID clsid;
        ComPtr<IOPCHDAAutoServer> server;
        HRESULT hr = CLSIDFromProgID(L"OPCHDA.Automation", &clsid);
        if (SUCCEEDED(hr))
            hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IOPCHDAAutoServer, server.put_void());
        UniqueVariant node, names;
        if (argc > 1) {
            node->vt = VT_BSTR;
            node->bstrVal = SysAllocString(argv[1]);
        } else {
            node->vt = VT_ERROR;
            node->scode = DISP_E_PARAMNOTFOUND;  // the argument left out
        }
        if (SUCCEEDED(hr)) hr = server->GetOPCHDAServers(*node.get(), names.get());
        if (FAILED(hr)) {
            std::printf("GetOPCHDAServers failed: 0x%08lX\n", static_cast<unsigned long>(hr));
        } else {
            LONG lower = 1, upper = 0;
            SafeArrayGetLBound(names->parray, 1, &lower);
            SafeArrayGetUBound(names->parray, 1, &upper);
            std::printf("Historians on %ls: %ld\n", argc > 1 ? argv[1] : L"this computer", upper - lower + 1);
            for (LONG i = lower; i <= upper; ++i) {
                UniqueBstr name;
                SafeArrayGetElement(names->parray, &i, name.put());
                std::printf("  %ls\n", name.get() ? name.get() : L"");
            }
            std::printf("DONE\n");
            status = 0;
        }
    }
    CoUninitialize();
    return status;
}
