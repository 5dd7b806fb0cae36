// The type library carried by OPCHDAAuto.dll, rendered one line per type and member and compared with the
// published object model: clients bind to these names, DISPIDs, slots, parameter kinds, defaults, flags and
// GUIDs, and VBA's object browser and IntelliSense show the help strings (an empty one shows nothing).
// GCC 12 warns falsely on text + std::string temporaries (its bug 105329).
#pragma GCC diagnostic ignored "-Wrestrict"

#include <windows.h>
#include <oleauto.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "OPCHDAAuto.h"
#include "com/com_holders.h"

namespace {

// Member lines: vtable slot ("-" for a dispinterface), DISPID, kind, signature, help.
// Enumeration values drop their common "OPCHDA" prefix.
constexpr char kExpected[] =
    R"lib(lib OPCHDAAutomation {0C678470-BCD7-11D4-9E70-00B0D060205F} lcid 0x409 v1.0 "OPC HDA Automation 1.0"
enum OPCHDAServerStatus size 4: Up=1 Down=2 Indeterminate=3
enum OPCHDAOperatorCode size 4: Equal=1 Less=2 LessEqual=3 Greater=4 GreaterEqual=5
enum OPCHDAEditType size 4: Insert=1 Replace=2 InsertReplace=3 Delete=4 Annotate=5
enum OPCHDAErrors size 4: MaxExceeded=0xC0041001 NoData=0x40041002 MoreData=0x40041003 InvalidAggregate=0xC0041004 CurrentValue=0x40041005 ExtraData=0x40041006 NoFilter=0x80041007 UnknownAttrID=0xC0041008 NotAvail=0xC0041009 InvalidDataType=0xC004100A DataExists=0xC004100B InvalidAttrID=0xC004100C NoDataExists=0xC004100D Inserted=0x4004100E Replaced=0x4004100F
enum OPCHDAAggregate size 4: NoAggregate=0 Interpolative=1 Total=2 Average=3 TimeAverage=4 Count=5 StDev=6 MinimumActualTime=7 Minimum=8 MaximumActualTime=9 Maximum=10 Start=11 End=12 Delta=13 RegSlope=14 RegConst=15 RegDev=16 Variance=17 Range=18 DurationGood=19 DurationBad=20 PercentGood=21 PercentBad=22 WorstQuality=23 Annotations=24
enum OPCHDAQuality size 4: QualityExtraData=0x10000 QualityInterpolated=0x20000 QualityRaw=0x40000 QualityCalculated=0x80000 QualityNoBound=0x100000 QualityNoData=0x200000 QualityDataLost=0x400000 QualityConversion=0x800000
enum OPCHDAAttribute size 4: DataType=1 Description=2 EngUnits=3 Stepped=4 Archiving=5 DeriveEquation=6 NodeName=7 ProcessName=8 SourceName=9 SourceType=10 NormalMaximum=11 NormalMinimum=12 ItemID=13 MaxTimeInt=14 MinTimeInt=15 ExceptionDev=16 ExceptionDevType=17 HighEntryLimit=18 LowEntryLimit=19
dual IOPCHDAAutoServer {0C678471-BCD7-11D4-9E70-00B0D060205F} flags 0x1040 on IDispatch(stdole2) vtable 0x1140 on IDispatch "OPC HDA Automation Server"
  7 0x60020000 get StartTime(out,retval DATE* pVal) "Time the server started"
  8 0x60020001 get CurrentTime(out,retval DATE* pVal) "Current time at the server location"
  9 0x60020002 get MaxReturnValues(out,retval long* pVal) "Maximum number of values that can be returned on a per item basis."
  10 0x60020003 get MajorVersion(out,retval short* pVal) "The historian's major version number"
  11 0x60020004 get MinorVersion(out,retval short* pVal) "The historian's minor version number"
  12 0x60020005 get BuildNumber(out,retval short* pVal) "The historian's build number"
  13 0x60020006 get VendorInfo(out,retval BSTR* pVal) "Server vendor information"
  14 0x60020007 get HistorianStatus(out,retval long* pVal) "Returns an OPCHDAServerStatus"
  15 0x60020008 get StatusString(out,retval BSTR* pVal) "Explains historian status when indeterminate."
  16 0x60020009 get ServerName(out,retval BSTR* pVal) "Returns this server's name"
  17 0x6002000A get ServerNode(out,retval BSTR* pVal) "Returns this server's node"
  18 0x6002000B get ClientName(out,retval BSTR* pVal) "Identify the client"
  19 0x6002000B put ClientName(in BSTR)
  20 0x6002000D get LocaleID(out,retval long* pVal) "The locale of the historian's texts for this client (needs a connection)"
  21 0x6002000D put LocaleID(in long)
  22 0x6002000F get CanSyncInsert(out,retval long* pVal) "1 if the historian can insert values synchronously, 0 if not (or not connected)"
  23 0x60020010 get CanSyncReplace(out,retval long* pVal) "1 if the historian can replace values synchronously, 0 if not (or not connected)"
  24 0x60020011 get CanSyncInsertReplace(out,retval long* pVal) "1 if the historian can insert or replace values synchronously, 0 if not (or not connected)"
  25 0x60020012 get CanSyncDeleteRaw(out,retval long* pVal) "1 if the historian can delete values over a time range synchronously, 0 if not (or not connected)"
  26 0x60020013 get CanSyncDeleteAtTime(out,retval long* pVal) "1 if the historian can delete values at given times synchronously, 0 if not (or not connected)"
  27 0x60020014 get CanSyncReadAnnotations(out,retval long* pVal) "1 if the historian can read annotations synchronously, 0 if not (or not connected)"
  28 0x60020015 get CanSyncInsertAnnotations(out,retval long* pVal) "1 if the historian can insert annotations synchronously, 0 if not (or not connected)"
  29 0x60020016 get CanAsyncInsert(out,retval long* pVal) "1 if the historian can insert values asynchronously, 0 if not (or not connected)"
  30 0x60020017 get CanAsyncReplace(out,retval long* pVal) "1 if the historian can replace values asynchronously, 0 if not (or not connected)"
  31 0x60020018 get CanAsyncInsertReplace(out,retval long* pVal) "1 if the historian can insert or replace values asynchronously, 0 if not (or not connected)"
  32 0x60020019 get CanAsyncDeleteRaw(out,retval long* pVal) "1 if the historian can delete values over a time range asynchronously, 0 if not (or not connected)"
  33 0x6002001A get CanAsyncDeleteAtTime(out,retval long* pVal) "1 if the historian can delete values at given times asynchronously, 0 if not (or not connected)"
  34 0x6002001B get CanAsyncReadAnnotations(out,retval long* pVal) "1 if the historian can read annotations asynchronously, 0 if not (or not connected)"
  35 0x6002001C get CanAsyncInsertAnnotations(out,retval long* pVal) "1 if the historian can insert annotations asynchronously, 0 if not (or not connected)"
  36 0x0 get OPCHDAItems(out,retval IOPCHDAItems** ppOPCHDAItems) "The collection of OPCHDAItem Objects"
  37 0x6002001E GetOPCHDAServers(in,opt VARIANT Node, out,retval VARIANT* OPCHDAServers) "Returns an array of OPC HDA server names, optionally on another node"
  38 0x6002001F Connect(in BSTR ProgID, in,opt VARIANT Node) "Connect to a named OPC HDA server"
  39 0x60020020 Disconnect() "End connection with OPC HDA server"
  40 0x60020021 GetErrorString(in long ErrorCode, out,retval BSTR* ErrorString) "Convert an error code to a descriptive string"
  41 0x60020022 QueryAvailableLocaleIDs(out,retval VARIANT* LocaleIDs) "The locales supported by this server"
  42 0x60020023 GetItemAttributes(out long* Count, out SAFEARRAY(long)* AttributeIDs, out SAFEARRAY(BSTR)* Names, out SAFEARRAY(BSTR)* Descriptions, out SAFEARRAY(short)* DataTypes) "Lists the item attributes the historian keeps: IDs, names, descriptions and data types (arrays from 1)"
  43 0x60020024 GetAggregates(out long* Count, out SAFEARRAY(long)* AggregateIDs, out SAFEARRAY(BSTR)* Names, out SAFEARRAY(BSTR)* Descriptions) "Lists the aggregates the historian computes: IDs, names and descriptions (arrays from 1)"
  44 0x60020025 CreateBrowser(in,opt=0 long NumCriteria, in,opt VARIANT AttributeIDs, in,opt VARIANT OperatorCodes, in,opt VARIANT Filters, out,opt VARIANT* Errors, out,retval OPCHDABrowser** ppOPCHDABrowser) "Creates an OPCHDABrowser over the historian's items, filtered by NumCriteria criteria (none: every item)"
dual IOPCHDAItems {0C678473-BCD7-11D4-9E70-00B0D060205F} flags 0x1040 on IDispatch(stdole2) vtable 0x1140 on IDispatch "Collection of OPC HDA Item objects"
  7 0x60020000 get Parent(out,retval IOPCHDAAutoServer** ppParent) "Returns the parent OPCHDAServer object"
  8 0x60020001 get Count(out,retval long* pVal) "Number of items in the collection"
  9 0xFFFFFFFC get _NewEnum(out,retval IUnknown** ppUnk) "Enumerates the OPCHDAItem objects of the collection (For Each)"
  10 0x0 Item(in VARIANT ItemSpecifier, out,retval OPCHDAItem** ppItem) "Returns an OPCItem by index (starts at 1)"
  11 0x60020004 GetOPCHDAItem(in long ServerHandle, out,retval OPCHDAItem** ppItem) "Returns an OPCHDAItem specified by server handle"
  12 0x60020005 AddItem(in BSTR ItemID, in long ClientHandle, out,retval OPCHDAItem** ppItem) "Adds an OPCHDAItem object to the collection"
  13 0x60020006 AddItems(in long NumItems, in SAFEARRAY(BSTR)* ItemIDs, in SAFEARRAY(long)* ClientHandles, out SAFEARRAY(long)* ServerHandles, out SAFEARRAY(long)* Errors) "Adds OPCHDAItem objects to the collection"
  14 0x60020007 Remove(in long NumItems, in SAFEARRAY(long)* ServerHandles, out SAFEARRAY(long)* Errors) "Removes OPCHDAItem objects from the collection"
  15 0x60020008 RemoveAll() "Removes all OPC HDA items"
  16 0x60020009 Validate(in long NumItems, in SAFEARRAY(BSTR)* ItemIDs, out SAFEARRAY(long)* Errors) "Validates OPC HDA item ID's."
  17 0x6002000A SyncReadRaw(in,out VARIANT* StartTime, in,out VARIANT* EndTime, in long NumValues, in long Bounds, in long NumItems, in SAFEARRAY(long)* ServerHandles, out SAFEARRAY(VARIANT)* ItemValues, out SAFEARRAY(long)* Errors) "Reads raw values of items 1 to NumItems from StartTime to EndTime; ItemValues(i) is an OPCHDAHistory, Errors(i) the item's code"
  18 0x6002000B SyncReadProcessed(in,out VARIANT* StartTime, in,out VARIANT* EndTime, in DATE ResampleInterval, in long NumItems, in SAFEARRAY(long)* ServerHandles, in SAFEARRAY(long)* Aggregates, out SAFEARRAY(VARIANT)* ItemValues, out SAFEARRAY(long)* Errors) "Reads aggregate Aggregates(i) of item i, one value per ResampleInterval (in days), from StartTime to EndTime"
  19 0x6002000C SyncReadAtTime(in long NumTimeStamps, in SAFEARRAY(DATE)* TimeStamps, in long NumItems, in SAFEARRAY(long)* ServerHandles, out SAFEARRAY(VARIANT)* ItemValues, out SAFEARRAY(long)* Errors) "Reads the values of items 1 to NumItems at TimeStamps(1 to NumTimeStamps)"
  20 0x6002000D SyncReadModified(in,out VARIANT* StartTime, in,out VARIANT* EndTime, in long NumValues, in long NumItems, in SAFEARRAY(long)* ServerHandles, out SAFEARRAY(VARIANT)* ItemValues, out SAFEARRAY(long)* Errors) "Reads the modifications of the items' history from StartTime to EndTime, as OPCHDAEntry objects"
  21 0x6002000E SyncReadAttribute(in,out VARIANT* StartTime, in,out VARIANT* EndTime, in long ServerHandle, in long NumAttributes, in SAFEARRAY(long)* AttributeIDs, out SAFEARRAY(VARIANT)* AttributeValues, out SAFEARRAY(long)* Errors) "Reads attributes AttributeIDs(1 to NumAttributes) of one item; one OPCHDAHistory per attribute"
  22 0x6002000F SyncInsert(in long NumItems, in SAFEARRAY(long)* ServerHandles, in SAFEARRAY(DATE)* TimeStamps, in SAFEARRAY(VARIANT)* DataValues, in SAFEARRAY(long)* Qualities, out SAFEARRAY(long)* Errors) "Inserts values where none exists; element i of the four arrays is one value"
  23 0x60020010 SyncReplace(in long NumItems, in SAFEARRAY(long)* ServerHandles, in SAFEARRAY(DATE)* TimeStamps, in SAFEARRAY(VARIANT)* DataValues, in SAFEARRAY(long)* Qualities, out SAFEARRAY(long)* Errors) "Replaces existing values; element i of the four arrays is one value"
  24 0x60020011 SyncInsertReplace(in long NumItems, in SAFEARRAY(long)* ServerHandles, in SAFEARRAY(DATE)* TimeStamps, in SAFEARRAY(VARIANT)* DataValues, in SAFEARRAY(long)* Qualities, out SAFEARRAY(long)* Errors) "Inserts values, or replaces those that exist; element i of the four arrays is one value"
  25 0x60020012 SyncDeleteRaw(in,out VARIANT* StartTime, in,out VARIANT* EndTime, in long NumItems, in SAFEARRAY(long)* ServerHandles, out SAFEARRAY(long)* Errors) "Deletes the values of items 1 to NumItems from StartTime to EndTime"
  26 0x60020013 SyncDeleteAtTime(in long NumItems, in SAFEARRAY(long)* ServerHandles, in SAFEARRAY(DATE)* TimeStamps, out SAFEARRAY(long)* Errors) "Deletes the value of item ServerHandles(i) at TimeStamps(i)"
  27 0x60020014 SyncReadAnnotations(in,out VARIANT* StartTime, in,out VARIANT* EndTime, in long NumItems, in SAFEARRAY(long)* ServerHandles, out SAFEARRAY(VARIANT)* AnnotationValues, out SAFEARRAY(long)* Errors) "Reads the annotations of items 1 to NumItems from StartTime to EndTime, as OPCHDAEntry objects"
  28 0x60020015 SyncInsertAnnotations(in long NumItems, in SAFEARRAY(long)* ServerHandles, in SAFEARRAY(DATE)* TimeStamps, in SAFEARRAY(VARIANT)* AnnotationValues, out SAFEARRAY(long)* Errors) "Not supported: checks its arguments, then answers E_NOTIMPL"
  29 0x60020016 AsyncReadRaw(in long TransactionID, in,out VARIANT* StartTime, in,out VARIANT* EndTime, in long NumValues, in long Bounds, in long NumItems, in SAFEARRAY(long)* ServerHandles, out SAFEARRAY(long)* Errors, out,retval long* CancelID) "Starts a raw read; the values arrive in AsyncReadComplete with TransactionID; returns the CancelID"
  30 0x60020017 AsyncAdviseRaw(in long TransactionID, in,out VARIANT* StartTime, in DATE UpdateInterval, in long NumItems, in SAFEARRAY(long)* ServerHandles, out SAFEARRAY(long)* Errors, out,retval long* CancelID) "Subscribes to raw values from StartTime on, delivered every UpdateInterval (in days) in DataChange; returns the CancelID"
  31 0x60020018 AsyncReadProcessed(in long TransactionID, in,out VARIANT* StartTime, in,out VARIANT* EndTime, in DATE ResampleInterval, in long NumItems, in SAFEARRAY(long)* ServerHandles, in SAFEARRAY(long)* Aggregates, out SAFEARRAY(long)* Errors, out,retval long* CancelID) "Starts a processed read; the values arrive in AsyncReadComplete; returns the CancelID"
  32 0x60020019 AsyncAdviseProcessed(in long TransactionID, in,out VARIANT* StartTime, in DATE ResampleInterval, in long NumIntervals, in long NumItems, in SAFEARRAY(long)* ServerHandles, in SAFEARRAY(long)* Aggregates, out SAFEARRAY(long)* Errors, out,retval long* CancelID) "Subscribes to aggregates from StartTime on, NumIntervals per DataChange; returns the CancelID"
  33 0x6002001A AsyncReadAtTime(in long TransactionID, in long NumTimeStamps, in SAFEARRAY(DATE)* TimeStamps, in long NumItems, in SAFEARRAY(long)* ServerHandles, out SAFEARRAY(long)* Errors, out,retval long* CancelID) "Starts a read at given times; the values arrive in AsyncReadComplete; returns the CancelID"
  34 0x6002001B AsyncReadModified(in long TransactionID, in,out VARIANT* StartTime, in,out VARIANT* EndTime, in long NumValues, in long NumItems, in SAFEARRAY(long)* ServerHandles, out SAFEARRAY(long)* Errors, out,retval long* CancelID) "Starts a read of modifications; they arrive in AsyncReadModifiedComplete; returns the CancelID"
  35 0x6002001C AsyncReadAttribute(in long TransactionID, in,out VARIANT* StartTime, in,out VARIANT* EndTime, in long ServerHandle, in long NumAttributes, in SAFEARRAY(long)* AttributeIDs, out SAFEARRAY(long)* Errors, out,retval long* CancelID) "Starts a read of one item's attributes; they arrive in AsyncReadAttributesComplete; returns the CancelID"
  36 0x6002001D AsyncCancelRead(in long CancelID) "Cancels an asynchronous read or advise by its CancelID; AsyncCancelComplete confirms"
  37 0x6002001E AsyncInsert(in long TransactionID, in long NumItems, in SAFEARRAY(long)* ServerHandles, in SAFEARRAY(DATE)* TimeStamps, in SAFEARRAY(VARIANT)* DataValues, in SAFEARRAY(long)* Qualities, out SAFEARRAY(long)* Errors, out,retval long* CancelID) "Starts an insert of values; the codes arrive in AsyncUpdateComplete; returns the CancelID"
  38 0x6002001F AsyncReplace(in long TransactionID, in long NumItems, in SAFEARRAY(long)* ServerHandles, in SAFEARRAY(DATE)* TimeStamps, in SAFEARRAY(VARIANT)* DataValues, in SAFEARRAY(long)* Qualities, out SAFEARRAY(long)* Errors, out,retval long* CancelID) "Starts a replacement of values; the codes arrive in AsyncUpdateComplete; returns the CancelID"
  39 0x60020020 AsyncInsertReplace(in long TransactionID, in long NumItems, in SAFEARRAY(long)* ServerHandles, in SAFEARRAY(DATE)* TimeStamps, in SAFEARRAY(VARIANT)* DataValues, in SAFEARRAY(long)* Qualities, out SAFEARRAY(long)* Errors, out,retval long* CancelID) "Starts an insert or replacement of values; the codes arrive in AsyncUpdateComplete; returns the CancelID"
  40 0x60020021 AsyncDeleteRaw(in long TransactionID, in,out VARIANT* StartTime, in,out VARIANT* EndTime, in long NumItems, in SAFEARRAY(long)* ServerHandles, out SAFEARRAY(long)* Errors, out,retval long* CancelID) "Starts a deletion of the values from StartTime to EndTime; the codes arrive in AsyncUpdateComplete"
  41 0x60020022 AsyncDeleteAtTime(in long TransactionID, in long NumItems, in SAFEARRAY(long)* ServerHandles, in SAFEARRAY(DATE)* TimeStamps, out SAFEARRAY(long)* Errors, out,retval long* CancelID) "Starts a deletion of values at given times; the codes arrive in AsyncUpdateComplete"
  42 0x60020023 AsyncCancelUpdate(in long CancelID) "Cancels an asynchronous update by its CancelID; AsyncCancelComplete confirms"
  43 0x60020024 AsyncReadAnnotations(in long TransactionID, in,out VARIANT* StartTime, in,out VARIANT* EndTime, in long NumItems, in SAFEARRAY(long)* ServerHandles, out SAFEARRAY(long)* Errors, out,retval long* CancelID) "Starts a read of annotations; they arrive in AsyncReadAnnotationsComplete; returns the CancelID"
  44 0x60020025 AsyncInsertAnnotations(in long TransactionID, in long NumItems, in SAFEARRAY(long)* ServerHandles, in SAFEARRAY(DATE)* TimeStamps, in SAFEARRAY(VARIANT)* AnnotationValues, out SAFEARRAY(long)* Errors, out,retval long* CancelID) "Not supported: checks its arguments, then answers E_NOTIMPL"
  45 0x60020026 AsyncCancelAnnotations(in long CancelID) "Cancels an asynchronous annotation request by its CancelID"
  46 0x60020027 AsyncPlaybackRaw(in long TransactionID, in,out VARIANT* StartTime, in,out VARIANT* EndTime, in long NumValues, in DATE UpdateDuration, in DATE UpdateInterval, in long NumItems, in SAFEARRAY(long)* ServerHandles, out SAFEARRAY(long)* Errors, out,retval long* CancelID) "Plays raw values back in Playback events, one slice of UpdateDuration every UpdateInterval (in days); returns the CancelID"
  47 0x60020028 AsyncPlaybackProcessed(in long TransactionID, in,out VARIANT* StartTime, in,out VARIANT* EndTime, in DATE ResampleInterval, in long NumIntervals, in DATE UpdateInterval, in long NumItems, in SAFEARRAY(long)* ServerHandles, in SAFEARRAY(long)* Aggregates, out SAFEARRAY(long)* Errors, out,retval long* CancelID) "Plays aggregates back in Playback events, NumIntervals every UpdateInterval (in days); returns the CancelID"
  48 0x60020029 AsyncCancelPlayback(in long CancelID) "Stops a playback by its CancelID"
dual OPCHDAItem {0C678475-BCD7-11D4-9E70-00B0D060205F} flags 0x1040 on IDispatch(stdole2) vtable 0x1140 on IDispatch "OPC HDA Item"
  7 0x60020000 get Parent(out,retval IOPCHDAAutoServer** ppParent) "Returns the parent OPCHDAServer object"
  8 0x60020001 get ClientHandle(out,retval long* pVal) "The client's own handle for the item, as given to AddItem or AddItems"
  9 0x60020002 get ServerHandle(out,retval long* pVal) "The historian's handle for the item: pass it in the ServerHandles arrays of OPCHDAItems"
  10 0x60020003 get ItemID(out,retval BSTR* pVal) "The historian's identifier of the item"
  11 0x60020004 ReadRaw(in,out VARIANT* StartTime, in,out VARIANT* EndTime, in,opt=0 long NumValues, in,opt=0 long Bounds, out,retval VARIANT* ItemValues) "Reads the item's raw values from StartTime to EndTime (date or relative text; both rewritten with the dates used); returns an OPCHDAHistory and the item's code as HRESULT"
  12 0x60020005 ReadProcessed(in,out VARIANT* StartTime, in,out VARIANT* EndTime, in DATE ResampleInterval, in long Aggregate, out,retval VARIANT* ItemValues) "Reads one aggregate value of the item per ResampleInterval (in days) from StartTime to EndTime; returns an OPCHDAHistory"
  13 0x60020006 ReadAtTime(in long NumTimeStamps, in SAFEARRAY(DATE)* TimeStamps, out,retval VARIANT* ItemValues) "Reads the item's values at TimeStamps(1 to NumTimeStamps), local dates; returns an OPCHDAHistory"
  14 0x60020007 Update(in DATE TimeStamp, in VARIANT DataValue, in long Quality, in,opt=3 long EditType) "Writes or deletes one value at TimeStamp; EditType: 1 insert, 2 replace, 3 insert or replace (default), 4 delete"
  15 0x60020008 DeleteRaw(in,out VARIANT* StartTime, in,out VARIANT* EndTime) "Deletes the item's values from StartTime to EndTime (both rewritten with the dates used)"
dual OPCHDABrowser {0C678476-BCD7-11D4-9E70-00B0D060205F} flags 0x1040 on IDispatch(stdole2) vtable 0x1140 on IDispatch "OPC HDA Browser"
  7 0x60020000 get CurrentPosition(out,retval BSTR* pVal) "The browser's current branch in the historian's item space"
  8 0x60020001 get OPCHDABranches(out,retval VARIANT* pVal) "Array (lower bound 1) of the branch names at the current position"
  9 0x60020002 get OPCHDALeaves(out,retval VARIANT* pVal) "Array (lower bound 1) of the leaf names at the current position that pass the browser's filters"
  10 0x60020003 get OPCHDAItems(out,retval VARIANT* pVal) "Array (lower bound 1) of the full item IDs at the current position that pass the browser's filters"
  11 0x60020004 MoveUp() "Moves the browser one branch up"
  12 0x60020005 MoveToRoot() "Moves the browser to the root of the item space"
  13 0x60020006 MoveDown(in BSTR BranchName) "Moves the browser down into the named branch of the current position"
  14 0x60020007 MoveTo(in BSTR NewPosition) "Moves the browser to a branch given by its full path"
  15 0x60020008 GetItemID(in BSTR ItemName, out,retval BSTR* ItemID) "Returns the full item ID of a leaf name at the current position"
dual OPCHDAValue {0C678477-BCD7-11D4-9E70-00B0D060205F} flags 0x1040 on IDispatch(stdole2) vtable 0x1140 on IDispatch "OPC HDA Value"
  7 0x60020000 get TimeStamp(out,retval DATE* pVal) "Time stamp of the value, a local date"
  8 0x0 get DataValue(out,retval VARIANT* pVal) "The value itself (default member)"
  9 0x60020002 get Quality(out,retval long* pVal) "OPC quality in the low 16 bits (192, 0xC0, is good) and OPCHDAQuality flags in the high 16 bits"
dual OPCHDAEntry {0C678478-BCD7-11D4-9E70-00B0D060205F} flags 0x1040 on IDispatch(stdole2) vtable 0x1140 on OPCHDAValue "OPC HDA Entry"
  10 0x60030000 get EntryTime(out,retval DATE* pVal) "When the modification or annotation was entered, a local date"
  11 0x60030001 get EntryType(out,retval long* pVal) "Kind of entry, an OPCHDAEditType: 1 insert, 2 replace, 3 insert or replace, 4 delete, 5 annotation"
  12 0x60030002 get User(out,retval BSTR* pVal) "Name of the user who made the entry; empty when the historian gave none"
dual OPCHDAHistory {0C678479-BCD7-11D4-9E70-00B0D060205F} flags 0x1040 on IDispatch(stdole2) vtable 0x1140 on IDispatch "Collection of OPC HDA Value or Entry objects"
  7 0x60020000 get Count(out,retval long* pVal) "Number of items in the collection"
  8 0xFFFFFFFC get _NewEnum(out,retval IUnknown** ppUnk) "Enumerates the OPCHDAValue or OPCHDAEntry objects of the collection (For Each)"
  9 0x0 Item(in VARIANT ItemSpecifier, out,retval OPCHDAValue** ppValue) "Returns an item by index (starts at 1)"
dispinterface _IOPCHDAAutoServerEvents {0C678472-BCD7-11D4-9E70-00B0D060205F} flags 0x1000 on IDispatch(stdole2) "OPC HDA Automation Server Events"
  - 0x1 HDAServerShutDown(in BSTR Reason) "The historian asks its clients to disconnect; Reason says why"
dispinterface _IOPCHDAItemEvents {0C678474-BCD7-11D4-9E70-00B0D060205F} flags 0x1000 on IDispatch(stdole2) "OPC HDA Item Events"
  - 0x1 DataChange(in long TransactionID, in long Status, in long NumItems, in SAFEARRAY(long)* ClientHandles, in SAFEARRAY(long)* Aggregates, in SAFEARRAY(VARIANT)* ItemValues, in SAFEARRAY(long)* Errors) "New values of a subscription made with AsyncAdviseRaw or AsyncAdviseProcessed"
  - 0x2 AsyncReadComplete(in long TransactionID, in long Status, in long NumItems, in SAFEARRAY(long)* ClientHandles, in SAFEARRAY(long)* Aggregates, in SAFEARRAY(VARIANT)* ItemValues, in SAFEARRAY(long)* Errors) "Values read by AsyncReadRaw, AsyncReadProcessed or AsyncReadAtTime"
  - 0x3 AsyncReadModifiedComplete(in long TransactionID, in long Status, in long NumItems, in SAFEARRAY(long)* ClientHandles, in SAFEARRAY(VARIANT)* ItemValues, in SAFEARRAY(long)* Errors) "Modifications read by AsyncReadModified"
  - 0x4 AsyncReadAttributesComplete(in long TransactionID, in long Status, in long ClientHandle, in long NumAttributes, in SAFEARRAY(long)* AttributesIDs, in SAFEARRAY(VARIANT)* AttributeValues, in SAFEARRAY(long)* Errors) "Attribute values read by AsyncReadAttribute, one OPCHDAHistory per attribute"
  - 0x5 AsyncReadAnnotationsComplete(in long TransactionID, in long Status, in long NumItems, in SAFEARRAY(long)* ClientHandles, in SAFEARRAY(VARIANT)* AnnotationValues, in SAFEARRAY(long)* Errors) "Annotations read by AsyncReadAnnotations"
  - 0x6 AsyncInsertAnnotationsComplete(in long TransactionID, in long Status, in long NumItems, in SAFEARRAY(long)* ClientHandles, in SAFEARRAY(long)* Errors) "Codes of an asynchronous annotation insert, should a historian send them (AsyncInsertAnnotations is not supported)"
  - 0x7 Playback(in long TransactionID, in long Status, in long NumItems, in SAFEARRAY(long)* ClientHandles, in SAFEARRAY(long)* Aggregates, in SAFEARRAY(VARIANT)* ItemValues, in SAFEARRAY(long)* Errors) "One slice of a playback started with AsyncPlaybackRaw or AsyncPlaybackProcessed"
  - 0x8 AsyncUpdateComplete(in long TransactionID, in long Status, in long NumItems, in SAFEARRAY(long)* ClientHandles, in SAFEARRAY(long)* Errors) "Per-value codes of an asynchronous insert, replace or delete"
  - 0x9 AsyncCancelComplete(in long TransactionID) "Confirms a cancellation; the argument carries the CancelID"
coclass OPCHDAServer {0C67847E-BCD7-11D4-9E70-00B0D060205F} flags 0x2 "OPC HDA Automation Server Object": IOPCHDAAutoServer/0x1 _IOPCHDAAutoServerEvents/0x3
coclass OPCHDAItems {0C67847F-BCD7-11D4-9E70-00B0D060205F} flags 0x2 "OPC HDA Automation Items Collection": IOPCHDAItems/0x1 _IOPCHDAItemEvents/0x3
)lib";

