// The simulated historian as a COM object: every OPC HDA server interface and
// IOPCCommon over the model, two connection points (data callback, shutdown),
// and the private control interface. The same class serves the in-process
// DLL and the local server.
#pragma once

#include "historian_connection_points.h"
#include "scheduler.h"
#include "sim_module.h"

#include "opc_hda.h"
#include "sim_control.h"
#include "sim/model/historian.h"
#include "com/implements.h"

#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace hdasim {

// The four asynchronous interfaces each have a Cancel(DWORD) of the same
// signature; these adapters give each its own slot, so that a call is counted
// (and can be failed) under the interface it came through.
template <class Itf, const wchar_t* Name>
struct CancelThrough : Itf {
    using Interface = Itf;
    HRESULT STDMETHODCALLTYPE Cancel(DWORD dwCancelID) final { return CancelRequest(Name, dwCancelID); }
    virtual HRESULT CancelRequest(const wchar_t* iface, DWORD cancelId) = 0;
};
inline constexpr wchar_t kAsyncReadName[] = L"IOPCHDA_AsyncRead";
inline constexpr wchar_t kAsyncUpdateName[] = L"IOPCHDA_AsyncUpdate";
inline constexpr wchar_t kAsyncAnnotationsName[] = L"IOPCHDA_AsyncAnnotations";
inline constexpr wchar_t kPlaybackName[] = L"IOPCHDA_Playback";

