// Event delivery, in process: the latency from a historian's OnDataChange to
// the sink's Invoke (one item with 10 values, median), and the throughput of
// DataChange into a sink that reads every value (100 items x 100 values per
// callback).
//   wine bin/event_bench.exe [rounds]
#include <windows.h>
#include <ocidl.h>
#include <oleauto.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "OPCHDAAuto.h"
#include "opc_hda.h"
#include "com/com_holders.h"
#include "com/file_time.h"
#include "server/COPCHDAAutoServer.h"
#include "tests/support/run_checks.h"

namespace {

LONGLONG Now() {
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return t.QuadPart;
}
double Micros(LONGLONG ticks) {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return 1e6 * static_cast<double>(ticks) / static_cast<double>(f.QuadPart);
}

// A WithEvents-style sink: notes when Invoke was entered and, when asked,
// reads every value of every history (as a client handler does).
class BenchSink final : public comtest::Sink {
public:
    LONGLONG entered = 0;
    bool readValues = false;
    double sum = 0;
    long valuesRead = 0;

    STDMETHODIMP Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*, UINT*) override {
        entered = Now();
        if (readValues && params && params->cArgs == 7) ReadAll(V_ARRAY(&params->rgvarg[1]));
        return S_OK;
    }

private:
    void ReadAll(SAFEARRAY* values) {
        LONG lower = 0, upper = -1;
        SafeArrayGetLBound(values, 1, &lower);
        SafeArrayGetUBound(values, 1, &upper);
        for (LONG i = lower; i <= upper; ++i) {
            UniqueVariant element;
            SafeArrayGetElement(values, &i, element.get());
            ComPtr<OPCHDAHistory> history;
            if (V_VT(element.get()) != VT_DISPATCH ||
                FAILED(V_DISPATCH(element.get())->QueryInterface(IID_OPCHDAHistory, history.put_void())))
                continue;
            ComPtr<IUnknown> unknown;
            ComPtr<IEnumVARIANT> walk;
            if (FAILED(history->get__NewEnum(unknown.put())) ||
                FAILED(unknown->QueryInterface(IID_IEnumVARIANT, walk.put_void())))
                continue;
            VARIANT batch[100];
            ULONG fetched = 0;
            while (SUCCEEDED(walk->Next(100, batch, &fetched)) && fetched > 0) {
                for (ULONG k = 0; k < fetched; ++k) {
                    ComPtr<OPCHDAValue> value;
                    if (V_VT(&batch[k]) == VT_DISPATCH &&
                        SUCCEEDED(V_DISPATCH(&batch[k])->QueryInterface(IID_OPCHDAValue, value.put_void()))) {
                        UniqueVariant data;
                        value->get_DataValue(data.get());
                        sum += V_R8(data.get());
                        ++valuesRead;
                    }
                    VariantClear(&batch[k]);
                }
                if (fetched < 100) break;
            }
        }
    }
};

// `items` items of `values` doubles each, as a historian sends them.
struct Callback {
    std::vector<FILETIME> times;
    std::vector<DWORD> qualities;
    std::vector<VARIANT> values;
    std::vector<OPCHDA_ITEM> items;
    std::vector<HRESULT> codes;
    Callback(DWORD items_, DWORD values_) {
        for (DWORD k = 0; k < values_; ++k) {
            ULONGLONG t = 133485408000000000ULL + k * 100000000ULL;
            times.push_back(FileTimeOf(t));
            qualities.push_back(0xC0);
            VARIANT v;
            VariantInit(&v);
            V_VT(&v) = VT_R8;
            V_R8(&v) = k * 0.5;
            values.push_back(v);
        }
        for (DWORD i = 0; i < items_; ++i) {
            items.push_back(OPCHDA_ITEM{i + 1, 0, values_, times.data(), qualities.data(), values.data()});
            codes.push_back(S_OK);
        }
    }
    HRESULT Send(IOPCHDA_DataCallback* target, DWORD tid) {
        return target->OnDataChange(tid, S_OK, static_cast<DWORD>(items.size()), items.data(), codes.data());
    }
};

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 1000;
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    {
        ComPtr<IOPCHDA_DataCallback> callback;
        if (FAILED(HandOut(MakeObject<COPCHDAAutoServer>(), IID_IOPCHDA_DataCallback, callback.put_void()))) return 1;
        ComPtr<IConnectionPointContainer> container;
        ComPtr<IConnectionPoint> point;
        callback.query(IID_IConnectionPointContainer, container);
        container->FindConnectionPoint(DIID__IOPCHDAItemEvents, point.put());
        BenchSink sink;
        DWORD cookie = 0;
        point->Advise(static_cast<IDispatch*>(&sink), &cookie);

        // Warm up: the first QueryInterface traces under Wine can stall.
        Callback small(1, 10);
        for (int i = 0; i < 20; ++i) small.Send(callback.get(), i);

        std::vector<double> latency;
        for (int i = 0; i < rounds; ++i) {
            LONGLONG start = Now();
            small.Send(callback.get(), i);
            latency.push_back(Micros(sink.entered - start));
        }
        std::sort(latency.begin(), latency.end());
        std::printf("bench: callback_to_invoke_median %.1f us\n", latency[latency.size() / 2]);
        std::printf("bench: callback_to_invoke_p90 %.1f us\n", latency[latency.size() * 9 / 10]);

        Callback big(100, 100);
        sink.readValues = true;
        const int bigRounds = std::max(1, rounds / 100);
        LONGLONG start = Now();
        for (int i = 0; i < bigRounds; ++i) big.Send(callback.get(), i);
        double seconds = Micros(Now() - start) / 1e6;
        std::printf("bench: datachange_values_per_second %.0f values/s\n", sink.valuesRead / seconds);
        std::printf("bench: datachange_callbacks_per_second %.1f callbacks/s\n", bigRounds / seconds);
        point->Unadvise(cookie);
    }
    CoUninitialize();
    return 0;
}
