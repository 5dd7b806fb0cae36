// Synchronous reads, edits, aggregates, handles and the control seam, against
// the simulator in process and as a local server. Expected values come from
// the documented signal definitions, computed here independently.
#include "sim_fixture.h"

#include <cmath>

namespace simtest {
namespace {

const std::wstring kRamp = L"Plant/Lab/Calibration/Ramp";
const std::wstring kSine = L"Plant/Lab/Calibration/Sine";
const std::wstring kGappy = L"Plant/Lab/Calibration/Gappy";

double ramp_at(Ticks t) { return static_cast<double>((t / 100000000) % 1000); }

double sine_at(Ticks t) {
    double seconds = std::fmod(static_cast<double>(t / kSecond), 600.0);
    return 50.0 + 10.0 * std::sin(2.0 * 3.14159265358979323846 * seconds / 600.0);
}

struct ReadResult {
    HRESULT hr = E_FAIL;
    std::vector<HRESULT> errors;
    std::vector<std::vector<Ticks>> times;
    std::vector<std::vector<double>> values;
    std::vector<std::vector<DWORD>> qualities;
    std::vector<OPCHANDLE> clients;
};

ReadResult collect(HRESULT hr, OPCHDA_ITEM* items, HRESULT* errors, DWORD n) {
    ReadResult r;
    r.hr = hr;
    if (FAILED(hr)) return r;
    for (DWORD i = 0; i < n; ++i) {
        r.errors.push_back(errors[i]);
        r.clients.push_back(items[i].hClient);
        std::vector<Ticks> t;
        std::vector<double> v;
        std::vector<DWORD> q;
        for (DWORD k = 0; k < items[i].dwCount; ++k) {
            t.push_back(ticks(items[i].pftTimeStamps[k]));
            VARIANT d;
            VariantInit(&d);
            VariantChangeType(&d, &items[i].pvDataValues[k], 0, VT_R8);
            v.push_back(d.vt == VT_R8 ? d.dblVal : NAN);
            q.push_back(items[i].pdwQualities[k]);
        }
        r.times.push_back(t);
        r.values.push_back(v);
        r.qualities.push_back(q);
    }
    FreeHistorianItems(items, n);
    CoTaskMemFree(errors);
    return r;
}

class ReadsTest : public SimTest {
protected:
    ReadResult read_raw(Ticks start, Ticks end, std::vector<OPCHANDLE> h, DWORD max = 0) {
        Ref<IOPCHDA_SyncRead> read;
        EXPECT_HRESULT_SUCCEEDED(server->QueryInterface(IID_IOPCHDA_SyncRead, read.put_void()));
        OPCHDA_TIME s = htime(start), e = htime(end);
        OPCHDA_ITEM* items = nullptr;
        HRESULT* errors = nullptr;
        HRESULT hr = read->ReadRaw(&s, &e, max, FALSE, static_cast<DWORD>(h.size()), h.data(), &items, &errors);
        return collect(hr, items, errors, static_cast<DWORD>(h.size()));
    }
    ReadResult read_processed(Ticks start, Ticks end, Ticks interval, OPCHANDLE h, DWORD aggregate) {
        Ref<IOPCHDA_SyncRead> read;
        EXPECT_HRESULT_SUCCEEDED(server->QueryInterface(IID_IOPCHDA_SyncRead, read.put_void()));
        OPCHDA_TIME s = htime(start), e = htime(end);
        OPCHDA_ITEM* items = nullptr;
        HRESULT* errors = nullptr;
        HRESULT hr = read->ReadProcessed(&s, &e, ft(interval), 1, &h, &aggregate, &items, &errors);
        return collect(hr, items, errors, 1);
    }
};

TEST_P(ReadsTest, RawValuesFollowTheDeterministicRampAndCarryClientHandles) {
    auto h = handles({kRamp, kSine});
    ASSERT_EQ(h.size(), 2u);
    ReadResult r = read_raw(kT0, kT0 + kMinute, h);
    ASSERT_EQ(r.hr, S_OK);
    ASSERT_EQ(r.errors.size(), 2u);
    EXPECT_EQ(r.clients, (std::vector<OPCHANDLE>{1, 2}));
    ASSERT_EQ(r.times[0].size(), 6u);  // end excluded
    for (size_t k = 0; k < 6; ++k) {
        Ticks t = kT0 + static_cast<Ticks>(k) * 10 * kSecond;
        EXPECT_EQ(r.times[0][k], t);
        EXPECT_DOUBLE_EQ(r.values[0][k], ramp_at(t));
        EXPECT_EQ(r.qualities[0][k] & 0xFF, 0xC0u);
        EXPECT_NEAR(r.values[1][k], sine_at(t), 1e-9);
    }
}

TEST_P(ReadsTest, RelativeTimesResolveAgainstTheSimulatorClockAndAreWrittenBack) {
    auto h = handles({kRamp});
    Ref<IOPCHDA_SyncRead> read;
    ASSERT_HRESULT_SUCCEEDED(server->QueryInterface(IID_IOPCHDA_SyncRead, read.put_void()));
    Ticks now = kT0 + 24 * 60 * kMinute;
    // [in,out] texts must be task memory: across processes the proxy frees
    // and replaces them when the answer comes back.
    auto text = [](const wchar_t* t) {
        auto* p = static_cast<LPWSTR>(CoTaskMemAlloc((wcslen(t) + 1) * sizeof(wchar_t)));
        wcscpy(p, t);
        return p;
    };
    OPCHDA_TIME s{}, e{};
    s.bString = TRUE;
    s.szTime = text(L"NOW-1M");
    e.bString = TRUE;
    e.szTime = text(L"NOW");
    OPCHDA_ITEM* items = nullptr;
    HRESULT* errors = nullptr;
    ASSERT_EQ(read->ReadRaw(&s, &e, 0, FALSE, 1, h.data(), &items, &errors), S_OK);
    EXPECT_EQ(ticks(s.ftTime), now - kMinute);
    EXPECT_EQ(ticks(e.ftTime), now);
    EXPECT_EQ(items[0].dwCount, 6u);
    FreeHistorianItems(items, 1);
    CoTaskMemFree(errors);

    // A malformed text rejects the whole call.
    CoTaskMemFree(s.szTime);
    s.szTime = text(L"YESTERDAY");
    EXPECT_EQ(read->ReadRaw(&s, &e, 0, FALSE, 1, h.data(), &items, &errors), E_INVALIDARG);
    EXPECT_EQ(items, nullptr);
    CoTaskMemFree(s.szTime);
    CoTaskMemFree(e.szTime);
}

TEST_P(ReadsTest, ReadAtTimeInterpolatesTheSineBetweenSamples) {
    auto h = handles({kSine});
    Ref<IOPCHDA_SyncRead> read;
    ASSERT_HRESULT_SUCCEEDED(server->QueryInterface(IID_IOPCHDA_SyncRead, read.put_void()));
    FILETIME stamps[2] = {ft(kT0 + 30 * kSecond), ft(kT0 + 35 * kSecond)};
    OPCHDA_ITEM* items = nullptr;
    HRESULT* errors = nullptr;
    HRESULT hr = read->ReadAtTime(2, stamps, 1, h.data(), &items, &errors);
    ReadResult r = collect(hr, items, errors, 1);
    ASSERT_EQ(r.hr, S_OK);
    ASSERT_EQ(r.values[0].size(), 2u);
    EXPECT_NEAR(r.values[0][0], sine_at(kT0 + 30 * kSecond), 1e-9);
    double between = (sine_at(kT0 + 30 * kSecond) + sine_at(kT0 + 40 * kSecond)) / 2;
    EXPECT_NEAR(r.values[0][1], between, 1e-9);
}

TEST_P(ReadsTest, EditsAreSeenByLaterReads) {
    auto h = handles({kRamp});
    Ref<IOPCHDA_SyncUpdate> update;
    ASSERT_HRESULT_SUCCEEDED(server->QueryInterface(IID_IOPCHDA_SyncUpdate, update.put_void()));
    HRESULT* errors = nullptr;
    FILETIME between = ft(kT0 + 5 * kSecond);
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_R8;
    v.dblVal = 999.5;
    DWORD quality = 0xC0;
    ASSERT_EQ(update->Insert(1, h.data(), &between, &v, &quality, &errors), S_OK);
    EXPECT_EQ(errors[0], S_OK);
    CoTaskMemFree(errors);

    // Inserting where a value exists is refused per item.
    FILETIME existing = ft(kT0 + 10 * kSecond);
    ASSERT_EQ(update->Insert(1, h.data(), &existing, &v, &quality, &errors), S_FALSE);
    EXPECT_EQ(errors[0], static_cast<HRESULT>(0xC004100B));
    CoTaskMemFree(errors);

    v.dblVal = -1;
    ASSERT_EQ(update->Replace(1, h.data(), &existing, &v, &quality, &errors), S_OK);
    CoTaskMemFree(errors);
    FILETIME first = ft(kT0);
    ASSERT_EQ(update->DeleteAtTime(1, h.data(), &first, &errors), S_OK);
    CoTaskMemFree(errors);

    ReadResult r = read_raw(kT0, kT0 + 20 * kSecond, h);
    ASSERT_EQ(r.hr, S_OK);
    ASSERT_EQ(r.times[0], (std::vector<Ticks>{kT0 + 5 * kSecond, kT0 + 10 * kSecond}));
    EXPECT_DOUBLE_EQ(r.values[0][0], 999.5);
    EXPECT_DOUBLE_EQ(r.values[0][1], -1);

    // The modification log tells the edits apart.
    Ref<IOPCHDA_SyncRead> read;
    ASSERT_HRESULT_SUCCEEDED(server->QueryInterface(IID_IOPCHDA_SyncRead, read.put_void()));
    OPCHDA_TIME s = htime(kT0), e = htime(kT0 + 20 * kSecond);
    OPCHDA_MODIFIEDITEM* mod = nullptr;
    ASSERT_HRESULT_SUCCEEDED(read->ReadModified(&s, &e, 0, 1, h.data(), &mod, &errors));
    std::vector<OPCHDA_EDITTYPE> kinds(mod[0].pEditType, mod[0].pEditType + mod[0].dwCount);
    EXPECT_EQ(kinds.size(), 3u);
    FreeHistorianModifiedItems(mod, 1);
    CoTaskMemFree(errors);
}

TEST_P(ReadsTest, AggregatesMatchValuesComputedFromTheSignalDefinition) {
    auto h = handles({kRamp, kGappy});
    // Ramp, one-minute intervals: six consecutive samples each.
    for (DWORD agg : {3u /*average*/, 5u /*count*/, 6u /*stdev*/, 8u /*minimum*/, 10u /*maximum*/}) {
        ReadResult r = read_processed(kT0, kT0 + 3 * kMinute, kMinute, h[0], agg);
        ASSERT_HRESULT_SUCCEEDED(r.hr) << agg;
        ASSERT_EQ(r.values[0].size(), 3u) << agg;
        for (size_t i = 0; i < 3; ++i) {
            std::vector<double> xs;
            for (int k = 0; k < 6; ++k) xs.push_back(ramp_at(kT0 + static_cast<Ticks>(i) * kMinute + k * 10 * kSecond));
            double mean = 0;
            for (double x : xs) mean += x / 6;
            double ss = 0;
            for (double x : xs) ss += (x - mean) * (x - mean);
            double expected = agg == 3   ? mean
                              : agg == 5 ? 6
                              : agg == 6 ? std::sqrt(ss / 5)
                              : agg == 8 ? xs.front()
                                         : xs.back();
            EXPECT_NEAR(r.values[0][i], expected, 1e-9) << "aggregate " << agg << " interval " << i;
            EXPECT_EQ(r.times[0][i], kT0 + static_cast<Ticks>(i) * kMinute);
        }
    }
    // Gappy over ten minutes: a 100 s gap, five bad samples left out.
    double sum = 0;
    int count = 0;
    for (int j = 0; j < 60; ++j) {
        Ticks k = kT0 / 100000000 + j;
        int phase = static_cast<int>(k % 60);
        if ((phase >= 20 && phase < 30) || (phase >= 40 && phase < 45)) continue;
        sum += static_cast<double>(k % 1000);
        ++count;
    }
    ReadResult c = read_processed(kT0, kT0 + 10 * kMinute, 0, h[1], 5);
    ASSERT_HRESULT_SUCCEEDED(c.hr);
    ASSERT_EQ(c.values[0].size(), 1u);
    EXPECT_EQ(c.values[0][0], count);
    ReadResult a = read_processed(kT0, kT0 + 10 * kMinute, 0, h[1], 3);
    ASSERT_EQ(a.values[0].size(), 1u);
    EXPECT_NEAR(a.values[0][0], sum / count, 1e-9);
}

TEST_P(ReadsTest, HandlesAreCountedAndUnknownOnesReportedPerItem) {
    LONG held = -1;
    ASSERT_HRESULT_SUCCEEDED(control->OutstandingHandles(&held));
    EXPECT_EQ(held, 0);
    auto h = handles({kRamp, kSine});
    control->OutstandingHandles(&held);
    EXPECT_EQ(held, 2);

    LPWSTR unknown = const_cast<LPWSTR>(L"Plant/NoSuchItem");
    OPCHANDLE client = 7, *server_handles = nullptr;
    HRESULT* errors = nullptr;
    EXPECT_EQ(server->GetItemHandles(1, &unknown, &client, &server_handles, &errors), S_FALSE);
    EXPECT_EQ(errors[0], static_cast<HRESULT>(0xC0040007));
    CoTaskMemFree(server_handles);
    CoTaskMemFree(errors);

    std::vector<OPCHANDLE> mixed = {h[0], 0xDEAD};
    ReadResult r = read_raw(kT0, kT0 + kMinute, mixed);
    EXPECT_EQ(r.hr, S_FALSE);
    EXPECT_EQ(r.errors[0], S_OK);
    EXPECT_EQ(r.errors[1], static_cast<HRESULT>(0xC0040001));

    ASSERT_EQ(server->ReleaseItemHandles(2, h.data(), &errors), S_OK);
    CoTaskMemFree(errors);
    control->OutstandingHandles(&held);
    EXPECT_EQ(held, 0);
}

TEST_P(ReadsTest, FaultsFailMethodsAndItemsAsConfigured) {
    auto h = handles({kRamp, kSine});
    ASSERT_HRESULT_SUCCEEDED(control->FailMethod(L"IOPCHDA_SyncRead::ReadRaw", E_UNEXPECTED));
    ReadResult r = read_raw(kT0, kT0 + kMinute, h);
    EXPECT_EQ(r.hr, E_UNEXPECTED);
    // A bare method name matches every interface that has it.
    ASSERT_HRESULT_SUCCEEDED(control->FailMethod(L"GetHistorianStatus", static_cast<HRESULT>(0x80040200)));
    OPCHDA_SERVERSTATUS status;
    FILETIME *now = nullptr, *start = nullptr;
    WORD major, minor, build;
    DWORD max;
    LPWSTR text = nullptr, vendor = nullptr;
    EXPECT_EQ(server->GetHistorianStatus(&status, &now, &start, &major, &minor, &build, &max, &text, &vendor),
              static_cast<HRESULT>(0x80040200));
    LONG calls = 0;
    control->CallCount(L"ReadRaw", &calls);
    EXPECT_EQ(calls, 1);

    control->ClearFaults();
    ASSERT_HRESULT_SUCCEEDED(control->SetItemCode(kSine.c_str(), static_cast<HRESULT>(0xC0041009)));
    r = read_raw(kT0, kT0 + kMinute, h);
    EXPECT_EQ(r.hr, S_FALSE);
    EXPECT_EQ(r.errors[0], S_OK);
    EXPECT_EQ(r.errors[1], static_cast<HRESULT>(0xC0041009));
    EXPECT_TRUE(r.values[1].empty());
}

TEST_P(ReadsTest, RefusedInterfacesAreMissingOnHistoriansCreatedLater) {
    // Set on the process before the historian exists, as a client's Connect
    // queries everything right after creation.
    Ref<IHdaSimControl> process;
    ASSERT_HRESULT_SUCCEEDED(create_control(GetParam(), process.put()));
    ASSERT_HRESULT_SUCCEEDED(process->RefuseInterface(IID_IOPCCommon, TRUE));
    ASSERT_HRESULT_SUCCEEDED(process->RefuseInterface(IID_IOPCHDA_SyncRead, TRUE));
    Ref<IOPCHDA_Server> other;
    ASSERT_HRESULT_SUCCEEDED(create_historian(GetParam(), other.put()));
    Ref<IUnknown> common, read, update, steer;
    EXPECT_EQ(other->QueryInterface(IID_IOPCCommon, common.put_void()), E_NOINTERFACE);
    EXPECT_EQ(other->QueryInterface(IID_IOPCHDA_SyncRead, read.put_void()), E_NOINTERFACE);
    EXPECT_HRESULT_SUCCEEDED(other->QueryInterface(IID_IOPCHDA_SyncUpdate, update.put_void()));
    EXPECT_HRESULT_SUCCEEDED(other->QueryInterface(IID_IHdaSimControl, steer.put_void()));

    ASSERT_HRESULT_SUCCEEDED(process->ClearFaults());
    Ref<IOPCHDA_Server> later;
    ASSERT_HRESULT_SUCCEEDED(create_historian(GetParam(), later.put()));
    EXPECT_HRESULT_SUCCEEDED(later->QueryInterface(IID_IOPCCommon, common.put_void()));
    EXPECT_HRESULT_SUCCEEDED(later->QueryInterface(IID_IOPCHDA_SyncRead, read.put_void()));
}

TEST_P(ReadsTest, StatusAttributesAndBrowseAnswer) {
    OPCHDA_SERVERSTATUS status;
    FILETIME *now = nullptr, *start = nullptr;
    WORD major, minor, build;
    DWORD max;
    LPWSTR text = nullptr, vendor = nullptr;
    ASSERT_EQ(server->GetHistorianStatus(&status, &now, &start, &major, &minor, &build, &max, &text, &vendor), S_OK);
    EXPECT_EQ(status, OPCHDA_UP);
    EXPECT_EQ(ticks(*now), kT0 + 24 * 60 * kMinute);
    CoTaskMemFree(now);
    CoTaskMemFree(start);
    CoTaskMemFree(text);
    CoTaskMemFree(vendor);

    DWORD count = 0, *ids = nullptr;
    LPWSTR *names = nullptr, *descs = nullptr;
    VARTYPE* types = nullptr;
    ASSERT_EQ(server->GetItemAttributes(&count, &ids, &names, &descs, &types), S_OK);
    EXPECT_EQ(count, 19u);
    for (DWORD i = 0; i < count; ++i) {
        CoTaskMemFree(names[i]);
        CoTaskMemFree(descs[i]);
    }
    CoTaskMemFree(ids);
    CoTaskMemFree(names);
    CoTaskMemFree(descs);
    CoTaskMemFree(types);

    Ref<IOPCHDA_Browser> browser;
    HRESULT* errors = nullptr;
    // No filter, but the arrays are reference pointers on the wire: never null.
    DWORD no_attr = 0;
    OPCHDA_OPERATORCODES no_op = OPCHDA_EQUAL;
    VARIANT no_filter;
    VariantInit(&no_filter);
    ASSERT_HRESULT_SUCCEEDED(server->CreateBrowse(0, &no_attr, &no_op, &no_filter, browser.put(), &errors));
    CoTaskMemFree(errors);
    ASSERT_HRESULT_SUCCEEDED(browser->ChangeBrowsePosition(OPCHDA_BROWSE_DIRECT, L"Plant/Lab/Calibration"));
    Ref<IEnumString> leaves;
    ASSERT_EQ(browser->GetEnum(OPCHDA_ITEMS, leaves.put()), S_OK);
    bool found = false;
    LPOLESTR name = nullptr;
    ULONG fetched = 0;
    while (leaves->Next(1, &name, &fetched) == S_OK) {
        found = found || kRamp == name;
        CoTaskMemFree(name);
    }
    EXPECT_TRUE(found);
}

INSTANTIATE_TEST_SUITE_P(Sim, ReadsTest, testing::Values(Where::InProc, Where::Local), where_name);

// Task memory can only be followed in the process that receives it.
TEST(TaskMemory, EveryBlockHandedOutIsCountedUntilTheClientFreesIt) {
    Ref<IOPCHDA_Server> server;
    ASSERT_HRESULT_SUCCEEDED(create_historian(Where::InProc, server.put()));
    Ref<IHdaSimControl> control;
    ASSERT_HRESULT_SUCCEEDED(server->QueryInterface(IID_IHdaSimControl, control.put_void()));
    LONG base = -1, after = -1;
    ASSERT_HRESULT_SUCCEEDED(control->OutstandingTaskMemory(&base));

    LPWSTR id = const_cast<LPWSTR>(L"Plant/Lab/Calibration/Ramp");
    OPCHANDLE client = 1, *h = nullptr;
    HRESULT* errors = nullptr;
    ASSERT_EQ(server->GetItemHandles(1, &id, &client, &h, &errors), S_OK);
    control->OutstandingTaskMemory(&after);
    EXPECT_EQ(after, base + 2);
    CoTaskMemFree(errors);
    control->OutstandingTaskMemory(&after);
    EXPECT_EQ(after, base + 1);  // the handle array is still out

    Ref<IOPCHDA_SyncRead> read;
    ASSERT_HRESULT_SUCCEEDED(server->QueryInterface(IID_IOPCHDA_SyncRead, read.put_void()));
    OPCHDA_TIME s = htime(kT0), e = htime(kT0 + kMinute);
    OPCHDA_ITEM* items = nullptr;
    ASSERT_HRESULT_SUCCEEDED(read->ReadRaw(&s, &e, 0, FALSE, 1, h, &items, &errors));
    control->OutstandingTaskMemory(&after);
    EXPECT_EQ(after, base + 1 + 5);  // items, errors, and the item's three arrays
    FreeHistorianItems(items, 1);
    CoTaskMemFree(errors);
    ASSERT_HRESULT_SUCCEEDED(server->ReleaseItemHandles(1, h, &errors));
    CoTaskMemFree(errors);
    CoTaskMemFree(h);
    control->OutstandingTaskMemory(&after);
    EXPECT_EQ(after, base);
}

}  // namespace
}  // namespace simtest
