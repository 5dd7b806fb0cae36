#include "export/options.h"

#include <cwctype>
#include <cstdint>
#include <cstdio>
#include <iterator>
#include <optional>

#include "export/csv_format.h"
#include "export/time_list.h"

namespace {

std::wstring Lower(std::wstring s) {
    for (auto& c : s) c = static_cast<wchar_t>(std::towlower(c));
    return s;
}

// A whole number from 1 to what a DWORD holds, digits only (wcstoul would
// take "-3" and wrap what is larger); `why` gets what is wrong with another.
bool ParseCount(const std::wstring& text, DWORD* n, std::string* why) {
    std::uint64_t value = 0;
    for (wchar_t c : text) {
        if (c < L'0' || c > L'9') return (*why = "not a count of values"), false;
        value = value * 10 + (c - L'0');
        if (value > MAXDWORD) {
            *why = "more than the " + std::to_string(MAXDWORD) + " values a request can ask for";
            return false;
        }
    }
    if (value == 0) return (*why = "not a count of values"), false;
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

std::optional<HistoryKind> ParseKind(const std::wstring& text) {
    static const struct {
        const wchar_t* name;
        HistoryKind kind;
    } kKinds[] = {{L"raw", HistoryKind::Raw},           {L"processed", HistoryKind::Processed},
                  {L"at-time", HistoryKind::AtTime},     {L"modified", HistoryKind::Modified},
                  {L"annotations", HistoryKind::Annotations}, {L"attributes", HistoryKind::Attributes}};
    for (const auto& k : kKinds)
        if (Lower(text) == k.name) return k.kind;
    return std::nullopt;
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
        if (!line.empty()) items->push_back(FromUtf8(line));
    }
    return true;
}

// The parts of a comma-separated list, without blanks around them.
std::vector<std::wstring> Split(const std::wstring& list) {
    std::vector<std::wstring> parts;
    for (size_t begin = 0; begin <= list.size();) {
        size_t end = list.find(L',', begin);
        if (end == std::wstring::npos) end = list.size();
        std::wstring part = list.substr(begin, end - begin);
        part.erase(0, part.find_first_not_of(L' '));
        part.erase(part.find_last_not_of(L' ') + 1);
        if (!part.empty()) parts.push_back(part);
        begin = end + 1;
    }
    return parts;
}

bool TakesValue(const std::wstring& option) {
    for (const wchar_t* name : {L"--server", L"--node", L"--start", L"--end", L"--aggregate", L"--interval", L"--chunk",
                                L"--items-from", L"--out", L"--kind", L"--at", L"--times-from", L"--attributes",
                                L"--format", L"--separator"})
        if (option == name) return true;
    return false;
}

// The kind a command line reads: the one --kind names, and the one its other
// options imply, which must agree.
struct KindChoice {
    std::optional<HistoryKind> named, implied;
    std::wstring namedAs, impliedBy;

    std::string Imply(HistoryKind kind, const std::wstring& option) {
        if (implied && *implied != kind) return Utf8(impliedBy) + " and " + Utf8(option) + " do not go together";
        if (!implied) impliedBy = option;
        implied = kind;
        return {};
    }
};

}  // namespace

std::string ParseOptions(const std::vector<std::wstring>& args, Options* o) {
    bool haveStart = false, haveEnd = false;
    std::wstring aggregate, interval;
    KindChoice kind;
    ReadRequest& r = o->request;
    r.end = {L"NOW", {}};
    for (size_t i = 0; i < args.size(); ++i) {
        const std::wstring& a = args[i];
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
            if (i + 1 >= args.size()) return "option " + Utf8(a) + " needs a value";
            v = args[++i];
            if (a == L"--server") {
                o->progID = v;
            } else if (a == L"--node") {
                o->node = v;
            } else if (a == L"--start" || a == L"--end") {
                auto bound = ParseTimeBound(v, &why);
                if (!bound) return refuse();
                (a == L"--start" ? r.start : r.end) = *bound;
                (a == L"--start" ? haveStart : haveEnd) = true;
            } else if (a == L"--aggregate" || a == L"--interval") {
                (a == L"--aggregate" ? aggregate : interval) = v;
                why = kind.Imply(HistoryKind::Processed, a);
            } else if (a == L"--chunk") {
                if (!ParseCount(v, &r.valuesPerRequest, &why)) return refuse();
            } else if (a == L"--items-from") {
                if (!ReadLines(v, &o->items)) return (why = "cannot be read", refuse());
            } else if (a == L"--out") {
                o->out = v;
            } else if (a == L"--kind") {
                kind.named = ParseKind(v);
                kind.namedAs = v;
                if (!kind.named) return (why = "not a kind of history", refuse());
            } else if (a == L"--at") {
                for (const std::wstring& text : Split(v)) {
                    FILETIME time;
                    if (!ParseListedTime(text, &time, &why)) return "--at " + Utf8(text) + ": " + why;
                    r.times.push_back(time);
                }
                why = kind.Imply(HistoryKind::AtTime, a);
            } else if (a == L"--times-from") {
                r.timesFile = v;
                why = kind.Imply(HistoryKind::AtTime, a);
            } else if (a == L"--attributes") {
                r.attributes = Lower(v) == L"all" ? std::vector<std::wstring>() : Split(v);
                why = kind.Imply(HistoryKind::Attributes, a);
            } else if (a == L"--format") {
                if (Lower(v) != L"csv" && Lower(v) != L"excel") return (why = "not csv or excel", refuse());
                o->spreadsheet = Lower(v) == L"excel";
            } else if (a == L"--separator") {
                o->separator = Lower(v) == L"tab" ? L"\t" : v;
                if (o->separator.size() != 1 || o->separator == L"\"" || std::iswalnum(o->separator[0]) ||
                    o->separator == L"\r" || o->separator == L"\n")
                    return (why = "not one character other than a letter, digit, quote or line break", refuse());
            }
            if (!why.empty()) return why;
        } else if (a.size() > 1 && a[0] == L'-') {
            return "unknown option " + Utf8(a);
        } else {
            o->items.push_back(a);
        }
    }
    if (o->help) return {};
    if (o->progID.empty()) return "--server is missing";
    if (o->items.empty()) return "no items";
    if (kind.named && kind.implied && *kind.named != *kind.implied)
        return Utf8(kind.impliedBy) + " does not go with --kind " + Utf8(kind.namedAs);
    r.kind = kind.named ? *kind.named : kind.implied ? *kind.implied : HistoryKind::Raw;
    if (r.kind == HistoryKind::AtTime) {
        if (haveStart || haveEnd) return "values at given times take no --start or --end";
        if (r.times.empty() && r.timesFile.empty()) return "values at given times need --at or --times-from";
        return {};
    }
    if (!haveStart) return "--start is missing";
    if (r.kind == HistoryKind::Processed) {
        if (aggregate.empty() || interval.empty()) return "processed values need --aggregate and --interval";
        if (!ParseAggregate(aggregate, &r.aggregate)) return "--aggregate " + Utf8(aggregate) + ": unknown aggregate";
        std::string why;
        auto span = ParseSpan(interval, &why);
        if (!span) return "--interval " + Utf8(interval) + ": " + why;
        r.resampleInterval = *span;
    }
    return {};
}
