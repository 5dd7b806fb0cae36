// Shared helpers of the model tests: times from the calendar through the
// platform (independent of the model's own date code) and a fixture with a
// hand-stepped clock.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <numbers>
#include <string>

#include "historian.h"

namespace simtest {

using hdasim::Ticks;

inline Ticks T(int y, int mo, int d, int h = 0, int mi = 0, int s = 0) {
    SYSTEMTIME st{};
    st.wYear = static_cast<WORD>(y);
    st.wMonth = static_cast<WORD>(mo);
    st.wDay = static_cast<WORD>(d);
    st.wHour = static_cast<WORD>(h);
    st.wMinute = static_cast<WORD>(mi);
    st.wSecond = static_cast<WORD>(s);
    FILETIME ft{};
    EXPECT_TRUE(SystemTimeToFileTime(&st, &ft));
    return static_cast<Ticks>((static_cast<unsigned long long>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime);
}

constexpr Ticks kSec = 10'000'000;
constexpr Ticks kMin = 60 * kSec;

// The calibration signals as documented in historian.h.
inline double SineAt(Ticks t) {
    const long long secondsInPeriod = (t / kSec) % 600;
    return 50.0 + 10.0 * std::sin(2.0 * std::numbers::pi * static_cast<double>(secondsInPeriod) / 600.0);
}
inline double RampAt(Ticks t) { return static_cast<double>((t / (10 * kSec)) % 1000); }
inline int StepAt(Ticks t) { return static_cast<int>(((t / (60 * kSec)) / 10) % 5); }

inline double Num(const hdasim::Value& v) {
    double x = 0;
    EXPECT_TRUE(v.value.AsDouble(&x)) << "vt " << v.value.vt();
    return x;
}

inline constexpr const wchar_t* kSine = L"Plant/Lab/Calibration/Sine";
inline constexpr const wchar_t* kRamp = L"Plant/Lab/Calibration/Ramp";
inline constexpr const wchar_t* kStep = L"Plant/Lab/Calibration/Step";
inline constexpr const wchar_t* kCounter = L"Plant/Lab/Calibration/Counter";
inline constexpr const wchar_t* kFlag = L"Plant/Lab/Calibration/Flag";
inline constexpr const wchar_t* kText = L"Plant/Lab/Calibration/Text";
inline constexpr const wchar_t* kGappy = L"Plant/Lab/Calibration/Gappy";

class ModelTest : public ::testing::Test {
protected:
    // "Now" is 2024-03-15 13:00:00 UTC; most reads look at 12:00 to 12:10.
    ModelTest() : clock(std::make_shared<hdasim::ManualClock>(T(2024, 3, 15, 13, 0, 0))), hist(clock) {}

    hdasim::Handle H(const wchar_t* id) {
        hdasim::Handle h = 0;
        EXPECT_EQ(hist.GetItemHandle(id, &h), S_OK);
        return h;
    }

    const Ticks noon = T(2024, 3, 15, 12, 0, 0);
    std::shared_ptr<hdasim::ManualClock> clock;
    hdasim::Historian hist;
};

}  // namespace simtest
