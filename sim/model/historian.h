// The simulated historian: a plant item space whose history is a deterministic
// function of time, plus an overlay of edits, a modification log and annotations.
// Plain C++ (no COM objects); values travel as Windows VARIANTs so the COM layer
// can copy them straight into OPCHDA_ITEM arrays.
//
// Threading contract
// - Historian: every public member takes one internal std::mutex for its whole
//   duration, so any member may be called from any thread at any time. Nothing
//   is called back while the lock is held (the Clock is only queried), and every
//   result is a copy the caller owns.
// - Browser: each instance has its own mutex; a browser keeps the (immutable)
//   item space alive by itself, so it may outlive the Historian.
// - Clocks: RealClock is thread safe.
//
// Conventions
// - Times are FILETIME ticks (UTC, 100 ns since 1601-01-01) as int64 `Ticks`.
// - Qualities are the OPC quality (low 16 bits: 0xC0 good, 0x40 uncertain,
//   0x00 bad) or-ed with the OPC HDA flags of the high word (kQualityRaw, ...).
// - Per-item answers carry an HRESULT as the custom interfaces expect
//   (S_OK, kHdaNoData, kHdaMoreData, kOpcInvalidHandle, ...).
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

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace hdasim {

using Ticks = std::int64_t;
using Handle = std::uint32_t;

constexpr Ticks kTicksPerSecond = 10'000'000;
constexpr Ticks kTicksPerMinute = 60 * kTicksPerSecond;
constexpr Ticks kTicksPerHour = 60 * kTicksPerMinute;
constexpr Ticks kTicksPerDay = 24 * kTicksPerHour;

// ---- result codes (named here so as not to collide with generated headers) ----
constexpr HRESULT kOpcInvalidHandle = static_cast<HRESULT>(0xC0040001);
constexpr HRESULT kOpcUnknownItemId = static_cast<HRESULT>(0xC0040007);
constexpr HRESULT kOpcInvalidItemId = static_cast<HRESULT>(0xC0040008);
constexpr HRESULT kHdaMaxExceeded = static_cast<HRESULT>(0xC0041001);
constexpr HRESULT kHdaNoData = static_cast<HRESULT>(0x40041002);
constexpr HRESULT kHdaMoreData = static_cast<HRESULT>(0x40041003);
constexpr HRESULT kHdaInvalidAggregate = static_cast<HRESULT>(0xC0041004);
constexpr HRESULT kHdaCurrentValue = static_cast<HRESULT>(0x40041005);
constexpr HRESULT kHdaExtraData = static_cast<HRESULT>(0x40041006);
constexpr HRESULT kHdaNoFilter = static_cast<HRESULT>(0x80041007);
constexpr HRESULT kHdaUnknownAttrId = static_cast<HRESULT>(0xC0041008);
constexpr HRESULT kHdaNotAvail = static_cast<HRESULT>(0xC0041009);
constexpr HRESULT kHdaInvalidDataType = static_cast<HRESULT>(0xC004100A);
constexpr HRESULT kHdaDataExists = static_cast<HRESULT>(0xC004100B);
constexpr HRESULT kHdaInvalidAttrId = static_cast<HRESULT>(0xC004100C);
constexpr HRESULT kHdaNoDataExists = static_cast<HRESULT>(0xC004100D);
constexpr HRESULT kHdaInserted = static_cast<HRESULT>(0x4004100E);
constexpr HRESULT kHdaReplaced = static_cast<HRESULT>(0x4004100F);

// ---- qualities ----
constexpr std::uint32_t kQualityGood = 0xC0;
constexpr std::uint32_t kQualityUncertain = 0x40;
constexpr std::uint32_t kQualityBad = 0x00;
constexpr std::uint32_t kQualityExtraData = 0x00010000;
constexpr std::uint32_t kQualityInterpolated = 0x00020000;
constexpr std::uint32_t kQualityRaw = 0x00040000;
constexpr std::uint32_t kQualityCalculated = 0x00080000;
constexpr std::uint32_t kQualityNoBound = 0x00100000;
constexpr std::uint32_t kQualityNoData = 0x00200000;
constexpr std::uint32_t kQualityDataLost = 0x00400000;
constexpr std::uint32_t kQualityConversion = 0x00800000;

inline bool IsGoodQuality(std::uint32_t q) { return (q & 0xC0) == 0xC0; }
inline bool IsBadQuality(std::uint32_t q) { return (q & 0xC0) == 0x00; }

// clang-format off: the numbers read best packed, as the interfaces list them
// ---- enumerations of the custom interfaces (same numbers) ----
enum ServerStatus : std::uint32_t { kStatusUp = 1, kStatusDown = 2, kStatusIndeterminate = 3 };
enum BrowseDirection : std::uint32_t { kBrowseUp = 1, kBrowseDown = 2, kBrowseDirect = 3 };
enum BrowseType : std::uint32_t { kBrowseBranch = 1, kBrowseLeaf = 2, kBrowseFlat = 3, kBrowseItems = 4 };
enum EditType : std::uint32_t { kEditInsert = 1, kEditReplace = 2, kEditInsertReplace = 3, kEditDelete = 4 };
enum Operator : std::uint32_t {
    kOpEqual = 1,
    kOpLess = 2,
    kOpLessEqual = 3,
    kOpGreater = 4,
    kOpGreaterEqual = 5,
    kOpNotEqual = 6
};
// Update capabilities (OPCHDA_UPDATECAPABILITIES bits) and annotation capabilities.
constexpr std::uint32_t kAllUpdateCapabilities = 0x1F;
constexpr std::uint32_t kAllAnnotationCapabilities = 0x3;

enum Aggregate : std::uint32_t {
    kAggNone = 0,
    kAggInterpolative = 1,
    kAggTotal = 2,
    kAggAverage = 3,
    kAggTimeAverage = 4,
    kAggCount = 5,
    kAggStDev = 6,
    kAggMinimumActualTime = 7,
    kAggMinimum = 8,
    kAggMaximumActualTime = 9,
    kAggMaximum = 10,
    kAggStart = 11,
    kAggEnd = 12,
    kAggDelta = 13,
    kAggRegSlope = 14,
    kAggRegConst = 15,
    kAggRegDev = 16,
    kAggVariance = 17,
    kAggRange = 18,
    kAggDurationGood = 19,
    kAggDurationBad = 20,
    kAggPercentGood = 21,
    kAggPercentBad = 22,
    kAggWorstQuality = 23,
    kAggAnnotations = 24
};

enum Attribute : std::uint32_t {
    kAttrDataType = 1,
    kAttrDescription = 2,
    kAttrEngUnits = 3,
    kAttrStepped = 4,
    kAttrArchiving = 5,
    kAttrDeriveEquation = 6,
    kAttrNodeName = 7,
    kAttrProcessName = 8,
    kAttrSourceName = 9,
    kAttrSourceType = 10,
    kAttrNormalMaximum = 11,
    kAttrNormalMinimum = 12,
    kAttrItemId = 13,
    kAttrMaxTimeInt = 14,
    kAttrMinTimeInt = 15,
    kAttrExceptionDev = 16,
    kAttrExceptionDevType = 17,
    kAttrHighEntryLimit = 18,
    kAttrLowEntryLimit = 19
};
// clang-format on

// ---- an owning VARIANT (copy = VariantCopy, destruction = VariantClear) ----
class Variant {
public:
    Variant() noexcept { VariantInit(&v_); }
    explicit Variant(const VARIANT& src);  // deep copy
    Variant(const Variant& other);
    Variant(Variant&& other) noexcept;
    Variant& operator=(const Variant& other);
    Variant& operator=(Variant&& other) noexcept;
    ~Variant() { VariantClear(&v_); }

    static Variant FromDouble(double d);
    static Variant FromInt(std::int32_t i);
    static Variant FromBool(bool b);
    static Variant FromString(const std::wstring& s);

    const VARIANT& get() const noexcept { return v_; }
    VARTYPE vt() const noexcept { return v_.vt; }
    // Deep copy into a caller's VARIANT (which must be initialised/empty).
    HRESULT CopyTo(VARIANT* dst) const noexcept { return VariantCopy(dst, const_cast<VARIANT*>(&v_)); }
    // Numeric view (VT_R8/R4/I*/UI*/BOOL/numeric BSTR); false if not convertible.
    bool AsDouble(double* out) const noexcept;
    std::wstring AsString() const;  // via VariantChangeType(VT_BSTR); empty if not convertible

private:
    VARIANT v_;
};

bool VariantsEqual(const VARIANT& a, const VARIANT& b);

// ---- clocks ----
class Clock {
public:
    virtual ~Clock() = default;
    virtual Ticks Now() const = 0;
};

// Real UTC time, optionally running faster: now = origin + (real - realAtStart) * speed.
// With origin 0 the origin is the real time at construction.
class RealClock : public Clock {
public:
    explicit RealClock(double speed = 1.0, Ticks origin = 0);
    Ticks Now() const override;

private:
    double speed_;
    Ticks origin_;
    Ticks realStart_;
};

Ticks SystemNowTicks();  // GetSystemTimeAsFileTime as ticks

// Relative time text ("NOW-1D", "DAY-1D+7H30M", "YEAR+3MO", spaces allowed,
// case-insensitive) against `now` (UTC). E_INVALIDARG when malformed.
HRESULT ParseRelativeTime(const std::wstring& text, Ticks now, Ticks* out);

// ---- answers ----
struct Value {
    Ticks time = 0;
    std::uint32_t quality = 0;
    Variant value;
};

struct ItemData {  // ReadRaw / ReadProcessed / ReadAtTime
    HRESULT hr = S_OK;
    std::vector<Value> values;
};

struct ModifiedValue {
    Ticks time = 0;  // time stamp of the value that was modified
    std::uint32_t quality = 0;
    Variant value;  // the value before the modification (empty for an insert)
    Ticks modificationTime = 0;
    EditType editType = kEditInsert;
    // Shared with the client name it was: a wide deletion logs up to 100,000
    // values, and a client may have named itself with a long text.
    std::shared_ptr<const std::wstring> user;
};

struct ModifiedData {
    HRESULT hr = S_OK;
    std::vector<ModifiedValue> values;
};

struct AttributeData {
    HRESULT hr = S_OK;
    std::uint32_t attributeId = 0;
    std::vector<Ticks> times;
    std::vector<Variant> values;
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
    ServerStatus status = kStatusUp;
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
    std::uint32_t attributeId = kAttrItemId;
    std::uint32_t op = kOpEqual;
    Variant value;  // for the item id: a text with '*' and '?' wildcards
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
// Enum: kBrowseBranch = child branch names (those with a matching item below),
// kBrowseLeaf = leaf names at the position that pass the filters,
// kBrowseFlat = full item ids of every passing leaf below the position,
// kBrowseItems = full item ids of the passing leaves at the position.
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
    // `clock` null: a RealClock at speed 1.
    explicit Historian(std::shared_ptr<Clock> clock = nullptr);
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
    // Unknown id: kOpcUnknownItemId; empty or malformed: kOpcInvalidItemId; handle 0 then.
    HRESULT GetItemHandle(const std::wstring& itemId, Handle* handle);
    HRESULT ReleaseItemHandle(Handle handle);  // unknown: kOpcInvalidHandle
    HRESULT ValidateItemId(const std::wstring& itemId) const;
    std::size_t OutstandingHandles() const;
    // Item id behind a handle (empty if unknown).
    std::wstring ItemIdOf(Handle handle) const;
    std::vector<std::wstring> AllItemIds() const;

    // errors gets one HRESULT per filter: S_OK, kHdaInvalidAttrId (unknown attribute),
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
    // end, quality kQualityNoBound, VT_EMPTY). numValues 0 = up to MaxReturnValues;
    // bounds count too. Cut answers: kHdaMoreData (the last value's time is where to
    // continue); no value but placeholders: kHdaNoData.
    ItemData ReadRaw(Ticks start, Ticks end, std::uint32_t numValues, bool bounds, Handle h) const;
    // Intervals of resampleInterval from start towards end (0 or longer than the span:
    // one interval; the last may be short). Rules of each aggregate: aggregates.cpp.
    // Unknown aggregate, or a numeric one on a text item: kHdaInvalidAggregate.
    // More intervals than MaxReturnValues: kHdaMoreData; every interval empty: kHdaNoData.
    ItemData ReadProcessed(Ticks start, Ticks end, Ticks resampleInterval, std::uint32_t aggregate, Handle h) const;
    // One value per time: the raw value there, else interpolated between its
    // neighbours (stepped items: the previous value held) with kQualityInterpolated;
    // none before: quality kQualityNoData. Every time without data: kHdaNoData.
    ItemData ReadAtTime(const std::vector<Ticks>& times, Handle h) const;
    // The log of edits whose value time lies in the range (raw read order rules).
    ModifiedData ReadModified(Ticks start, Ticks end, std::uint32_t numValues, Handle h) const;
    // One value per attribute at `start` (attributes do not change over time).
    // Unknown attribute: kHdaInvalidAttrId; invalid handle: every entry kOpcInvalidHandle.
    std::vector<AttributeData> ReadAttribute(Ticks start, Ticks end, Handle h,
                                             const std::vector<std::uint32_t>& attributeIds) const;

    // --- updates (one HRESULT each) ---
    std::uint32_t UpdateCapabilities() const { return kAllUpdateCapabilities; }
    HRESULT Insert(Handle h, Ticks time, const VARIANT& value, std::uint32_t quality);
    HRESULT Replace(Handle h, Ticks time, const VARIANT& value, std::uint32_t quality);
    HRESULT InsertReplace(Handle h, Ticks time, const VARIANT& value, std::uint32_t quality);
    HRESULT DeleteRaw(Ticks start, Ticks end, Handle h);  // kHdaNoData if nothing to delete
    HRESULT DeleteAtTime(Handle h, Ticks time);           // kHdaNoDataExists if none there

    // --- annotations ---
    std::uint32_t AnnotationCapabilities() const { return kAllAnnotationCapabilities; }
    AnnotationData ReadAnnotations(Ticks start, Ticks end, Handle h) const;
    HRESULT InsertAnnotation(Handle h, const Annotation& annotation);

    // --- control seam for tests and the COM side ---
    void SetMaxReturnValues(std::uint32_t max);
    std::uint32_t MaxReturnValues() const;
    void SetServerStatus(ServerStatus status, const std::wstring& statusString);
    // Force every read/update of an item to answer `code` (S_OK clears). False if unknown id.
    bool SetItemFault(const std::wstring& itemId, HRESULT code);
    void ClearFaults();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace hdasim