std::string Narrow(const wchar_t* s) {
    std::string out;
    for (; s && *s; ++s) out += *s < 128 ? static_cast<char>(*s) : '?';
    return out;
}
std::string Guid(const GUID& g) {
    wchar_t text[40] = {};
    StringFromGUID2(g, text, 40);
    return Narrow(text);
}
std::string Hex(unsigned long v) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%lX", v);
    return text;
}
// The name, or the help quoted after a space when there is one.
std::string Doc(ITypeInfo* ti, MEMBERID id = MEMBERID_NIL, bool help = false) {
    UniqueBstr name, text;
    if (FAILED(ti->GetDocumentation(id, name.put(), text.put(), nullptr, nullptr))) return "<none>";
    return !help ? Narrow(name.get()) : text.length() ? " \"" + Narrow(text.get()) + "\"" : "";
}
ComPtr<ITypeInfo> Ref(ITypeInfo* ti, HREFTYPE ref) {
    ComPtr<ITypeInfo> out;
    ti->GetRefTypeInfo(ref, out.put());
    return out;
}
// Implemented type `index`; -1 is a dual interface's vtable half.
ComPtr<ITypeInfo> Impl(ITypeInfo* ti, UINT index) {
    HREFTYPE ref = 0;
    return ti && SUCCEEDED(ti->GetRefTypeOfImplType(index, &ref)) ? Ref(ti, ref) : nullptr;
}
std::string NameOf(const ComPtr<ITypeInfo>& ti) { return ti ? Doc(ti.get()) : "?"; }

