// Shared pieces of the simulator tests: creating the historian in process or
// as a local server, a data-callback and shutdown sink that records what it
// receives, time helpers and a scope that owns the answer arrays.
#pragma once

#include "opc_hda.h"
#include "sim_control.h"
#include "history/historian_answers.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace simtest {

using Ticks = std::int64_t;
constexpr Ticks kSecond = 10'000'000;
constexpr Ticks kMinute = 60 * kSecond;
// 2024-01-01 00:00:00 UTC.
constexpr Ticks kT0 = 133485408000000000LL;

FILETIME ft(Ticks t);
Ticks ticks(const FILETIME& f);
OPCHDA_TIME htime(Ticks t);

// Where the historian runs.
enum class Where { InProc, Local };
std::string where_name(const testing::TestParamInfo<Where>& info);

// A reference held until the scope ends (local ComPtr-like holder for tests).
template <class T>
struct Ref {
    T* p = nullptr;
    Ref() = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { reset(); }
    void reset() {
        if (p) p->Release();
        p = nullptr;
    }
    T** put() {
        reset();
        return &p;
    }
    void** put_void() { return reinterpret_cast<void**>(put()); }
    T* operator->() const { return p; }
    T* get() const { return p; }
    explicit operator bool() const { return p != nullptr; }
};

// Creates the historian (in process or local) and answers IOPCHDA_Server.
HRESULT create_historian(Where where, IOPCHDA_Server** out);
// The process control object of the simulator (in process: this process;
// local: the running local server).
HRESULT create_control(Where where, IHdaSimControl** out);

// One recorded callback.
struct Event {
    std::string kind;
    DWORD transaction = 0;
    HRESULT status = S_OK;
    DWORD thread = 0;
    std::vector<OPCHANDLE> clients;
    std::vector<HRESULT> errors;
    // Per item: time stamps and values as doubles (strings and others: 0).
    std::vector<std::vector<Ticks>> times;
    std::vector<std::vector<double>> values;
    std::wstring text;  // shutdown reason
};

class Sink final : public IOPCHDA_DataCallback, public IOPCShutdown {
public:
    Sink();
    ~Sink();
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    HRESULT STDMETHODCALLTYPE OnDataChange(DWORD, HRESULT, DWORD, OPCHDA_ITEM*, HRESULT*) override;
    HRESULT STDMETHODCALLTYPE OnReadComplete(DWORD, HRESULT, DWORD, OPCHDA_ITEM*, HRESULT*) override;
    HRESULT STDMETHODCALLTYPE OnReadModifiedComplete(DWORD, HRESULT, DWORD, OPCHDA_MODIFIEDITEM*, HRESULT*) override;
    HRESULT STDMETHODCALLTYPE OnReadAttributeComplete(DWORD, HRESULT, OPCHANDLE, DWORD, OPCHDA_ATTRIBUTE*,
                                                      HRESULT*) override;
    HRESULT STDMETHODCALLTYPE OnReadAnnotations(DWORD, HRESULT, DWORD, OPCHDA_ANNOTATION*, HRESULT*) override;
    HRESULT STDMETHODCALLTYPE OnInsertAnnotations(DWORD, HRESULT, DWORD, OPCHANDLE*, HRESULT*) override;
    HRESULT STDMETHODCALLTYPE OnPlayback(DWORD, HRESULT, DWORD, OPCHDA_ITEM**, HRESULT*) override;
    HRESULT STDMETHODCALLTYPE OnUpdateComplete(DWORD, HRESULT, DWORD, OPCHANDLE*, HRESULT*) override;
    HRESULT STDMETHODCALLTYPE OnCancelComplete(DWORD) override;
    HRESULT STDMETHODCALLTYPE ShutdownRequest(LPCWSTR reason) override;

    // Waits (pumping messages when in a single-threaded apartment) until at
    // least n events arrived; false on timeout. The bound only ends a wait for
    // something that never comes: on a busy machine a callback takes seconds.
    bool wait_for(size_t n, DWORD timeout_ms = 60000);
    std::vector<Event> events();

private:
    void record(Event e);
    void record_items(const char* kind, DWORD tid, HRESULT status, DWORD n, OPCHDA_ITEM* const* items, HRESULT* errs);
    LONG refs_ = 1;
    std::mutex lock_;
    std::vector<Event> events_;
    HANDLE arrived_;
};

// Advises `sink` on the historian's data-callback (and shutdown) point.
HRESULT advise(IUnknown* historian, const IID& iid, IUnknown* sink, DWORD* cookie);
HRESULT unadvise(IUnknown* historian, const IID& iid, DWORD cookie);

// Fixture: a historian with the simulator clock parked at kT0 + 1 day (so
// that all of the first day around kT0 is history) and stopped.
class SimTest : public testing::TestWithParam<Where> {
protected:
    void SetUp() override;
    void TearDown() override;
    // Server handles for item ids (client handle = index + 1).
    std::vector<OPCHANDLE> handles(const std::vector<std::wstring>& ids);

    Ref<IOPCHDA_Server> server;
    Ref<IHdaSimControl> control;
};

}  // namespace simtest
