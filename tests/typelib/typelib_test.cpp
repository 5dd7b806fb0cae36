// Checks the type library carried by OPCHDAAuto.dll against the published
// object model, written out by hand below. Clients bind to these names, DISPIDs,
// vtable slots, parameter lists and defaults, so any drift in the IDL (or in
// what widl makes of it) must fail here rather than in a customer's script.
//
// The library is read from <exe dir>/OPCHDAAuto.dll (x64) and from
// <exe dir>/../../x86/bin/OPCHDAAuto.dll (x86, skipped when absent). The
// variables OPCHDA_TYPELIB and OPCHDA_TYPELIB_X86 point the test at another
// file instead, such as a bare .tlb from widl.

#include <windows.h>
#include <oleauto.h>

#include <gtest/gtest.h>

#include <optional>
#include <set>
#include <string>
#include <vector>

#include "module/com_holders.h"

namespace {

// ---------------------------------------------------------------------------
// The expected library, by hand.

constexpr USHORT kIn = PARAMFLAG_FIN;
constexpr USHORT kOut = PARAMFLAG_FOUT;
constexpr USHORT kInOut = PARAMFLAG_FIN | PARAMFLAG_FOUT;
constexpr USHORT kRetval = PARAMFLAG_FOUT | PARAMFLAG_FRETVAL;
constexpr USHORT kOpt = PARAMFLAG_FIN | PARAMFLAG_FOPT;
constexpr USHORT kOptDefault = PARAMFLAG_FIN | PARAMFLAG_FOPT | PARAMFLAG_FHASDEFAULT;
constexpr USHORT kOutOpt = PARAMFLAG_FOUT | PARAMFLAG_FOPT;

struct Param {
    const wchar_t* name;  // nullptr: the name is not part of the contract
    std::string type;     // IDL spelling, e.g. "SAFEARRAY(long)*"
    USHORT flags;
    std::optional<long> default_value = std::nullopt;
};

struct Member {
    MEMBERID id;
    const wchar_t* name;
    INVOKEKIND kind;
    std::vector<Param> params;
    const wchar_t* help = nullptr;  // nullptr: no help string
};

struct Interface {
    const wchar_t* name;
    GUID iid;
    const wchar_t* help;
    const wchar_t* base;  // the interface whose slots come first
    unsigned base_slots;  // vtable slots before the first own member
    std::vector<Member> members;
};

const std::string kLong = "long";
const std::string kDate = "DATE";
const std::string kBstr = "BSTR";
const std::string kVariant = "VARIANT";
const std::string kVariantRef = "VARIANT*";
const std::string kLongs = "SAFEARRAY(long)*";
const std::string kShorts = "SAFEARRAY(short)*";
const std::string kBstrs = "SAFEARRAY(BSTR)*";
const std::string kDates = "SAFEARRAY(DATE)*";
const std::string kVariants = "SAFEARRAY(VARIANT)*";

Member Get(MEMBERID id, const wchar_t* name, const std::string& type, const wchar_t* help = nullptr,
           const wchar_t* result_name = nullptr) {
    return Member{id, name, INVOKE_PROPERTYGET, {{result_name, type + "*", kRetval}}, help};
}
Member Put(MEMBERID id, const wchar_t* name, const std::string& type) {
    return Member{id, name, INVOKE_PROPERTYPUT, {{nullptr, type, kIn}}};
}
Member Method(MEMBERID id, const wchar_t* name, std::vector<Param> params, const wchar_t* help = nullptr) {
    return Member{id, name, INVOKE_FUNC, std::move(params), help};
}

constexpr GUID Guid(unsigned long d1) {
    return GUID{d1, 0xBCD7, 0x11D4, {0x9E, 0x70, 0x00, 0xB0, 0xD0, 0x60, 0x20, 0x5F}};
}

constexpr GUID kLibId = Guid(0x0C678470);
constexpr GUID kStdOle2 = {0x00020430, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

const Param kStart{L"StartTime", kVariantRef, kInOut};
const Param kEnd{L"EndTime", kVariantRef, kInOut};
const Param kTransaction{L"TransactionID", kLong, kIn};
const Param kNumItems{L"NumItems", kLong, kIn};
const Param kHandles{L"ServerHandles", kLongs, kIn};
const Param kErrorsOut{L"Errors", kLongs, kOut};
const Param kCancelOut{L"CancelID", "long*", kRetval};
const Param kCancelIn{L"CancelID", kLong, kIn};
const Param kTimeStamps{L"TimeStamps", kDates, kIn};

Interface AutoServer() {
    Interface i{L"IOPCHDAAutoServer", Guid(0x0C678471), L"OPC HDA Automation Server", L"IDispatch", 7, {}};
    auto& m = i.members;
    m.push_back(Get(0x60020000, L"StartTime", kDate, L"Time the server started"));
    m.push_back(Get(0x60020001, L"CurrentTime", kDate, L"Current time at the server location"));
    m.push_back(Get(0x60020002, L"MaxReturnValues", kLong,
                    L"Maximum number of values that can be returned on a per item basis."));
    m.push_back(Get(0x60020003, L"MajorVersion", "short"));
    m.push_back(Get(0x60020004, L"MinorVersion", "short"));
    m.push_back(Get(0x60020005, L"BuildNumber", "short"));
    m.push_back(Get(0x60020006, L"VendorInfo", kBstr, L"Server vendor information"));
    m.push_back(Get(0x60020007, L"HistorianStatus", kLong, L"Returns an OPCHDAServerStatus"));
    m.push_back(Get(0x60020008, L"StatusString", kBstr, L"Explains historian status when indeterminate."));
    m.push_back(Get(0x60020009, L"ServerName", kBstr, L"Returns this server's name"));
    m.push_back(Get(0x6002000A, L"ServerNode", kBstr, L"Returns this server's node"));
    m.push_back(Get(0x6002000B, L"ClientName", kBstr, L"Identify the client"));
    m.push_back(Put(0x6002000B, L"ClientName", kBstr));
    m.push_back(Get(0x6002000D, L"LocaleID", kLong));
    m.push_back(Put(0x6002000D, L"LocaleID", kLong));
    const wchar_t* caps[] = {
        L"CanSyncInsert",           L"CanSyncReplace",           L"CanSyncInsertReplace",     L"CanSyncDeleteRaw",
        L"CanSyncDeleteAtTime",     L"CanSyncReadAnnotations",   L"CanSyncInsertAnnotations", L"CanAsyncInsert",
        L"CanAsyncReplace",         L"CanAsyncInsertReplace",    L"CanAsyncDeleteRaw",        L"CanAsyncDeleteAtTime",
        L"CanAsyncReadAnnotations", L"CanAsyncInsertAnnotations"};
    MEMBERID id = 0x6002000F;
    for (const wchar_t* c : caps) m.push_back(Get(id++, c, kLong));
    m.push_back(Get(0, L"OPCHDAItems", "IOPCHDAItems*", L"The collection of OPCHDAItem Objects", L"ppOPCHDAItems"));
    m.push_back(Method(0x6002001E, L"GetOPCHDAServers",
                       {{L"Node", kVariant, kOpt}, {L"OPCHDAServers", kVariantRef, kRetval}},
                       L"Returns an array of OPC HDA server names, optionally on another node"));
    m.push_back(Method(0x6002001F, L"Connect", {{L"ProgID", kBstr, kIn}, {L"Node", kVariant, kOpt}},
                       L"Connect to a named OPC HDA server"));
    m.push_back(Method(0x60020020, L"Disconnect", {}, L"End connection with OPC HDA server"));
    m.push_back(Method(0x60020021, L"GetErrorString", {{L"ErrorCode", kLong, kIn}, {L"ErrorString", "BSTR*", kRetval}},
                       L"Convert an error code to a descriptive string"));
    m.push_back(Method(0x60020022, L"QueryAvailableLocaleIDs", {{L"LocaleIDs", kVariantRef, kRetval}},
                       L"The locales supported by this server"));
    m.push_back(Method(0x60020023, L"GetItemAttributes",
                       {{L"Count", "long*", kOut},
                        {L"AttributeIDs", kLongs, kOut},
                        {L"Names", kBstrs, kOut},
                        {L"Descriptions", kBstrs, kOut},
                        {L"DataTypes", kShorts, kOut}}));
    m.push_back(Method(0x60020024, L"GetAggregates",
                       {{L"Count", "long*", kOut},
                        {L"AggregateIDs", kLongs, kOut},
                        {L"Names", kBstrs, kOut},
                        {L"Descriptions", kBstrs, kOut}}));
    m.push_back(Method(0x60020025, L"CreateBrowser",
                       {{L"NumCriteria", kLong, kOptDefault, 0},
                        {L"AttributeIDs", kVariant, kOpt},
                        {L"OperatorCodes", kVariant, kOpt},
                        {L"Filters", kVariant, kOpt},
                        {L"Errors", kVariantRef, kOutOpt},
                        {L"ppOPCHDABrowser", "OPCHDABrowser**", kRetval}}));
    return i;
}

Interface Items() {
    Interface i{L"IOPCHDAItems", Guid(0x0C678473), L"Collection of OPC HDA Item objects", L"IDispatch", 7, {}};
    auto& m = i.members;
    const Param item_out{nullptr, "OPCHDAItem**", kRetval};
    m.push_back(
        Get(0x60020000, L"Parent", "IOPCHDAAutoServer*", L"Returns the parent OPCHDAServer object", L"ppParent"));
    m.push_back(Get(0x60020001, L"Count", kLong, L"Number of items in the collection"));
    m.push_back(Get(-4, L"_NewEnum", "IUnknown*", nullptr, L"ppUnk"));
    m.push_back(Method(0, L"Item", {{L"ItemSpecifier", kVariant, kIn}, {L"ppItem", "OPCHDAItem**", kRetval}},
                       L"Returns an OPCItem by index (starts at 1)"));
    m.push_back(Method(0x60020004, L"GetOPCHDAItem", {{L"ServerHandle", kLong, kIn}, item_out},
                       L"Returns an OPCHDAItem specified by server handle"));
    m.push_back(Method(0x60020005, L"AddItem", {{L"ItemID", kBstr, kIn}, {L"ClientHandle", kLong, kIn}, item_out},
                       L"Adds an OPCHDAItem object to the collection"));
    m.push_back(Method(0x60020006, L"AddItems",
                       {kNumItems,
                        {L"ItemIDs", kBstrs, kIn},
                        {L"ClientHandles", kLongs, kIn},
                        {L"ServerHandles", kLongs, kOut},
                        kErrorsOut},
                       L"Adds OPCHDAItem objects to the collection"));
    m.push_back(Method(0x60020007, L"Remove", {kNumItems, kHandles, kErrorsOut},
                       L"Removes OPCHDAItem objects from the collection"));
    m.push_back(Method(0x60020008, L"RemoveAll", {}, L"Removes all OPC HDA items"));
    m.push_back(Method(0x60020009, L"Validate", {kNumItems, {L"ItemIDs", kBstrs, kIn}, kErrorsOut},
                       L"Validates OPC HDA item ID's."));
    const Param values_out{L"ItemValues", kVariants, kOut};
    const Param num_values{L"NumValues", kLong, kIn};
    const Param bounds{L"Bounds", kLong, kIn};
    const Param resample{L"ResampleInterval", kDate, kIn};
    const Param aggregates{L"Aggregates", kLongs, kIn};
    const Param num_stamps{L"NumTimeStamps", kLong, kIn};
    const Param server_handle{L"ServerHandle", kLong, kIn};
    const Param num_attributes{L"NumAttributes", kLong, kIn};
    const Param attribute_ids{L"AttributeIDs", kLongs, kIn};
    const Param data_values{L"DataValues", kVariants, kIn};
    const Param qualities{L"Qualities", kLongs, kIn};
    const Param update_interval{L"UpdateInterval", kDate, kIn};
    const Param num_intervals{L"NumIntervals", kLong, kIn};
    m.push_back(Method(0x6002000A, L"SyncReadRaw",
                       {kStart, kEnd, num_values, bounds, kNumItems, kHandles, values_out, kErrorsOut}));
    m.push_back(Method(0x6002000B, L"SyncReadProcessed",
                       {kStart, kEnd, resample, kNumItems, kHandles, aggregates, values_out, kErrorsOut}));
    m.push_back(
        Method(0x6002000C, L"SyncReadAtTime", {num_stamps, kTimeStamps, kNumItems, kHandles, values_out, kErrorsOut}));
    m.push_back(Method(0x6002000D, L"SyncReadModified",
                       {kStart, kEnd, num_values, kNumItems, kHandles, values_out, kErrorsOut}));
    m.push_back(Method(0x6002000E, L"SyncReadAttribute",
                       {kStart,
                        kEnd,
                        server_handle,
                        num_attributes,
                        attribute_ids,
                        {L"AttributeValues", kVariants, kOut},
                        kErrorsOut}));
    MEMBERID id = 0x6002000F;
    for (const wchar_t* n : {L"SyncInsert", L"SyncReplace", L"SyncInsertReplace"})
        m.push_back(Method(id++, n, {kNumItems, kHandles, kTimeStamps, data_values, qualities, kErrorsOut}));
    m.push_back(Method(0x60020012, L"SyncDeleteRaw", {kStart, kEnd, kNumItems, kHandles, kErrorsOut}));
    m.push_back(Method(0x60020013, L"SyncDeleteAtTime", {kNumItems, kHandles, kTimeStamps, kErrorsOut}));
    m.push_back(Method(0x60020014, L"SyncReadAnnotations",
                       {kStart, kEnd, kNumItems, kHandles, {L"AnnotationValues", kVariants, kOut}, kErrorsOut}));
    m.push_back(Method(0x60020015, L"SyncInsertAnnotations",
                       {kNumItems, kHandles, kTimeStamps, {L"AnnotationValues", kVariants, kIn}, kErrorsOut}));
    m.push_back(Method(0x60020016, L"AsyncReadRaw",
                       {kTransaction, kStart, kEnd, num_values, bounds, kNumItems, kHandles, kErrorsOut, kCancelOut}));
    m.push_back(Method(0x60020017, L"AsyncAdviseRaw",
                       {kTransaction, kStart, update_interval, kNumItems, kHandles, kErrorsOut, kCancelOut}));
    m.push_back(
        Method(0x60020018, L"AsyncReadProcessed",
               {kTransaction, kStart, kEnd, resample, kNumItems, kHandles, aggregates, kErrorsOut, kCancelOut}));
    m.push_back(Method(
        0x60020019, L"AsyncAdviseProcessed",
        {kTransaction, kStart, resample, num_intervals, kNumItems, kHandles, aggregates, kErrorsOut, kCancelOut}));
    m.push_back(Method(0x6002001A, L"AsyncReadAtTime",
                       {kTransaction, num_stamps, kTimeStamps, kNumItems, kHandles, kErrorsOut, kCancelOut}));
    m.push_back(Method(0x6002001B, L"AsyncReadModified",
                       {kTransaction, kStart, kEnd, num_values, kNumItems, kHandles, kErrorsOut, kCancelOut}));
    m.push_back(
        Method(0x6002001C, L"AsyncReadAttribute",
               {kTransaction, kStart, kEnd, server_handle, num_attributes, attribute_ids, kErrorsOut, kCancelOut}));
    m.push_back(Method(0x6002001D, L"AsyncCancelRead", {kCancelIn}));
    id = 0x6002001E;
    for (const wchar_t* n : {L"AsyncInsert", L"AsyncReplace", L"AsyncInsertReplace"})
        m.push_back(Method(
            id++, n, {kTransaction, kNumItems, kHandles, kTimeStamps, data_values, qualities, kErrorsOut, kCancelOut}));
    m.push_back(Method(0x60020021, L"AsyncDeleteRaw",
                       {kTransaction, kStart, kEnd, kNumItems, kHandles, kErrorsOut, kCancelOut}));
    m.push_back(Method(0x60020022, L"AsyncDeleteAtTime",
                       {kTransaction, kNumItems, kHandles, kTimeStamps, kErrorsOut, kCancelOut}));
    m.push_back(Method(0x60020023, L"AsyncCancelUpdate", {kCancelIn}));
    m.push_back(Method(0x60020024, L"AsyncReadAnnotations",
                       {kTransaction, kStart, kEnd, kNumItems, kHandles, kErrorsOut, kCancelOut}));
    m.push_back(Method(0x60020025, L"AsyncInsertAnnotations",
                       {kTransaction,
                        kNumItems,
                        kHandles,
                        kTimeStamps,
                        {L"AnnotationValues", kVariants, kIn},
                        kErrorsOut,
                        kCancelOut}));
    m.push_back(Method(0x60020026, L"AsyncCancelAnnotations", {kCancelIn}));
    m.push_back(Method(0x60020027, L"AsyncPlaybackRaw",
                       {kTransaction,
                        kStart,
                        kEnd,
                        num_values,
                        {L"UpdateDuration", kDate, kIn},
                        update_interval,
                        kNumItems,
                        kHandles,
                        kErrorsOut,
                        kCancelOut}));
    m.push_back(Method(0x60020028, L"AsyncPlaybackProcessed",
                       {kTransaction, kStart, kEnd, resample, num_intervals, update_interval, kNumItems, kHandles,
                        aggregates, kErrorsOut, kCancelOut}));
    m.push_back(Method(0x60020029, L"AsyncCancelPlayback", {kCancelIn}));
    return i;
}

Interface Item() {
    Interface i{L"OPCHDAItem", Guid(0x0C678475), L"OPC HDA Item", L"IDispatch", 7, {}};
    auto& m = i.members;
    const Param values_out{L"ItemValues", kVariantRef, kRetval};
    m.push_back(Get(0x60020000, L"Parent", "IOPCHDAAutoServer*", L"Returns the parent OPCHDAServer object"));
    m.push_back(Get(0x60020001, L"ClientHandle", kLong));
    m.push_back(Get(0x60020002, L"ServerHandle", kLong));
    m.push_back(Get(0x60020003, L"ItemID", kBstr));
    m.push_back(
        Method(0x60020004, L"ReadRaw",
               {kStart, kEnd, {L"NumValues", kLong, kOptDefault, 0}, {L"Bounds", kLong, kOptDefault, 0}, values_out}));
    m.push_back(Method(0x60020005, L"ReadProcessed",
                       {kStart, kEnd, {L"ResampleInterval", kDate, kIn}, {L"Aggregate", kLong, kIn}, values_out}));
    m.push_back(Method(0x60020006, L"ReadAtTime", {{L"NumTimeStamps", kLong, kIn}, kTimeStamps, values_out}));
    m.push_back(Method(0x60020007, L"Update",
                       {{L"TimeStamp", kDate, kIn},
                        {L"DataValue", kVariant, kIn},
                        {L"Quality", kLong, kIn},
                        {L"EditType", kLong, kOptDefault, 3}}));
    m.push_back(Method(0x60020008, L"DeleteRaw", {kStart, kEnd}));
    return i;
}

Interface Browser() {
    Interface i{L"OPCHDABrowser", Guid(0x0C678476), L"OPC HDA Browser", L"IDispatch", 7, {}};
    auto& m = i.members;
    m.push_back(Get(0x60020000, L"CurrentPosition", kBstr));
    m.push_back(Get(0x60020001, L"OPCHDABranches", kVariant));
    m.push_back(Get(0x60020002, L"OPCHDALeaves", kVariant));
    m.push_back(Get(0x60020003, L"OPCHDAItems", kVariant));
    m.push_back(Method(0x60020004, L"MoveUp", {}));
    m.push_back(Method(0x60020005, L"MoveToRoot", {}));
    m.push_back(Method(0x60020006, L"MoveDown", {{L"BranchName", kBstr, kIn}}));
    m.push_back(Method(0x60020007, L"MoveTo", {{L"NewPosition", kBstr, kIn}}));
    m.push_back(Method(0x60020008, L"GetItemID", {{L"ItemName", kBstr, kIn}, {L"ItemID", "BSTR*", kRetval}}));
    return i;
}

Interface Value() {
    Interface i{L"OPCHDAValue", Guid(0x0C678477), L"OPC HDA Value", L"IDispatch", 7, {}};
    i.members = {Get(0x60020000, L"TimeStamp", kDate), Get(0, L"DataValue", kVariant),
                 Get(0x60020002, L"Quality", kLong)};
    return i;
}

Interface Entry() {
    Interface i{L"OPCHDAEntry", Guid(0x0C678478), L"OPC HDA Entry", L"OPCHDAValue", 10, {}};
    i.members = {Get(0x60030000, L"EntryTime", kDate), Get(0x60030001, L"EntryType", kLong),
                 Get(0x60030002, L"User", kBstr)};
    return i;
}

Interface History() {
    Interface i{
        L"OPCHDAHistory", Guid(0x0C678479), L"Collection of OPC HDA Value or Entry objects", L"IDispatch", 7, {}};
    i.members = {Get(0x60020000, L"Count", kLong, L"Number of items in the collection"),
                 Get(-4, L"_NewEnum", "IUnknown*"),
                 Method(0, L"Item", {{L"ItemSpecifier", kVariant, kIn}, {L"ppValue", "OPCHDAValue**", kRetval}},
                        L"Returns an item by index (starts at 1)")};
    return i;
}

Interface ServerEvents() {
    Interface i{
        L"_IOPCHDAAutoServerEvents", Guid(0x0C678472), L"OPC HDA Automation Server Events", L"IDispatch", 0, {}};
    i.members = {Method(1, L"HDAServerShutDown", {{L"Reason", kBstr, kIn}})};
    return i;
}

Interface ItemEvents() {
    Interface i{L"_IOPCHDAItemEvents", Guid(0x0C678474), L"OPC HDA Item Events", L"IDispatch", 0, {}};
    const Param tid{L"TransactionID", kLong, kIn};
    const Param status{L"Status", kLong, kIn};
    const Param num{L"NumItems", kLong, kIn};
    const Param clients{L"ClientHandles", kLongs, kIn};
    const Param aggregates{L"Aggregates", kLongs, kIn};
    const Param values{L"ItemValues", kVariants, kIn};
    const Param errors{L"Errors", kLongs, kIn};
    const std::vector<Param> data{tid, status, num, clients, aggregates, values, errors};
    const std::vector<Param> update{tid, status, num, clients, errors};
    i.members = {
        Method(1, L"DataChange", data),
        Method(2, L"AsyncReadComplete", data),
        Method(3, L"AsyncReadModifiedComplete", {tid, status, num, clients, values, errors}),
        Method(4, L"AsyncReadAttributesComplete",
               {tid,
                status,
                {L"ClientHandle", kLong, kIn},
                {L"NumAttributes", kLong, kIn},
                {L"AttributesIDs", kLongs, kIn},
                {L"AttributeValues", kVariants, kIn},
                errors}),
        Method(5, L"AsyncReadAnnotationsComplete",
               {tid, status, num, clients, {L"AnnotationValues", kVariants, kIn}, errors}),
        Method(6, L"AsyncInsertAnnotationsComplete", update),
        Method(7, L"Playback", data),
        Method(8, L"AsyncUpdateComplete", update),
        Method(9, L"AsyncCancelComplete", {tid}),
    };
    return i;
}

struct Enumeration {
    const wchar_t* name;
    std::vector<std::pair<const wchar_t*, long>> values;
};

std::vector<Enumeration> Enumerations() {
    return {
        {L"OPCHDAServerStatus", {{L"OPCHDAUp", 1}, {L"OPCHDADown", 2}, {L"OPCHDAIndeterminate", 3}}},
        {L"OPCHDAOperatorCode",
         {{L"OPCHDAEqual", 1},
          {L"OPCHDALess", 2},
          {L"OPCHDALessEqual", 3},
          {L"OPCHDAGreater", 4},
          {L"OPCHDAGreaterEqual", 5}}},
        {L"OPCHDAEditType",
         {{L"OPCHDAInsert", 1},
          {L"OPCHDAReplace", 2},
          {L"OPCHDAInsertReplace", 3},
          {L"OPCHDADelete", 4},
          {L"OPCHDAAnnotate", 5}}},
        {L"OPCHDAErrors",
         {{L"OPCHDAMaxExceeded", static_cast<long>(0xC0041001)},
          {L"OPCHDANoData", 0x40041002},
          {L"OPCHDAMoreData", 0x40041003},
          {L"OPCHDAInvalidAggregate", static_cast<long>(0xC0041004)},
          {L"OPCHDACurrentValue", 0x40041005},
          {L"OPCHDAExtraData", 0x40041006},
          {L"OPCHDANoFilter", static_cast<long>(0x80041007)},
          {L"OPCHDAUnknownAttrID", static_cast<long>(0xC0041008)},
          {L"OPCHDANotAvail", static_cast<long>(0xC0041009)},
          {L"OPCHDAInvalidDataType", static_cast<long>(0xC004100A)},
          {L"OPCHDADataExists", static_cast<long>(0xC004100B)},
          {L"OPCHDAInvalidAttrID", static_cast<long>(0xC004100C)},
          {L"OPCHDANoDataExists", static_cast<long>(0xC004100D)},
          {L"OPCHDAInserted", 0x4004100E},
          {L"OPCHDAReplaced", 0x4004100F}}},
        {L"OPCHDAAggregate", {{L"OPCHDANoAggregate", 0},  {L"OPCHDAInterpolative", 1},
                              {L"OPCHDATotal", 2},        {L"OPCHDAAverage", 3},
                              {L"OPCHDATimeAverage", 4},  {L"OPCHDACount", 5},
                              {L"OPCHDAStDev", 6},        {L"OPCHDAMinimumActualTime", 7},
                              {L"OPCHDAMinimum", 8},      {L"OPCHDAMaximumActualTime", 9},
                              {L"OPCHDAMaximum", 10},     {L"OPCHDAStart", 11},
                              {L"OPCHDAEnd", 12},         {L"OPCHDADelta", 13},
                              {L"OPCHDARegSlope", 14},    {L"OPCHDARegConst", 15},
                              {L"OPCHDARegDev", 16},      {L"OPCHDAVariance", 17},
                              {L"OPCHDARange", 18},       {L"OPCHDADurationGood", 19},
                              {L"OPCHDADurationBad", 20}, {L"OPCHDAPercentGood", 21},
                              {L"OPCHDAPercentBad", 22},  {L"OPCHDAWorstQuality", 23},
                              {L"OPCHDAAnnotations", 24}}},
        {L"OPCHDAQuality",
         {{L"OPCHDAQualityExtraData", 0x00010000},
          {L"OPCHDAQualityInterpolated", 0x00020000},
          {L"OPCHDAQualityRaw", 0x00040000},
          {L"OPCHDAQualityCalculated", 0x00080000},
          {L"OPCHDAQualityNoBound", 0x00100000},
          {L"OPCHDAQualityNoData", 0x00200000},
          {L"OPCHDAQualityDataLost", 0x00400000},
          {L"OPCHDAQualityConversion", 0x00800000}}},
        {L"OPCHDAAttribute",
         {{L"OPCHDADataType", 1},
          {L"OPCHDADescription", 2},
          {L"OPCHDAEngUnits", 3},
          {L"OPCHDAStepped", 4},
          {L"OPCHDAArchiving", 5},
          {L"OPCHDADeriveEquation", 6},
          {L"OPCHDANodeName", 7},
          {L"OPCHDAProcessName", 8},
          {L"OPCHDASourceName", 9},
          {L"OPCHDASourceType", 10},
          {L"OPCHDANormalMaximum", 11},
          {L"OPCHDANormalMinimum", 12},
          {L"OPCHDAItemID", 13},
          {L"OPCHDAMaxTimeInt", 14},
          {L"OPCHDAMinTimeInt", 15},
          {L"OPCHDAExceptionDev", 16},
          {L"OPCHDAExceptionDevType", 17},
          {L"OPCHDAHighEntryLimit", 18},
          {L"OPCHDALowEntryLimit", 19}}},
    };
}

// ---------------------------------------------------------------------------
// Reading the library.

std::wstring Str(BSTR b) { return b ? std::wstring(b, SysStringLen(b)) : std::wstring(); }
std::wstring Wide(const std::string& s) { return std::wstring(s.begin(), s.end()); }

std::string Narrow(const std::wstring& s) {
    std::string out;
    for (wchar_t c : s) out += c < 128 ? static_cast<char>(c) : '?';
    return out;
}

std::wstring GuidText(const GUID& g) {
    wchar_t buf[40] = {};
    StringFromGUID2(g, buf, 40);
    return buf;
}

// Releases the structures an ITypeInfo hands out.
class TypeAttr {
public:
    explicit TypeAttr(ITypeInfo* ti) : ti_(ti) { hr_ = ti->GetTypeAttr(&a_); }
    ~TypeAttr() {
        if (a_) ti_->ReleaseTypeAttr(a_);
    }
    TypeAttr(const TypeAttr&) = delete;
    TypeAttr& operator=(const TypeAttr&) = delete;
    HRESULT hr() const { return hr_; }
    const TYPEATTR* operator->() const { return a_; }

private:
    ITypeInfo* ti_;
    TYPEATTR* a_ = nullptr;
    HRESULT hr_;
};

class FuncDesc {
public:
    FuncDesc(ITypeInfo* ti, UINT index) : ti_(ti) { hr_ = ti->GetFuncDesc(index, &f_); }
    ~FuncDesc() {
        if (f_) ti_->ReleaseFuncDesc(f_);
    }
    FuncDesc(const FuncDesc&) = delete;
    FuncDesc& operator=(const FuncDesc&) = delete;
    HRESULT hr() const { return hr_; }
    const FUNCDESC* operator->() const { return f_; }

private:
    ITypeInfo* ti_;
    FUNCDESC* f_ = nullptr;
    HRESULT hr_;
};

class VarDesc {
public:
    VarDesc(ITypeInfo* ti, UINT index) : ti_(ti) { hr_ = ti->GetVarDesc(index, &v_); }
    ~VarDesc() {
        if (v_) ti_->ReleaseVarDesc(v_);
    }
    VarDesc(const VarDesc&) = delete;
    VarDesc& operator=(const VarDesc&) = delete;
    HRESULT hr() const { return hr_; }
    const VARDESC* operator->() const { return v_; }

private:
    ITypeInfo* ti_;
    VARDESC* v_ = nullptr;
    HRESULT hr_;
};

struct Doc {
    std::wstring name;
    std::wstring help;
};

Doc Documentation(ITypeInfo* ti, MEMBERID id) {
    UniqueBstr name, help;
    if (FAILED(ti->GetDocumentation(id, name.put(), help.put(), nullptr, nullptr))) return {L"<none>", L"<none>"};
    return {Str(name.get()), Str(help.get())};
}

std::wstring TypeName(ITypeInfo* ti) { return Documentation(ti, MEMBERID_NIL).name; }

// Spells a type description the way the IDL writes it. Interface pointers are
// stored as a pointer to the user-defined type, and IUnknown*/IDispatch* as
// their own variant types, so both come out as "Name*".
std::wstring Spell(ITypeInfo* ti, const TYPEDESC& t) {
    switch (t.vt) {
        case VT_I4: return L"long";
        case VT_I2: return L"short";
        case VT_BSTR: return L"BSTR";
        case VT_DATE: return L"DATE";
        case VT_VARIANT: return L"VARIANT";
        case VT_HRESULT: return L"HRESULT";
        case VT_VOID: return L"void";
        case VT_UNKNOWN: return L"IUnknown*";
        case VT_DISPATCH: return L"IDispatch*";
        case VT_PTR: return Spell(ti, *t.lptdesc) + L"*";
        case VT_SAFEARRAY: return L"SAFEARRAY(" + Spell(ti, *t.lptdesc) + L")";
        case VT_USERDEFINED: {
            ComPtr<ITypeInfo> ref;
            if (FAILED(ti->GetRefTypeInfo(t.hreftype, ref.put()))) return L"<bad reference>";
            return TypeName(ref.get());
        }
        default: return L"vt" + std::to_wstring(t.vt);
    }
}

// Member name followed by parameter names. GetNames looks up by DISPID, so
// for a property put (which shares the DISPID of its get) these are the get's.
std::vector<std::wstring> Names(ITypeInfo* ti, MEMBERID id, UINT count) {
    std::vector<BSTR> raw(count + 1, nullptr);
    UINT got = 0;
    ti->GetNames(id, raw.data(), count + 1, &got);
    std::vector<std::wstring> names;
    for (UINT k = 0; k < got; ++k) {
        names.push_back(Str(raw[k]));
        SysFreeString(raw[k]);
    }
    return names;
}

MEMBERID IdOfName(ITypeInfo* ti, const wchar_t* name) {
    std::wstring copy = name;
    LPOLESTR names[] = {copy.data()};
    MEMBERID id = 12345;
    HRESULT hr = ti->GetIDsOfNames(names, 1, &id);
    return SUCCEEDED(hr) ? id : static_cast<MEMBERID>(hr);
}

// Finds member `m` among the functions of a type info; -1 when absent.
int FindFunc(ITypeInfo* ti, UINT count, const Member& m) {
    for (UINT k = 0; k < count; ++k) {
        FuncDesc f(ti, k);
        if (SUCCEEDED(f.hr()) && f->memid == m.id && f->invkind == m.kind) return static_cast<int>(k);
    }
    return -1;
}

// Compares one function description against the expected member, parameter by
// parameter: name, type, direction flags and default.
void ExpectFunction(ITypeInfo* ti, const FUNCDESC& f, const Member& m) {
    EXPECT_EQ(f.memid, m.id);
    EXPECT_EQ(f.invkind, m.kind);
    EXPECT_EQ(Spell(ti, f.elemdescFunc.tdesc), L"HRESULT");
    ASSERT_EQ(static_cast<size_t>(f.cParams), m.params.size());
    const Doc doc = Documentation(ti, m.id);
    EXPECT_EQ(doc.name, m.name);
    // A put shares its get's DISPID, so documentation by DISPID shows the get's help.
    if (m.kind != INVOKE_PROPERTYPUT) {
        EXPECT_EQ(doc.help, m.help ? m.help : L"");
    }
    const std::vector<std::wstring> names = Names(ti, m.id, f.cParams);
    ASSERT_GE(names.size(), 1u);
    EXPECT_EQ(names[0], m.name);
    for (size_t k = 0; k < m.params.size(); ++k) {
        const Param& p = m.params[k];
        const ELEMDESC& e = f.lprgelemdescParam[k];
        SCOPED_TRACE("parameter " + std::to_string(k + 1));
        if (p.name) {
            ASSERT_LT(k + 1, names.size()) << "parameter has no name";
            EXPECT_EQ(names[k + 1], p.name);
        }
        EXPECT_EQ(Spell(ti, e.tdesc), Wide(p.type));
        EXPECT_EQ(e.paramdesc.wParamFlags, p.flags)
            << "expected 0x" << std::hex << p.flags << " got 0x" << e.paramdesc.wParamFlags;
        if (p.default_value) {
            ASSERT_TRUE(e.paramdesc.wParamFlags & PARAMFLAG_FHASDEFAULT);
            ASSERT_NE(e.paramdesc.pparamdescex, nullptr);
            const VARIANT& v = e.paramdesc.pparamdescex->varDefaultValue;
            EXPECT_EQ(V_VT(&v), VT_I4);
            if (V_VT(&v) == VT_I4) {
                EXPECT_EQ(V_I4(&v), *p.default_value);
            }
        }
    }
}

struct Target {
    const char* label;
    SYSKIND syskind;
};

void PrintTo(const Target& t, std::ostream* os) { *os << t.label; }

std::wstring ExeDir() {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring s = path;
    const size_t cut = s.find_last_of(L"\\/");
    return cut == std::wstring::npos ? std::wstring() : s.substr(0, cut + 1);
}

std::wstring EnvPath(const wchar_t* var) {
    wchar_t buf[MAX_PATH] = {};
    const DWORD n = GetEnvironmentVariableW(var, buf, MAX_PATH);
    return n > 0 && n < MAX_PATH ? std::wstring(buf) : std::wstring();
}

bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

class TypeLibTest : public ::testing::TestWithParam<Target> {
protected:
    void SetUp() override {
        const bool x86 = GetParam().syskind == SYS_WIN32;
        std::wstring path = EnvPath(x86 ? L"OPCHDA_TYPELIB_X86" : L"OPCHDA_TYPELIB");
        if (path.empty()) path = ExeDir() + (x86 ? L"..\\..\\x86\\bin\\OPCHDAAuto.dll" : L"OPCHDAAuto.dll");
        if (x86 && !Exists(path)) GTEST_SKIP() << "no x86 build next to this one: " << Narrow(path);
        ASSERT_TRUE(Exists(path)) << Narrow(path);
        // REGKIND_NONE: reading the library must not depend on, or change, the registry.
        ASSERT_EQ(LoadTypeLibEx(path.c_str(), REGKIND_NONE, lib_.put()), S_OK) << Narrow(path);
    }

    ComPtr<ITypeInfo> ByGuid(const GUID& g) {
        ComPtr<ITypeInfo> ti;
        EXPECT_EQ(lib_->GetTypeInfoOfGuid(g, ti.put()), S_OK) << Narrow(GuidText(g));
        return ti;
    }

    // Both halves of a dual interface: the dispatch half that clients are
    // given first, and the vtable half that early-bound clients compile against.
    void CheckDual(const Interface& expected) {
        ComPtr<ITypeInfo> disp = ByGuid(expected.iid);
        ASSERT_TRUE(disp);
        {
            TypeAttr a(disp.get());
            ASSERT_EQ(a.hr(), S_OK);
            EXPECT_EQ(a->typekind, TKIND_DISPATCH);
            EXPECT_EQ(a->guid, expected.iid);
            // widl stores the OLE-automation flag on the vtable half only; the
            // dispatch half needs none, being reached through IDispatch anyway.
            EXPECT_EQ(a->wTypeFlags, TYPEFLAG_FDUAL | TYPEFLAG_FDISPATCHABLE);
        }
        const Doc doc = Documentation(disp.get(), MEMBERID_NIL);
        EXPECT_EQ(doc.name, expected.name);
        EXPECT_EQ(doc.help, expected.help);

        HREFTYPE href = 0;
        ASSERT_EQ(disp->GetRefTypeOfImplType(static_cast<UINT>(-1), &href), S_OK);
        ComPtr<ITypeInfo> vt;
        ASSERT_EQ(disp->GetRefTypeInfo(href, vt.put()), S_OK);
        // The loader expresses vtable offsets in this process's pointer size,
        // whatever the library's own system kind.
        const UINT slot_size = sizeof(void*);
        {
            TypeAttr a(vt.get());
            ASSERT_EQ(a.hr(), S_OK);
            EXPECT_EQ(a->typekind, TKIND_INTERFACE);
            EXPECT_EQ(a->guid, expected.iid);
            EXPECT_EQ(a->wTypeFlags, TYPEFLAG_FDUAL | TYPEFLAG_FOLEAUTOMATION | TYPEFLAG_FDISPATCHABLE);
            EXPECT_EQ(a->cImplTypes, 1);
            ASSERT_EQ(a->cFuncs, expected.members.size());
            // Wine scales member offsets to this process but leaves the table
            // size in the library's own pointer size; either way it counts slots.
            const size_t slots = expected.base_slots + expected.members.size();
            EXPECT_TRUE(a->cbSizeVft == slots * 4 || a->cbSizeVft == slots * 8)
                << a->cbSizeVft << " bytes for " << slots << " slots";
        }
        HREFTYPE base_ref = 0;
        ComPtr<ITypeInfo> base;
        ASSERT_EQ(vt->GetRefTypeOfImplType(0, &base_ref), S_OK);
        ASSERT_EQ(vt->GetRefTypeInfo(base_ref, base.put()), S_OK);
        EXPECT_EQ(TypeName(base.get()), expected.base);

        for (size_t k = 0; k < expected.members.size(); ++k) {
            const Member& m = expected.members[k];
            SCOPED_TRACE(
                Narrow(std::wstring(expected.name) + L"::" + m.name + L" (slot " + std::to_wstring(k + 1) + L")"));
            FuncDesc f(vt.get(), static_cast<UINT>(k));
            ASSERT_EQ(f.hr(), S_OK);
            EXPECT_EQ(f->funckind, FUNC_PUREVIRTUAL);
            EXPECT_EQ(f->oVft, static_cast<SHORT>((expected.base_slots + k) * slot_size));
            ExpectFunction(vt.get(), *f.operator->(), m);
            // Late binding resolves through the dispatch half.
            EXPECT_EQ(IdOfName(disp.get(), m.name), m.id);
        }
    }

    void CheckDispInterface(const Interface& expected) {
        ComPtr<ITypeInfo> ti = ByGuid(expected.iid);
        ASSERT_TRUE(ti);
        UINT funcs = 0;
        {
            TypeAttr a(ti.get());
            ASSERT_EQ(a.hr(), S_OK);
            EXPECT_EQ(a->typekind, TKIND_DISPATCH);
            EXPECT_EQ(a->wTypeFlags & TYPEFLAG_FDUAL, 0);
            EXPECT_TRUE(a->wTypeFlags & TYPEFLAG_FDISPATCHABLE);
            funcs = a->cFuncs;
        }
        const Doc doc = Documentation(ti.get(), MEMBERID_NIL);
        EXPECT_EQ(doc.name, expected.name);
        EXPECT_EQ(doc.help, expected.help);
        // Only the events themselves: IDispatch's own members are not events.
        EXPECT_EQ(funcs, expected.members.size());
        for (size_t k = 0; k < expected.members.size(); ++k) {
            const Member& m = expected.members[k];
            SCOPED_TRACE(Narrow(std::wstring(expected.name) + L"::" + m.name));
            const int at = FindFunc(ti.get(), funcs, m);
            ASSERT_GE(at, 0) << "no event with this DISPID";
            EXPECT_EQ(at, static_cast<int>(k)) << "declaration order";
            FuncDesc f(ti.get(), static_cast<UINT>(at));
            EXPECT_EQ(f->funckind, FUNC_DISPATCH);
            ExpectFunction(ti.get(), *f.operator->(), m);
            EXPECT_EQ(IdOfName(ti.get(), m.name), m.id);
            // Sinks that bind parameters by name get each position back.
            std::vector<std::wstring> text{m.name};
            for (const Param& p : m.params) text.push_back(p.name);
            std::vector<LPOLESTR> names;
            for (auto& t : text) names.push_back(t.data());
            std::vector<MEMBERID> ids(names.size(), -1);
            ASSERT_EQ(ti->GetIDsOfNames(names.data(), static_cast<UINT>(names.size()), ids.data()), S_OK);
            EXPECT_EQ(ids[0], m.id);
            for (size_t p = 0; p < m.params.size(); ++p) EXPECT_EQ(ids[p + 1], static_cast<MEMBERID>(p));
        }
    }

    ComPtr<ITypeLib> lib_;
};

TEST_P(TypeLibTest, LibraryAttributes) {
    TLIBATTR* attr = nullptr;
    ASSERT_EQ(lib_->GetLibAttr(&attr), S_OK);
    EXPECT_EQ(attr->guid, kLibId);
    EXPECT_EQ(attr->lcid, 0x0409u);
    EXPECT_EQ(attr->syskind, GetParam().syskind);
    EXPECT_EQ(attr->wMajorVerNum, 1);
    EXPECT_EQ(attr->wMinorVerNum, 0);
    lib_->ReleaseTLibAttr(attr);

    UniqueBstr name, help;
    ASSERT_EQ(lib_->GetDocumentation(-1, name.put(), help.put(), nullptr, nullptr), S_OK);
    EXPECT_EQ(Str(name.get()), L"OPCHDAAutomation");
    EXPECT_EQ(Str(help.get()), L"OPC HDA Automation 1.0");
}

TEST_P(TypeLibTest, IDispatchComesFromStdOle2) {
    ComPtr<ITypeInfo> disp = ByGuid(Guid(0x0C678471));
    ASSERT_TRUE(disp);
    HREFTYPE href = 0;
    ASSERT_EQ(disp->GetRefTypeOfImplType(0, &href), S_OK);
    ComPtr<ITypeInfo> base;
    ASSERT_EQ(disp->GetRefTypeInfo(href, base.put()), S_OK);
    EXPECT_EQ(TypeName(base.get()), L"IDispatch");
    ComPtr<ITypeLib> owner;
    UINT index = 0;
    ASSERT_EQ(base->GetContainingTypeLib(owner.put(), &index), S_OK);
    TLIBATTR* attr = nullptr;
    ASSERT_EQ(owner->GetLibAttr(&attr), S_OK);
    EXPECT_EQ(attr->guid, kStdOle2);
    owner->ReleaseTLibAttr(attr);
}

// Nothing but the documented types: a stray alias or helper interface would
// show up in every object browser.
TEST_P(TypeLibTest, HoldsExactlyTheDocumentedTypes) {
    std::set<std::wstring> expected;
    for (const auto& e : Enumerations()) expected.insert(e.name);
    for (const auto& i :
         {AutoServer(), Items(), Item(), Browser(), Value(), Entry(), History(), ServerEvents(), ItemEvents()})
        expected.insert(i.name);
    expected.insert(L"OPCHDAServer");
    expected.insert(L"OPCHDAItems");
    std::set<std::wstring> found;
    const UINT n = lib_->GetTypeInfoCount();
    for (UINT k = 0; k < n; ++k) {
        UniqueBstr name;
        ASSERT_EQ(lib_->GetDocumentation(static_cast<INT>(k), name.put(), nullptr, nullptr, nullptr), S_OK);
        found.insert(Str(name.get()));
    }
    EXPECT_EQ(n, expected.size());
    EXPECT_EQ(found, expected);
}

TEST_P(TypeLibTest, Enumerations) {
    for (const Enumeration& e : Enumerations()) {
        SCOPED_TRACE(Narrow(e.name));
        ComPtr<ITypeInfo> ti;
        MEMBERID id = 0;
        USHORT found = 1;
        std::wstring name = e.name;
        ITypeInfo* raw = nullptr;
        ASSERT_EQ(lib_->FindName(name.data(), 0, &raw, &id, &found), S_OK);
        ASSERT_EQ(found, 1);
        ti = ComPtr<ITypeInfo>::attach(raw);
        {
            TypeAttr a(ti.get());
            ASSERT_EQ(a.hr(), S_OK);
            EXPECT_EQ(a->typekind, TKIND_ENUM);
            EXPECT_EQ(a->guid, GUID_NULL) << "enumerations carry no GUID";
            EXPECT_EQ(a->cbSizeInstance, 4u);
            ASSERT_EQ(a->cVars, e.values.size());
        }
        EXPECT_EQ(TypeName(ti.get()), e.name);
        for (size_t k = 0; k < e.values.size(); ++k) {
            SCOPED_TRACE(Narrow(e.values[k].first));
            VarDesc v(ti.get(), static_cast<UINT>(k));
            ASSERT_EQ(v.hr(), S_OK);
            EXPECT_EQ(v->varkind, VAR_CONST);
            EXPECT_EQ(Documentation(ti.get(), v->memid).name, e.values[k].first);
            ASSERT_EQ(V_VT(v->lpvarValue), VT_I4);
            EXPECT_EQ(V_I4(v->lpvarValue), e.values[k].second);
        }
    }
}

TEST_P(TypeLibTest, IOPCHDAAutoServer) { CheckDual(AutoServer()); }

TEST_P(TypeLibTest, IOPCHDAItems) { CheckDual(Items()); }

TEST_P(TypeLibTest, OPCHDAItem) { CheckDual(Item()); }

TEST_P(TypeLibTest, OPCHDABrowser) { CheckDual(Browser()); }

TEST_P(TypeLibTest, OPCHDAValue) { CheckDual(Value()); }

TEST_P(TypeLibTest, OPCHDAEntry) {
    CheckDual(Entry());
    // Code written for values reads entries unchanged: the value members are
    // reachable by name through the entry, with the same DISPIDs.
    ComPtr<ITypeInfo> disp = ByGuid(Guid(0x0C678478));
    ASSERT_TRUE(disp);
    for (const Member& m : Value().members) EXPECT_EQ(IdOfName(disp.get(), m.name), m.id) << Narrow(m.name);
}

TEST_P(TypeLibTest, OPCHDAHistory) { CheckDual(History()); }

TEST_P(TypeLibTest, IOPCHDAAutoServerEvents) { CheckDispInterface(ServerEvents()); }

TEST_P(TypeLibTest, IOPCHDAItemEvents) { CheckDispInterface(ItemEvents()); }

TEST_P(TypeLibTest, Coclasses) {
    struct Coclass {
        const wchar_t* name;
        GUID clsid;
        const wchar_t* help;
        const wchar_t* default_interface;
        const wchar_t* default_source;
    };
    const Coclass classes[] = {
        {L"OPCHDAServer", Guid(0x0C67847E), L"OPC HDA Automation Server Object", L"IOPCHDAAutoServer",
         L"_IOPCHDAAutoServerEvents"},
        {L"OPCHDAItems", Guid(0x0C67847F), L"OPC HDA Automation Items Collection", L"IOPCHDAItems",
         L"_IOPCHDAItemEvents"},
    };
    for (const Coclass& c : classes) {
        SCOPED_TRACE(Narrow(c.name));
        ComPtr<ITypeInfo> ti = ByGuid(c.clsid);
        ASSERT_TRUE(ti);
        UINT impls = 0;
        {
            TypeAttr a(ti.get());
            ASSERT_EQ(a.hr(), S_OK);
            EXPECT_EQ(a->typekind, TKIND_COCLASS);
            EXPECT_EQ(a->wTypeFlags, TYPEFLAG_FCANCREATE);
            impls = a->cImplTypes;
        }
        const Doc doc = Documentation(ti.get(), MEMBERID_NIL);
        EXPECT_EQ(doc.name, c.name);
        EXPECT_EQ(doc.help, c.help);
        ASSERT_EQ(impls, 2u);
        std::wstring got_default, got_source;
        for (UINT k = 0; k < impls; ++k) {
            INT flags = 0;
            HREFTYPE href = 0;
            ComPtr<ITypeInfo> ref;
            ASSERT_EQ(ti->GetImplTypeFlags(k, &flags), S_OK);
            ASSERT_EQ(ti->GetRefTypeOfImplType(k, &href), S_OK);
            ASSERT_EQ(ti->GetRefTypeInfo(href, ref.put()), S_OK);
            if (flags == IMPLTYPEFLAG_FDEFAULT)
                got_default = TypeName(ref.get());
            else if (flags == (IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE))
                got_source = TypeName(ref.get());
            else
                ADD_FAILURE() << "unexpected implementation flags " << flags;
        }
        EXPECT_EQ(got_default, c.default_interface);
        EXPECT_EQ(got_source, c.default_source);
    }
}

INSTANTIATE_TEST_SUITE_P(Builds, TypeLibTest, ::testing::Values(Target{"x64", SYS_WIN64}, Target{"x86", SYS_WIN32}),
                         [](const ::testing::TestParamInfo<Target>& info) { return std::string(info.param.label); });

}  // namespace