// A type the way the IDL spells it.
constexpr std::pair<VARTYPE, const char*> kSpelling[] = {
    {VT_I4, "long"},   {VT_I2, "short"},          {VT_BSTR, "BSTR"},
    {VT_DATE, "DATE"}, {VT_VARIANT, "VARIANT"},   {VT_HRESULT, "HRESULT"},
    {VT_VOID, "void"}, {VT_UNKNOWN, "IUnknown*"}, {VT_DISPATCH, "IDispatch*"}};
std::string Spell(ITypeInfo* ti, const TYPEDESC& t) {
    for (auto [vt, text] : kSpelling)
        if (t.vt == vt) return text;
    if (t.vt == VT_PTR) return Spell(ti, *t.lptdesc) + "*";
    if (t.vt == VT_SAFEARRAY) return "SAFEARRAY(" + Spell(ti, *t.lptdesc) + ")";
    if (t.vt == VT_USERDEFINED) return NameOf(Ref(ti, t.hreftype));
    return "vt" + std::to_string(t.vt);
}

std::string ParamFlags(const PARAMDESC& p) {
    std::string s;
    const char* names[] = {"in", "out", "lcid", "retval", "opt"};  // PARAMFLAG_FIN to PARAMFLAG_FOPT
    for (int bit = 0; bit < 5; ++bit)
        if (p.wParamFlags & (1 << bit)) s += (s.empty() ? "" : ",") + std::string(names[bit]);
    if ((p.wParamFlags & PARAMFLAG_FHASDEFAULT) && p.pparamdescex) {
        const VARIANT& v = p.pparamdescex->varDefaultValue;
        s += "=" + (V_VT(&v) == VT_I4 ? std::to_string(V_I4(&v)) : "vt" + std::to_string(V_VT(&v)));
    }
    return s;
}

