// SyncReadRaw through the automation DLL, measured side by side with the
// historian's own IOPCHDA_SyncRead::ReadRaw: first 100 items x 1,000 values on
// the in-process simulator, then three shapes on a historian that only hands
// out a prepared answer (fast_historian.h), where what the DLL adds is what
// the figures show. Both sides pay for freeing what they received. The fast
// historian runs first, before the simulator's task-memory spy is installed.
//   wine bin/read_bench.exe [rounds] [shape]
// A shape (100x1000, 1x100000 or 1000x10) runs that one alone on the fast
// historian, without the simulator: what a profile of the DLL's side wants.
#include <windows.h>
#include <oleauto.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "OPCHDAAuto.h"
#include "opc_hda.h"
#include "com/com_holders.h"
#include "opc/historian_answers.h"
#include "sim_control.h"
#include "fast_historian.h"

namespace {

constexpr LONG kItems = 100;
constexpr DWORD kValues = 1000;
constexpr wchar_t kItem[] = L"Plant/Lab/Calibration/Ramp";  // a sample every 10 s: 8,640 a day

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

template <class F>
double Milliseconds(F&& f) {
    auto t0 = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
}

bool Check(HRESULT hr, const char* what) {
    if (SUCCEEDED(hr)) return true;
    std::printf("%s failed: 0x%08lX\n", what, static_cast<unsigned long>(hr));
    return false;
}

// Same domain for both sides: the day before a fixed moment, so that every
// item has far more than kValues values and the answers have equal size.
OPCHDA_TIME TextTime(const wchar_t* text) {
    OPCHDA_TIME t{};
    t.bString = TRUE;
    const size_t chars = wcslen(text) + 1;
    t.szTime = TaskArray<wchar_t>::alloc(chars).detach();
    memcpy(t.szTime, text, chars * sizeof(wchar_t));
    return t;
}


// The three shapes on the fast historian: the DLL's read against the
// historian's own call, rounds interleaved (the order alternating) so that
// both sides see the same load.
struct Shape {
    const char* name;
    LONG items;
    DWORD values;
};

int RunFastShapes(int rounds, const char* only) {
    static fastbench::FastHistorian historian;
    if (!Check(historian.Register(), "registering the fast historian")) return 1;
    CLSID clsid;
    ComPtr<IOPCHDAAutoServer> server;
    ComPtr<IOPCHDAItems> items;
    if (!Check(CLSIDFromProgID(L"OPCHDA.Automation", &clsid), "OPCHDA.Automation") ||
        !Check(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IOPCHDAAutoServer, server.put_void()),
               "creating the automation server"))
        return 1;
    UniqueBstr target(fastbench::kClsidText);
    VARIANT node;
    VariantInit(&node);
    if (!Check(server->Connect(target.get(), node), "Connect to the fast historian") ||
        !Check(server->get_OPCHDAItems(items.put()), "OPCHDAItems"))
        return 1;
    IOPCHDA_SyncRead* directRead = &historian;

