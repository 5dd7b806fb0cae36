// What the product's tests rely on but cannot see for themselves: the
// simulator's counters. "Task memory 0" or "no call reached the historian"
// proves something only if every block the historian hands out is on the books
// and every call is counted.
#include "opc_hda.h"
#include "sim_control.h"
#include "opc/historian_answers.h"
#include "com/com_holders.h"
#include "support/file_time.h"

#include <gtest/gtest.h>
#include <windows.h>

namespace {

using testsupport::Ft;

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

// Every kind of answer, with a modification and an annotation in the history so
// that the user names and texts are there to be counted: on the books block for
// block while the client holds them, off them once the product's routines free
// them; every call counted once.
TEST(SimSeams, EveryBlockOfEveryAnswerIsOnTheBooksUntilFreed) {
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    ComPtr<IOPCHDA_Server> server;
    ComPtr<IHdaSimControl> control;
    ASSERT_EQ(
        CoCreateInstance(CLSID_HdaSimHistorian, nullptr, CLSCTX_INPROC_SERVER, IID_IOPCHDA_Server, server.put_void()),
        S_OK);
    ASSERT_EQ(server.query(IID_IHdaSimControl, control), S_OK);
    const LONGLONG t0 = 133485408000000000LL;  // 2024-01-01 00:00:00 UTC
    control->ClockSetSpeed(0.0);
    control->ClockSet(t0 + 864'000'000'000LL);
    auto counter = [&](HRESULT (STDMETHODCALLTYPE IHdaSimControl::*get)(LONG*)) {
        LONG n = -1;
        EXPECT_EQ((control.get()->*get)(&n), S_OK);
        return n;
    };
    const LONG memory = counter(&IHdaSimControl::OutstandingTaskMemory);
    const LONG handleCount = counter(&IHdaSimControl::OutstandingHandles);
    ComPtr<IOPCCommon> common;
    ComPtr<IOPCHDA_SyncUpdate> update;
    ComPtr<IOPCHDA_SyncAnnotations> annotations;
    ComPtr<IOPCHDA_SyncRead> read;
    ASSERT_EQ(server.query(IID_IOPCCommon, common) | server.query(IID_IOPCHDA_SyncUpdate, update) |
                  server.query(IID_IOPCHDA_SyncAnnotations, annotations) | server.query(IID_IOPCHDA_SyncRead, read),
              S_OK);
    ASSERT_EQ(common->SetClientName(L"operator"), S_OK);

    LPWSTR ids[] = {const_cast<LPWSTR>(L"Plant/Lab/Calibration/Ramp"), const_cast<LPWSTR>(L"Plant/Unknown")};
    OPCHANDLE clients[] = {1, 2}, *handles = nullptr;
    HRESULT* errors = nullptr;
    ASSERT_EQ(server->GetItemHandles(2, ids, clients, &handles, &errors), S_FALSE);
    EXPECT_EQ(counter(&IHdaSimControl::OutstandingHandles), handleCount + 1);
    EXPECT_EQ(counter(&IHdaSimControl::OutstandingTaskMemory), memory + 2);
    CoTaskMemFree(errors);
    OPCHANDLE h = handles[0];
    CoTaskMemFree(handles);

    FILETIME edited = Ft(t0 + 5 * 10'000'000LL);  // between two samples
    VARIANT value{};
    value.vt = VT_R8, value.dblVal = 1.5;
    DWORD quality = OPCHDA_RAW | 0xC0;
    ASSERT_EQ(update->Insert(1, &h, &edited, &value, &quality, &errors), S_OK);
    CoTaskMemFree(errors);
    LPWSTR note = const_cast<LPWSTR>(L"calibrated");
    OPCHDA_ANNOTATION annotation{1, 1, &edited, &note, &edited, nullptr};
    ASSERT_EQ(annotations->Insert(1, &h, &edited, &annotation, &errors), S_OK);
    CoTaskMemFree(errors);
    ASSERT_EQ(counter(&IHdaSimControl::OutstandingTaskMemory), memory);

    OPCHDA_TIME start{FALSE, nullptr, Ft(t0)}, end{FALSE, nullptr, Ft(t0 + 600 * 10'000'000LL)};
    DWORD aggregate = OPCHDA_AVERAGE, attributes[] = {OPCHDA_DATA_TYPE, OPCHDA_DESCRIPTION};
    FILETIME stamps[] = {Ft(t0), edited};
    auto check = [&](const wchar_t* method, DWORD n, auto* items, auto call) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(method)));
        LONG before = -1, after = -1;
        control->CallCount(method, &before);
        EXPECT_EQ(call(&items, &errors), S_OK);
        control->CallCount(method, &after);
        EXPECT_EQ(after, before + 1);
        long blocks = Blocks(items, errors);
        for (DWORD i = 0; items && i < n; ++i) blocks += BlocksOf(items[i]);
        EXPECT_EQ(counter(&IHdaSimControl::OutstandingTaskMemory), memory + blocks) << "blocks not on the books";
        FreeHistorianArray(items, n);
        CoTaskMemFree(errors);
        EXPECT_EQ(counter(&IHdaSimControl::OutstandingTaskMemory), memory) << "freed blocks still on the books";
    };
    check(L"IOPCHDA_SyncRead::ReadRaw", 1, static_cast<OPCHDA_ITEM*>(nullptr),
          [&](auto v, auto e) { return read->ReadRaw(&start, &end, 0, TRUE, 1, &h, v, e); });
    check(L"IOPCHDA_SyncRead::ReadProcessed", 1, static_cast<OPCHDA_ITEM*>(nullptr),
          [&](auto v, auto e) { return read->ReadProcessed(&start, &end, Ft(600'000'000), 1, &h, &aggregate, v, e); });
    check(L"IOPCHDA_SyncRead::ReadAtTime", 1, static_cast<OPCHDA_ITEM*>(nullptr),
          [&](auto v, auto e) { return read->ReadAtTime(2, stamps, 1, &h, v, e); });
    check(L"IOPCHDA_SyncRead::ReadModified", 1, static_cast<OPCHDA_MODIFIEDITEM*>(nullptr),
          [&](auto v, auto e) { return read->ReadModified(&start, &end, 0, 1, &h, v, e); });
    check(L"IOPCHDA_SyncRead::ReadAttribute", 2, static_cast<OPCHDA_ATTRIBUTE*>(nullptr),
          [&](auto v, auto e) { return read->ReadAttribute(&start, &end, h, 2, attributes, v, e); });
    check(L"IOPCHDA_SyncAnnotations::Read", 1, static_cast<OPCHDA_ANNOTATION*>(nullptr),
          [&](auto v, auto e) { return annotations->Read(&start, &end, 1, &h, v, e); });
    ASSERT_EQ(server->ReleaseItemHandles(1, &h, &errors), S_OK);
    CoTaskMemFree(errors);
    EXPECT_EQ(counter(&IHdaSimControl::OutstandingHandles), handleCount);
    EXPECT_EQ(counter(&IHdaSimControl::OutstandingTaskMemory), memory);
    control.reset();
    server.reset();
    CoUninitialize();
}

}  // namespace
