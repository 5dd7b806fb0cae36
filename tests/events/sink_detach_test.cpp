// The historian's sink must not let the server object go while a callback
// it forwarded still runs in it, whether or not its wait works: a callback
// blocked in a client's event handler holds Detach until it returns. The
// platform calls the sink depends on are made to fail through this test
// program's import table, where the statically linked sink finds them.
#include <atomic>
#include <cstring>
#include <memory>
#include <optional>
#include <thread>

#include "com/implements.h"
#include "server/COPCHDAAutoServer.h"
#include "server/historian_sink.h"
#include "support/com_test.h"

namespace {

// Points this program's import of `function` from `dll` elsewhere while it lives.
class ScopedImportPatch {
public:
    ScopedImportPatch(const char* dll, const char* function, void* replacement) {
        auto* base = reinterpret_cast<BYTE*>(GetModuleHandleW(nullptr));
        auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + reinterpret_cast<IMAGE_DOS_HEADER*>(base)->e_lfanew);
        const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
        for (auto* d = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress); d->Name && !slot_; ++d) {
            if (_stricmp(reinterpret_cast<char*>(base + d->Name), dll) != 0) continue;
            auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + d->OriginalFirstThunk);
            auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + d->FirstThunk);
            for (; names->u1.AddressOfData && !slot_; ++names, ++slots)
                if (!IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal) &&
                    std::strcmp(reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData)->Name,
                                function) == 0)
                    slot_ = reinterpret_cast<void**>(&slots->u1.Function);
        }
        if (slot_) saved_ = Swap(replacement);
    }
    ~ScopedImportPatch() {
        if (slot_) Swap(saved_);
    }
    explicit operator bool() const { return slot_ != nullptr; }

private:
    void* Swap(void* to) {
        DWORD was = 0;
        VirtualProtect(slot_, sizeof *slot_, PAGE_READWRITE, &was);
        void* from = std::exchange(*slot_, to);
        VirtualProtect(slot_, sizeof *slot_, was, &was);
        return from;
    }
    void** slot_ = nullptr;
    void* saved_ = nullptr;
};

HRESULT WINAPI WaitFails(DWORD, DWORD, ULONG, LPHANDLE, LPDWORD) { return RPC_E_CHANGED_MODE; }
HANDLE WINAPI NoEvent(LPSECURITY_ATTRIBUTES, BOOL, BOOL, LPCWSTR) { return nullptr; }

struct CloseHandleOnce {
    void operator()(HANDLE h) const { CloseHandle(h); }
};
using Event = std::unique_ptr<void, CloseHandleOnce>;

// An event subscriber whose handler does not return until it is let go.
class BlockingSubscriber final : public IDispatch {
public:
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        *out = iid == IID_IUnknown || iid == IID_IDispatch || iid == DIID__IOPCHDAAutoServerEvents
                   ? static_cast<IDispatch*>(this)
                   : nullptr;
        return *out ? (AddRef(), S_OK) : E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }  // lives on the test's stack
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP GetTypeInfoCount(UINT* n) override { return *n = 0, S_OK; }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    STDMETHODIMP Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
        SetEvent(entered.get());
        WaitForSingleObject(release.get(), INFINITE);
        return S_OK;
    }
    Event entered{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    Event release{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
};

enum class Broken { Nothing, Wait, Event };
constexpr const char* kBrokenNames[] = {"Nothing", "Wait", "Event"};

class SinkDetach : public comtest::ComTest, public ::testing::WithParamInterface<Broken> {};

TEST_P(SinkDetach, WaitsForTheCallbackRunningInTheOwner) {
    BlockingSubscriber subscriber;
    ComPtr<COPCHDAAutoServer> owner = MakeObject<COPCHDAAutoServer>();
    ASSERT_TRUE(owner);
    ComPtr<HistorianSink> sink;
    {
        std::optional<ScopedImportPatch> noEvent;
        if (GetParam() == Broken::Event)
            noEvent.emplace("kernel32.dll", "CreateEventW", reinterpret_cast<void*>(&NoEvent));
        ASSERT_TRUE(!noEvent || *noEvent);
        sink = MakeObject<HistorianSink>(owner.get());
    }
    ASSERT_TRUE(sink);
    ComPtr<IConnectionPoint> point;
    DWORD cookie = 0;
    ASSERT_EQ(owner->FindConnectionPoint(DIID__IOPCHDAAutoServerEvents, point.put()), S_OK);
    ASSERT_EQ(point->Advise(&subscriber, &cookie), S_OK);

    std::thread historian([&] {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        EXPECT_EQ(sink->ShutdownRequest(L"maintenance"), S_OK);
        CoUninitialize();
    });
    ASSERT_EQ(WaitForSingleObject(subscriber.entered.get(), 10000), WAIT_OBJECT_0);
    std::atomic<bool> detached = false;
    std::thread releasing([&] {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        std::optional<ScopedImportPatch> failingWait;
        if (GetParam() == Broken::Wait)
            failingWait.emplace("ole32.dll", "CoWaitForMultipleHandles", reinterpret_cast<void*>(&WaitFails));
        EXPECT_TRUE(!failingWait || *failingWait);
        sink->Detach();
        detached = true;
        CoUninitialize();
    });
    // A slow machine can only make this pass when it should fail, never the other way.
    Sleep(300);
    EXPECT_FALSE(detached) << "the owner may go while its callback runs";
    SetEvent(subscriber.release.get());
    releasing.join();
    historian.join();
    EXPECT_TRUE(detached);
    EXPECT_EQ(point->Unadvise(cookie), S_OK);
}

INSTANTIATE_TEST_SUITE_P(Broken, SinkDetach, ::testing::Values(Broken::Nothing, Broken::Wait, Broken::Event),
                         [](const auto& info) { return std::string(kBrokenNames[static_cast<int>(info.param)]); });

}  // namespace
