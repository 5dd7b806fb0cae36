// The simulated historian: a plant item space whose history is a deterministic
// function of time, plus an overlay of edits, a modification log and annotations.
// Plain C++ (no COM objects); values travel as Windows VARIANTs so the COM layer
// can copy them straight into OPCHDA_ITEM arrays.
//
// Threading contract
// - Historian: every public member takes one internal std::mutex for its whole
//   duration, so any member may be called from any thread at any time. Nothing
//   is called back while the lock is held (the clock is only queried), and every
//   result is a copy the caller owns.
// - Browser: each instance has its own mutex; a browser keeps the (immutable)
//   item space alive by itself, so it may outlive the Historian.
// - The clock (SimClock, one per process) is thread safe.
//
// Conventions
// - Times are FILETIME ticks (UTC, 100 ns since 1601-01-01) as int64 `Ticks`.
// - Qualities are the OPC quality (low 16 bits: 0xC0 good, 0x40 uncertain,
//   0x00 bad) or-ed with the OPC HDA flags of the high word (OPCHDA_RAW, ...).
// - Per-item answers carry an HRESULT as the custom interfaces expect
//   (S_OK, OPCHDA_S_NODATA, OPCHDA_S_MOREDATA, OPC_E_INVALIDHANDLE, ...).
// - An item whose fault switch is set (SetItemFault) answers every read and
//   update with that code and no values.
//
// The item space (separator '/', all under "Plant"):
//   Plant/Lab/Calibration/...   signals with exactly known values, no noise:
//     Sine     VT_R8, every 10 s:  50 + 10*sin(2*pi*((ticks mod 6e9) / 6e9)), i.e. a
//                                  10 min period; quality good raw; interpolated
//                                  (not stepped). Ramp and Gappy are interpolated too.
//     Ramp     VT_R8, every 10 s:  value = k mod 1000 with k = ticks / 1e8
//                                  (the sample index), good raw.
//     Step     VT_I4, every 60 s:  value = (k / 10) mod 5, k = ticks / 6e8; stepped.
//     Counter  VT_I4, every 10 s:  value = k mod 1000000, k = ticks / 1e8; stepped.
//     Flag     VT_BOOL, every 30 s: true when (k / 4) is odd, k = ticks / 3e8; stepped.
//     Text     VT_BSTR, every 60 s: "State" + decimal(k mod 7), k = ticks / 6e8; stepped.
//     Gappy    VT_R8, every 10 s:  value = k mod 1000; no sample when k mod 60 is
//                                  in [20, 30) (a 100 s gap every 10 min);
//                                  quality bad (0x00|raw) when k mod 60 in [40, 45),
//                                  uncertain (0x40|raw) when k mod 60 in [45, 50).
//   Plant/Area<n>/<Unit>/<Signal> realistic signals (sines with hashed noise,
//     counters, booleans, strings, some with gaps and bad/uncertain periods);
//     see the ItemSpace constructor in item_space.cpp for the full list (58 items).
// Samples exist from 2020-01-01 00:00 UTC up to the clock's now(): history grows
// as time passes. Inserted values may lie anywhere, also in the future.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include "com/com_holders.h"
#include "opc_hda.h"
#include "sim_clock.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace hdasim {

using Handle = std::uint32_t;

// ---- the OPC quality of the low word (the OPC HDA flags of the high word are
// the OPCHDA_* quality flags of the custom interfaces) ----
constexpr std::uint32_t kQualityGood = 0xC0;
constexpr std::uint32_t kQualityUncertain = 0x40;
constexpr std::uint32_t kQualityBad = 0x00;

inline bool IsGoodQuality(std::uint32_t q) { return (q & 0xC0) == 0xC0; }
inline bool IsBadQuality(std::uint32_t q) { return (q & 0xC0) == 0x00; }

// ---- values: VARIANTs held by the kit's UniqueVariant ----
UniqueVariant R8Variant(double d);
UniqueVariant I2Variant(SHORT i);
UniqueVariant I4Variant(std::int32_t i);
UniqueVariant BoolVariant(bool b);
UniqueVariant BstrVariant(const std::wstring& s);
// Numeric view (VT_R8/R4/I*/UI*/BOOL/numeric BSTR); false if not convertible.
bool AsDouble(const VARIANT* v, double* out) noexcept;
std::wstring AsString(const VARIANT* v);  // via VariantChangeType(VT_BSTR); empty if not convertible

// Relative time text ("NOW-1D", "DAY-1D+7H30M", "YEAR+3MO", spaces allowed,
// case-insensitive) against `now` (UTC). E_INVALIDARG when malformed.
HRESULT ParseRelativeTime(const std::wstring& text, Ticks now, Ticks* out);

// ---- answers ----
struct Value {
    Ticks time = 0;
    std::uint32_t quality = 0;
    UniqueVariant value;
};

// Deep copies: the values themselves are held by move-only holders.
Value CopyOf(const Value& v);