class SimHistorianObject final
    : public Implements<
          SimHistorianObject, IOPCHDA_Server, IOPCHDA_SyncRead, IOPCHDA_SyncUpdate, IOPCHDA_SyncAnnotations,
          CancelThrough<IOPCHDA_AsyncRead, kAsyncReadName>, CancelThrough<IOPCHDA_AsyncUpdate, kAsyncUpdateName>,
          CancelThrough<IOPCHDA_AsyncAnnotations, kAsyncAnnotationsName>,
          CancelThrough<IOPCHDA_Playback, kPlaybackName>, IOPCCommon, IConnectionPointContainer, IHdaSimControl> {
public:
    static HRESULT Create(REFIID iid, void** out);
    SimHistorianObject();
    ~SimHistorianObject();

    // The interface table, less the interfaces a test has refused.
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;

    // IOPCHDA_Server
    HRESULT STDMETHODCALLTYPE GetItemAttributes(DWORD* pdwCount, DWORD** ppdwAttrID, LPWSTR** ppszAttrName,
                                                LPWSTR** ppszAttrDesc, VARTYPE** ppvtAttrDataType) override;
    HRESULT STDMETHODCALLTYPE GetAggregates(DWORD* pdwCount, DWORD** ppdwAggrID, LPWSTR** ppszAggrName,
                                            LPWSTR** ppszAggrDesc) override;
    HRESULT STDMETHODCALLTYPE GetHistorianStatus(OPCHDA_SERVERSTATUS* pwStatus, FILETIME** pftCurrentTime,
                                                 FILETIME** pftStartTime, WORD* pwMajorVersion, WORD* pwMinorVersion,
                                                 WORD* pwBuildNumber, DWORD* pdwMaxReturnValues,
                                                 LPWSTR* ppszStatusString, LPWSTR* ppszVendorInfo) override;
    HRESULT STDMETHODCALLTYPE GetItemHandles(DWORD dwCount, LPWSTR* pszItemID, OPCHANDLE* phClient,
                                             OPCHANDLE** pphServer, HRESULT** ppErrors) override;
    HRESULT STDMETHODCALLTYPE ReleaseItemHandles(DWORD dwCount, OPCHANDLE* phServer, HRESULT** ppErrors) override;
    HRESULT STDMETHODCALLTYPE ValidateItemIDs(DWORD dwCount, LPWSTR* pszItemID, HRESULT** ppErrors) override;
    HRESULT STDMETHODCALLTYPE CreateBrowse(DWORD dwCount, DWORD* pdwAttrID, OPCHDA_OPERATORCODES* pOperator,
                                           VARIANT* vFilter, IOPCHDA_Browser** pphBrowser, HRESULT** ppErrors) override;

    // IOPCHDA_SyncRead
    HRESULT STDMETHODCALLTYPE ReadRaw(OPCHDA_TIME* htStartTime, OPCHDA_TIME* htEndTime, DWORD dwNumValues, BOOL bBounds,
                                      DWORD dwNumItems, OPCHANDLE* phServer, OPCHDA_ITEM** ppItemValues,
                                      HRESULT** ppErrors) override;
    HRESULT STDMETHODCALLTYPE ReadProcessed(OPCHDA_TIME* htStartTime, OPCHDA_TIME* htEndTime,
                                            FILETIME ftResampleInterval, DWORD dwNumItems, OPCHANDLE* phServer,
                                            DWORD* haAggregate, OPCHDA_ITEM** ppItemValues,
                                            HRESULT** ppErrors) override;
    HRESULT STDMETHODCALLTYPE ReadAtTime(DWORD dwNumTimeStamps, FILETIME* ftTimeStamps, DWORD dwNumItems,
                                         OPCHANDLE* phServer, OPCHDA_ITEM** ppItemValues, HRESULT** ppErrors) override;
    HRESULT STDMETHODCALLTYPE ReadModified(OPCHDA_TIME* htStartTime, OPCHDA_TIME* htEndTime, DWORD dwNumValues,
                                           DWORD dwNumItems, OPCHANDLE* phServer, OPCHDA_MODIFIEDITEM** ppItemValues,
                                           HRESULT** ppErrors) override;
    HRESULT STDMETHODCALLTYPE ReadAttribute(OPCHDA_TIME* htStartTime, OPCHDA_TIME* htEndTime, OPCHANDLE hServer,
                                            DWORD dwNumAttributes, DWORD* pdwAttributeIDs,
                                            OPCHDA_ATTRIBUTE** ppAttributeValues, HRESULT** ppErrors) override;

    // IOPCHDA_SyncUpdate (QueryCapabilities shared with IOPCHDA_AsyncUpdate)
    HRESULT STDMETHODCALLTYPE QueryCapabilities(OPCHDA_UPDATECAPABILITIES* pCapabilities) override;
    HRESULT STDMETHODCALLTYPE Insert(DWORD dwNumItems, OPCHANDLE* phServer, FILETIME* ftTimeStamps,
                                     VARIANT* vDataValues, DWORD* pdwQualities, HRESULT** ppErrors) override;
    HRESULT STDMETHODCALLTYPE Replace(DWORD dwNumItems, OPCHANDLE* phServer, FILETIME* ftTimeStamps,
                                      VARIANT* vDataValues, DWORD* pdwQualities, HRESULT** ppErrors) override;
    HRESULT STDMETHODCALLTYPE InsertReplace(DWORD dwNumItems, OPCHANDLE* phServer, FILETIME* ftTimeStamps,
                                            VARIANT* vDataValues, DWORD* pdwQualities, HRESULT** ppErrors) override;
    HRESULT STDMETHODCALLTYPE DeleteRaw(OPCHDA_TIME* htStartTime, OPCHDA_TIME* htEndTime, DWORD dwNumItems,
                                        OPCHANDLE* phServer, HRESULT** ppErrors) override;
    HRESULT STDMETHODCALLTYPE DeleteAtTime(DWORD dwNumItems, OPCHANDLE* phServer, FILETIME* ftTimeStamps,
                                           HRESULT** ppErrors) override;

    // IOPCHDA_SyncAnnotations (QueryCapabilities shared with IOPCHDA_AsyncAnnotations)
    HRESULT STDMETHODCALLTYPE QueryCapabilities(OPCHDA_ANNOTATIONCAPABILITIES* pCapabilities) override;
    HRESULT STDMETHODCALLTYPE Read(OPCHDA_TIME* htStartTime, OPCHDA_TIME* htEndTime, DWORD dwNumItems,
                                   OPCHANDLE* phServer, OPCHDA_ANNOTATION** ppAnnotationValues,
                                   HRESULT** ppErrors) override;
    HRESULT STDMETHODCALLTYPE Insert(DWORD dwNumItems, OPCHANDLE* phServer, FILETIME* ftTimeStamps,
                                     OPCHDA_ANNOTATION* pAnnotationValues, HRESULT** ppErrors) override;

    // IOPCHDA_AsyncRead
    HRESULT STDMETHODCALLTYPE ReadRaw(DWORD dwTransactionID, OPCHDA_TIME* htStartTime, OPCHDA_TIME* htEndTime,
                                      DWORD dwNumValues, BOOL bBounds, DWORD dwNumItems, OPCHANDLE* phServer,
                                      DWORD* pdwCancelID, HRESULT** ppErrors) override;
    HRESULT STDMETHODCALLTYPE AdviseRaw(DWORD dwTransactionID, OPCHDA_TIME* htStartTime, FILETIME ftUpdateInterval,
                                        DWORD dwNumItems, OPCHANDLE* phServer, DWORD* pdwCancelID,
                                        HRESULT** ppErrors) override;
    HRESULT STDMETHODCALLTYPE ReadProcessed(DWORD dwTransactionID, OPCHDA_TIME* htStartTime, OPCHDA_TIME* htEndTime,
                                            FILETIME ftResampleInterval, DWORD dwNumItems, OPCHANDLE* phServer,
                                            DWORD* haAggregate, DWORD* pdwCancelID, HRESULT** ppErrors) override;
    HRESULT STDMETHODCALLTYPE AdviseProcessed(DWORD dwTransactionID, OPCHDA_TIME* htStartTime,
                                              FILETIME ftResampleInterval, DWORD dwNumItems, OPCHANDLE* phServer,
                                              DWORD* haAggregate, DWORD dwNumIntervals, DWORD* pdwCancelID,
                                              HRESULT** ppErrors) override;
    HRESULT STDMETHODCALLTYPE ReadAtTime(DWORD dwTransactionID, DWORD dwNumTimeStamps, FILETIME* ftTimeStamps,
                                         DWORD dwNumItems, OPCHANDLE* phServer, DWORD* pdwCancelID,
                                         HRESULT** ppErrors) override;
    HRESULT STDMETHODCALLTYPE ReadModified(DWORD dwTransactionID, OPCHDA_TIME* htStartTime, OPCHDA_TIME* htEndTime,
                                           DWORD dwNumValues, DWORD dwNumItems, OPCHANDLE* phServer, DWORD* pdwCancelID,
                                           HRESULT** ppErrors) override;
    HRESULT STDMETHODCALLTYPE ReadAttribute(DWORD dwTransactionID, OPCHDA_TIME* htStartTime, OPCHDA_TIME* htEndTime,
                                            OPCHANDLE hServer, DWORD dwNumAttributes, DWORD* dwAttributeIDs,
                                            DWORD* pdwCancelID, HRESULT** ppErrors) override;
    // Cancel of the four asynchronous interfaces: one space of cancel IDs.
    HRESULT CancelRequest(const wchar_t* iface, DWORD cancelId) override;

    // IOPCHDA_AsyncUpdate
    HRESULT STDMETHODCALLTYPE Insert(DWORD dwTransactionID, DWORD dwNumItems, OPCHANDLE* phServer,
                                     FILETIME* ftTimeStamps, VARIANT* vDataValues, DWORD* pdwQualities,
                                     DWORD* pdwCancelID, HRESULT** ppErrors) override;
    HRESULT STDMETHODCALLTYPE Replace(DWORD dwTransactionID, DWORD dwNumItems, OPCHANDLE* phServer,
                                      FILETIME* ftTimeStamps, VARIANT* vDataValues, DWORD* pdwQualities,
                                      DWORD* pdwCancelID, HRESULT** ppErrors) override;
    HRESULT STDMETHODCALLTYPE InsertReplace(DWORD dwTransactionID, DWORD dwNumItems, OPCHANDLE* phServer,
                                            FILETIME* ftTimeStamps, VARIANT* vDataValues, DWORD* pdwQualities,
                                            DWORD* pdwCancelID, HRESULT** ppErrors) override;
    HRESULT STDMETHODCALLTYPE DeleteRaw(DWORD dwTransactionID, OPCHDA_TIME* htStartTime, OPCHDA_TIME* htEndTime,
                                        DWORD dwNumItems, OPCHANDLE* phServer, DWORD* pdwCancelID,
                                        HRESULT** ppErrors) override;
    HRESULT STDMETHODCALLTYPE DeleteAtTime(DWORD dwTransactionID, DWORD dwNumItems, OPCHANDLE* phServer,
                                           FILETIME* ftTimeStamps, DWORD* pdwCancelID, HRESULT** ppErrors) override;

    // IOPCHDA_AsyncAnnotations
    HRESULT STDMETHODCALLTYPE Read(DWORD dwTransactionID, OPCHDA_TIME* htStartTime, OPCHDA_TIME* htEndTime,
                                   DWORD dwNumItems, OPCHANDLE* phServer, DWORD* pdwCancelID,
                                   HRESULT** ppErrors) override;
    HRESULT STDMETHODCALLTYPE Insert(DWORD dwTransactionID, DWORD dwNumItems, OPCHANDLE* phServer,
                                     FILETIME* ftTimeStamps, OPCHDA_ANNOTATION* pAnnotationValues, DWORD* pdwCancelID,
                                     HRESULT** ppErrors) override;

    // IOPCHDA_Playback
    HRESULT STDMETHODCALLTYPE ReadRawWithUpdate(DWORD dwTransactionID, OPCHDA_TIME* htStartTime, OPCHDA_TIME* htEndTime,
                                                DWORD dwNumValues, FILETIME ftUpdateDuration, FILETIME ftUpdateInterval,
                                                DWORD dwNumItems, OPCHANDLE* phServer, DWORD* pdwCancelID,
                                                HRESULT** ppErrors) override;
    HRESULT STDMETHODCALLTYPE ReadProcessedWithUpdate(DWORD dwTransactionID, OPCHDA_TIME* htStartTime,
                                                      OPCHDA_TIME* htEndTime, FILETIME ftResampleInterval,
                                                      DWORD dwNumIntervals, FILETIME ftUpdateInterval, DWORD dwNumItems,
                                                      OPCHANDLE* phServer, DWORD* haAggregate, DWORD* pdwCancelID,
                                                      HRESULT** ppErrors) override;

    // IOPCCommon
    HRESULT STDMETHODCALLTYPE SetLocaleID(LCID dwLcid) override;
    HRESULT STDMETHODCALLTYPE GetLocaleID(LCID* pdwLcid) override;
    HRESULT STDMETHODCALLTYPE QueryAvailableLocaleIDs(DWORD* pdwCount, LCID** pdwLcid) override;
    HRESULT STDMETHODCALLTYPE GetErrorString(HRESULT dwError, LPWSTR* ppString) override;
    HRESULT STDMETHODCALLTYPE SetClientName(LPCWSTR szName) override;

    // IConnectionPointContainer
    HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints** ppEnum) override;
    HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) override;

    // IHdaSimControl
    HRESULT STDMETHODCALLTYPE FailMethod(LPCWSTR method, HRESULT hr) override;
    HRESULT STDMETHODCALLTYPE ClearFaults() override;
    HRESULT STDMETHODCALLTYPE SetItemCode(LPCWSTR itemID, HRESULT hr) override;
    HRESULT STDMETHODCALLTYPE RefuseInterface(REFIID iid, BOOL refuse) override;
    HRESULT STDMETHODCALLTYPE DelayCallbacks(DWORD ms) override;
    HRESULT STDMETHODCALLTYPE HoldCallbacks(BOOL hold, BOOL reverse) override;
    HRESULT STDMETHODCALLTYPE SendShutdown(LPCWSTR reason) override;
    HRESULT STDMETHODCALLTYPE ClockSetSpeed(double speed) override;
    HRESULT STDMETHODCALLTYPE ClockStep(hyper duration) override;
    HRESULT STDMETHODCALLTYPE ClockSet(hyper utcFileTime) override;
    HRESULT STDMETHODCALLTYPE ClockGet(hyper* utcFileTime) override;
    HRESULT STDMETHODCALLTYPE OutstandingTaskMemory(LONG* count) override;
    HRESULT STDMETHODCALLTYPE OutstandingHandles(LONG* count) override;
    HRESULT STDMETHODCALLTYPE AdviseCount(LONG* dataCallbacks, LONG* shutdowns) override;
    HRESULT STDMETHODCALLTYPE PendingRequests(LONG* count) override;
    HRESULT STDMETHODCALLTYPE CallCount(LPCWSTR method, LONG* count) override;
    HRESULT STDMETHODCALLTYPE ResetDefaults() override;
    HRESULT STDMETHODCALLTYPE RecordedArgument(LPCWSTR method, LPCWSTR name, hyper* value) override;

    // Sends the shutdown request from the worker and waits for it.
    void SendShutdownAndWait(const std::wstring& reason);

