// The whole program, into a file read back: against a fake historian that answers what a test scripts (the
// answers a historian must not give, such as a success without its arrays or values without their columns, and the
// seams between answers that a simulator cannot make), and against history a client has changed, which the
// simulator shows only to the historian object that was changed.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "export/export_run.h"
#include "export/export_time.h"
#include "support/fake_historian.h"
#include "support/sim_fixture.h"

namespace {

using comtest::Block;
using comtest::kMoreData;
constexpr DWORD kGoodRaw = 0x000400C0;
constexpr std::int64_t kSecond = 10'000'000;

// The run's exit code and file (its own: ctest runs the tests side by side).
std::pair<int, std::string> RunIntoFile(Options options, IUnknown* historian = nullptr) {
    wchar_t folder[MAX_PATH], file[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    GetTempFileNameW(folder, L"exp", 0, file);
    options.out = file;
    options.quiet = true;
    const int code = RunExport(options, historian);
    std::ifstream in(file, std::ios::binary);
    std::string text(std::istreambuf_iterator<char>(in), {});
    in.close();
    DeleteFileW(file);
    return {code, text};
}

constexpr std::int64_t kT0 = 133'485'408'000'000'000;  // 2024-01-01 00:00 UTC

struct Sample {
    std::int64_t second;  // after kT0
    double value;
};
// One answer of the fake's ReadRaw: the item's code and its values.
struct Page {
    HRESULT code;
    std::vector<Sample> values;
};
enum class Flaw { None, NoHandles, NoHandleCodes, NoItems, NoCodes, NoStamps, NoQualities, NoValues, StampTooLate };

struct Script {
    Flaw flaw = Flaw::None;
    size_t flawedPage = 0;  // the page that carries the flaw
    std::vector<Page> pages;
    size_t next = 0;
};
Script g_script;

class FakeHistorian final
    : public comtest::RefusingSyncRead<
          comtest::RefusingHistorian<Implements<FakeHistorian, IOPCHDA_Server, IOPCHDA_SyncRead>>> {
public:
    STDMETHODIMP GetItemHandles(DWORD n, LPWSTR*, OPCHANDLE*, OPCHANDLE** handles, HRESULT** codes) override {
        *handles = g_script.flaw == Flaw::NoHandles ? nullptr : Block<OPCHANDLE>(n, [](DWORD i) { return 7 + i; });
        *codes = g_script.flaw == Flaw::NoHandleCodes ? nullptr : Block<HRESULT>(n, [](DWORD) { return S_OK; });
        return S_OK;
    }
    STDMETHODIMP ReleaseItemHandles(DWORD n, OPCHANDLE*, HRESULT** codes) override {
        *codes = Block<HRESULT>(n, [](DWORD) { return S_OK; });
        return S_OK;
    }

    STDMETHODIMP ReadRaw(OPCHDA_TIME*, OPCHDA_TIME*, DWORD, BOOL, DWORD n, OPCHANDLE*, OPCHDA_ITEM** items,
                         HRESULT** codes) override {
        const size_t index = g_script.next++;
        const Page page = index < g_script.pages.size() ? g_script.pages[index] : Page{comtest::kNoData, {}};
        const Flaw flaw = index == g_script.flawedPage ? g_script.flaw : Flaw::None;
        *items = flaw == Flaw::NoItems ? nullptr : Block<OPCHDA_ITEM>(n, [&](DWORD) { return Item(page, flaw); });
        *codes = flaw == Flaw::NoCodes ? nullptr : Block<HRESULT>(n, [&](DWORD) { return page.code; });
        return S_OK;
    }

private:
    static OPCHDA_ITEM Item(const Page& page, Flaw flaw) {
        const size_t n = page.values.size();
        const auto at = [&](DWORD k) {  // the last one past what file times hold (2^63) when it is too late
            return FileTimeOf(flaw == Flaw::StampTooLate && k + 1 == n ? INT64_MIN
                                                                       : kT0 + page.values[k].second * kSecond);
        };
        const auto value = [&](DWORD k) { return comtest::VarR8(page.values[k].value); };
        OPCHDA_ITEM item{1, 0, static_cast<DWORD>(n), nullptr, nullptr, nullptr};
        if (flaw != Flaw::NoStamps) item.pftTimeStamps = Block<FILETIME>(n, at);
        if (flaw != Flaw::NoQualities) item.pdwQualities = Block<DWORD>(n, [](DWORD) { return kGoodRaw; });
        if (flaw != Flaw::NoValues) item.pvDataValues = Block<VARIANT>(n, value);
        return item;
    }
};

using ExportOverAFake = comtest::OverAFake<FakeHistorian>;

// The whole program over the fake, one item from kT0 to an hour later; its rows without the header.
int Export(std::vector<std::string>* rows) {
    Options options;
    options.progID = comtest::kFakeProgID;
    options.items = {L"Fake/One"};
    options.request.start = {L"", FileTimeOf(kT0)};
    options.request.end = {L"", FileTimeOf(kT0 + 3600 * kSecond)};
    const auto [code, text] = RunIntoFile(options);
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);)
        if (line.rfind("item,", 0) != 0) rows->push_back(line.substr(0, line.find_last_not_of('\r') + 1));
    return code;
}