// One line per member: "<slot> <DISPID> <kind> Name(flags type name, ...) "help"".
// GetNames looks up by DISPID, so a put (sharing its get's DISPID) shows no parameter names.
std::string Functions(ITypeInfo* ti) {
    TYPEATTR* a = nullptr;
    ti->GetTypeAttr(&a);
    std::string out;
    FUNCDESC* f = nullptr;
    for (UINT k = 0; a && k < a->cFuncs; ++k, ti->ReleaseFuncDesc(f)) {
        if (FAILED(ti->GetFuncDesc(k, &f))) return out + "  <no function " + std::to_string(k) + ">\n";
        BSTR raw[32] = {};
        UINT got = 0;
        ti->GetNames(f->memid, raw, 32, &got);
        std::vector<UniqueBstr> names;
        for (UINT i = 0; i < got; ++i) names.push_back(UniqueBstr::attach(raw[i]));
        const bool put = f->invkind == INVOKE_PROPERTYPUT;
        const char* kind = put ? "put " : f->invkind == INVOKE_PROPERTYGET ? "get " : "";
        out += "  " + (f->funckind == FUNC_DISPATCH ? "-" : std::to_string(f->oVft / sizeof(void*))) + " " +
               Hex(static_cast<ULONG>(f->memid)) + " " + kind + Doc(ti, f->memid) + "(";
        for (SHORT p = 0; p < f->cParams; ++p) {
            const ELEMDESC& e = f->lprgelemdescParam[p];
            out += (p ? ", " : "") + ParamFlags(e.paramdesc) + " " + Spell(ti, e.tdesc);
            if (!put && static_cast<UINT>(p + 1) < got) out += " " + Narrow(names[p + 1].get());
        }
        out += ")";
        if (f->elemdescFunc.tdesc.vt != VT_HRESULT) out += " -> " + Spell(ti, f->elemdescFunc.tdesc);
        out += (put ? "" : Doc(ti, f->memid, true)) + "\n";
    }
    if (a) ti->ReleaseTypeAttr(a);
    return out;
}

