// COPCHDAAutoServer: the object a client creates. It is at once the server
// interface, the items collection, the source of both event interfaces and
// the historian's callback and shutdown sink.
#pragma once

#include <windows.h>
#include <ocidl.h>

#include <list>
#include <memory>

#include "OPCHDAAuto.h"
#include "opc_hda.h"
#include "com/com_holders.h"
#include "events/event_sources.h"
#include "server/historian_sink.h"
#include "time/time_conversion.h"
#include "com/implements.h"
#include "automation/type_info_holder.h"

class COPCHDAItem;
class WeakLink;

class COPCHDAAutoServer final
    : public Implements<COPCHDAAutoServer, IConnectionPointContainer, AnswerAs<IDispatch, IOPCHDAAutoServer>,
                        DispatchImpl<IOPCHDAAutoServer>, DispatchImpl<IOPCHDAItems>, ISupportErrorInfo, IOPCShutdown,
                        IOPCHDA_DataCallback> {
public:
    static constexpr char kTraceName[] = "COPCHDAAutoServer";

    COPCHDAAutoServer();
    ~COPCHDAAutoServer();

    // IConnectionPointContainer
    STDMETHODIMP EnumConnectionPoints(IEnumConnectionPoints** ppEnum) override;
    STDMETHODIMP FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) override;

    // Turns a client's time argument into the historian's time record, under
    // the zone of the request's call. Virtual so that it holds its slot in
    // the first virtual table, right after the container's members; the
    // items collection's requests call it there.
    virtual HRESULT TimeArgToHdaTime(VARIANT* timeArg, OPCHDA_TIME* hdaTime, const CallZone& zone);

    // IOPCHDAAutoServer
    STDMETHODIMP get_StartTime(DATE* pVal) override;
    STDMETHODIMP get_CurrentTime(DATE* pVal) override;
    STDMETHODIMP get_MaxReturnValues(LONG* pVal) override;
    STDMETHODIMP get_MajorVersion(short* pVal) override;
    STDMETHODIMP get_MinorVersion(short* pVal) override;
    STDMETHODIMP get_BuildNumber(short* pVal) override;
    STDMETHODIMP get_VendorInfo(BSTR* pVal) override;
    STDMETHODIMP get_HistorianStatus(LONG* pVal) override;
    STDMETHODIMP get_StatusString(BSTR* pVal) override;
    STDMETHODIMP get_ServerName(BSTR* pVal) override;
    STDMETHODIMP get_ServerNode(BSTR* pVal) override;
    STDMETHODIMP get_ClientName(BSTR* pVal) override;
    STDMETHODIMP put_ClientName(BSTR newVal) override;
    STDMETHODIMP get_LocaleID(LONG* pVal) override;
    STDMETHODIMP put_LocaleID(LONG newVal) override;
    STDMETHODIMP get_CanSyncInsert(LONG* pVal) override;
    STDMETHODIMP get_CanSyncReplace(LONG* pVal) override;
    STDMETHODIMP get_CanSyncInsertReplace(LONG* pVal) override;
    STDMETHODIMP get_CanSyncDeleteRaw(LONG* pVal) override;
    STDMETHODIMP get_CanSyncDeleteAtTime(LONG* pVal) override;
    STDMETHODIMP get_CanSyncReadAnnotations(LONG* pVal) override;
    STDMETHODIMP get_CanSyncInsertAnnotations(LONG* pVal) override;
    STDMETHODIMP get_CanAsyncInsert(LONG* pVal) override;
    STDMETHODIMP get_CanAsyncReplace(LONG* pVal) override;
    STDMETHODIMP get_CanAsyncInsertReplace(LONG* pVal) override;
    STDMETHODIMP get_CanAsyncDeleteRaw(LONG* pVal) override;
    STDMETHODIMP get_CanAsyncDeleteAtTime(LONG* pVal) override;
    STDMETHODIMP get_CanAsyncReadAnnotations(LONG* pVal) override;
    STDMETHODIMP get_CanAsyncInsertAnnotations(LONG* pVal) override;
    STDMETHODIMP get_OPCHDAItems(IOPCHDAItems** ppOPCHDAItems) override;
    STDMETHODIMP GetOPCHDAServers(VARIANT Node, VARIANT* OPCHDAServers) override;
    STDMETHODIMP Connect(BSTR ProgID, VARIANT Node) override;
    STDMETHODIMP Disconnect() override;
    STDMETHODIMP GetErrorString(LONG ErrorCode, BSTR* ErrorString) override;
    STDMETHODIMP QueryAvailableLocaleIDs(VARIANT* LocaleIDs) override;
    STDMETHODIMP GetItemAttributes(LONG* Count, SAFEARRAY** AttributeIDs, SAFEARRAY** Names, SAFEARRAY** Descriptions,
                                   SAFEARRAY** DataTypes) override;
    STDMETHODIMP GetAggregates(LONG* Count, SAFEARRAY** AggregateIDs, SAFEARRAY** Names,
                               SAFEARRAY** Descriptions) override;
    STDMETHODIMP CreateBrowser(LONG NumCriteria, VARIANT AttributeIDs, VARIANT OperatorCodes, VARIANT Filters,
                               VARIANT* Errors, OPCHDABrowser** ppOPCHDABrowser) override;

    // IOPCHDAItems
    STDMETHODIMP get_Parent(IOPCHDAAutoServer** ppParent) override;
    STDMETHODIMP get_Count(LONG* pVal) override;
    STDMETHODIMP get__NewEnum(IUnknown** ppUnk) override;
    STDMETHODIMP Item(VARIANT ItemSpecifier, OPCHDAItem** ppItem) override;
    STDMETHODIMP GetOPCHDAItem(LONG ServerHandle, OPCHDAItem** ppItem) override;
    STDMETHODIMP AddItem(BSTR ItemID, LONG ClientHandle, OPCHDAItem** ppItem) override;
    STDMETHODIMP AddItems(LONG NumItems, SAFEARRAY** ItemIDs, SAFEARRAY** ClientHandles, SAFEARRAY** ServerHandles,
                          SAFEARRAY** Errors) override;
    STDMETHODIMP Remove(LONG NumItems, SAFEARRAY** ServerHandles, SAFEARRAY** Errors) override;
    STDMETHODIMP RemoveAll() override;
    STDMETHODIMP Validate(LONG NumItems, SAFEARRAY** ItemIDs, SAFEARRAY** Errors) override;
    STDMETHODIMP SyncReadRaw(VARIANT* StartTime, VARIANT* EndTime, LONG NumValues, LONG Bounds, LONG NumItems,
                             SAFEARRAY** ServerHandles, SAFEARRAY** ItemValues, SAFEARRAY** Errors) override;
    STDMETHODIMP SyncReadProcessed(VARIANT* StartTime, VARIANT* EndTime, DATE ResampleInterval, LONG NumItems,
                                   SAFEARRAY** ServerHandles, SAFEARRAY** Aggregates, SAFEARRAY** ItemValues,
                                   SAFEARRAY** Errors) override;
    STDMETHODIMP SyncReadAtTime(LONG NumTimeStamps, SAFEARRAY** TimeStamps, LONG NumItems, SAFEARRAY** ServerHandles,
                                SAFEARRAY** ItemValues, SAFEARRAY** Errors) override;
    STDMETHODIMP SyncReadModified(VARIANT* StartTime, VARIANT* EndTime, LONG NumValues, LONG NumItems,
                                  SAFEARRAY** ServerHandles, SAFEARRAY** ItemValues, SAFEARRAY** Errors) override;
    STDMETHODIMP SyncReadAttribute(VARIANT* StartTime, VARIANT* EndTime, LONG ServerHandle, LONG NumAttributes,
                                   SAFEARRAY** AttributeIDs, SAFEARRAY** AttributeValues, SAFEARRAY** Errors) override;
    STDMETHODIMP SyncInsert(LONG NumItems, SAFEARRAY** ServerHandles, SAFEARRAY** TimeStamps, SAFEARRAY** DataValues,
                            SAFEARRAY** Qualities, SAFEARRAY** Errors) override;
    STDMETHODIMP SyncReplace(LONG NumItems, SAFEARRAY** ServerHandles, SAFEARRAY** TimeStamps, SAFEARRAY** DataValues,
                             SAFEARRAY** Qualities, SAFEARRAY** Errors) override;
    STDMETHODIMP SyncInsertReplace(LONG NumItems, SAFEARRAY** ServerHandles, SAFEARRAY** TimeStamps,
                                   SAFEARRAY** DataValues, SAFEARRAY** Qualities, SAFEARRAY** Errors) override;
    STDMETHODIMP SyncDeleteRaw(VARIANT* StartTime, VARIANT* EndTime, LONG NumItems, SAFEARRAY** ServerHandles,
                               SAFEARRAY** Errors) override;
    STDMETHODIMP SyncDeleteAtTime(LONG NumItems, SAFEARRAY** ServerHandles, SAFEARRAY** TimeStamps,
                                  SAFEARRAY** Errors) override;
    STDMETHODIMP SyncReadAnnotations(VARIANT* StartTime, VARIANT* EndTime, LONG NumItems, SAFEARRAY** ServerHandles,
                                     SAFEARRAY** AnnotationValues, SAFEARRAY** Errors) override;
    STDMETHODIMP SyncInsertAnnotations(LONG NumItems, SAFEARRAY** ServerHandles, SAFEARRAY** TimeStamps,
                                       SAFEARRAY** AnnotationValues, SAFEARRAY** Errors) override;
    STDMETHODIMP AsyncReadRaw(LONG TransactionID, VARIANT* StartTime, VARIANT* EndTime, LONG NumValues, LONG Bounds,
                              LONG NumItems, SAFEARRAY** ServerHandles, SAFEARRAY** Errors, LONG* CancelID) override;
    STDMETHODIMP AsyncAdviseRaw(LONG TransactionID, VARIANT* StartTime, DATE UpdateInterval, LONG NumItems,
                                SAFEARRAY** ServerHandles, SAFEARRAY** Errors, LONG* CancelID) override;
    STDMETHODIMP AsyncReadProcessed(LONG TransactionID, VARIANT* StartTime, VARIANT* EndTime, DATE ResampleInterval,
                                    LONG NumItems, SAFEARRAY** ServerHandles, SAFEARRAY** Aggregates,
                                    SAFEARRAY** Errors, LONG* CancelID) override;
    STDMETHODIMP AsyncAdviseProcessed(LONG TransactionID, VARIANT* StartTime, DATE ResampleInterval, LONG NumIntervals,
                                      LONG NumItems, SAFEARRAY** ServerHandles, SAFEARRAY** Aggregates,
                                      SAFEARRAY** Errors, LONG* CancelID) override;
    STDMETHODIMP AsyncReadAtTime(LONG TransactionID, LONG NumTimeStamps, SAFEARRAY** TimeStamps, LONG NumItems,
                                 SAFEARRAY** ServerHandles, SAFEARRAY** Errors, LONG* CancelID) override;
    STDMETHODIMP AsyncReadModified(LONG TransactionID, VARIANT* StartTime, VARIANT* EndTime, LONG NumValues,
                                   LONG NumItems, SAFEARRAY** ServerHandles, SAFEARRAY** Errors,
                                   LONG* CancelID) override;
    STDMETHODIMP AsyncReadAttribute(LONG TransactionID, VARIANT* StartTime, VARIANT* EndTime, LONG ServerHandle,
                                    LONG NumAttributes, SAFEARRAY** AttributeIDs, SAFEARRAY** Errors,
                                    LONG* CancelID) override;
    STDMETHODIMP AsyncCancelRead(LONG CancelID) override;
    STDMETHODIMP AsyncInsert(LONG TransactionID, LONG NumItems, SAFEARRAY** ServerHandles, SAFEARRAY** TimeStamps,
                             SAFEARRAY** DataValues, SAFEARRAY** Qualities, SAFEARRAY** Errors,
                             LONG* CancelID) override;
    STDMETHODIMP AsyncReplace(LONG TransactionID, LONG NumItems, SAFEARRAY** ServerHandles, SAFEARRAY** TimeStamps,
                              SAFEARRAY** DataValues, SAFEARRAY** Qualities, SAFEARRAY** Errors,
                              LONG* CancelID) override;
    STDMETHODIMP AsyncInsertReplace(LONG TransactionID, LONG NumItems, SAFEARRAY** ServerHandles,
                                    SAFEARRAY** TimeStamps, SAFEARRAY** DataValues, SAFEARRAY** Qualities,
                                    SAFEARRAY** Errors, LONG* CancelID) override;
    STDMETHODIMP AsyncDeleteRaw(LONG TransactionID, VARIANT* StartTime, VARIANT* EndTime, LONG NumItems,
                                SAFEARRAY** ServerHandles, SAFEARRAY** Errors, LONG* CancelID) override;
    STDMETHODIMP AsyncDeleteAtTime(LONG TransactionID, LONG NumItems, SAFEARRAY** ServerHandles, SAFEARRAY** TimeStamps,
                                   SAFEARRAY** Errors, LONG* CancelID) override;
    STDMETHODIMP AsyncCancelUpdate(LONG CancelID) override;
    STDMETHODIMP AsyncReadAnnotations(LONG TransactionID, VARIANT* StartTime, VARIANT* EndTime, LONG NumItems,
                                      SAFEARRAY** ServerHandles, SAFEARRAY** Errors, LONG* CancelID) override;
    STDMETHODIMP AsyncInsertAnnotations(LONG TransactionID, LONG NumItems, SAFEARRAY** ServerHandles,
                                        SAFEARRAY** TimeStamps, SAFEARRAY** AnnotationValues, SAFEARRAY** Errors,
                                        LONG* CancelID) override;
    STDMETHODIMP AsyncCancelAnnotations(LONG CancelID) override;
    STDMETHODIMP AsyncPlaybackRaw(LONG TransactionID, VARIANT* StartTime, VARIANT* EndTime, LONG NumValues,
                                  DATE UpdateDuration, DATE UpdateInterval, LONG NumItems, SAFEARRAY** ServerHandles,
                                  SAFEARRAY** Errors, LONG* CancelID) override;
    STDMETHODIMP AsyncPlaybackProcessed(LONG TransactionID, VARIANT* StartTime, VARIANT* EndTime, DATE ResampleInterval,
                                        LONG NumIntervals, DATE UpdateInterval, LONG NumItems,
                                        SAFEARRAY** ServerHandles, SAFEARRAY** Aggregates, SAFEARRAY** Errors,
                                        LONG* CancelID) override;
    STDMETHODIMP AsyncCancelPlayback(LONG CancelID) override;

    // ISupportErrorInfo
    STDMETHODIMP InterfaceSupportsErrorInfo(REFIID riid) override;

    // IOPCShutdown and IOPCHDA_DataCallback, forwarded by the historian sink
    HISTORIAN_SINK_MEMBERS