std::string ValueRow(std::int64_t second, const char* value) {
    return "Fake/One," + FormatTimeStamp(FileTimeOf(kT0 + second * kSecond), false) + "," + value +
           ",262336,Good | Raw,,";
}

// A second answer with a flaw: the first answer's rows stay, nothing of the
// second is written, and the run ends as a refused read does.
TEST_F(ExportOverAFake, RefusesAnswersThatBreakTheirPromises) {
    struct Row {
        const char* name;
        Flaw flaw;
        size_t flawedPage;
        size_t rows;  // rows written
    } rows[] = {
        {"handles without their array", Flaw::NoHandles, 0, 0},
        {"handles without their codes", Flaw::NoHandleCodes, 0, 0},
        {"a read without its items", Flaw::NoItems, 1, 2},
        {"a read without its codes", Flaw::NoCodes, 1, 2},
        {"values without time stamps", Flaw::NoStamps, 1, 2},
        {"values without qualities", Flaw::NoQualities, 1, 2},
        {"values without values", Flaw::NoValues, 1, 2},
        {"a time stamp beyond file times", Flaw::StampTooLate, 1, 2},
        {"the first answer flawed", Flaw::NoStamps, 0, 0},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        g_script = Script{r.flaw, r.flawedPage, {{kMoreData, {{0, 1}, {10, 2}}}, {S_OK, {{10, 2}, {20, 3}}}}};
        std::vector<std::string> written;
        EXPECT_EQ(Export(&written), kExitReadRefused);
        std::vector<std::string> expected{ValueRow(0, "1"), ValueRow(10, "2")};
        expected.resize(r.rows);
        EXPECT_EQ(written, expected);
    }
}

// Several values at one time stamp, cut in the middle and sent again in
// another order: each is written once, and a stall is an error row.
TEST_F(ExportOverAFake, ContinuesAtSeamsByTheRowWritten) {
    struct Row {
        const char* name;
        std::vector<Page> pages;
        std::vector<std::pair<std::int64_t, const char*>> written;
        int exitCode;
    } rows[] = {
        {"reordered after the cut",
         {{kMoreData, {{0, 0}, {10, 1}, {10, 2}}}, {S_OK, {{10, 2}, {10, 3}, {10, 1}, {20, 4}}}},
         {{0, "0"}, {10, "1"}, {10, "2"}, {10, "3"}, {20, "4"}},
         kExitOk},
        {"one time over three answers",
         {{kMoreData, {{0, 0}, {10, 1}}}, {kMoreData, {{10, 1}, {10, 2}}}, {S_OK, {{10, 2}, {10, 3}, {10, 1}}}},
         {{0, "0"}, {10, "1"}, {10, "2"}, {10, "3"}},
         kExitOk},
        {"the same value twice at one time",
         {{kMoreData, {{10, 5}}}, {S_OK, {{10, 5}, {10, 5}, {20, 6}}}},
         {{10, "5"}, {10, "5"}, {20, "6"}},
         kExitOk},
        {"no new value after the cut",
         {{kMoreData, {{10, 1}, {10, 2}}}, {kMoreData, {{10, 2}, {10, 1}}}},
         {{10, "1"}, {10, "2"}},
         kExitItemsFailed},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        g_script = Script{Flaw::None, 0, r.pages};
        std::vector<std::string> written, expected;
        for (const auto& [second, value] : r.written) expected.push_back(ValueRow(second, value));
        if (r.exitCode == kExitItemsFailed)
            expected.push_back(
                "Fake/One,,,,,0x40041003,the historian has more data but sends no new value; "
                "the rows before are complete");
        EXPECT_EQ(Export(&written), r.exitCode);
        EXPECT_EQ(written, expected);
    }
}

