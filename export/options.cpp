#include "export/options.h"

#include <cstdint>
#include <cwctype>
#include <cstdio>
#include <iterator>

#include "export/csv_format.h"

const char kUsage[] =
    "Usage: OPCHDAExport --server PROGID [--node NODE] --start TIME [--end TIME]\n"
    "                    [--aggregate NAME --interval SPAN] [options] ITEM...\n"
    "Writes the history of the items as CSV: item, time, value, quality,\n"
    "quality_text, error, error_text (one row per value; a failed item gets one\n"
    "row with its error). Reads on while the historian answers that there is more.\n"
    "\n"
    "  --server PROGID    the historian's ProgID (or CLSID)\n"
    "  --node NODE        the computer it runs on (default: this one)\n"
    "  --start TIME       NOW-1D, DAY-1D+6H, ... (relative, as the historian reads\n"
    "                     them) or 2024-10-27T06:00:00Z, 2024-10-27T08:00+02:00,\n"
    "                     2024-10-27 (no zone: local time of this computer)\n"
    "  --end TIME         the same (default NOW)\n"
    "  --aggregate NAME   processed values: interpolative, total, average,\n"
    "                     timeaverage, count, stdev, minimumactualtime, minimum,\n"
    "                     maximumactualtime, maximum, start, end, delta, regslope,\n"
    "                     regconst, regdev, variance, range, durationgood,\n"
    "                     durationbad, percentgood, percentbad, worstquality,\n"
    "                     annotations, or the aggregate's number\n"
    "  --interval SPAN    resample interval of processed values: 500MS, 30S, 15M,\n"
    "                     1H, 1D\n"
    "  --chunk N          raw values per request (default: the historian's maximum)\n"
    "  --items-from FILE  more item IDs, one a line (UTF-8)\n"
    "  --local            local times with their UTC offset (default: UTC, ...Z)\n"
    "  --out FILE         write to FILE (UTF-8) instead of standard output\n"
    "  --no-header        leave out the header row\n"
    "  --quiet            no progress or summary on standard error\n"
    "  --help             this text\n"
    "\n"
    "Exit codes: 0 all items read, 1 usage, 2 historian not created, 3 some items\n"
    "failed, 4 the historian refused the request, 5 output not written.\n";

namespace {

std::wstring Lower(std::wstring s) {
    for (auto& c : s) c = static_cast<wchar_t>(std::towlower(c));
    return s;
}

// A whole number from 1 to what a DWORD holds, digits only (wcstoul would
// take "-3" and wrap what is larger); `why` gets what is wrong with another.
bool ParseCount(const std::wstring& text, DWORD* n, std::string* why) {
    *why = "not a count of values";
    std::uint64_t value = 0;
    for (wchar_t c : text) {
        if (c < L'0' || c > L'9') return false;
        value = value * 10 + (c - L'0');
        if (value > MAXDWORD) {
            *why = "more than the " + std::to_string(MAXDWORD) + " values a request can ask for";
            return false;
        }
    }
    if (value == 0) return false;
    *n = static_cast<DWORD>(value);
    return true;
}

// Aggregate numbers are the index in this list (OPC HDA 1.2).
bool ParseAggregate(const std::wstring& text, DWORD* id) {
    static const wchar_t* const kNames[] = {
        L"none",          L"interpolative", L"total",        L"average",          L"timeaverage",
        L"count",         L"stdev",         L"minimumactualtime", L"minimum",     L"maximumactualtime",
        L"maximum",       L"start",         L"end",          L"delta",            L"regslope",
        L"regconst",      L"regdev",        L"variance",     L"range",            L"durationgood",
        L"durationbad",   L"percentgood",   L"percentbad",   L"worstquality",     L"annotations"};
    const std::wstring name = Lower(text);
    for (DWORD i = 1; i < std::size(kNames); ++i)
        if (name == kNames[i]) return (*id = i), true;
    std::string ignored;
    return ParseCount(text, id, &ignored);
}

bool ReadLines(const std::wstring& file, std::vector<std::wstring>* items) {
    FILE* in = _wfopen(file.c_str(), L"rb");
    if (!in) return false;
    std::string all;
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, in)) > 0;) all.append(buffer, n);
    std::fclose(in);
    if (all.compare(0, 3, "\xEF\xBB\xBF") == 0) all.erase(0, 3);
    for (size_t begin = 0; begin < all.size();) {
        size_t end = all.find('\n', begin);
        if (end == std::string::npos) end = all.size();
        std::string line = all.substr(begin, end - begin);
        begin = end + 1;
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
        if (line.empty()) continue;
        const int n = MultiByteToWideChar(CP_UTF8, 0, line.data(), static_cast<int>(line.size()), nullptr, 0);
        std::wstring id(n, L'\0');
        MultiByteToWideChar(CP_UTF8, 0, line.data(), static_cast<int>(line.size()), id.data(), n);
        items->push_back(id);
    }
    return true;
}

