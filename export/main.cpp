// OPCHDAExport: writes the history of OPC HDA items to a CSV file.
//
// It talks to the historian through the OPC HDA custom interfaces rather than
// through the automation object model: the file needs every time stamp as the
// UTC instant the historian holds (the object model hands out local dates in
// whole seconds, which merge the hour that repeats in autumn and drop the
// milliseconds), and chunked reads must continue exactly at the last time.
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <string>

#include "com/floating_point_defaults.h"
#include "export/csv_format.h"
#include "export/historian_session.h"
#include "export/options.h"

namespace {

class ComApartment {
public:
    ComApartment() : hr_(CoInitializeEx(nullptr, COINIT_MULTITHREADED)) {
        if (SUCCEEDED(hr_))
            CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_CONNECT, RPC_C_IMP_LEVEL_IMPERSONATE,
                                 nullptr, EOAC_NONE, nullptr);
    }
    ~ComApartment() {
        if (SUCCEEDED(hr_)) CoUninitialize();
    }
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;
    HRESULT result() const { return hr_; }

private:
    HRESULT hr_;
};

// The CSV destination: a file of our own or standard output, rows ending in CR LF.
class CsvOutput {
public:
    CsvOutput(const CsvOutput&) = delete;
    CsvOutput& operator=(const CsvOutput&) = delete;
    explicit CsvOutput(const std::wstring& path) {
        if (path.empty()) {
            _setmode(_fileno(stdout), _O_BINARY);
            file_ = stdout;
        } else {
            file_ = _wfopen(path.c_str(), L"wb");
            own_ = true;
        }
    }
    ~CsvOutput() { Close(); }
    bool IsOpen() const { return file_ != nullptr; }
    void Row(std::initializer_list<std::string> fields) {
        std::string line;
        for (const std::string& f : fields) {
            if (&f != fields.begin()) line += ',';
            line += CsvField(f);
        }
        line += "\r\n";
        std::fwrite(line.data(), 1, line.size(), file_);
    }
    // False if anything went unwritten.
    bool Close() {
        if (!file_) return ok_;
        ok_ = !std::ferror(file_) && std::fflush(file_) == 0;
        if (own_) ok_ = std::fclose(file_) == 0 && ok_;
        file_ = nullptr;
        return ok_;
    }

private:
    FILE* file_ = nullptr;
    bool own_ = false;
    bool ok_ = true;
};

std::string Hex(HRESULT code) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(code));
    return text;
}

// The system's text, or what the usual failures of a connection mean where
// the system has none (Wine knows few COM texts).
std::string ConnectFailureText(HRESULT hr) {
    const std::string text = SystemErrorText(hr);
    if (!text.empty()) return text;
    switch (hr) {
        case CO_E_CLASSSTRING:
        case REGDB_E_CLASSNOTREG: return "(no historian with this ProgID is registered)";
        case E_NOINTERFACE: return "(not an OPC HDA historian with synchronous reads)";
        case E_ACCESSDENIED: return "(access denied)";
        default: return "";
    }
}

void Complain(const std::string& text) { std::fprintf(stderr, "OPCHDAExport: %s\n", text.c_str()); }

int Export(const Options& options) {
    ComApartment com;
    if (FAILED(com.result())) {
        Complain("COM does not start: " + SystemErrorText(com.result()));
        return kExitNoHistorian;
    }
    HistorianSession historian;
    const std::string server = Utf8(options.progID) + (options.node.empty() ? "" : " on " + Utf8(options.node));
    HRESULT hr = historian.Connect(options.progID, options.node);
    if (FAILED(hr)) {
        Complain("cannot connect to " + server + ": " + Hex(hr) + " " + ConnectFailureText(hr));
        return kExitNoHistorian;
    }
    std::vector<OPCHANDLE> handles;
    std::vector<HRESULT> handleErrors;
    hr = historian.AddItems(options.items, &handles, &handleErrors);
    if (FAILED(hr)) {
        Complain(server + " refuses the items: " + Hex(hr) + " " + historian.ErrorText(hr));
        return kExitReadRefused;
    }
    CsvOutput out(options.out);
    if (!out.IsOpen()) {
        Complain("cannot write " + Utf8(options.out));
        return kExitOutputFailed;
    }
    if (options.header) out.Row({"item", "time", "value", "quality", "quality_text", "error", "error_text"});

    ReadRequest request = options.request;
    unsigned failed = 0, requests = 0;
    std::uint64_t values = 0;
    DWORD lastReport = GetTickCount();
    for (size_t i = 0; i < options.items.size(); ++i) {
        const std::string item = Utf8(options.items[i]);
        auto fail = [&](HRESULT code, const std::string& text) {
            out.Row({item, "", "", "", "", Hex(code), text});
            ++failed;
        };
        if (FAILED(handleErrors[i])) {
            fail(handleErrors[i], historian.ErrorText(handleErrors[i]));
            continue;
        }
        auto write = [&](const FILETIME& time, const VARIANT& value, DWORD quality) {
            out.Row({item, FormatTimeStamp(time, options.localTime), FormatValue(value), std::to_string(quality),
                     QualityText(quality), "", ""});
        };
        auto progress = [&](std::uint64_t count, const FILETIME& reached) {
            if (options.quiet || GetTickCount() - lastReport < 1000) return;
            lastReport = GetTickCount();
            Complain(item + ": " + std::to_string(count) + " values, up to " +
                     FormatTimeStamp(reached, options.localTime));
        };
        const ItemOutcome outcome = ReadItemHistory(historian.SyncRead(), handles[i], request, write, progress);
        values += outcome.values;
        requests += outcome.requests;
        if (FAILED(outcome.call)) {
            Complain(server + " refuses the read: " + Hex(outcome.call) + " " + historian.ErrorText(outcome.call));
            out.Close();
            return kExitReadRefused;
        }
        if (FAILED(outcome.item))
            fail(outcome.item, historian.ErrorText(outcome.item));
        else if (outcome.stalled)
            fail(outcome.item, "the historian has more data but sends no new value; the rows before are complete");
    }
    if (!out.Close()) {
        Complain("cannot write " + (options.out.empty() ? std::string("standard output") : Utf8(options.out)));
        return kExitOutputFailed;
    }
    if (!options.quiet)
        Complain(std::to_string(options.items.size()) + " items (" + std::to_string(failed) + " failed), " +
                 std::to_string(values) + " values in " + std::to_string(requests) + " requests");
    return failed ? kExitItemsFailed : kExitOk;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    // mingw's start-up code leaves the x87 at 64-bit precision, where the
    // runtime's conversions and an in-process historian's arithmetic would
    // not give the x64 program's answers.
    const FloatingPointDefaults floatingPoint;
    const std::vector<std::wstring> args(argv + 1, argv + argc);
    Options options;
    const std::string wrong = ParseOptions(args, &options);
    if (options.help) {
        std::fputs(kUsage, stdout);
        return kExitOk;
    }
    if (!wrong.empty()) {
        Complain(wrong + " (--help lists the options)");
        return kExitUsage;
    }
    return Export(options);
}