// Modified values and annotations are written into the in-process simulator, then the whole export reads that
// object, in both formats. The texts carry commas, quotes, line breaks, a formula's start and letters beyond ASCII;
// the times fall in the hour that repeats in autumn (TZ=Europe/Berlin, set by the test's environment).
constexpr std::int64_t kAutumn = 133'744'626'000'000'000;  // 2024-10-27T00:30:00Z, 02:30 in Berlin (+02:00)
constexpr std::int64_t kNow = 133'749'792'000'000'000;     // 2024-11-02T00:00:00Z, the simulator's clock

class ExportOfChangedHistory : public comtest::ComTest {
protected:
    void SetUp() override {
        ComTest::SetUp();
        ASSERT_EQ(CoCreateInstance(CLSID_HdaSimHistorian, nullptr, CLSCTX_INPROC_SERVER, IID_IOPCHDA_Server,
                                   server_.put_void()),
                  S_OK);
        ASSERT_EQ(server_.query(IID_IHdaSimControl, control_), S_OK);
        control_->ClockSetSpeed(0.0);
        control_->ClockSet(kNow);
        ComPtr<IOPCCommon> common;
        ASSERT_EQ(server_.query(IID_IOPCCommon, common), S_OK);
        common->SetClientName(L"Schichtf\u00FChrer, Nord");
        // Two texts inserted half a minute after a sample, an hour apart (the same local time twice), and a note
        // on the first.
        LPWSTR ids[] = {const_cast<LPWSTR>(comtest::kText)};
        OPCHANDLE client = 1;
        TaskArray<OPCHANDLE> handles;
        TaskArray<HRESULT> errors;
        ASSERT_EQ(server_->GetItemHandles(1, ids, &client, handles.put(), errors.put()), S_OK);
        OPCHANDLE handle = handles[0];
        ComPtr<IOPCHDA_SyncUpdate> update;
        ASSERT_EQ(server_.query(IID_IOPCHDA_SyncUpdate, update), S_OK);
        const wchar_t* texts[] = {L"=1+1, \"quoted\"", L"Stra\u00DFe\r\nzwei"};
        OPCHANDLE twice[] = {handle, handle};
        FILETIME at[] = {FileTimeOf(kAutumn + 30 * kSecond), FileTimeOf(kAutumn + 3630 * kSecond)};
        UniqueVariant values[] = {UniqueVariant(comtest::VarBstr(texts[0])), UniqueVariant(comtest::VarBstr(texts[1]))};
        DWORD qualities[] = {0xC0, 0xC0};
        ASSERT_EQ(update->Insert(2, twice, at, AsVariantArray(values), qualities, errors.put()), S_OK);
        ComPtr<IOPCHDA_SyncAnnotations> annotations;
        ASSERT_EQ(server_.query(IID_IOPCHDA_SyncAnnotations, annotations), S_OK);
        FILETIME entered = FileTimeOf(kAutumn + 90 * kSecond);
        LPWSTR user[] = {const_cast<LPWSTR>(L"Pr\u00FCfer")};
        OPCHDA_ANNOTATION note{1, 1, at, const_cast<LPWSTR*>(&texts[1]), &entered, user};
        ASSERT_EQ(annotations->Insert(1, &handle, at, &note, errors.put()), S_OK);
        server_->ReleaseItemHandles(1, &handle, errors.put());
    }
    void TearDown() override {
        LONG outstanding = -1;
        EXPECT_EQ(control_->OutstandingTaskMemory(&outstanding), S_OK);
        EXPECT_EQ(outstanding, 0) << "the simulator's task memory not freed";
        control_->ResetDefaults();
        control_ = nullptr;
        server_ = nullptr;
        ComTest::TearDown();
    }

