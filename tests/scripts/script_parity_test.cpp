// The calls of items_arrays.vbs and items_arrays.js made through the vtables,
// as a C++ client makes them, printed in the scripts' form: each script must
// have printed exactly these lines (their outputs are named by SCRIPT_OUTPUTS,
// written by the ctest runs of the scripts before this test).
// GCC 12 warns falsely on text + std::string temporaries (its bug 105329).
#pragma GCC diagnostic ignored "-Wrestrict"

#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/com_test.h"

using namespace comtest;

namespace {

constexpr double kSecond = 1.0 / 86400;
const DATE T0 = 45810 + 10.0 / 24;
const DATE T1 = 45000 + 3.0 / 24 + 5.0 / 86400;

std::string Hex(HRESULT hr) {
    char text[16];
    std::snprintf(text, sizeof text, "%lX", static_cast<unsigned long>(hr));
    return text;
}

std::string Narrow(BSTR s) {
    std::string out;
    for (UINT i = 0; s && i < SysStringLen(s); ++i) out += static_cast<char>(s[i]);
    return out;
}

// What a script host shows for a value: its text.
std::string Text(const VARIANT& value) {
    UniqueVariant text;
    if (FAILED(VariantChangeType(text.get(), const_cast<VARIANT*>(&value), 0, VT_BSTR))) return "?";
    return Narrow(text->bstrVal);
}

std::string Codes(SAFEARRAY* errors, LONG n) {
    std::string s;
    for (LONG i = 1; i <= n; ++i) s += Hex(LongAt(errors, i)) + (i < n ? "," : "");
    return s;
}

std::string History(IDispatch* element, DATE since) {
    ComPtr<OPCHDAHistory> history;
    if (FAILED(element->QueryInterface(IID_OPCHDAHistory, history.put_void()))) return "?";
    LONG count = 0;
    history->get_Count(&count);
    std::string s = "n=" + std::to_string(count);
    for (LONG i = 1; i <= count; ++i) {
        ComPtr<OPCHDAValue> value;
        UniqueVariant index, data;
        index->vt = VT_I4;
        index->lVal = i;
        if (FAILED(history->Item(*index.get(), value.put()))) return s + " ?";
        DATE stamp = 0;
        LONG quality = 0;
        value->get_TimeStamp(&stamp);
        value->get_DataValue(data.get());
        value->get_Quality(&quality);
        s += " " + std::to_string(std::lround((stamp - since) * 86400)) + "/" + Text(*data.get()) + "/" +
             std::to_string(quality);
    }
    return s;
}

std::string Histories(SAFEARRAY* values, SAFEARRAY* errors, LONG n, DATE since) {
    std::string s;
    for (LONG i = 1; i <= n; ++i) {
        s += " | " + Hex(LongAt(errors, i));
        UniqueVariant element;
        VariantAt(values, i, element.get());
        if (element->vt == VT_DISPATCH && element->pdispVal) s += " " + History(element->pdispVal, since);
    }
    return s;
}

VARIANT Time(DATE d) { return VarDate(d); }

class Calls {
public:
    explicit Calls(std::vector<std::string>& lines) : lines_(lines) {}
    // One line per call; what follows the result only when the call succeeded.
    template <class Text>
    void operator()(const char* name, HRESULT hr, Text&& onSuccess) {
        lines_.push_back(std::string(name) + " " + (SUCCEEDED(hr) ? "ok" + onSuccess() : Hex(hr)));
    }

private:
    std::vector<std::string>& lines_;
};

std::vector<std::string> ThroughVtables() {
    std::vector<std::string> lines;
    Calls call(lines);
    ComPtr<IOPCHDAAutoServer> server;
    EXPECT_HRESULT_SUCCEEDED(CreateServer(server));
    UniqueBstr progID(L"Sim.HdaHistorian");
    EXPECT_HRESULT_SUCCEEDED(server->Connect(progID.get(), VarMissing()));
    ComPtr<IOPCHDAItems> items;
    EXPECT_HRESULT_SUCCEEDED(server->get_OPCHDAItems(items.put()));

    UniqueSafeArray ids(
        MakeBstrArray({L"Plant/Lab/Calibration/Ramp", L"Plant/Lab/Calibration/Step", L"Plant/No/Such"}));
    UniqueSafeArray clients(MakeLongArray({1, 2, 3}));
    UniqueSafeArray handles, errors, values;
    SAFEARRAY* in = ids.get();
    SAFEARRAY* in2 = clients.get();
    HRESULT hr = items->AddItems(3, &in, &in2, handles.put(), errors.put());
    call("AddItems", hr, [&] {
        std::string valid;
        for (LONG i = 1; i <= 3; ++i) valid += std::string(LongAt(handles.get(), i) ? "1" : "0") + (i < 3 ? "," : "");
        return " valid=" + valid + " errors=" + Codes(errors.get(), 3);
    });
    const LONG ramp = LongAt(handles.get(), 1), step = LongAt(handles.get(), 2);
    UniqueSafeArray both(MakeLongArray({ramp, step})), rampOnly(MakeLongArray({ramp}));
    SAFEARRAY* h = both.get();
    SAFEARRAY* r = rampOnly.get();

    hr = items->Validate(3, &in, errors.put());
    call("Validate", hr, [&] { return " errors=" + Codes(errors.get(), 3); });

    auto read = [&](const char* name, HRESULT result, LONG n, DATE since) {
        call(name, result, [&] { return Histories(values.get(), errors.get(), n, since); });
    };
    VARIANT start = Time(T0), end = Time(T0 + 60 * kSecond);
    read("SyncReadRaw", items->SyncReadRaw(&start, &end, 0, 0, 2, &h, values.put(), errors.put()), 2, T0);

    UniqueSafeArray aggregates(MakeLongArray({10, 5}));
    SAFEARRAY* a = aggregates.get();
    start = Time(T0), end = Time(T0 + 1.0 / 24);
    read("SyncReadProcessed",
         items->SyncReadProcessed(&start, &end, 20.0 / 1440, 2, &h, &a, values.put(), errors.put()), 2, T0);

    UniqueSafeArray readTimes(MakeDateArray({T0 + 10 * kSecond, T0 + 60 * kSecond}));
    SAFEARRAY* rt = readTimes.get();
    read("SyncReadAtTime", items->SyncReadAtTime(2, &rt, 2, &h, values.put(), errors.put()), 2, T0);

    UniqueSafeArray attributes(MakeLongArray({1, 13, 11}));
    SAFEARRAY* at = attributes.get();
    start = Time(T0), end = Time(T0);
    read("SyncReadAttribute", items->SyncReadAttribute(&start, &end, ramp, 3, &at, values.put(), errors.put()), 3, T0);

    UniqueSafeArray quality(MakeLongArray({192}));
    SAFEARRAY* q = quality.get();
    auto update = [&](const char* name, auto member, DATE when, LONG value) {
        UniqueSafeArray times(MakeDateArray({when})), data(MakeVariantArray({VarI4(value)}));
        SAFEARRAY* t = times.get();
        SAFEARRAY* d = data.get();
        const HRESULT result = (items.get()->*member)(1, &r, &t, &d, &q, errors.put());
        call(name, result, [&] { return " errors=" + Codes(errors.get(), 1); });
    };
    update("SyncInsert", &IOPCHDAItems::SyncInsert, T1, 7);
    update("SyncReplace", &IOPCHDAItems::SyncReplace, T1, 8);
    update("SyncInsertReplace", &IOPCHDAItems::SyncInsertReplace, T1 + 10 * kSecond, 9);

    start = Time(T1 - 60 * kSecond), end = Time(T1 + 60 * kSecond);
    read("SyncReadModified", items->SyncReadModified(&start, &end, 0, 1, &r, values.put(), errors.put()), 1, T1);

    UniqueBstr checked(L"checked");
    VARIANT note;
    note.vt = VT_BSTR;
    note.bstrVal = checked.get();
    UniqueSafeArray t1(MakeDateArray({T1})), notes(MakeVariantArray({note}));
    SAFEARRAY* t1p = t1.get();
    SAFEARRAY* np = notes.get();
    hr = items->SyncInsertAnnotations(1, &r, &t1p, &np, errors.put());
    call("SyncInsertAnnotations", hr, [&] { return " errors=" + Codes(errors.get(), 1); });
    start = Time(T1 - 60 * kSecond), end = Time(T1 + 60 * kSecond);
    read("SyncReadAnnotations", items->SyncReadAnnotations(&start, &end, 1, &r, values.put(), errors.put()), 1, T1);

    UniqueSafeArray t1b(MakeDateArray({T1 + 10 * kSecond}));
    SAFEARRAY* t1bp = t1b.get();
    hr = items->SyncDeleteAtTime(1, &r, &t1bp, errors.put());
    call("SyncDeleteAtTime", hr, [&] { return " errors=" + Codes(errors.get(), 1); });
    start = Time(T1 - 5 * kSecond), end = Time(T1 + 5 * kSecond);
    hr = items->SyncDeleteRaw(&start, &end, 1, &r, errors.put());
    call("SyncDeleteRaw", hr, [&] { return " errors=" + Codes(errors.get(), 1); });

    LONG cancel = 0;
    auto async = [&](const char* name, HRESULT result, LONG n) {
        call(name, result, [&] { return " errors=" + Codes(errors.get(), n); });
    };
    start = Time(T0), end = Time(T0 + 60 * kSecond);
    async("AsyncReadRaw", items->AsyncReadRaw(1, &start, &end, 0, 0, 2, &h, errors.put(), &cancel), 2);
    start = Time(T0), end = Time(T0 + 60 * kSecond);
    async("AsyncReadProcessed",
          items->AsyncReadProcessed(2, &start, &end, 20.0 / 1440, 2, &h, &a, errors.put(), &cancel), 2);
    async("AsyncReadAtTime", items->AsyncReadAtTime(3, 2, &rt, 2, &h, errors.put(), &cancel), 2);
    start = Time(T0), end = Time(T0 + 60 * kSecond);
    async("AsyncReadModified", items->AsyncReadModified(4, &start, &end, 0, 2, &h, errors.put(), &cancel), 2);
    start = Time(T0), end = Time(T0 + 60 * kSecond);
    async("AsyncReadAttribute", items->AsyncReadAttribute(5, &start, &end, ramp, 3, &at, errors.put(), &cancel), 3);
    start = Time(T0), end = Time(T0 + 60 * kSecond);
    async("AsyncReadAnnotations", items->AsyncReadAnnotations(6, &start, &end, 2, &h, errors.put(), &cancel), 2);
    UniqueSafeArray seven(MakeVariantArray({VarI4(7)}));
    SAFEARRAY* sp = seven.get();
    async("AsyncInsert", items->AsyncInsert(7, 1, &r, &t1p, &sp, &q, errors.put(), &cancel), 1);
    async("AsyncReplace", items->AsyncReplace(8, 1, &r, &t1p, &sp, &q, errors.put(), &cancel), 1);
    async("AsyncInsertReplace", items->AsyncInsertReplace(9, 1, &r, &t1p, &sp, &q, errors.put(), &cancel), 1);
    async("AsyncInsertAnnotations", items->AsyncInsertAnnotations(10, 1, &r, &t1p, &np, errors.put(), &cancel), 1);
    async("AsyncDeleteAtTime", items->AsyncDeleteAtTime(11, 1, &r, &t1p, errors.put(), &cancel), 1);
    start = Time(T1 - 5 * kSecond), end = Time(T1 + 5 * kSecond);
    async("AsyncDeleteRaw", items->AsyncDeleteRaw(12, &start, &end, 1, &r, errors.put(), &cancel), 1);
    UniqueVariant since;
    *since.get() = VarBstr(L"NOW-10M");
    async("AsyncAdviseRaw", items->AsyncAdviseRaw(13, since.get(), 1.0 / 1440, 2, &h, errors.put(), &cancel), 2);
    items->AsyncCancelRead(cancel);
    since.reset();
    *since.get() = VarBstr(L"NOW-10M");
    async("AsyncAdviseProcessed",
          items->AsyncAdviseProcessed(14, since.get(), 1.0 / 1440, 2, 2, &h, &a, errors.put(), &cancel), 2);
    items->AsyncCancelRead(cancel);
    start = Time(T0), end = Time(T0 + 60 * kSecond);
    async("AsyncPlaybackRaw",
          items->AsyncPlaybackRaw(15, &start, &end, 0, 10 * kSecond, kSecond, 2, &h, errors.put(), &cancel), 2);
    items->AsyncCancelPlayback(cancel);
    start = Time(T0), end = Time(T0 + 1.0 / 24);
    async("AsyncPlaybackProcessed",
          items->AsyncPlaybackProcessed(16, &start, &end, 20.0 / 1440, 1, kSecond, 2, &h, &a, errors.put(), &cancel),
          2);
    items->AsyncCancelPlayback(cancel);

    UniqueVariant criteria, operators, filters, criteriaErrors;
    criteria->vt = operators->vt = VT_ARRAY | VT_I4;
    criteria->parray = MakeLongArray({13, 1});
    operators->parray = MakeLongArray({1, 1});
    filters->vt = VT_ARRAY | VT_VARIANT;
    UniqueBstr pattern(L"Plant/Lab/Calibration/*");
    VARIANT match;
    match.vt = VT_BSTR;
    match.bstrVal = pattern.get();
    filters->parray = MakeVariantArray({match, VarI4(5)});
    ComPtr<OPCHDABrowser> browser;
    hr = server->CreateBrowser(2, *criteria.get(), *operators.get(), *filters.get(), criteriaErrors.get(),
                               browser.put());
    call("CreateBrowser", hr, [&] {
        UniqueBstr position;
        browser->get_CurrentPosition(position.put());
        return " position=" + Narrow(position.get());
    });
    browser = nullptr;

    UniqueSafeArray stepOnly(MakeLongArray({step}));
    SAFEARRAY* sp2 = stepOnly.get();
    hr = items->Remove(1, &sp2, errors.put());
    call("Remove", hr, [&] {
        LONG count = 0;
        items->get_Count(&count);
        return " errors=" + Codes(errors.get(), 1) + " count=" + std::to_string(count);
    });
    server->Disconnect();
    return lines;
}

std::vector<std::string> LinesOf(const std::string& path) {
    std::vector<std::string> lines;
    std::ifstream file(path);
    for (std::string line; std::getline(file, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line != "DONE") lines.push_back(line);
    }
    return lines;
}

class ScriptParity : public ComTest {};

TEST_F(ScriptParity, ScriptsGetWhatVtableClientsGet) {
    const char* outputs = std::getenv("SCRIPT_OUTPUTS");
    ASSERT_NE(outputs, nullptr) << "SCRIPT_OUTPUTS names the scripts' outputs, separated by '|'";
    const std::vector<std::string> expected = ThroughVtables();
    std::stringstream paths(outputs);
    int compared = 0;
    for (std::string path; std::getline(paths, path, '|'); ++compared) {
        const std::vector<std::string> printed = LinesOf(path);
        EXPECT_EQ(printed.size(), expected.size()) << path;
        for (size_t i = 0; i < printed.size() && i < expected.size(); ++i)
            EXPECT_EQ(printed[i], expected[i]) << path << ", line " << i + 1;
    }
    EXPECT_EQ(compared, 2);
}

}  // namespace
