#include "historian_connection_points.h"

namespace hdasim {
namespace {

ComPtr<IGlobalInterfaceTable> Git() {
    ComPtr<IGlobalInterfaceTable> g;
    CoCreateInstance(CLSID_StdGlobalInterfaceTable, nullptr, CLSCTX_INPROC_SERVER, IID_IGlobalInterfaceTable,
                     g.put_void());
    return g;
}

bool InSingleThreadedApartment() {
    APTTYPE type;
    APTTYPEQUALIFIER qualifier;
    if (FAILED(CoGetApartmentType(&type, &qualifier))) return false;
    return type == APTTYPE_STA || type == APTTYPE_MAINSTA;
}

}  // namespace

HRESULT SimSinks::Hold(IUnknown* typed, REFIID iid, Held* held) {
    if (!InSingleThreadedApartment()) {
        held->direct = ComPtr<IUnknown>(typed);
        return S_OK;
    }
    auto g = Git();
    if (!g) return E_FAIL;
    return g->RegisterInterfaceInGlobal(typed, iid, &held->gitCookie);
}

ComPtr<IUnknown> SimSinks::Reach(const Held& held, REFIID iid) {
    if (held.direct || !held.gitCookie) return held.direct;
    ComPtr<IUnknown> proxy;
    if (auto g = Git()) g->GetInterfaceFromGlobal(held.gitCookie, iid, proxy.put_void());
    return proxy;
}

void SimSinks::Drop(Held& held) {
    held.direct.reset();
    if (held.gitCookie) {
        if (auto g = Git()) g->RevokeInterfaceFromGlobal(held.gitCookie);
        held.gitCookie = 0;
    }
}

}  // namespace hdasim