    const Shape shapes[] = {{"100x1000", 100, 1000}, {"1x100000", 1, 100000}, {"1000x10", 1000, 10}};
    for (const Shape& shape : shapes) {
        if (only && std::strcmp(only, shape.name) != 0) continue;
        historian.Prepare(shape.values);
        items->RemoveAll();
        UniqueSafeArray ids = UniqueSafeArray::vector(VT_BSTR, shape.items);
        UniqueSafeArray clients = UniqueSafeArray::vector(VT_I4, shape.items);
        for (LONG i = 1; i <= shape.items; ++i) {
            UniqueBstr id(L"Fast/Item");
            SafeArrayPutElement(ids.get(), &i, id.get());
            SafeArrayPutElement(clients.get(), &i, &i);
        }
        SAFEARRAY *idArray = ids.get(), *clientArray = clients.get();
        UniqueSafeArray handles, addErrors;
        if (!Check(items->AddItems(shape.items, &idArray, &clientArray, handles.put(), addErrors.put()), "AddItems"))
            return 1;
        std::vector<OPCHANDLE> directHandles(shape.items);
        for (LONG i = 0; i < shape.items; ++i) directHandles[i] = i + 1;

        auto readDirect = [&] {
            OPCHDA_TIME start = TextTime(L"NOW-1D"), end = TextTime(L"NOW");
            HistorianAnswer<OPCHDA_ITEM> answer(shape.items);
            TaskArray<HRESULT> errors;
            Check(directRead->ReadRaw(&start, &end, shape.values, FALSE, shape.items, directHandles.data(),
                                      answer.put(), errors.put()),
                  "ReadRaw");
            CoTaskMemFree(start.szTime);
            CoTaskMemFree(end.szTime);
        };
        LONG dllValues = 0;
        auto readThroughDll = [&] {
            UniqueVariant start, end;
            start->vt = VT_BSTR;
            start->bstrVal = SysAllocString(L"NOW-1D");
            end->vt = VT_BSTR;
            end->bstrVal = SysAllocString(L"NOW");
            SAFEARRAY* h = handles.get();
            UniqueSafeArray values, errors;
            Check(items->SyncReadRaw(start.get(), end.get(), static_cast<LONG>(shape.values), 0, shape.items, &h,
                                     values.put(), errors.put()),
                  "SyncReadRaw");
            LONG first = 1;
            UniqueVariant element;
            if (values && SUCCEEDED(SafeArrayGetElement(values.get(), &first, element.get())) &&
                element->vt == VT_DISPATCH) {
                ComPtr<OPCHDAHistory> history;
                if (SUCCEEDED(element->pdispVal->QueryInterface(IID_OPCHDAHistory, history.put_void())))
                    history->get_Count(&dllValues);
            }
        };
        std::vector<double> direct, viaDll, paired;
        for (int r = 0; r < rounds + 1; ++r) {  // the first round warms up and is not counted
            double d = 0, a = 0;
            if (r % 2) {
                d = Milliseconds(readDirect);
                a = Milliseconds(readThroughDll);
            } else {
                a = Milliseconds(readThroughDll);
                d = Milliseconds(readDirect);
            }
            if (r == 0) continue;
            direct.push_back(d);
            viaDll.push_back(a);
            paired.push_back(a / d);
        }
        std::sort(paired.begin(), paired.end());
        const double md = Median(direct), ma = Median(viaDll);
        std::printf("Fast historian, %ld items x %lu values (%ld through the DLL), median of %d rounds; "
                    "paired ratios from %.2f to %.2f, middle half %.2f to %.2f\n",
                    static_cast<long>(shape.items), static_cast<unsigned long>(shape.values),
                    static_cast<long>(dllValues), rounds, paired.front(), paired.back(), paired[paired.size() / 4],
                    paired[paired.size() * 3 / 4]);
        std::printf("bench: fast_read_%s_direct %.3f ms\n", shape.name, md);
        std::printf("bench: fast_read_%s_through_dll %.3f ms\n", shape.name, ma);
        std::printf("bench: fast_read_%s_ratio %.3f x\n", shape.name, ma / md);
    }
    items = nullptr;
    server->Disconnect();
    server = nullptr;
    historian.Revoke();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    int rounds = argc > 1 ? std::atoi(argv[1]) : 10;
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return 1;
    // The fast historian first: the simulator, once loaded, watches every
    // task-memory block of the process, which would slow both sides.
    const char* only = argc > 2 ? argv[2] : nullptr;
    if (RunFastShapes(only ? rounds : std::max(rounds * 20, 20), only) != 0) return 1;
    if (only) {
        CoUninitialize();
        return 0;
    }
    int rc = 1;
    {
        // The historian, directly.
        ComPtr<IOPCHDA_Server> historian;
        ComPtr<IOPCHDA_SyncRead> directRead;
        if (!Check(CoCreateInstance(CLSID_HdaSimHistorian, nullptr, CLSCTX_INPROC_SERVER, IID_IOPCHDA_Server,
                                    historian.put_void()),
                   "creating the simulator") ||
            !Check(historian.query(IID_IOPCHDA_SyncRead, directRead), "IOPCHDA_SyncRead"))
            return 1;
        std::vector<LPWSTR> ids(kItems, const_cast<LPWSTR>(kItem));
        std::vector<OPCHANDLE> clients(kItems, 1);
        TaskArray<OPCHANDLE> directHandles;
        TaskArray<HRESULT> handleErrors;
        if (!Check(
                historian->GetItemHandles(kItems, ids.data(), clients.data(), directHandles.put(), handleErrors.put()),
                "GetItemHandles"))
            return 1;

        // The same through the automation object.
        CLSID clsid;
        ComPtr<IOPCHDAAutoServer> server;
        ComPtr<IOPCHDAItems> items;
        if (!Check(CLSIDFromProgID(L"OPCHDA.Automation", &clsid), "OPCHDA.Automation") ||
            !Check(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IOPCHDAAutoServer, server.put_void()),
                   "creating the automation server"))
            return 1;
        UniqueBstr progID(L"Sim.HdaHistorian");
        VARIANT node;
        VariantInit(&node);
        if (!Check(server->Connect(progID.get(), node), "Connect") ||
            !Check(server->get_OPCHDAItems(items.put()), "OPCHDAItems"))
            return 1;
        UniqueSafeArray handles = UniqueSafeArray::vector(VT_I4, kItems);
        for (LONG i = 1; i <= kItems; ++i) {
            ComPtr<OPCHDAItem> item;
            UniqueBstr id(kItem);
            LONG handle = 0;
            if (!Check(items->AddItem(id.get(), i, item.put()), "AddItem")) return 1;
            item->get_ServerHandle(&handle);
            SafeArrayPutElement(handles.get(), &i, &handle);
        }

