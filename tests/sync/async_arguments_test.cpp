// Intervals become historian durations by truncation toward zero (a day is
// 864,000,000,000 units of 100 ns), passed bit for bit whatever their sign.
// (Script clients call every asynchronous member in tests/scripts.)
#include "request_members.h"

namespace requesttest {
namespace {

struct Duration {
    const char* member;
    DATE Request::*field;
    const wchar_t* recorded;
};
const Duration kDurations[] = {
    {"AsyncAdviseRaw", &Request::updateInterval, L"interval"},
    {"AsyncReadProcessed", &Request::resampleInterval, L"resample"},
    {"AsyncAdviseProcessed", &Request::resampleInterval, L"resample"},
    {"AsyncPlaybackRaw", &Request::updateDuration, L"duration"},
    {"AsyncPlaybackRaw", &Request::updateInterval, L"interval"},
    {"AsyncPlaybackProcessed", &Request::resampleInterval, L"resample"},
    {"AsyncPlaybackProcessed", &Request::updateInterval, L"interval"},
};
struct Span {
    DATE days;
    LONGLONG units;
};
const Span kSpans[] = {
    {1.0, 864000000000LL},
    {0.5, 432000000000LL},
    {-1.0, -864000000000LL},
    {1.0 / 24, 36000000000LL},
    {1.9e-12, 1},    // 1.64 units: truncated, not rounded
    {-1.9e-12, -1},  // toward zero, not down
    {0.0, 0},
};

const Member& MemberNamed(const char* name) {
    for (const Member& m : Members())
        if (std::string(m.name) == name) return m;
    throw std::logic_error(name);
}

class AsyncArguments : public ConnectedServerAt {
protected:
    void SetUp() override {
        ConnectedServerAt::SetUp();
        if (!HasFatalFailure()) {
            ASSERT_HRESULT_SUCCEEDED(control_->HoldCallbacks(TRUE, FALSE));
        }
    }
};

TEST_P(AsyncArguments, IntervalsReachTheHistorianAsTruncatedDurations) {
    for (const Duration& d : kDurations) {
        const Member& m = MemberNamed(d.member);
        for (const Span& s : kSpans) {
            Request r(rampHandle_, stepHandle_);
            r.*d.field = s.days;
            r.errors = nullptr;
            m.call(items_.get(), r);  // the simulator may refuse a span; it has seen it
            UniqueSafeArray owned(r.errors);
            LONGLONG units = 0;
            ASSERT_EQ(control_->RecordedArgument(m.historian, d.recorded, &units), S_OK);
            EXPECT_EQ(units, s.units) << d.member << " " << s.days;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Sim, AsyncArguments, ::testing::ValuesIn(kBothSides), NameOf);

}  // namespace
}  // namespace requesttest
