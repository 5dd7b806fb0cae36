#include "export/export_run.h"

#include <cstdio>
#include <memory>
#include <string>

#include "export/csv_format.h"
#include "export/csv_output.h"
#include "export/history_kinds.h"
#include "export/history_reader.h"
#include "export/historian_session.h"
#include "export/progress.h"

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

// Rows to the file; the values so far of the item (all its series) to the progress line.
struct ItemSink final : RowSink {
    ItemSink(CsvOutput& out, Progress& progress) : out(out), progress(progress) {}
    void Write(const std::string& line) override { out.Write(line); }
    void Reached(std::uint64_t values, std::int64_t time) override { progress.Reached(before + values, time); }
    CsvOutput& out;
    Progress& progress;
    std::uint64_t before = 0;
};

// The attributes the command line names (numbers, or names as the historian
// lists them) out of `catalogue`, or all of it; what is wrong, or empty.
std::string ChooseAttributes(const std::vector<HistorianSession::Attribute>& catalogue,
                             const std::vector<std::wstring>& wanted,
                             std::vector<HistorianSession::Attribute>* chosen) {
    if (wanted.empty()) return (*chosen = catalogue), "";
    for (const std::wstring& name : wanted) {
        const bool number = name.find_first_not_of(L"0123456789") == std::wstring::npos && name.size() < 10;
        const DWORD id = number ? std::wcstoul(name.c_str(), nullptr, 10) : 0;
        const HistorianSession::Attribute* found = nullptr;
        for (const auto& a : catalogue)
            if (number ? a.id == id
                       : CompareStringW(LOCALE_INVARIANT, NORM_IGNORECASE, a.name.c_str(), -1, name.c_str(), -1) ==
                             CSTR_EQUAL)
                found = &a;
        if (!found && !number) return "--attributes " + Utf8(name) + ": the historian lists no such attribute";
        chosen->push_back(found ? *found : HistorianSession::Attribute{id, L""});
    }
    return {};
}

}  // namespace

void Complain(const std::string& text) { std::fprintf(stderr, "OPCHDAExport: %s\n", text.c_str()); }

int RunExport(const Options& options, IUnknown* given) {
    ComApartment com;
    if (FAILED(com.result())) {
        Complain("COM does not start: " + SystemErrorText(com.result()));
        return kExitNoHistorian;
    }
    HistorianSession historian;
    const std::string server =
        given ? "the historian" : Utf8(options.progID) + (options.node.empty() ? "" : " on " + Utf8(options.node));
    HRESULT hr = given ? historian.Attach(given) : historian.Connect(options.progID, options.node);
    if (FAILED(hr)) {
        Complain("cannot connect to " + server + ": " + Hex(hr) + " " + ConnectFailureText(hr));
        return kExitNoHistorian;
    }
    ReadRequest request = options.request;
    if (request.kind == HistoryKind::Annotations && !historian.SyncAnnotations()) {
        Complain(server + " keeps no annotations (it offers no IOPCHDA_SyncAnnotations)");
        return kExitNoHistorian;
    }
    std::vector<HistorianSession::Attribute> attributes;
    if (request.kind == HistoryKind::Attributes) {
        std::vector<HistorianSession::Attribute> catalogue;
        hr = historian.Attributes(&catalogue);
        if (FAILED(hr)) {
            Complain(server + (hr == kIncompleteAnswer
                                   ? " lists attributes without their numbers"
                                   : " lists no attributes: " + Hex(hr) + " " + historian.ErrorText(hr)));
            return kExitReadRefused;
        }
        const std::string wrong = ChooseAttributes(catalogue, request.attributes, &attributes);
        if (!wrong.empty()) {
            Complain(wrong);
            return kExitUsage;
        }
    }
    TimeList times(request);
    if (const std::string wrong = times.Open(); !wrong.empty()) {
        Complain(wrong);
        return kExitUsage;
    }
    std::vector<OPCHANDLE> handles;
    std::vector<HRESULT> handleErrors;
    hr = historian.AddItems(options.items, &handles, &handleErrors);
    if (hr == kIncompleteAnswer) {
        Complain(server + " answers the items without their handles or codes");
        return kExitReadRefused;
    }
    if (FAILED(hr)) {
        Complain(server + " refuses the items: " + Hex(hr) + " " + historian.ErrorText(hr));
        return kExitReadRefused;
    }
    CsvStyle style = options.spreadsheet ? RegionalSpreadsheetStyle() : CsvStyle();
    style.localTimes = options.localTime;
    if (!options.separator.empty()) style.separator = Utf8(options.separator);
    CsvOutput out(options.out, style.spreadsheet);
    if (!out.IsOpen()) {
        Complain("cannot write " + Utf8(options.out));
        return kExitOutputFailed;
    }
    TimeText timeText;
    RowBuilder row(style, timeText);
    const std::vector<const char*> columns = ColumnsOf(request.kind, style.spreadsheet);
    if (options.header) {
        row.Start(columns[0]);
        for (size_t c = 1; c < columns.size(); ++c) row.Text(columns[c]);
        out.Write(row.Line());
    }
    Progress progress(options.quiet ? nullptr : stderr, StandardErrorTerminalWidth());
    ItemSink sink(out, progress);
    unsigned failed = 0, requests = 0;
    std::uint64_t values = 0;
    for (size_t i = 0; i < options.items.size(); ++i) {
        const std::string item = Utf8(options.items[i]);
        bool itemFailed = false;
        auto fail = [&](const Series* series, HRESULT code, const std::string& text) {
            row.Start(item);
            if (series) series->Lead(row);
            row.Empty(static_cast<int>(columns.size()) - 3 - (series ? LeadColumnsOf(request.kind) : 0));
            row.Error(code, text);
            out.Write(row.Line());
            itemFailed = true;
        };
        if (FAILED(handleErrors[i])) {
            fail(nullptr, handleErrors[i], historian.ErrorText(handleErrors[i]));
            ++failed;
            continue;
        }
        std::vector<std::unique_ptr<Series>> series;
        if (request.kind == HistoryKind::Attributes)
            for (const auto& a : attributes)
                series.push_back(MakeAttributeSeries(historian.SyncRead(), handles[i], a.id, a.name));
        else
            series.push_back(MakeItemSeries(historian.SyncRead(), historian.SyncAnnotations(), handles[i], request));
        progress.Start(item);
        sink.before = 0;
        for (const auto& s : series) {
            const SeriesOutcome outcome = ReadSeries(*s, request, &times, item, row, sink);
            sink.before += outcome.values;
            values += outcome.values;
            requests += outcome.requests;
            if (outcome.broken || FAILED(outcome.call)) {
                progress.Finish();
                Complain(outcome.broken ? server + " answers the read of " + item + " with " + outcome.broken +
                                              "; that answer is not written"
                                        : server + " refuses the read: " + Hex(outcome.call) + " " +
                                              historian.ErrorText(outcome.call));
                out.Close();
                return kExitReadRefused;
            }
            if (FAILED(outcome.item))
                fail(s.get(), outcome.item, historian.ErrorText(outcome.item));
            else if (outcome.stalled)
                fail(s.get(), outcome.item,
                     "the historian has more data but sends no new value; the rows before are complete");
        }
        progress.Finish();
        if (times.Changed()) {
            Complain("--times-from " + Utf8(request.timesFile) + " changed while it was read");
            out.Close();
            return kExitUsage;
        }
        failed += itemFailed ? 1 : 0;
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