    ComPtr<IOPCHDA_Server> server_;
    ComPtr<IHdaSimControl> control_;
};

TEST_F(ExportOfChangedHistory, ModifiedValuesAndAnnotationsInBothFormats) {
    struct Row {
        const char* name;
        HistoryKind kind;
        bool spreadsheet;
        const wchar_t* separator;
        const char* file;  // UTF-8, in octal where a hex escape would swallow the letter after it
    } rows[] = {
        {"modified, csv", HistoryKind::Modified, false, L"",
         "item,time,value,quality,quality_text,modification_time,edit_type,user,error,error_text\r\n"
         "Plant/Lab/Calibration/Text,2024-10-27T00:30:30.000Z,\"=1+1, \"\"quoted\"\"\",262336,Good | Raw,"
         "2024-11-02T00:00:00.000Z,Insert,\"Schichtf\xC3\xBChrer, Nord\",,\r\n"
         "Plant/Lab/Calibration/Text,2024-10-27T01:30:30.000Z,\"Stra\303\237e\r\nzwei\",262336,Good | Raw,"
         "2024-11-02T00:00:00.000Z,Insert,\"Schichtf\xC3\xBChrer, Nord\",,\r\n"
         "\"Plant/\xC3\x9Cnknown, \"\"x\"\"\nline\",,,,,,,,0xC0040008,"
         "OPC_E_INVALIDITEMID: The item ID does not conform to the server's syntax.\r\n"},
        // Local times Excel reads, the UTC time beside them; the formula's start kept as text.
        {"modified, excel", HistoryKind::Modified, true, L";",
         "\xEF\xBB\xBFitem;time;time_utc;value;quality;quality_text;modification_time;edit_type;user;error;"
         "error_text\r\n"
         "Plant/Lab/Calibration/Text;2024-10-27 02:30:30.000;2024-10-27 00:30:30.000;\"'=1+1, \"\"quoted\"\"\";"
         "262336;Good | Raw;2024-11-02 01:00:00.000;Insert;Schichtf\xC3\xBChrer, Nord;;\r\n"
         "Plant/Lab/Calibration/Text;2024-10-27 02:30:30.000;2024-10-27 01:30:30.000;\"Stra\303\237e\r\nzwei\";"
         "262336;Good | Raw;2024-11-02 01:00:00.000;Insert;Schichtf\xC3\xBChrer, Nord;;\r\n"
         "\"Plant/\xC3\x9Cnknown, \"\"x\"\"\nline\";;;;;;;;;0xC0040008;"
         "OPC_E_INVALIDITEMID: The item ID does not conform to the server's syntax.\r\n"},
        {"annotations, csv", HistoryKind::Annotations, false, L"",
         "item,time,annotation_time,annotation,user,error,error_text\r\n"
         "Plant/Lab/Calibration/Text,2024-10-27T00:30:30.000Z,2024-10-27T00:31:30.000Z,\"Stra\303\237e\r\nzwei\","
         "Pr\303\274fer,,\r\n"
         "\"Plant/\xC3\x9Cnknown, \"\"x\"\"\nline\",,,,,0xC0040008,"
         "OPC_E_INVALIDITEMID: The item ID does not conform to the server's syntax.\r\n"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        Options options;
        options.items = {comtest::kText, L"Plant/\u00DCnknown, \"x\"\nline"};
        options.request.kind = r.kind;
        options.request.start = {L"", FileTimeOf(kAutumn)};
        options.request.end = {L"", FileTimeOf(kAutumn + 7200 * kSecond)};
        options.spreadsheet = r.spreadsheet;
        options.separator = r.separator;
        EXPECT_EQ(RunIntoFile(options, server_.get()), std::make_pair(int{kExitItemsFailed}, std::string(r.file)));
    }
}

}  // namespace
