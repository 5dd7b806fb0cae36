// A historian of a test's own, which the component creates when a client connects to kFakeProgID (its CLSID's
// text, which matches no ProgID), and a malloc spy that sees every block of task memory come back.
#pragma once

#include "com/implements.h"
#include "com/module_count.h"
#include "server/activation.h"
#include "support/com_test.h"
#include "support/malloc_spy.h"
#include "support/refusing_historian.h"

namespace comtest {

inline constexpr CLSID kFakeClsid = {0x5e2a7c10, 0x4b3d, 0x4f0e, {0x8a, 0x61, 0x3c, 0x9d, 0x2b, 0x7e, 0x5f, 0x01}};
inline constexpr wchar_t kFakeProgID[] = L"{5E2A7C10-4B3D-4F0E-8A61-3C9D2B7E5F01}";
inline MallocSpy* const g_spy = new MallocSpy;  // outlives static destruction

// A block of n elements as a historian hands it out, element i `value(i)`.
template <class T, class Value>
T* Block(size_t n, Value value) {
    T* block = static_cast<T*>(CoTaskMemAlloc(n ? n * sizeof(T) : 1));
    for (size_t i = 0; i < n; ++i) block[i] = static_cast<T>(value(static_cast<DWORD>(i)));
    return block;
}

// At its end nothing the fake or the component allocated is left, nothing was freed twice, no object is alive.
template <class Fake>
class OverAFake : public ComTest {
protected:
    void SetUp() override {
        ComTest::SetUp();
        platform_ = activation_hooks::Install({&CreateFake, activation_hooks::Platform().createInstanceEx});
        ASSERT_EQ(CoRegisterMallocSpy(g_spy), S_OK);
        CoTaskMemFree(CoTaskMemAlloc(8));  // Wine crashes on a spied free unless one went through the spy
        live_ = g_spy->LiveCount();
    }
    void TearDown() override {
        EXPECT_EQ(g_spy->LiveCount(), live_) << "task memory not freed";
        EXPECT_EQ(g_spy->unknownFrees, 0) << "a block was freed twice";
        CoRevokeMallocSpy();
        activation_hooks::Install(platform_);
        EXPECT_EQ(ComModule::UseCount(), 0) << "an object (the fake's too) is still alive";
        ComTest::TearDown();
    }

private:
    static HRESULT WINAPI CreateFake(REFCLSID clsid, LPUNKNOWN outer, DWORD context, REFIID iid, LPVOID* out) {
        if (!IsEqualCLSID(clsid, kFakeClsid)) return platform_.createInstance(clsid, outer, context, iid, out);
        return HandOut(MakeObject<Fake>(), iid, out);
    }
    static inline activation_hooks::Runtime platform_{};
    size_t live_ = 0;
};

}  // namespace comtest