bool TakesValue(const std::wstring& option) {
    for (const wchar_t* name : {L"--server", L"--node", L"--start", L"--end", L"--aggregate", L"--interval", L"--chunk",
                                L"--items-from", L"--out"})
        if (option == name) return true;
    return false;
}

}  // namespace

std::string ParseOptions(const std::vector<std::wstring>& args, Options* o) {
    bool haveStart = false;
    std::wstring aggregate, interval;
    o->request.end = {L"NOW", {}};
    for (size_t i = 0; i < args.size(); ++i) {
        const std::wstring& a = args[i];
        auto value = [&](std::wstring* target) {
            if (i + 1 >= args.size()) return false;
            *target = args[++i];
            return true;
        };
        std::wstring v;
        std::string why;
        // A usage error names the argument and what is wrong with it.
        auto refuse = [&] { return Utf8(a) + " " + Utf8(v) + ": " + why; };
        if (a == L"--help" || a == L"-h" || a == L"/?") {
            o->help = true;
        } else if (a == L"--local") {
            o->localTime = true;
        } else if (a == L"--no-header") {
            o->header = false;
        } else if (a == L"--quiet") {
            o->quiet = true;
        } else if (TakesValue(a)) {
            if (!value(&v)) return "option " + Utf8(a) + " needs a value";
            if (a == L"--server") {
                o->progID = v;
            } else if (a == L"--node") {
                o->node = v;
            } else if (a == L"--start" || a == L"--end") {
                auto bound = ParseTimeBound(v, &why);
                if (!bound) return refuse();
                (a == L"--start" ? o->request.start : o->request.end) = *bound;
                haveStart = haveStart || a == L"--start";
            } else if (a == L"--aggregate") {
                aggregate = v;
            } else if (a == L"--interval") {
                interval = v;
            } else if (a == L"--chunk") {
                if (!ParseCount(v, &o->request.valuesPerRequest, &why)) return refuse();
            } else if (a == L"--items-from") {
                if (!ReadLines(v, &o->items)) return "cannot read " + Utf8(v);
            } else if (a == L"--out") {
                o->out = v;
            }
        } else if (a.size() > 1 && a[0] == L'-') {
            return "unknown option " + Utf8(a);
        } else {
            o->items.push_back(a);
        }
    }
    if (o->help) return {};
    if (o->progID.empty()) return "--server is missing";
    if (!haveStart) return "--start is missing";
    if (o->items.empty()) return "no items";
    if (aggregate.empty() != interval.empty()) return "--aggregate and --interval go together";
    if (!aggregate.empty()) {
        o->request.processed = true;
        if (!ParseAggregate(aggregate, &o->request.aggregate)) return "unknown aggregate " + Utf8(aggregate);
        std::string why;
        auto span = ParseSpan(interval, &why);
        if (!span) return "--interval " + Utf8(interval) + ": " + why;
        o->request.resampleInterval = *span;
    }
    return {};
}