struct ItemData {  // ReadRaw / ReadProcessed / ReadAtTime
    HRESULT hr = S_OK;
    std::vector<Value> values;
};

struct ModifiedValue {
    Ticks time = 0;  // time stamp of the value that was modified
    std::uint32_t quality = 0;
    UniqueVariant value;  // the value before the modification (empty for an insert)
    Ticks modificationTime = 0;
    OPCHDA_EDITTYPE editType = OPCHDA_INSERT;
    // Shared with the client name it was: a wide deletion logs up to 100,000
    // values, and a client may have named itself with a long text.
    std::shared_ptr<const std::wstring> user;
};

ModifiedValue CopyOf(const ModifiedValue& v);

struct ModifiedData {
    HRESULT hr = S_OK;
    std::vector<ModifiedValue> values;
};

struct AttributeData {
    HRESULT hr = S_OK;
    std::uint32_t attributeId = 0;
    std::vector<Ticks> times;
    std::vector<UniqueVariant> values;
};

struct Annotation {
    Ticks time = 0;  // time stamp annotated
    std::wstring text;
    Ticks annotationTime = 0;  // when it was entered (0 on insert = the model clock's now)
    std::wstring user;         // empty on insert = the current client name
};

struct AnnotationData {
    HRESULT hr = S_OK;
    std::vector<Annotation> values;
};

struct AttributeInfo {
    std::uint32_t id;
    std::wstring name;
    std::wstring description;
    VARTYPE dataType;
};

struct AggregateInfo {
    std::uint32_t id;
    std::wstring name;
    std::wstring description;
};

struct HistorianStatus {
    OPCHDA_SERVERSTATUS status = OPCHDA_UP;
    Ticks currentTime = 0;
    Ticks startTime = 0;
    std::uint16_t majorVersion = 1;
    std::uint16_t minorVersion = 2;
    std::uint16_t buildNumber = 345;
    std::uint32_t maxReturnValues = 10000;
    std::wstring statusString;
    std::wstring vendorInfo;
};

struct BrowseFilter {
    std::uint32_t attributeId = OPCHDA_ITEMID;
    std::uint32_t op = OPCHDA_EQUAL;
    UniqueVariant value;  // for the item id: a text with '*' and '?' wildcards
};

// A time argument as the custom interfaces pass it (OPCHDA_TIME).
struct TimeArg {
    bool isString = false;
    std::wstring text;
    Ticks ticks = 0;
};

class ItemSpace;  // immutable catalogue, shared by the historian and browsers

// ---- browser over the item space (IOPCHDA_Browser semantics) ----
// Positions are branch paths ("" = root, "Plant", "Plant/Area1", ...).
// Enum: OPCHDA_BRANCH = child branch names (those with a matching item below),
// OPCHDA_LEAF = leaf names at the position that pass the filters,
// OPCHDA_FLAT = full item ids of every passing leaf below the position,
// OPCHDA_ITEMS = full item ids of the passing leaves at the position.
class Browser {
public:
    Browser(std::shared_ptr<const ItemSpace> space, std::vector<BrowseFilter> filters);
    ~Browser();
    HRESULT GetEnum(std::uint32_t browseType, std::vector<std::wstring>* out) const;
    // Up at the root: E_FAIL. Down/direct to an unknown branch: E_INVALIDARG.
    // Direct with "" goes to the root. Unknown direction: E_INVALIDARG.
    HRESULT ChangePosition(std::uint32_t direction, const std::wstring& name);
    // Full item id of a leaf (or branch path) named `node` at the position; E_INVALIDARG if none.
    HRESULT GetItemID(const std::wstring& node, std::wstring* itemId) const;
    std::wstring GetBranchPosition() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// ---- the historian ----
class Historian {
public:
    // Reads `clock`, which outlives it.
    explicit Historian(const SimClock& clock);
    ~Historian();
    Historian(const Historian&) = delete;
    Historian& operator=(const Historian&) = delete;

    Ticks Now() const;

    // Time arguments: a text is parsed against the clock, and `resolved` gets the
    // ticks (the value to write back into ftTime). E_INVALIDARG if malformed.
    HRESULT ResolveTime(const TimeArg& arg, Ticks* resolved) const;

    // --- server (IOPCHDA_Server, IOPCCommon) ---
    HistorianStatus GetStatus() const;
    std::vector<AttributeInfo> GetItemAttributes() const;  // the 19 attributes
    std::vector<AggregateInfo> GetAggregates() const;      // those ReadProcessed computes

    // A new server handle per call (nonzero, never reused while outstanding).
    // Unknown id: OPC_E_UNKNOWNITEMID; empty or malformed: OPC_E_INVALIDITEMID; handle 0 then.
    HRESULT GetItemHandle(const std::wstring& itemId, Handle* handle);
    HRESULT ReleaseItemHandle(Handle handle);  // unknown: OPC_E_INVALIDHANDLE
    HRESULT ValidateItemId(const std::wstring& itemId) const;
    std::size_t OutstandingHandles() const;
    // Item id behind a handle (empty if unknown).
    std::wstring ItemIdOf(Handle handle) const;
    std::vector<std::wstring> AllItemIds() const;

