// The export of history a client has changed, which the simulator shows only
// to the historian object that was changed: modified values and annotations
// are written into the in-process simulator, then the whole export reads that
// object, in both formats. The texts carry commas, quotes, line breaks, a
// formula's start and letters beyond ASCII; the times fall in the hour that
// repeats in autumn (TZ=Europe/Berlin, set by the test's environment).
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "export/export_run.h"
#include "export/export_time.h"
#include "opc_hda.h"
#include "sim_control.h"
#include "support/com_test.h"

namespace {

constexpr std::int64_t kSecond = 10'000'000;
constexpr std::int64_t kAutumn = 133'744'626'000'000'000;  // 2024-10-27T00:30:00Z, 02:30 in Berlin (+02:00)
constexpr std::int64_t kNow = 133'749'792'000'000'000;     // 2024-11-02T00:00:00Z, the simulator's clock
constexpr wchar_t kText[] = L"Plant/Lab/Calibration/Text";

class ExportOfChangedHistory : public comtest::ComTest {
protected:
    void SetUp() override {
        ComTest::SetUp();
        CLSID clsid;
        ASSERT_EQ(CLSIDFromProgID(L"Sim.HdaHistorian", &clsid), S_OK);
        ASSERT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IOPCHDA_Server, server_.put_void()), S_OK);
        ASSERT_EQ(server_.query(IID_IHdaSimControl, control_), S_OK);
        control_->ClockSetSpeed(0.0);
        control_->ClockSet(kNow);
        ComPtr<IOPCCommon> common;
        ASSERT_EQ(server_.query(IID_IOPCCommon, common), S_OK);
        common->SetClientName(L"Schichtf\u00FChrer, Nord");
        ChangeHistory();
        wchar_t folder[MAX_PATH];
        GetTempPathW(MAX_PATH, folder);
        path_ = std::wstring(folder) + L"export_history_test.csv";
    }
    void TearDown() override {
        LONG outstanding = -1;
        EXPECT_EQ(control_->OutstandingTaskMemory(&outstanding), S_OK);
        EXPECT_EQ(outstanding, 0) << "the simulator's task memory not freed";
        control_->ResetDefaults();
        control_ = nullptr;
        server_ = nullptr;
        DeleteFileW(path_.c_str());
        ComTest::TearDown();
    }

    // Two texts inserted half a minute after a sample, an hour apart (the
    // same local time twice), and a note on the first.
    void ChangeHistory() {
        LPWSTR ids[] = {const_cast<LPWSTR>(kText)};
        OPCHANDLE client = 1;
        TaskArray<OPCHANDLE> handles;
        TaskArray<HRESULT> codes;
        ASSERT_EQ(server_->GetItemHandles(1, ids, &client, handles.put(), codes.put()), S_OK);
        OPCHANDLE handle = handles[0];
        ComPtr<IOPCHDA_SyncUpdate> update;
        ASSERT_EQ(server_.query(IID_IOPCHDA_SyncUpdate, update), S_OK);
        const wchar_t* texts[] = {L"=1+1, \"quoted\"", L"Stra\u00DFe\r\nzwei"};
        for (int k = 0; k < 2; ++k) {
            FILETIME at = FileTimeOf(kAutumn + (30 + 3600 * k) * kSecond);
            UniqueVariant value(comtest::VarBstr(texts[k]));
            DWORD quality = 0xC0;
            TaskArray<HRESULT> errors;
            ASSERT_EQ(update->Insert(1, &handle, &at, value.get(), &quality, errors.put()), S_OK);
        }
        ComPtr<IOPCHDA_SyncAnnotations> annotations;
        ASSERT_EQ(server_.query(IID_IOPCHDA_SyncAnnotations, annotations), S_OK);
        FILETIME at = FileTimeOf(kAutumn + 30 * kSecond), entered = FileTimeOf(kAutumn + 90 * kSecond);
        LPWSTR user[] = {const_cast<LPWSTR>(L"Pr\u00FCfer")};
        OPCHDA_ANNOTATION note{1, 1, &at, const_cast<LPWSTR*>(&texts[1]), &entered, user};
        TaskArray<HRESULT> errors;
        ASSERT_EQ(annotations->Insert(1, &handle, &at, &note, errors.put()), S_OK);
        TaskArray<HRESULT> released;
        server_->ReleaseItemHandles(1, &handle, released.put());
    }

    // The whole program over the changed historian: its exit code and file.
    std::string Export(HistoryKind kind, bool spreadsheet, const wchar_t* separator) {
        Options options;
        options.items = {kText, L"Plant/\u00DCnknown, \"x\"\nline"};
        options.request.kind = kind;
        options.request.start = {L"", FileTimeOf(kAutumn)};
        options.request.end = {L"", FileTimeOf(kAutumn + 7200 * kSecond)};
        options.spreadsheet = spreadsheet;
        options.separator = separator;
        options.out = path_;
        options.quiet = true;
        EXPECT_EQ(RunExport(options, server_.get()), kExitItemsFailed);
        std::ifstream file(path_.c_str(), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(file), {});
    }

    ComPtr<IOPCHDA_Server> server_;
    ComPtr<IHdaSimControl> control_;
    std::wstring path_;
};

