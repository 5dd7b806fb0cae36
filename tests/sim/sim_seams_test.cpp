// What the product's tests rely on but cannot see for themselves: the
// simulator's counters. A test that ends with "task memory 0" or "no call
// reached the historian" proves something only if every block the historian
// hands out is on the books and every call is counted. The simulator's values
// themselves are checked by the product's tests, through the product.
#include "opc_hda.h"
#include "sim_control.h"
#include "history/historian_answers.h"
#include "module/com_holders.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <functional>
#include <string>
#include <vector>

namespace {

constexpr LONGLONG kDay = 864'000'000'000LL;
constexpr LONGLONG kT0 = 133485408000000000LL;  // 2024-01-01 00:00:00 UTC

FILETIME Ft(LONGLONG t) { return {static_cast<DWORD>(t), static_cast<DWORD>(static_cast<ULONGLONG>(t) >> 32)}; }

// Blocks handed out: each non-null pointer is one, strings inside arrays too.
// The simulator fills every string it has; an empty one would hide nothing.
template <class... P>
long Blocks(P*... p) {
    return ((p != nullptr) + ... + 0);
}
long Strings(LPWSTR* s, DWORD n) {
    long count = 0;
    for (DWORD i = 0; s && i < n; ++i) {
        EXPECT_TRUE(s[i] && *s[i]) << "string " << i << " not filled";
        count += s[i] != nullptr;
    }
    return count;
}
long BlocksOf(const OPCHDA_ITEM& i) { return Blocks(i.pftTimeStamps, i.pdwQualities, i.pvDataValues); }
long BlocksOf(const OPCHDA_MODIFIEDITEM& i) {
    EXPECT_GT(i.dwCount, 0u);
    return Blocks(i.pftTimeStamps, i.pdwQualities, i.pvDataValues, i.pftModificationTime, i.pEditType, i.szUser) +
           Strings(i.szUser, i.dwCount);
}
long BlocksOf(const OPCHDA_ATTRIBUTE& a) { return Blocks(a.ftTimeStamps, a.vAttributeValues); }
long BlocksOf(const OPCHDA_ANNOTATION& a) {
    EXPECT_GT(a.dwNumValues, 0u);
    return Blocks(a.ftTimeStamps, a.szAnnotation, a.ftAnnotationTime, a.szUser) +
           Strings(a.szAnnotation, a.dwNumValues) + Strings(a.szUser, a.dwNumValues);
}

class SimSeams : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
        ASSERT_EQ(CoCreateInstance(CLSID_HdaSimHistorian, nullptr, CLSCTX_INPROC_SERVER, IID_IOPCHDA_Server,
                                   server_.put_void()),
                  S_OK);
        ASSERT_EQ(server_->QueryInterface(IID_IHdaSimControl, control_.put_void()), S_OK);
        control_->ClockSetSpeed(0.0);
        control_->ClockSet(kT0 + kDay);
    }
    void TearDown() override {
        control_.reset();
        server_.reset();
        CoUninitialize();
    }
    template <class I>
    ComPtr<I> As(const IID& iid) {
        ComPtr<I> p;
        EXPECT_EQ(server_->QueryInterface(iid, p.put_void()), S_OK);
        return p;
    }
    LONG Counter(HRESULT (STDMETHODCALLTYPE IHdaSimControl::*get)(LONG*)) {
        LONG n = -1;
        EXPECT_EQ((control_.get()->*get)(&n), S_OK);
        return n;
    }
    LONG Calls(const wchar_t* method) {
        LONG n = -1;
        EXPECT_EQ(control_->CallCount(method, &n), S_OK);
        return n;
    }
    // An answer and its error array are on the books, block for block, while
    // the client holds them, and off them once the product's routines free them.
    template <class T>
    void ExpectCountedUntilFreed(T* items, HRESULT* errors, DWORD n) {
        long blocks = Blocks(items, errors);
        for (DWORD i = 0; items && i < n; ++i) blocks += BlocksOf(items[i]);
        EXPECT_EQ(Counter(&IHdaSimControl::OutstandingTaskMemory), memory_ + blocks) << "blocks not on the books";
        FreeHistorianArray(items, n);
        CoTaskMemFree(errors);
        EXPECT_EQ(Counter(&IHdaSimControl::OutstandingTaskMemory), memory_) << "freed blocks still on the books";
    }
    ComPtr<IOPCHDA_Server> server_;
    ComPtr<IHdaSimControl> control_;
    LONG memory_ = 0;
};