        std::vector<double> viaDll, direct, directCall, dllCall;
        DWORD dllValues = 0, directValues = 0;
        double callMs = 0;                      // the call alone, without freeing or releasing its answer
        for (int r = 0; r < rounds + 1; ++r) {  // the first round warms up and is not counted
            double d = Milliseconds([&] {
                OPCHDA_TIME start = TextTime(L"NOW-1D"), end = TextTime(L"NOW");
                HistorianAnswer<OPCHDA_ITEM> answer(kItems);
                TaskArray<HRESULT> errors;
                callMs = Milliseconds([&] {
                    Check(directRead->ReadRaw(&start, &end, kValues, FALSE, kItems, directHandles.get(), answer.put(),
                                              errors.put()),
                          "ReadRaw");
                });
                directValues = answer ? answer[0].dwCount : 0;
                CoTaskMemFree(start.szTime);
                CoTaskMemFree(end.szTime);
            });
            const double directCallMs = callMs;
            double a = Milliseconds([&] {
                UniqueVariant start, end;
                start->vt = VT_BSTR;
                start->bstrVal = SysAllocString(L"NOW-1D");
                end->vt = VT_BSTR;
                end->bstrVal = SysAllocString(L"NOW");
                SAFEARRAY* h = handles.get();
                UniqueSafeArray values, errors;
                callMs = Milliseconds([&] {
                    Check(
                        items->SyncReadRaw(start.get(), end.get(), kValues, 0, kItems, &h, values.put(), errors.put()),
                        "SyncReadRaw");
                });
                LONG first = 1;
                UniqueVariant element;
                if (values && SUCCEEDED(SafeArrayGetElement(values.get(), &first, element.get())) &&
                    element->vt == VT_DISPATCH) {
                    ComPtr<OPCHDAHistory> history;
                    LONG count = 0;
                    if (SUCCEEDED(element->pdispVal->QueryInterface(IID_OPCHDAHistory, history.put_void())))
                        history->get_Count(&count);
                    dllValues = static_cast<DWORD>(count);
                }
            });
            if (r == 0) continue;
            directCall.push_back(directCallMs);
            dllCall.push_back(callMs);
            direct.push_back(d);
            viaDll.push_back(a);
        }
        double md = Median(direct), ma = Median(viaDll);
        std::printf("SyncReadRaw, %ld items x %lu values (%lu through the DLL), median of %d rounds\n",
                    static_cast<long>(kItems), static_cast<unsigned long>(directValues),
                    static_cast<unsigned long>(dllValues), rounds);
        std::printf("bench: read_direct %.2f ms\n", md);
        std::printf("bench: read_through_dll %.2f ms\n", ma);
        std::printf("bench: read_ratio %.2f x\n", ma / md);
        // Split: the call alone, and freeing the answer (direct) or releasing
        // the result arrays with their histories (through the DLL).
        std::printf("bench: read_direct_call %.2f ms\n", Median(directCall));
        std::printf("bench: read_dll_call %.2f ms\n", Median(dllCall));

        TaskArray<HRESULT> releaseErrors;
        historian->ReleaseItemHandles(kItems, directHandles.get(), releaseErrors.put());
        server->Disconnect();
        rc = 0;
    }
    CoUninitialize();
    return rc;
}
