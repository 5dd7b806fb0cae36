// Shortcuts not built yet. Each moves to its own file as it is built.
#include "COPCHDAItem.h"

STDMETHODIMP COPCHDAItem::ReadRaw(VARIANT*, VARIANT*, LONG, LONG, VARIANT*) { return E_NOTIMPL; }
STDMETHODIMP COPCHDAItem::ReadProcessed(VARIANT*, VARIANT*, DATE, LONG, VARIANT*) { return E_NOTIMPL; }
STDMETHODIMP COPCHDAItem::ReadAtTime(LONG, SAFEARRAY**, VARIANT*) { return E_NOTIMPL; }
STDMETHODIMP COPCHDAItem::Update(DATE, VARIANT, LONG, LONG) { return E_NOTIMPL; }
STDMETHODIMP COPCHDAItem::DeleteRaw(VARIANT*, VARIANT*) { return E_NOTIMPL; }