// Every kind of answer, with a modification and an annotation in the history
// so that the user names and texts are there to be counted.
TEST_F(SimSeams, EveryBlockOfEveryAnswerIsOnTheBooksUntilFreed) {
    memory_ = Counter(&IHdaSimControl::OutstandingTaskMemory);
    const LONG handleCount = Counter(&IHdaSimControl::OutstandingHandles);
    ASSERT_EQ(As<IOPCCommon>(IID_IOPCCommon)->SetClientName(L"operator"), S_OK);

    LPWSTR ids[] = {const_cast<LPWSTR>(L"Plant/Lab/Calibration/Ramp"), const_cast<LPWSTR>(L"Plant/Unknown")};
    OPCHANDLE clients[] = {1, 2};
    OPCHANDLE* handles = nullptr;
    HRESULT* errors = nullptr;
    ASSERT_EQ(server_->GetItemHandles(2, ids, clients, &handles, &errors), S_FALSE);
    EXPECT_EQ(Counter(&IHdaSimControl::OutstandingHandles), handleCount + 1);
    EXPECT_EQ(Counter(&IHdaSimControl::OutstandingTaskMemory), memory_ + 2);
    CoTaskMemFree(errors);
    const OPCHANDLE h = handles[0];
    CoTaskMemFree(handles);

    FILETIME edited = Ft(kT0 + 5 * 10'000'000LL);  // between two samples
    VARIANT value;
    value.vt = VT_R8;
    value.dblVal = 1.5;
    DWORD quality = OPCHDA_RAW | 0xC0;
    OPCHANDLE one[] = {h};
    ASSERT_EQ(As<IOPCHDA_SyncUpdate>(IID_IOPCHDA_SyncUpdate)->Insert(1, one, &edited, &value, &quality, &errors), S_OK);
    CoTaskMemFree(errors);
    LPWSTR note = const_cast<LPWSTR>(L"calibrated");
    OPCHDA_ANNOTATION annotation{};
    annotation.hClient = 1;
    annotation.dwNumValues = 1;
    annotation.ftTimeStamps = &edited;
    annotation.szAnnotation = &note;
    annotation.ftAnnotationTime = &edited;
    auto annotations = As<IOPCHDA_SyncAnnotations>(IID_IOPCHDA_SyncAnnotations);
    ASSERT_EQ(annotations->Insert(1, one, &edited, &annotation, &errors), S_OK);
    CoTaskMemFree(errors);
    ASSERT_EQ(Counter(&IHdaSimControl::OutstandingTaskMemory), memory_);

    auto read = As<IOPCHDA_SyncRead>(IID_IOPCHDA_SyncRead);
    OPCHDA_TIME start{FALSE, nullptr, Ft(kT0)}, end{FALSE, nullptr, Ft(kT0 + 600 * 10'000'000LL)};
    DWORD aggregate = OPCHDA_AVERAGE, attribute[] = {OPCHDA_DATA_TYPE, OPCHDA_DESCRIPTION};
    FILETIME stamps[] = {Ft(kT0), edited};
    struct Kind {
        const wchar_t* method;
        std::function<void()> call;
    };
    const Kind kinds[] = {
        {L"IOPCHDA_SyncRead::ReadRaw",
         [&] {
             OPCHDA_ITEM* items = nullptr;
             EXPECT_EQ(read->ReadRaw(&start, &end, 0, TRUE, 1, one, &items, &errors), S_OK);
             ExpectCountedUntilFreed(items, errors, 1);
         }},
        {L"IOPCHDA_SyncRead::ReadProcessed",
         [&] {
             OPCHDA_ITEM* items = nullptr;
             EXPECT_EQ(read->ReadProcessed(&start, &end, Ft(60 * 10'000'000LL), 1, one, &aggregate, &items, &errors),
                       S_OK);
             ExpectCountedUntilFreed(items, errors, 1);
         }},
        {L"IOPCHDA_SyncRead::ReadAtTime",
         [&] {
             OPCHDA_ITEM* items = nullptr;
             EXPECT_EQ(read->ReadAtTime(2, stamps, 1, one, &items, &errors), S_OK);
             ExpectCountedUntilFreed(items, errors, 1);
         }},
        {L"IOPCHDA_SyncRead::ReadModified",
         [&] {
             OPCHDA_MODIFIEDITEM* items = nullptr;
             EXPECT_EQ(read->ReadModified(&start, &end, 0, 1, one, &items, &errors), S_OK);
             ExpectCountedUntilFreed(items, errors, 1);
         }},
        {L"IOPCHDA_SyncRead::ReadAttribute",
         [&] {
             OPCHDA_ATTRIBUTE* items = nullptr;
             EXPECT_EQ(read->ReadAttribute(&start, &end, h, 2, attribute, &items, &errors), S_OK);
             ExpectCountedUntilFreed(items, errors, 2);
         }},
        {L"IOPCHDA_SyncAnnotations::Read",
         [&] {
             OPCHDA_ANNOTATION* items = nullptr;
             EXPECT_EQ(annotations->Read(&start, &end, 1, one, &items, &errors), S_OK);
             ExpectCountedUntilFreed(items, errors, 1);
         }},
    };
    for (const Kind& kind : kinds) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(kind.method)));
        // "Nothing reached the historian" means a call count that stayed put.
        const LONG calls = Calls(kind.method);
        kind.call();
        EXPECT_EQ(Calls(kind.method), calls + 1);
    }
    ASSERT_EQ(server_->ReleaseItemHandles(1, one, &errors), S_OK);
    CoTaskMemFree(errors);
    EXPECT_EQ(Counter(&IHdaSimControl::OutstandingHandles), handleCount);
    EXPECT_EQ(Counter(&IHdaSimControl::OutstandingTaskMemory), memory_);
}

}  // namespace