    // errors gets one HRESULT per filter: S_OK, OPCHDA_E_INVALIDATTRID (unknown attribute),
    // E_INVALIDARG (bad operator or a filter value that cannot be compared).
    // Criteria that failed are ignored. Returns S_OK (always succeeds).
    HRESULT CreateBrowser(const std::vector<BrowseFilter>& filters, std::unique_ptr<Browser>* browser,
                          std::vector<HRESULT>* errors) const;

    HRESULT SetLocaleID(LCID lcid);  // unsupported: E_INVALIDARG
    LCID GetLocaleID() const;
    std::vector<LCID> AvailableLocaleIDs() const;  // 0x409, 0x407
    // Text of an OPC HDA / OPC code or a system code; unknown: E_INVALIDARG.
    HRESULT GetErrorString(HRESULT code, std::wstring* text) const;
    void SetClientName(const std::wstring& name);
    std::wstring ClientName() const;

    // --- reads (start/end already resolved; start > end = newest first) ---
    // Raw: ascending [start, end), descending (end, start], start == end the value at
    // exactly that time. bounds adds the value just outside each end (ascending: the
    // last before start, the first at or after end), or a placeholder (time = that
    // end, quality OPCHDA_NOBOUND, VT_EMPTY). numValues 0 = up to MaxReturnValues;
    // bounds count too. Cut answers: OPCHDA_S_MOREDATA (the last value's time is where to
    // continue); no value but placeholders: OPCHDA_S_NODATA.
    ItemData ReadRaw(Ticks start, Ticks end, std::uint32_t numValues, bool bounds, Handle h) const;
    // Intervals of resampleInterval from start towards end (0 or longer than the span:
    // one interval; the last may be short). Rules of each aggregate: aggregates.cpp.
    // Unknown aggregate, or a numeric one on a text item: OPCHDA_E_INVALIDAGGREGATE.
    // More intervals than MaxReturnValues: OPCHDA_S_MOREDATA; every interval empty: OPCHDA_S_NODATA.
    ItemData ReadProcessed(Ticks start, Ticks end, Ticks resampleInterval, std::uint32_t aggregate, Handle h) const;
    // One value per time: the raw value there, else interpolated between its
    // neighbours (stepped items: the previous value held) with OPCHDA_INTERPOLATED;
    // none before: quality OPCHDA_NODATA. Every time without data: OPCHDA_S_NODATA.
    ItemData ReadAtTime(const std::vector<Ticks>& times, Handle h) const;
    // The log of edits whose value time lies in the range (raw read order rules).
    ModifiedData ReadModified(Ticks start, Ticks end, std::uint32_t numValues, Handle h) const;
    // One value per attribute at `start` (attributes do not change over time).
    // Unknown attribute: OPCHDA_E_INVALIDATTRID; invalid handle: every entry OPC_E_INVALIDHANDLE.
    std::vector<AttributeData> ReadAttribute(Ticks start, Ticks end, Handle h,
                                             const std::vector<std::uint32_t>& attributeIds) const;

    // --- updates (one HRESULT each) ---
    std::uint32_t UpdateCapabilities() const {
        return OPCHDA_INSERTCAP | OPCHDA_REPLACECAP | OPCHDA_INSERTREPLACECAP | OPCHDA_DELETERAWCAP |
               OPCHDA_DELETEATTIMECAP;
    }
    HRESULT Insert(Handle h, Ticks time, const VARIANT& value, std::uint32_t quality);
    HRESULT Replace(Handle h, Ticks time, const VARIANT& value, std::uint32_t quality);
    HRESULT InsertReplace(Handle h, Ticks time, const VARIANT& value, std::uint32_t quality);
    HRESULT DeleteRaw(Ticks start, Ticks end, Handle h);  // OPCHDA_S_NODATA if nothing to delete
    HRESULT DeleteAtTime(Handle h, Ticks time);           // OPCHDA_E_NODATAEXISTS if none there

    // --- annotations ---
    std::uint32_t AnnotationCapabilities() const { return OPCHDA_READANNOTATIONCAP | OPCHDA_INSERTANNOTATIONCAP; }
    AnnotationData ReadAnnotations(Ticks start, Ticks end, Handle h) const;
    HRESULT InsertAnnotation(Handle h, const Annotation& annotation);

    // --- control seam for tests and the COM side ---
    void SetMaxReturnValues(std::uint32_t max);
    std::uint32_t MaxReturnValues() const;
    void SetServerStatus(OPCHDA_SERVERSTATUS status, const std::wstring& statusString);
    // Force every read/update of an item to answer `code` (S_OK clears). False if unknown id.
    bool SetItemFault(const std::wstring& itemId, HRESULT code);
    void ClearFaults();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace hdasim
