#include "control_object.h"

#include "historian_object.h"
#include "sim/model/sim_clock.h"
#include "task_memory.h"
#include "com/implements.h"

#include <algorithm>
#include <new>

namespace hdasim {
namespace {

// Acts on the process defaults and on every historian alive in the process.
class SimControl final : public Implements<SimControl, IHdaSimControl> {
public:
    HRESULT STDMETHODCALLTYPE FailMethod(LPCWSTR method, HRESULT hr) override {
        if (!method) return E_POINTER;
        WithDefaults([&](Settings& s) { s.methodFaults[method] = hr; });
        return each([&](SimHistorianObject* h) { h->FailMethod(method, hr); });
    }
    HRESULT STDMETHODCALLTYPE ClearFaults() override {
        WithDefaults([](Settings& s) {
            s.methodFaults.clear();
            s.itemCodes.clear();
            s.refused.clear();
            s.delayMs = 0;
        });
        return each([](SimHistorianObject* h) { h->ClearFaults(); });
    }
    HRESULT STDMETHODCALLTYPE SetItemCode(LPCWSTR itemID, HRESULT hr) override {
        if (!itemID) return E_POINTER;
        WithDefaults([&](Settings& s) {
            if (hr == S_OK)
                s.itemCodes.erase(itemID);
            else
                s.itemCodes[itemID] = hr;
        });
        return each([&](SimHistorianObject* h) { h->SetItemCode(itemID, hr); });
    }
    HRESULT STDMETHODCALLTYPE RefuseInterface(REFIID iid, BOOL refuse) override {
        WithDefaults([&](Settings& s) {
            s.refused.erase(std::remove(s.refused.begin(), s.refused.end(), iid), s.refused.end());
            if (refuse) s.refused.push_back(iid);
        });
        return each([&](SimHistorianObject* h) { h->RefuseInterface(iid, refuse); });
    }
    HRESULT STDMETHODCALLTYPE DelayCallbacks(DWORD ms) override {
        WithDefaults([&](Settings& s) { s.delayMs = ms; });
        return each([&](SimHistorianObject* h) { h->DelayCallbacks(ms); });
    }
    HRESULT STDMETHODCALLTYPE HoldCallbacks(BOOL hold, BOOL reverse) override {
        return each([&](SimHistorianObject* h) { h->HoldCallbacks(hold, reverse); });
    }
    HRESULT STDMETHODCALLTYPE SendShutdown(LPCWSTR reason) override {
        std::wstring r = reason ? reason : L"";
        return each([&](SimHistorianObject* h) { h->SendShutdownAndWait(r); });
    }
    HRESULT STDMETHODCALLTYPE ClockSetSpeed(double speed) override {
        SimClock::Instance().SetSpeed(speed);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE ClockStep(hyper duration) override {
        SimClock::Instance().Step(duration);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE ClockSet(hyper utc) override {
        SimClock::Instance().Set(utc);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE ClockGet(hyper* utc) override {
        if (!utc) return E_POINTER;
        *utc = SimClock::Instance().Now();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OutstandingTaskMemory(LONG* count) override {
        if (!count) return E_POINTER;
        *count = TaskBlocksOutstanding();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OutstandingHandles(LONG* count) override {
        if (!count) return E_POINTER;
        *count = 0;
        return each([&](SimHistorianObject* h) {
            LONG n = 0;
            h->OutstandingHandles(&n);
            *count += n;
        });
    }
    HRESULT STDMETHODCALLTYPE AdviseCount(LONG* data, LONG* shutdowns) override {
        if (!data || !shutdowns) return E_POINTER;
        *data = *shutdowns = 0;
        return each([&](SimHistorianObject* h) {
            LONG d = 0, s = 0;
            h->AdviseCount(&d, &s);
            *data += d;
            *shutdowns += s;
        });
    }
    HRESULT STDMETHODCALLTYPE PendingRequests(LONG* count) override {
        if (!count) return E_POINTER;
        *count = 0;
        return each([&](SimHistorianObject* h) {
            LONG n = 0;
            h->PendingRequests(&n);
            *count += n;
        });
    }
    HRESULT STDMETHODCALLTYPE CallCount(LPCWSTR method, LONG* count) override {
        if (!method || !count) return E_POINTER;
        *count = 0;
        return each([&](SimHistorianObject* h) {
            LONG n = 0;
            h->CallCount(method, &n);
            *count += n;
        });
    }
    HRESULT STDMETHODCALLTYPE RecordedArgument(LPCWSTR method, LPCWSTR name, hyper* value) override {
        if (!method || !name || !value) return E_POINTER;
        HRESULT found = E_INVALIDARG;
        each([&](SimHistorianObject* h) {
            if (FAILED(found)) found = h->RecordedArgument(method, name, value);
        });
        return found;
    }
    HRESULT STDMETHODCALLTYPE ResetDefaults() override {
        WithDefaults([](Settings& s) { s = Settings{}; });
        // A test that stopped or moved the clock must not leave it so for the
        // next client of a long-lived local server.
        FILETIME now;
        GetSystemTimeAsFileTime(&now);
        SimClock::Instance().SetSpeed(1.0);
        SimClock::Instance().Set(TicksOf(now));
        return S_OK;
    }

private:
    template <class Fn>
    static void WithDefaults(Fn fn) {
        ProcessState& ps = SharedProcessState();
        std::lock_guard<std::mutex> g(ps.lock);
        fn(ps.defaults);
    }
    // Calls fn on every live historian, each held by a reference meanwhile.
    template <class Fn>
    static HRESULT each(Fn fn) {
        std::vector<ComPtr<SimHistorianObject>> held;
        {
            ProcessState& ps = SharedProcessState();
            std::lock_guard<std::mutex> g(ps.lock);
            for (auto* h : ps.live)
                if (h->TryAddRef()) held.push_back(ComPtr<SimHistorianObject>::attach(h));
        }
        for (auto& h : held) {
            fn(h.get());
            h.reset();
        }
        return S_OK;
    }
};

class ClassFactory final : public Implements<ClassFactory, IClassFactory> {
public:
    explicit ClassFactory(CreateFn create) : create_(create) {}

    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (outer) return CLASS_E_NOAGGREGATION;
        return create_(iid, out);
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
        if (lock)
            ModuleAddRef();
        else
            ModuleRelease();
        return S_OK;
    }

private:
    CreateFn create_;
};

}  // namespace

HRESULT CreateControlObject(REFIID iid, void** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (!g_isLocalServer) InstallMallocSpy();
    return HandOut(MakeObject<SimControl>(), iid, out);
}

HRESULT CreateHistorianObject(REFIID iid, void** out) { return SimHistorianObject::Create(iid, out); }

HRESULT CreateClassFactory(CreateFn create, REFIID iid, void** out) {
    return HandOut(MakeObject<ClassFactory>(create), iid, out);
}

}  // namespace hdasim