private:
    // An item of an asynchronous request that the historian accepted.
    struct Target {
        DWORD index;  // in the request
        Handle handle;
        OPCHANDLE client;
        DWORD aggregate;  // of processed requests, else 0
    };
    // Runs on the worker for the accepted items; true to run again at *next.
    using TaskWork = std::function<bool(const std::vector<Target>& items, int64_t now, int64_t* next)>;
    enum class ItemEvent { ReadComplete, DataChange, Playback };
    using ItemReader = std::function<ItemData(const Target&)>;

    // Keeps what a method received, for RecordedArgument: named values, and
    // the first elements of an array as name0, name1, ...
    struct Arg {
        const wchar_t* name;
        int64_t value;
    };
    void Record(const wchar_t* iface, const wchar_t* method, std::initializer_list<Arg> args);
    template <class T>
    void RecordArray(const wchar_t* iface, const wchar_t* method, const wchar_t* name, const T* values, DWORD n);
    // Records the call; true (and *hr) when a fault is set for it.
    bool Faulted(const wchar_t* iface, const wchar_t* method, HRESULT* hr);
    bool ClientOf(OPCHANDLE server, OPCHANDLE* client) const;
    HRESULT Resolve(OPCHDA_TIME* t, Ticks* out) const;
    // Resolves both ends and records them: a reversed range is a valid request,
    // so a client that swaps its ends shows only in what was received.
    HRESULT ResolveRange(const wchar_t* iface, const wchar_t* method, OPCHDA_TIME* start, OPCHDA_TIME* end, Ticks* s,
                         Ticks* e);
    // Every asynchronous request: a cancel ID and one code per item (unknown
    // handles rejected); then `work` runs on the worker thread for the
    // accepted items, once, or (`repeat`: advises and playback) until it
    // answers false or the request is cancelled.
    HRESULT Start(DWORD n, const OPCHANDLE* ph, const DWORD* aggregates, DWORD* pdwCancelID, HRESULT** ppErrors,
                  bool repeat, TaskWork work);
    // Reads each item and sends the answer as one OnReadComplete, OnDataChange
    // or OnPlayback.
    void SendItems(ItemEvent event, DWORD tid, const std::vector<Target>& items, const ItemReader& read);
    // Sends the codes of an update (or annotation insert) as its completion.
    void SendUpdate(DWORD tid, const std::vector<Target>& items, const std::vector<HRESULT>& codes, bool annotations);
    HRESULT SyncUpdate(int kind, DWORD n, OPCHANDLE* ph, FILETIME* ft, VARIANT* v, DWORD* q, HRESULT** errs);
    HRESULT AsyncUpdate(int kind, DWORD tid, DWORD n, OPCHANDLE* ph, FILETIME* ft, VARIANT* v, DWORD* q,
                        DWORD* pdwCancelID, HRESULT** ppErrors);
    void EachCallback(const std::function<void(IOPCHDA_DataCallback*)>& fn);

    Historian model_;
    mutable std::mutex lock_;
    std::unordered_map<Handle, OPCHANDLE> clients_;
    std::map<std::wstring, HRESULT> methodFaults_;
    std::map<std::wstring, LONG> calls_;
    std::map<std::wstring, int64_t> recorded_;  // "Iface::Method/name"
    std::vector<GUID> refused_;
    ConnectionPoint dataCp_;
    ConnectionPoint shutdownCp_;
    std::unique_ptr<Scheduler> scheduler_;
    friend class SimControlObject;
};

}  // namespace hdasim
