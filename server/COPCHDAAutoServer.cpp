#include "server/COPCHDAAutoServer.h"

#include "item/COPCHDAItem.h"
#include "com/weak_link.h"
#include "server/historian_sink.h"
#include "time/time_args.h"

COPCHDAAutoServer::COPCHDAAutoServer()
    : events_(static_cast<IConnectionPointContainer*>(this), this), parentLink_(std::make_shared<WeakLink>(this)) {
    // Every construction asks; once the process's security is set the later
    // calls fail harmlessly.
    CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_NONE, RPC_C_IMP_LEVEL_IDENTIFY, nullptr,
                         EOAC_NONE, nullptr);
}

COPCHDAAutoServer::~COPCHDAAutoServer() = default;

void COPCHDAAutoServer::FinalRelease() {
    parentLink_->Clear();
    // No historian call reaches this object from now on.
    if (sink_) sink_->Detach();
    Disconnect();
}

HRESULT COPCHDAAutoServer::TimeArgToHdaTime(VARIANT* timeArg, OPCHDA_TIME* hdaTime, const CallZone& zone) {
    return ::TimeArgToHdaTime(timeArg, hdaTime, zone);
}

STDMETHODIMP COPCHDAAutoServer::get_OPCHDAItems(IOPCHDAItems** ppOPCHDAItems) {
    if (!ppOPCHDAItems) return E_POINTER;
    return QueryInterface(IID_IOPCHDAItems, reinterpret_cast<void**>(ppOPCHDAItems));
}

STDMETHODIMP COPCHDAAutoServer::EnumConnectionPoints(IEnumConnectionPoints** ppEnum) {
    return events_.EnumConnectionPoints(ppEnum);
}

STDMETHODIMP COPCHDAAutoServer::FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) {
    return events_.FindConnectionPoint(riid, ppCP);
}

STDMETHODIMP COPCHDAAutoServer::InterfaceSupportsErrorInfo(REFIID riid) {
    return IsEqualIID(riid, IID_IOPCHDAAutoServer) ? S_OK : S_FALSE;
}
