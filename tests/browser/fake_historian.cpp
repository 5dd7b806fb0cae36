#include "fake_historian.h"

#include <cstring>

#include "module_state.h"
#include "server/COPCHDAAutoServer.h"
#include "server/activation.h"
#include "support/malloc_spy.h"

namespace browsertest {
namespace {

LONG g_live = 0;

testsupport::MallocSpy& Spy() {
    static auto* spy = new testsupport::MallocSpy;  // outlives static destruction
    return *spy;
}

// The component's first allocation after the fake's answer fails.
void FailNextAllocationIfAsked() {
    if (Script().failAfterAnswer) Spy().failNext = true;
}

// A fake answers its one interface and counts itself among the live fakes
// (not the component's objects, whose count must go back to 0).
template <class Itf, const IID* Iid>
class Fake : public Itf {
public:
    Fake() { InterlockedIncrement(&g_live); }
    virtual ~Fake() { InterlockedDecrement(&g_live); }
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        *out = iid == IID_IUnknown || iid == *Iid ? static_cast<Itf*>(this) : nullptr;
        if (!*out) return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return InterlockedIncrement(&refs_); }
    ULONG STDMETHODCALLTYPE Release() override {
        LONG n = InterlockedDecrement(&refs_);
        if (n == 0) delete this;
        return n;
    }

private:
    LONG refs_ = 0;
};

// A new fake with the caller's reference.
template <class T>
T* New() {
    T* fake = new T;
    fake->AddRef();
    return fake;
}

template <class T>
T* Handed(T* block) {
    if (block) Script().handedOut.push_back(block);
    return block;
}

LPWSTR Text(const std::wstring& s) {
    auto* copy = static_cast<LPWSTR>(CoTaskMemAlloc((s.size() + 1) * sizeof(wchar_t)));
    std::memcpy(copy, s.c_str(), (s.size() + 1) * sizeof(wchar_t));
    return Handed(copy);
}

template <class T>
T* Block(DWORD n) {
    return Handed(static_cast<T*>(CoTaskMemAlloc(n ? n * sizeof(T) : 1)));
}

class FakeEnum final : public Fake<IEnumString, &IID_IEnumString> {
public:
    HRESULT STDMETHODCALLTYPE Next(ULONG celt, LPOLESTR* names, ULONG* fetched) override {
        FakeScript& s = Script();
        s.nextRequests.push_back(celt);
        if (static_cast<int>(s.nextRequests.size()) == s.failingNext) return s.nextFailure;
        ULONG n = 0;
        for (; n < celt && next_ < s.names.size(); ++n, ++next_)
            names[n] = s.names[next_] ? Text(*s.names[next_]) : nullptr;
        *fetched = n;
        if (n < celt) FailNextAllocationIfAsked();
        return n == celt ? S_OK : S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE Skip(ULONG) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reset() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Clone(IEnumString**) override { return E_NOTIMPL; }

private:
    size_t next_ = 0;
};

class FakeBrowser final : public Fake<IOPCHDA_Browser, &IID_IOPCHDA_Browser> {
public:
    HRESULT STDMETHODCALLTYPE GetEnum(OPCHDA_BROWSETYPE, LPENUMSTRING* out) override {
        FakeScript& s = Script();
        *out = nullptr;
        if (SUCCEEDED(s.getEnumResult) && s.giveEnumerator) *out = New<FakeEnum>();
        return s.getEnumResult;
    }
    HRESULT STDMETHODCALLTYPE ChangeBrowsePosition(OPCHDA_BROWSEDIRECTION direction, LPCWSTR text) override {
        Script().moves.push_back({direction, text == nullptr, text ? text : L""});
        return Script().historianCallResult;
    }
    HRESULT STDMETHODCALLTYPE GetItemID(LPCWSTR node, LPWSTR* itemID) override {
        *itemID = nullptr;
        if (FAILED(Script().historianCallResult)) return Script().historianCallResult;
        *itemID = Text(std::wstring(L"Fake/") + (node ? node : L"(null)"));
        return Script().historianCallResult;
    }
    HRESULT STDMETHODCALLTYPE GetBranchPosition(LPWSTR* position) override {
        *position = nullptr;
        if (FAILED(Script().historianCallResult)) return Script().historianCallResult;
        *position = Text(L"Fake/Position");
        return Script().historianCallResult;
    }
};

class FakeHistorian final : public Fake<IOPCHDA_Server, &IID_IOPCHDA_Server> {
public:
    HRESULT STDMETHODCALLTYPE GetItemAttributes(DWORD* count, DWORD** ids, LPWSTR** names, LPWSTR** descriptions,
                                                VARTYPE** types) override {
        HRESULT hr = Catalogue(count, ids, names, descriptions);
        if (SUCCEEDED(hr) && !Script().catalogueArraysMissing) {
            *types = Block<VARTYPE>(*count);
            for (DWORD i = 0; i < *count; ++i) (*types)[i] = static_cast<VARTYPE>(VT_I2 + i);
        }
        FailNextAllocationIfAsked();
        return hr;
    }
    HRESULT STDMETHODCALLTYPE GetAggregates(DWORD* count, DWORD** ids, LPWSTR** names, LPWSTR** descriptions) override {
        HRESULT hr = Catalogue(count, ids, names, descriptions);
        FailNextAllocationIfAsked();
        return hr;
    }
    HRESULT STDMETHODCALLTYPE GetHistorianStatus(OPCHDA_SERVERSTATUS*, FILETIME**, FILETIME**, WORD*, WORD*, WORD*,
                                                 DWORD*, LPWSTR*, LPWSTR*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetItemHandles(DWORD, LPWSTR*, OPCHANDLE*, OPCHANDLE**, HRESULT**) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE ReleaseItemHandles(DWORD, OPCHANDLE*, HRESULT**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE ValidateItemIDs(DWORD, LPWSTR*, HRESULT**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE CreateBrowse(DWORD count, DWORD* attributes, OPCHDA_OPERATORCODES* operators,
                                           VARIANT* filters, IOPCHDA_Browser** browser, HRESULT** errors) override {
        FakeScript& s = Script();
        for (DWORD i = 0; i < count; ++i) {
            FakeScript::Criterion c{attributes[i], static_cast<DWORD>(operators[i]), {}};
            VariantCopy(c.filter.get(), &filters[i]);
            s.criteria.push_back(std::move(c));
        }
        *browser = nullptr;
        *errors = nullptr;
        *errors = Block<HRESULT>(count);
        for (DWORD i = 0; i < count; ++i) (*errors)[i] = i < s.criterionErrors.size() ? s.criterionErrors[i] : S_OK;
        if (s.giveBrowser) *browser = New<FakeBrowser>();
        return S_OK;
    }

private:
    HRESULT Catalogue(DWORD* count, DWORD** ids, LPWSTR** names, LPWSTR** descriptions) {
        FakeScript& s = Script();
        if (FAILED(s.catalogueResult)) return s.catalogueResult;
        *count = s.catalogueCount;
        if (s.catalogueArraysMissing) return s.catalogueResult;
        *ids = Block<DWORD>(*count);
        *names = Block<LPWSTR>(*count);
        *descriptions = Block<LPWSTR>(*count);
        for (DWORD i = 0; i < *count; ++i) {
            (*ids)[i] = 100 + i;
            (*names)[i] = s.nullCatalogueName && i == 1 ? nullptr : Text(L"Name" + std::to_wstring(i + 1));
            (*descriptions)[i] = Text(L"Description" + std::to_wstring(i + 1));
        }
        return s.catalogueResult;
    }
};

activation_hooks::Runtime g_previous{};

HRESULT WINAPI CreateFake(REFCLSID clsid, LPUNKNOWN outer, DWORD context, REFIID iid, LPVOID* out) {
    if (!IsEqualCLSID(clsid, kFakeHistorianClsid)) return g_previous.createInstance(clsid, outer, context, iid, out);
    ComPtr<IOPCHDA_Server> fake = ComPtr<IOPCHDA_Server>::attach(New<FakeHistorian>());
    return fake->QueryInterface(iid, out);
}

}  // namespace

FakeScript& Script() {
    static FakeScript* script = new FakeScript;  // outlives every fake object
    return *script;
}

FakeHistorianInstalled::FakeHistorianInstalled() {
    Script() = FakeScript();
    g_previous = activation_hooks::Install({&CreateFake, activation_hooks::Platform().createInstanceEx});
}

FakeHistorianInstalled::~FakeHistorianInstalled() { activation_hooks::Install(g_previous); }

ComPtr<IOPCHDA_Browser> NewFakeBrowser() { return ComPtr<IOPCHDA_Browser>::attach(New<FakeBrowser>()); }

LONG LiveFakes() { return g_live; }

void MisbehavingHistorian::SetUp() {
    comtest::ComTest::SetUp();
    ASSERT_EQ(CoRegisterMallocSpy(&Spy()), S_OK);
    // The platform crashes on a spied free of a block it has not seen
    // allocated unless one allocation went through the spy first.
    CoTaskMemFree(CoTaskMemAlloc(8));
}

void MisbehavingHistorian::TearDown() {
    browser_ = nullptr;
    server_ = nullptr;
    Script().criteria.clear();
    for (void* block : Script().handedOut) EXPECT_FALSE(Spy().IsLive(block)) << "historian memory not freed";
    EXPECT_EQ(Spy().unknownFrees, 0) << "a block was freed twice";
    CoRevokeMallocSpy();
    EXPECT_EQ(LiveFakes(), 0);
    EXPECT_EQ(Module::LockCount(), 0);
    comtest::ComTest::TearDown();
}

void MisbehavingHistorian::Connect() {
    ASSERT_EQ(HandOut(MakeObject<COPCHDAAutoServer>(), IID_IOPCHDAAutoServer, server_.put_void()), S_OK);
    ASSERT_EQ(server_->Connect(UniqueBstr(kFakeHistorianText).get(), comtest::VarEmpty()), S_OK);
}

void MisbehavingHistorian::Names(size_t count) {
    Script().names.clear();
    for (size_t i = 0; i < count; ++i) Script().names.push_back(L"N" + std::to_wstring(i));
}

}  // namespace browsertest
