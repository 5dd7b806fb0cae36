// OPCHDAExport as its users run it: the shipped program (x64, or x86 under
// WoW64) exports a number of raw values of one simulator item to a file, and
// the benchmark watches the process from outside: its time, net of a run
// that exports nothing (the program's start and its connection), and its
// peak working set, polled while it runs. Beside it, the historian's own
// reads of the same range, called in this process and freed, which is what
// the export cannot be faster than.
//   wine bin/export_bench.exe [values, default 1000000] [OPCHDAExport.exe] [ProgID, default Sim.HdaHistorian]
#include <windows.h>
#include <psapi.h>
#include <shellapi.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "opc_hda.h"
#include "com/com_holders.h"
#include "com/file_time.h"
#include "opc/historian_answers.h"

namespace {

constexpr wchar_t kItem[] = L"Plant/Lab/Calibration/Ramp";  // a sample every 10 s from 2020-01-01
constexpr std::int64_t kStart = 132'223'104'000'000'000;    // 2020-01-01T00:00:00Z
constexpr std::int64_t kStep = 100'000'000;                 // 10 s
constexpr DWORD kChunk = 10'000;                            // the export's default

double Seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

std::wstring IsoTime(std::int64_t ticks) {
    const FILETIME ft = FileTimeOf(ticks);
    SYSTEMTIME st;
    FileTimeToSystemTime(&ft, &st);
    wchar_t text[32];
    swprintf(text, 32, L"%04u-%02u-%02uT%02u:%02u:%02uZ", st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute,
             st.wSecond);
    return text;
}

// The historian's own raw reads of `values` values, request after request as
// the export makes them; the values read per second, or 0 on a failure.
double HistorianReads(const wchar_t* progID, std::int64_t values) {
    CLSID clsid;
    ComPtr<IOPCHDA_Server> server;
    ComPtr<IOPCHDA_SyncRead> read;
    if (FAILED(CLSIDFromProgID(progID, &clsid)) ||
        FAILED(CoCreateInstance(clsid, nullptr, CLSCTX_ALL, IID_IOPCHDA_Server, server.put_void())) ||
        FAILED(server.query(IID_IOPCHDA_SyncRead, read)))
        return 0;
    LPWSTR ids[] = {const_cast<LPWSTR>(kItem)};
    OPCHANDLE client = 1;
    TaskArray<OPCHANDLE> handles;
    TaskArray<HRESULT> codes;
    if (FAILED(server->GetItemHandles(1, ids, &client, handles.put(), codes.put())) || FAILED(codes[0])) return 0;
    OPCHANDLE handle = handles[0];
    const auto started = std::chrono::steady_clock::now();
    std::int64_t from = kStart, got = 0;
    const std::int64_t end = kStart + values * kStep;
    for (;;) {
        OPCHDA_TIME start{FALSE, nullptr, FileTimeOf(from)};
        OPCHDA_TIME stop{FALSE, nullptr, FileTimeOf(end)};
        HistorianAnswer<OPCHDA_ITEM> answer(1);
        TaskArray<HRESULT> errors;
        if (FAILED(read->ReadRaw(&start, &stop, kChunk, FALSE, 1, &handle, answer.put(), errors.put()))) return 0;
        const OPCHDA_ITEM& item = answer[0];
        got += item.dwCount - (from == kStart ? 0 : 1);  // each answer starts again at the last one's time
        if (errors[0] != static_cast<HRESULT>(0x40041003) || item.dwCount == 0) break;
        const FILETIME& last = item.pftTimeStamps[item.dwCount - 1];
        from = TicksOf(last);
    }
    const double seconds = Seconds(started);
    TaskArray<HRESULT> released;
    server->ReleaseItemHandles(1, &handle, released.put());
    return got == values ? values / seconds : 0;
}

struct Run {
    double seconds = 0;
    SIZE_T peakWorkingSet = 0;
    DWORD exitCode = 1;
};

// The export of `values` values into a file of the temporary folder.
Run Export(const std::wstring& exporter, const wchar_t* progID, std::int64_t values) {
    wchar_t folder[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    const std::wstring out = std::wstring(folder) + L"export_bench.csv";
    std::wstring command = L"\"" + exporter + L"\" --quiet --server " + progID + L" --start " + IsoTime(kStart) +
                           L" --end " + IsoTime(kStart + values * kStep) + L" --out \"" + out + L"\" " + kItem;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    Run run;
    const auto started = std::chrono::steady_clock::now();
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return run;
    // The peak working set is the process's own figure; it is readable only
    // while the process lives, so it is read until the end.
    PROCESS_MEMORY_COUNTERS memory{};
    while (WaitForSingleObject(process.hProcess, 20) == WAIT_TIMEOUT)
        if (GetProcessMemoryInfo(process.hProcess, &memory, sizeof memory))
            run.peakWorkingSet = std::max(run.peakWorkingSet, memory.PeakWorkingSetSize);
    run.seconds = Seconds(started);
    GetExitCodeProcess(process.hProcess, &run.exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    DeleteFileW(out.c_str());
    return run;
}

}  // namespace

int main() {
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    const std::int64_t values = argc > 1 ? std::wcstoll(argv[1], nullptr, 10) : 1'000'000;
    std::wstring exporter;
    if (argc > 2) {
        exporter = argv[2];
    } else {
        wchar_t self[MAX_PATH];
        GetModuleFileNameW(nullptr, self, MAX_PATH);
        exporter = self;
        exporter = exporter.substr(0, exporter.find_last_of(L'\\') + 1) + L"OPCHDAExport.exe";
    }
    const wchar_t* progID = argc > 3 ? argv[3] : L"Sim.HdaHistorian";
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return 1;
    const double reads = HistorianReads(progID, values);
    const Run empty = Export(exporter, progID, 0), full = Export(exporter, progID, values);
    CoUninitialize();
    LocalFree(argv);
    if (reads == 0 || empty.exitCode != 0 || full.exitCode != 0) {
        std::printf("failed: reads %.0f, exit codes %lu and %lu\n", reads, empty.exitCode, full.exitCode);
        return 1;
    }
    const double net = full.seconds - empty.seconds;
    std::printf("bench: export_values %lld values\n", static_cast<long long>(values));
    std::printf("bench: export_seconds %.2f s\n", full.seconds);
    std::printf("bench: export_start_seconds %.2f s\n", empty.seconds);
    std::printf("bench: export_values_per_second %.0f values/s\n", values / net);
    std::printf("bench: export_historian_reads_per_second %.0f values/s\n", reads);
    std::printf("bench: export_read_share %.2f x\n", values / reads / net);
    std::printf("bench: export_peak_working_set %.1f MiB\n", full.peakWorkingSet / 1048576.0);
    std::printf("bench: export_start_peak_working_set %.1f MiB\n", empty.peakWorkingSet / 1048576.0);
    return 0;
}
