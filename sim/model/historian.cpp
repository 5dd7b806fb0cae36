// The historian: construction, server information, item handles, browsers,
// locales and error texts, and the control seam.
#include "historian_state.h"

namespace hdasim {

Historian::Historian(const SimClock& clock) : impl_(std::make_unique<Impl>()) {
    impl_->clock = &clock;
    impl_->items.resize(impl_->space->Signals().size());
    impl_->startTime = impl_->clock->Now();
    // The calibration text carries a note from the historian's own tools, so
    // that an annotation answer has every string field filled.
    if (const SignalDef* text = impl_->space->Find(L"Plant/Lab/Calibration/Text")) {
        const Ticks hourAgo = impl_->startTime - 3600 * kTicksPerSecond;
        impl_->items[text->index].annotations.push_back(
            {hourAgo - hourAgo % text->period, L"Recalibrated", hourAgo, L"lab technician"});
    }
}

Historian::~Historian() = default;

Ticks Historian::Now() const { return impl_->clock->Now(); }

HRESULT Historian::ResolveTime(const TimeArg& arg, Ticks* resolved) const {
    if (!arg.isString) {
        *resolved = arg.ticks;
        return S_OK;
    }
    return ParseRelativeTime(arg.text, impl_->clock->Now(), resolved);
}

// ---------------------------------------------------------------- server

HistorianStatus Historian::GetStatus() const {
    std::lock_guard lock(impl_->mu);
    HistorianStatus s;
    s.status = impl_->status;
    s.currentTime = impl_->clock->Now();
    s.startTime = impl_->startTime;
    s.maxReturnValues = impl_->maxReturn;
    s.statusString = impl_->statusString;
    s.vendorInfo = L"HdaSim simulated historian";
    return s;
}

std::vector<AttributeInfo> Historian::GetItemAttributes() const {
    return {
        {OPCHDA_DATA_TYPE, L"Data Type", L"Data type of the item's values", VT_I2},
        {OPCHDA_DESCRIPTION, L"Description", L"Description of the item", VT_BSTR},
        {OPCHDA_ENG_UNITS, L"Eng Units", L"Engineering units", VT_BSTR},
        {OPCHDA_STEPPED, L"Stepped", L"Whether values are held until the next one", VT_BOOL},
        {OPCHDA_ARCHIVING, L"Archiving", L"Whether the item is being archived", VT_BOOL},
        {OPCHDA_DERIVE_EQUATION, L"Derive Equation", L"Equation of a derived item", VT_BSTR},
        {OPCHDA_NODE_NAME, L"Node Name", L"Node of the data source", VT_BSTR},
        {OPCHDA_PROCESS_NAME, L"Process Name", L"Process of the data source", VT_BSTR},
        {OPCHDA_SOURCE_NAME, L"Source Name", L"Name of the item in the data source", VT_BSTR},
        {OPCHDA_SOURCE_TYPE, L"Source Type", L"Kind of data source", VT_BSTR},
        {OPCHDA_NORMAL_MAXIMUM, L"Normal Maximum", L"Upper limit of the normal range", VT_R8},
        {OPCHDA_NORMAL_MINIMUM, L"Normal Minimum", L"Lower limit of the normal range", VT_R8},
        {OPCHDA_ITEMID, L"ItemID", L"Item identifier", VT_BSTR},
        {OPCHDA_MAX_TIME_INT, L"Max Time Interval", L"Longest time between two values (seconds)", VT_CY},
        {OPCHDA_MIN_TIME_INT, L"Min Time Interval", L"Shortest time between two values (seconds)", VT_CY},
        {OPCHDA_EXCEPTION_DEV, L"Exception Deviation", L"Deviation that triggers archiving", VT_R8},
        {OPCHDA_EXCEPTION_DEV_TYPE, L"Exception Dev Type", L"0 absolute, 1 percent of value, 2 percent of span", VT_I2},
        {OPCHDA_HIGH_ENTRY_LIMIT, L"High Entry Limit", L"Highest value accepted", VT_R8},
        {OPCHDA_LOW_ENTRY_LIMIT, L"Low Entry Limit", L"Lowest value accepted", VT_R8},
    };
}

std::vector<AggregateInfo> Historian::GetAggregates() const { return AggregateCatalogue(); }

static HRESULT CheckItemIdSyntax(const std::wstring& id) {
    if (id.empty() || id.front() == L'/' || id.back() == L'/' || id.find(L"//") != std::wstring::npos ||
        id.find_first_of(L"*?\t\r\n") != std::wstring::npos)
        return OPC_E_INVALIDITEMID;
    return S_OK;
}

HRESULT Historian::ValidateItemId(const std::wstring& itemId) const {
    if (HRESULT hr = CheckItemIdSyntax(itemId); hr != S_OK) return hr;
    return impl_->space->Find(itemId) ? S_OK : OPC_E_UNKNOWNITEMID;
}

HRESULT Historian::GetItemHandle(const std::wstring& itemId, Handle* handle) {
    *handle = 0;
    if (HRESULT hr = ValidateItemId(itemId); hr != S_OK) return hr;
    std::lock_guard lock(impl_->mu);
    const SignalDef* s = impl_->space->Find(itemId);
    Handle h = impl_->nextHandle++;
    while (h == 0 || impl_->handles.count(h)) h = impl_->nextHandle++;
    impl_->handles[h] = s->index;
    *handle = h;
    return S_OK;
}

HRESULT Historian::ReleaseItemHandle(Handle handle) {
    std::lock_guard lock(impl_->mu);
    return impl_->handles.erase(handle) ? S_OK : OPC_E_INVALIDHANDLE;
}

std::size_t Historian::OutstandingHandles() const {
    std::lock_guard lock(impl_->mu);
    return impl_->handles.size();
}

std::wstring Historian::ItemIdOf(Handle handle) const {
    std::lock_guard lock(impl_->mu);
    auto it = impl_->handles.find(handle);
    return it == impl_->handles.end() ? std::wstring() : impl_->space->Signals()[it->second].itemId;
}

std::vector<std::wstring> Historian::AllItemIds() const {
    std::vector<std::wstring> ids;
    for (const auto& s : impl_->space->Signals()) ids.push_back(s.itemId);
    return ids;
}

HRESULT ValidateBrowseFilter(const ItemSpace& space, const BrowseFilter& f);  // browser.cpp

HRESULT Historian::CreateBrowser(const std::vector<BrowseFilter>& filters, std::unique_ptr<Browser>* browser,
                                 std::vector<HRESULT>* errors) const {
    errors->clear();
    std::vector<BrowseFilter> valid;
    for (const auto& f : filters) {
        const HRESULT hr = ValidateBrowseFilter(*impl_->space, f);
        errors->push_back(hr);
        if (hr == S_OK) valid.push_back({f.attributeId, f.op, UniqueVariant::copy_of(f.value.get())});
    }
    *browser = std::make_unique<Browser>(impl_->space, std::move(valid));
    return S_OK;
}

HRESULT Historian::SetLocaleID(LCID lcid) {
    std::lock_guard lock(impl_->mu);
    if (lcid == LOCALE_SYSTEM_DEFAULT || lcid == LOCALE_USER_DEFAULT || lcid == LOCALE_NEUTRAL) lcid = 0x409;
    if (lcid != 0x409 && lcid != 0x407) return E_INVALIDARG;
    impl_->locale = lcid;
    return S_OK;
}

LCID Historian::GetLocaleID() const {
    std::lock_guard lock(impl_->mu);
    return impl_->locale;
}

std::vector<LCID> Historian::AvailableLocaleIDs() const { return {0x409, 0x407}; }

HRESULT Historian::GetErrorString(HRESULT code, std::wstring* text) const {
    struct Entry {
        HRESULT code;
        const wchar_t* english;
        const wchar_t* german;
    };
    static const Entry kTexts[] = {
        {OPC_E_INVALIDHANDLE, L"The handle is not valid.", L"Das Handle ist ung\u00fcltig."},
        {OPC_E_UNKNOWNITEMID, L"The item ID is not defined in the server address space.",
         L"Die Item-ID ist im Adressraum des Servers nicht definiert."},
        {OPC_E_INVALIDITEMID, L"The item ID does not conform to the server's syntax.",
         L"Die Item-ID entspricht nicht der Syntax des Servers."},
        {OPCHDA_E_MAXEXCEEDED, L"The maximum number of values requested exceeds the server's limit.",
         L"Die angeforderte Anzahl von Werten \u00fcbersteigt die Grenze des Servers."},
        {OPCHDA_S_NODATA, L"There is no data within the specified parameters.",
         L"Im angegebenen Bereich gibt es keine Daten."},
        {OPCHDA_S_MOREDATA, L"There is more data satisfying the query than was returned.",
         L"Es gibt mehr Daten als zur\u00fcckgegeben wurden."},
        {OPCHDA_E_INVALIDAGGREGATE, L"The aggregate requested is not valid.", L"Das Aggregat ist ung\u00fcltig."},
        {OPCHDA_S_CURRENTVALUE, L"The server only returns current values for the requested item attributes.",
         L"Der Server liefert f\u00fcr diese Attribute nur aktuelle Werte."},
        {OPCHDA_S_EXTRADATA, L"Additional data satisfying the query was found.",
         L"Es wurden zus\u00e4tzliche Daten gefunden."},
        {OPCHDA_W_NOFILTER, L"The server does not support this filter.",
         L"Der Server unterst\u00fctzt diesen Filter nicht."},
        {OPCHDA_E_UNKNOWNATTRID, L"The server does not support this attribute.",
         L"Der Server unterst\u00fctzt dieses Attribut nicht."},
        {OPCHDA_E_NOT_AVAIL, L"The requested aggregate is not available for the specified item.",
         L"Das Aggregat ist f\u00fcr dieses Item nicht verf\u00fcgbar."},
        {OPCHDA_E_INVALIDDATATYPE, L"The supplied value is not a valid data type for this item.",
         L"Der Wert hat keinen g\u00fcltigen Datentyp f\u00fcr dieses Item."},
        {OPCHDA_E_DATAEXISTS, L"Unable to insert: data already present.",
         L"Einf\u00fcgen nicht m\u00f6glich: Daten vorhanden."},
        {OPCHDA_E_INVALIDATTRID, L"The supplied attribute ID is not valid.", L"Die Attribut-ID ist ung\u00fcltig."},
        {OPCHDA_E_NODATAEXISTS, L"The server has no value for the specified time and item.",
         L"Der Server hat keinen Wert f\u00fcr diese Zeit und dieses Item."},
        {OPCHDA_S_INSERTED, L"The requested insert occurred.", L"Der Wert wurde eingef\u00fcgt."},
        {OPCHDA_S_REPLACED, L"The requested replace occurred.", L"Der Wert wurde ersetzt."},
    };
    const bool german = GetLocaleID() == 0x407;
    for (const auto& e : kTexts) {
        if (e.code == code) {
            *text = german ? e.german : e.english;
            return S_OK;
        }
    }
    wchar_t* buffer = nullptr;
    const DWORD n =
        FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    if (n == 0 || !buffer) return E_INVALIDARG;
    std::wstring s(buffer, n);
    LocalFree(buffer);
    while (!s.empty() && (s.back() == L'\n' || s.back() == L'\r')) s.pop_back();
    *text = s;
    return S_OK;
}

void Historian::SetClientName(const std::wstring& name) {
    std::lock_guard lock(impl_->mu);
    impl_->clientName = std::make_shared<const std::wstring>(name);
}

std::wstring Historian::ClientName() const {
    std::lock_guard lock(impl_->mu);
    return *impl_->clientName;
}

// ---------------------------------------------------------------- control seam

void Historian::SetMaxReturnValues(std::uint32_t max) {
    std::lock_guard lock(impl_->mu);
    impl_->maxReturn = max == 0 ? 1 : max;
}

std::uint32_t Historian::MaxReturnValues() const {
    std::lock_guard lock(impl_->mu);
    return impl_->maxReturn;
}

void Historian::SetServerStatus(OPCHDA_SERVERSTATUS status, const std::wstring& statusString) {
    std::lock_guard lock(impl_->mu);
    impl_->status = status;
    impl_->statusString = statusString;
}

bool Historian::SetItemFault(const std::wstring& itemId, HRESULT code) {
    std::lock_guard lock(impl_->mu);
    const SignalDef* s = impl_->space->Find(itemId);
    if (!s) return false;
    impl_->items[s->index].fault = code;
    return true;
}

void Historian::ClearFaults() {
    std::lock_guard lock(impl_->mu);
    for (auto& st : impl_->items) st.fault = S_OK;
}

}  // namespace hdasim