TEST_F(ExportOfChangedHistory, ModifiedValuesAndAnnotationsInBothFormats) {
    struct Row {
        const char* name;
        HistoryKind kind;
        bool spreadsheet;
        const wchar_t* separator;
        const char* file;
    } rows[] = {
        {"modified, csv", HistoryKind::Modified, false, L"",
         "item,time,value,quality,quality_text,modification_time,edit_type,user,error,error_text\r\n"
         "Plant/Lab/Calibration/Text,2024-10-27T00:30:30.000Z,\"=1+1, \"\"quoted\"\"\",262336,Good | Raw,"
         "2024-11-02T00:00:00.000Z,Insert,\"Schichtf\xC3\xBChrer, Nord\",,\r\n"
         "Plant/Lab/Calibration/Text,2024-10-27T01:30:30.000Z,\"Stra\xC3\x9F" "e\r\nzwei\",262336,Good | Raw,"
         "2024-11-02T00:00:00.000Z,Insert,\"Schichtf\xC3\xBChrer, Nord\",,\r\n"
         "\"Plant/\xC3\x9Cnknown, \"\"x\"\"\nline\",,,,,,,,0xC0040008,"
         "OPC_E_INVALIDITEMID: The item ID does not conform to the server's syntax.\r\n"},
        // Local times Excel reads, the UTC time beside them; the formula's start kept as text.
        {"modified, excel", HistoryKind::Modified, true, L";",
         "\xEF\xBB\xBFitem;time;time_utc;value;quality;quality_text;modification_time;edit_type;user;error;error_text\r\n"
         "Plant/Lab/Calibration/Text;2024-10-27 02:30:30.000;2024-10-27 00:30:30.000;\"'=1+1, \"\"quoted\"\"\";"
         "262336;Good | Raw;2024-11-02 01:00:00.000;Insert;Schichtf\xC3\xBChrer, Nord;;\r\n"
         "Plant/Lab/Calibration/Text;2024-10-27 02:30:30.000;2024-10-27 01:30:30.000;\"Stra\xC3\x9F" "e\r\nzwei\";"
         "262336;Good | Raw;2024-11-02 01:00:00.000;Insert;Schichtf\xC3\xBChrer, Nord;;\r\n"
         "\"Plant/\xC3\x9Cnknown, \"\"x\"\"\nline\";;;;;;;;;0xC0040008;"
         "OPC_E_INVALIDITEMID: The item ID does not conform to the server's syntax.\r\n"},
        {"annotations, csv", HistoryKind::Annotations, false, L"",
         "item,time,annotation_time,annotation,user,error,error_text\r\n"
         "Plant/Lab/Calibration/Text,2024-10-27T00:30:30.000Z,2024-10-27T00:31:30.000Z,\"Stra\xC3\x9F" "e\r\nzwei\","
         "Pr\xC3\xBC" "fer,,\r\n"
         "\"Plant/\xC3\x9Cnknown, \"\"x\"\"\nline\",,,,,0xC0040008,"
         "OPC_E_INVALIDITEMID: The item ID does not conform to the server's syntax.\r\n"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        EXPECT_EQ(Export(r.kind, r.spreadsheet, r.separator), r.file);
    }
}

}  // namespace
