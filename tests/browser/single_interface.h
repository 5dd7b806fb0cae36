// IUnknown for the test's fake historian objects: they must not count as live
// objects of the component, which the tests check goes back to 0.
#pragma once

#include <windows.h>
#include <unknwn.h>

namespace hdasim {

template <class Itf, const IID* Iid>
class SingleInterface : public Itf {
public:
    SingleInterface() = default;
    SingleInterface(const SingleInterface&) = delete;
    SingleInterface& operator=(const SingleInterface&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (!out) return E_POINTER;
        if (iid == IID_IUnknown || iid == *Iid) {
            *out = static_cast<Itf*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return InterlockedIncrement(&refs_); }
    ULONG STDMETHODCALLTYPE Release() override {
        LONG n = InterlockedDecrement(&refs_);
        if (n == 0) delete this;
        return n;
    }

protected:
    virtual ~SingleInterface() = default;

private:
    LONG refs_ = 0;
};

}  // namespace hdasim
