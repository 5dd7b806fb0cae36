// A server object connected to the historian simulator with three items, and
// the simulator's control seam to steer it and count what was left behind.
#pragma once

#include <string>

#include "sim_control.h"
#include "support/com_test.h"

namespace comtest {

enum class Where { InProcess, LocalServer };
inline constexpr Where kBothSides[] = {Where::InProcess, Where::LocalServer};
inline const wchar_t* ProgIDOf(Where w) {
    return w == Where::InProcess ? L"Sim.HdaHistorian" : L"Sim.HdaHistorian.Local";
}
inline std::string NameOf(const ::testing::TestParamInfo<Where>& i) {
    return i.param == Where::InProcess ? "InProcess" : "LocalServer";
}
ComPtr<IHdaSimControl> SimControl(Where where);

inline constexpr wchar_t kRamp[] = L"Plant/Lab/Calibration/Ramp";
inline constexpr wchar_t kStep[] = L"Plant/Lab/Calibration/Step";
inline constexpr wchar_t kText[] = L"Plant/Lab/Calibration/Text";

class ConnectedServer : public ComTest {
protected:
    void Connect(Where where);
    void TearDown() override;

    // What the component has not given back to the simulator.
    LONG OutstandingTaskMemory() { return Counted(control_.get(), &IHdaSimControl::OutstandingTaskMemory); }
    LONG OutstandingHandles() { return Counted(control_.get(), &IHdaSimControl::OutstandingHandles); }
    LONG CallCount(const wchar_t* method) { return Counted(control_.get(), &IHdaSimControl::CallCount, method); }
    ComPtr<OPCHDAHistory> HistoryAt(SAFEARRAY* values, LONG index);
    LONG CountOf(OPCHDAHistory* history) { return Counted(history, &OPCHDAHistory::get_Count); }

    template <class Object, class Ask, class... Args>
    static LONG Counted(Object* object, Ask ask, Args... args) {
        LONG count = -1;
        EXPECT_HRESULT_SUCCEEDED((object->*ask)(args..., &count));
        return count;
    }

    Where where_ = Where::InProcess;
    ComPtr<IOPCHDAAutoServer> server_;
    ComPtr<IOPCHDAItems> items_;
    ComPtr<IHdaSimControl> control_;
    ComPtr<OPCHDAItem> ramp_, step_, text_;
    LONG rampHandle_ = 0, stepHandle_ = 0, textHandle_ = 0;
};

class ConnectedServerAt : public ConnectedServer, public ::testing::WithParamInterface<Where> {
protected:
    void SetUp() override {
        ConnectedServer::SetUp();
        Connect(GetParam());
    }
};

}  // namespace comtest
