// Walking a 100,000-value history in C++: through IEnumVARIANT (For Each) and
// through Item by number, in values per second; and the memory a history
// keeps per stored value.
//   wine bin/history_bench.exe [values]
#include <windows.h>
#include <oleauto.h>
#include <psapi.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "OPCHDAAuto.h"
#include "opc_hda.h"
#include "com/com_holders.h"
#include "com/file_time.h"
#include "history/COPCHDAHistory.h"
#include "history/answer_copies.h"
#include "opc/historian_answers.h"

namespace {

using Clock = std::chrono::steady_clock;


// A raw read's answer for one item: doubles every 10 s, as a historian sends it.
OPCHDA_ITEM* MakeAnswer(DWORD n) {
    auto* item = TaskArray<OPCHDA_ITEM>::alloc(1).detach();
    *item = OPCHDA_ITEM{};
    item->dwCount = n;
    item->pftTimeStamps = TaskArray<FILETIME>::alloc(n).detach();
    item->pdwQualities = TaskArray<DWORD>::alloc(n).detach();
    item->pvDataValues = TaskArray<VARIANT>::alloc(n).detach();
    const ULONGLONG start = 133485408000000000ULL;  // 2024-01-01 UTC
    for (DWORD k = 0; k < n; ++k) {
        ULONGLONG t = start + k * 100000000ULL;
        item->pftTimeStamps[k] = FileTimeOf(t);
        item->pdwQualities[k] = 0xC0;
        VariantInit(&item->pvDataValues[k]);
        item->pvDataValues[k].vt = VT_R8;
        item->pvDataValues[k].dblVal = k * 0.5;
    }
    return item;
}

// A history of a copy of `answer`, as a callback makes it.
HRESULT MakeCopiedHistory(const OPCHDA_ITEM& answer, VARIANT* out) {
    HistorianAnswer<OPCHDA_ITEM> copy = CopyAsAnswer(answer);
    const HRESULT success = S_OK;
    return copy ? PutHistories(copy, &success, out) : E_OUTOFMEMORY;
}

SIZE_T PrivateBytes() {
    PROCESS_MEMORY_COUNTERS_EX counters{};
    counters.cb = sizeof(counters);
    GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters), sizeof(counters));
    // Wine reports no private usage; the working set is the next best measure.
    return counters.PrivateUsage ? counters.PrivateUsage : counters.WorkingSetSize;
}

double Seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

}  // namespace

int main(int argc, char** argv) {
    const DWORD n = argc > 1 ? static_cast<DWORD>(std::strtoul(argv[1], nullptr, 10)) : 100000;
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return 1;
    {
        // One history and one value first: the first QueryInterface trace of
        // each class is slow under Wine and is not what is measured here.
        {
            OPCHDA_ITEM* warm = MakeAnswer(1);
            UniqueVariant h;
            MakeCopiedHistory(*warm, h.get());
            FreeHistorianAnswer(warm, 1);
            ComPtr<IUnknown> e;
            static_cast<OPCHDAHistory*>(h->pdispVal)->get__NewEnum(e.put());
            VARIANT one;
            VariantInit(&one);
            one.vt = VT_I4;
            one.lVal = 1;
            ComPtr<OPCHDAValue> v;
            static_cast<OPCHDAHistory*>(h->pdispVal)->Item(one, v.put());
        }
        // Memory per stored value: the history alone, after the answer is freed.
        OPCHDA_ITEM* answer = MakeAnswer(n);
        const SIZE_T before = PrivateBytes();
        UniqueVariant history;
        auto fillStart = Clock::now();
        HRESULT hr = MakeCopiedHistory(*answer, history.get());
        const double fillSeconds = Seconds(fillStart);
        const SIZE_T after = PrivateBytes();
        FreeHistorianAnswer(answer, 1);
        if (FAILED(hr)) {
            std::printf("fill failed: 0x%08lx\n", static_cast<unsigned long>(hr));
            return 1;
        }
        ComPtr<OPCHDAHistory> h;
        history->pdispVal->QueryInterface(IID_OPCHDAHistory, h.put_void());
        std::printf("a history of %lu doubles\n", static_cast<unsigned long>(n));
        std::printf("bench: history_fill %.0f values/s\n", n / fillSeconds);
        // FILETIME 8 + VARIANT 16 (24 on x64) + quality 4 is the least a value can take.
        std::printf("bench: history_bytes_per_value %.1f bytes\n", static_cast<double>(after - before) / n);

        // Item by number, one new value object per call.
        double sum = 0;
        auto itemStart = Clock::now();
        for (DWORD k = 1; k <= n; ++k) {
            VARIANT index;
            VariantInit(&index);
            index.vt = VT_I4;
            index.lVal = static_cast<LONG>(k);
            ComPtr<OPCHDAValue> value;
            if (FAILED(h->Item(index, value.put()))) return 2;
            UniqueVariant v;
            value->get_DataValue(v.get());
            DATE stamp;
            value->get_TimeStamp(&stamp);
            sum += v->dblVal;
        }
        const double itemSeconds = Seconds(itemStart);
        std::printf("bench: history_walk_item %.0f values/s\n", n / itemSeconds);

        // For Each: IEnumVARIANT::Next in chunks of 1 (as script hosts do) and of 100.
        for (ULONG chunk : {1ul, 100ul}) {
            ComPtr<IUnknown> unknown;
            h->get__NewEnum(unknown.put());
            ComPtr<IEnumVARIANT> walk;
            unknown.query(IID_IEnumVARIANT, walk);
            VARIANT got[100];
            ULONG fetched = 0, total = 0;
            auto walkStart = Clock::now();
            while (walk->Next(chunk, got, &fetched) == S_OK || fetched) {
                for (ULONG i = 0; i < fetched; ++i) {
                    UniqueVariant v;
                    static_cast<OPCHDAValue*>(got[i].pdispVal)->get_DataValue(v.get());
                    sum -= v->dblVal;
                    VariantClear(&got[i]);
                }
                total += fetched;
                if (fetched < chunk) break;
            }
            const double walkSeconds = Seconds(walkStart);
            if (total != n)
                std::printf("Next(%lu) delivered %lu values of %lu\n", chunk, total, static_cast<unsigned long>(n));
            std::printf("bench: history_walk_next%lu %.0f values/s\n", chunk, total / walkSeconds);
        }
        std::printf("(checksum %.1f)\n", sum);
    }
    CoUninitialize();
    return 0;
}