// One type: a header line, then its members.
std::string Render(ITypeInfo* ti) {
    TYPEATTR* a = nullptr;
    if (FAILED(ti->GetTypeAttr(&a))) return "<no type attributes>\n";
    const std::string name = Doc(ti), head = " " + Guid(a->guid) + " flags " + Hex(a->wTypeFlags);
    std::string out = "kind " + std::to_string(a->typekind) + " " + name + "\n";
    if (a->typekind == TKIND_ENUM) {
        out = "enum " + name + (a->guid == GUID_NULL ? "" : " " + Guid(a->guid)) + " size " +
              std::to_string(a->cbSizeInstance) + ":";
        VARDESC* v = nullptr;
        for (UINT k = 0; k < a->cVars && SUCCEEDED(ti->GetVarDesc(k, &v)); ++k, ti->ReleaseVarDesc(v)) {
            const std::string value = Doc(ti, v->memid);
            const long n = v->varkind == VAR_CONST && V_VT(v->lpvarValue) == VT_I4 ? V_I4(v->lpvarValue) : -1;
            out += " " + (value.starts_with("OPCHDA") ? value.substr(6) : value) + "=" +
                   (n >= 0 && n < 0x10000 ? std::to_string(n) : Hex(static_cast<ULONG>(n)));
        }
        out += "\n";
    } else if (a->typekind == TKIND_COCLASS) {
        out = "coclass " + name + head + Doc(ti, MEMBERID_NIL, true) + ":";
        for (UINT k = 0; k < a->cImplTypes; ++k) {
            INT flags = 0;
            ti->GetImplTypeFlags(k, &flags);
            out += " " + NameOf(Impl(ti, k)) + "/" + Hex(static_cast<ULONG>(flags));
        }
        out += "\n";
    } else if (a->typekind == TKIND_DISPATCH) {
        ComPtr<ITypeInfo> base = Impl(ti, 0);
        ComPtr<ITypeLib> baseLib;
        UINT index = 0;
        TLIBATTR* libAttr = nullptr;
        if (base && SUCCEEDED(base->GetContainingTypeLib(baseLib.put(), &index)) &&
            SUCCEEDED(baseLib->GetLibAttr(&libAttr))) {
            index = libAttr->guid == GUID{0x00020430, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};  // stdole2
            baseLib->ReleaseTLibAttr(libAttr);
        }
        // A dual interface lists its members with their vtable slots.
        ComPtr<ITypeInfo> vtable = a->wTypeFlags & TYPEFLAG_FDUAL ? Impl(ti, static_cast<UINT>(-1)) : nullptr;
        TYPEATTR* v = nullptr;
        std::string half;
        if (vtable && SUCCEEDED(vtable->GetTypeAttr(&v))) {
            half = " vtable " + Hex(v->wTypeFlags) + " on " + NameOf(Impl(vtable.get(), 0));
            vtable->ReleaseTypeAttr(v);
        }
        out = (vtable ? "dual " : "dispinterface ") + name + head + " on " + NameOf(base) + (index ? "(stdole2)" : "") +
              half + Doc(ti, MEMBERID_NIL, true) + "\n" + Functions(vtable ? vtable.get() : ti);
    }
    ti->ReleaseTypeAttr(a);
    return out;
}

