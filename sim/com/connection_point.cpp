#include "connection_point.h"

namespace hdasim {
namespace {

ComPtr<IGlobalInterfaceTable> git() {
    ComPtr<IGlobalInterfaceTable> g;
    CoCreateInstance(CLSID_StdGlobalInterfaceTable, nullptr, CLSCTX_INPROC_SERVER, IID_IGlobalInterfaceTable,
                     g.put_void());
    return g;
}

bool in_single_threaded_apartment() {
    APTTYPE type;
    APTTYPEQUALIFIER qualifier;
    if (FAILED(CoGetApartmentType(&type, &qualifier))) return false;
    return type == APTTYPE_STA || type == APTTYPE_MAINSTA;
}

}  // namespace

HRESULT SimSinks::Hold(IUnknown* typed, REFIID iid, Held* held) {
    if (!in_single_threaded_apartment()) {
        held->direct = ComPtr<IUnknown>(typed);
        return S_OK;
    }
    auto g = git();
    if (!g) return E_FAIL;
    return g->RegisterInterfaceInGlobal(typed, iid, &held->git_cookie);
}

ComPtr<IUnknown> SimSinks::Reach(const Held& held, REFIID iid) {
    if (held.direct || !held.git_cookie) return held.direct;
    ComPtr<IUnknown> proxy;
    if (auto g = git()) g->GetInterfaceFromGlobal(held.git_cookie, iid, proxy.put_void());
    return proxy;
}

void SimSinks::Drop(Held& held) {
    held.direct.reset();
    if (held.git_cookie) {
        if (auto g = git()) g->RevokeInterfaceFromGlobal(held.git_cookie);
        held.git_cookie = 0;
    }
}

}  // namespace hdasim
