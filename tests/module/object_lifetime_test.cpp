// The object base's reference count as weak links see it: once the count has
// reached 0 it never comes back, so a link that holds no reference of its own
// (an item's link to its server object) cannot revive an object that is
// tearing itself down.
#include <gtest/gtest.h>

#include "module_state.h"
#include "implements.h"

namespace {

class Probe final : public Implements<Probe, IUnknown> {
public:
    explicit Probe(bool* revivedInTeardown) : revivedInTeardown_(revivedInTeardown) {}

private:
    void FinalRelease() override { *revivedInTeardown_ = TryAddRef(); }
    bool* revivedInTeardown_;
};

TEST(ObjectLifetime, TryAddRefOnlyWhileSomebodyHoldsTheObject) {
    bool revived = true;
    {
        ComPtr<Probe> probe = MakeObject<Probe>(&revived);
        ASSERT_TRUE(probe);
        EXPECT_TRUE(probe->TryAddRef());
        probe->Release();
    }  // the last reference: the teardown asks once more
    EXPECT_FALSE(revived) << "a reference was taken on an object in teardown";
    EXPECT_EQ(Module::LockCount(), 0);
}

}  // namespace