private:
    friend Implements;
    void FinalRelease();

    // Runs a historian callback's work holding a reference on this object:
    // an event handler may drop the client's last one.
    template <class Work>
    HRESULT WhileHeld(Work&& work);

    // Historian state, held while connected (the IOPCHDA_Server reference
    // decides whether the object is connected).
    UniqueBstr serverName_;
    UniqueBstr serverNode_;
    UniqueBstr clientName_;
    ComPtr<IOPCCommon> common_;
    ComPtr<IOPCHDA_Server> server_;
    ComPtr<IOPCHDA_SyncRead> syncRead_;
    ComPtr<IOPCHDA_SyncUpdate> syncUpdate_;
    ComPtr<IOPCHDA_SyncAnnotations> syncAnnotations_;
    ComPtr<IOPCHDA_AsyncRead> asyncRead_;
    ComPtr<IOPCHDA_AsyncUpdate> asyncUpdate_;
    ComPtr<IOPCHDA_AsyncAnnotations> asyncAnnotations_;
    ComPtr<IOPCHDA_Playback> playback_;
    DWORD shutdownCookie_ = 0;
    DWORD callbackCookie_ = 0;

    // What the historian calls back, in place of this object (see
    // server/historian_sink.h); made at the first Connect, detached at the end.
    ComPtr<HistorianSink> sink_;

    // The item table: insertion order, one reference per entry.
    std::list<ComPtr<COPCHDAItem>> items_;

    // The two connection points and the firing operations.
    EventSources events_;

    // Items reach this object through the link, which goes dark when it dies.
    std::shared_ptr<WeakLink> parentLink_;
};