class TypeLibTest : public ::testing::TestWithParam<SYSKIND> {};

#ifdef _WIN64
constexpr SYSKIND kThisBuild = SYS_WIN64;
#else
constexpr SYSKIND kThisBuild = SYS_WIN32;
#endif

// This build's: the registered library, loaded as VBA's object browser and OLE viewers load it, so that a stale
// registration fails too. The x64 tree also reads the x86 build's file without the registry (skipped when absent),
// for machines where the x86 suite cannot run.
TEST_P(TypeLibTest, IsThePublishedObjectModel) {
    ComPtr<ITypeLib> lib;
    if (GetParam() == kThisBuild) {
        ASSERT_EQ(LoadRegTypeLib(LIBID_OPCHDAAutomation, 1, 0, 0x409, lib.put()), S_OK);
    } else {
        wchar_t exe[MAX_PATH] = {};
        GetModuleFileNameW(nullptr, exe, MAX_PATH);
        const std::wstring path = std::wstring(exe, wcsrchr(exe, L'\\') + 1) + L"..\\..\\x86\\bin\\OPCHDAAuto.dll";
        if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) GTEST_SKIP() << "no x86 build";
        ASSERT_EQ(LoadTypeLibEx(path.c_str(), REGKIND_NONE, lib.put()), S_OK);
    }
    TLIBATTR* attr = nullptr;
    ASSERT_EQ(lib->GetLibAttr(&attr), S_OK);
    EXPECT_EQ(attr->syskind, GetParam());
    UniqueBstr name, help;
    lib->GetDocumentation(-1, name.put(), help.put(), nullptr, nullptr);
    std::string text = "lib " + Narrow(name.get()) + " " + Guid(attr->guid) + " lcid " + Hex(attr->lcid) + " v" +
                       std::to_string(attr->wMajorVerNum) + "." + std::to_string(attr->wMinorVerNum) + " \"" +
                       Narrow(help.get()) + "\"\n";
    lib->ReleaseTLibAttr(attr);
    for (UINT k = 0; k < lib->GetTypeInfoCount(); ++k) {
        ComPtr<ITypeInfo> ti;
        ASSERT_EQ(lib->GetTypeInfo(k, ti.put()), S_OK);
        text += Render(ti.get());
    }
    EXPECT_EQ(kExpected, text);  // a failure shows the lines that drifted
}

#ifdef _WIN64
INSTANTIATE_TEST_SUITE_P(Builds, TypeLibTest, ::testing::Values(SYS_WIN64, SYS_WIN32),
#else
INSTANTIATE_TEST_SUITE_P(Builds, TypeLibTest, ::testing::Values(SYS_WIN32),
#endif
                         [](const ::testing::TestParamInfo<SYSKIND>& info) {
                             return std::string(info.param == SYS_WIN64 ? "x64" : "x86");
                         });

}  // namespace
