// Where the component creates objects of other servers (the historian and the
// server list): on this computer or on a named node. Every such creation goes
// through the two functions here, so that tests can see exactly what the COM
// runtime is asked for (Wine cannot activate on another node).
#pragma once

#include <windows.h>
#include <objbase.h>

#include "com/com_holders.h"

// Creates on this computer: CoCreateInstance with in-process, handler, local
// and remote class contexts (0x17).
HRESULT CreateOnThisComputer(REFCLSID clsid, REFIID iid, void** ppv);

// Creates on `node`: CoCreateInstanceEx, remote server only, a COSERVERINFO
// that names the node and nothing else, one MULTI_QI for `iid`.
HRESULT CreateOnNode(const wchar_t* node, REFCLSID clsid, REFIID iid, void** ppv);

// The machine a client's optional Node argument designates. Only a non-empty
// text that names neither "localhost", "127.0.0.1" nor this computer's own
// name (any letter case) selects another node.
class ActivationTarget {
public:
    static ActivationTarget FromNode(const VARIANT& node);
    // The same for a node given as text (null or empty: this computer).
    static ActivationTarget FromName(const wchar_t* node);

    bool IsRemote() const { return static_cast<bool>(node_); }
    // The node's name exactly as the client gave it; null for this computer.
    BSTR Node() const { return node_.get(); }
    HRESULT Create(REFCLSID clsid, REFIID iid, void** ppv) const;

private:
    UniqueBstr node_;
};

// The CLSID for `progID`: the target's OPC server list first, then this
// computer's registry, then the text read as a CLSID.
HRESULT ResolveClsid(const ActivationTarget& target, const wchar_t* progID, CLSID* clsid);

// Tests replace the runtime's two creation calls to observe the requests (and
// to answer remote ones, which Wine cannot serve). Process-wide; not part of
// the library's exports, so only code linked into the test sees it.
namespace activation_hooks {
using CreateInstanceFn = HRESULT(WINAPI*)(REFCLSID, LPUNKNOWN, DWORD, REFIID, LPVOID*);
using CreateInstanceExFn = HRESULT(WINAPI*)(REFCLSID, IUnknown*, DWORD, COSERVERINFO*, DWORD, MULTI_QI*);
struct Runtime {
    CreateInstanceFn createInstance;
    CreateInstanceExFn createInstanceEx;
};
// The platform's own functions.
Runtime Platform();
// Installs `runtime` and returns the one it replaces.
Runtime Install(Runtime runtime);
}  // namespace activation_hooks
