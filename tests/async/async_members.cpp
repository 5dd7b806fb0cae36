#include "async_members.h"

#include <limits>

#include "opc_hda.h"

using namespace comtest;

namespace asynctest {

namespace {
// Element 0 and the element after the count are never read: they hold what
// the historian would refuse (an unknown handle, a date that does not convert).
constexpr LONG kNotRead = 0x7FFF0000;
const double kNotADate = std::numeric_limits<double>::quiet_NaN();
}  // namespace

Request::Request(LONG ramp, LONG step) {
    start->vt = VT_BSTR;
    start->bstrVal = SysAllocString(L"NOW-10M");
    end->vt = VT_BSTR;
    end->bstrVal = SysAllocString(L"NOW");
    serverHandle = ramp;
    DATE now = LocalNow();
    arrays[kHandles].reset(MakeLongArray({kNotRead, ramp, step, kNotRead}, 0));
    arrays[kAggregates].reset(MakeLongArray({kNotRead, 1, 3, kNotRead}, 0));
    arrays[kTimeStamps].reset(MakeDateArray({kNotADate, now - kHour, now - 2 * kHour, kNotADate}, 0));
    arrays[kValues].reset(MakeVariantArray({VarEmpty(), VarR8(1.5), VarR8(2.5), VarEmpty()}, 0));
    arrays[kQualities].reset(MakeLongArray({kNotRead, 0xC0, 0x40, kNotRead}, 0));
    arrays[kAttributes].reset(MakeLongArray({kNotRead, 1, 2, kNotRead}, 0));
    arrays[kAnnotations].reset(MakeVariantArray({VarEmpty(), VarBstr(L"one"), VarBstr(L"two"), VarEmpty()}, 0));
}

const std::vector<Member>& Members() {
    using I = IOPCHDAItems;
    static const std::vector<Member> members = {
        {"AsyncReadRaw",
         L"IOPCHDA_AsyncRead::ReadRaw",
         &IID_IOPCHDA_AsyncRead,
         {kStart, kEnd, kHandles, kErrors, kCancelID},
         {kNumItems},
         {{kHandles, kNumItems}},
         [](I* i, Request& r) {
             return i->AsyncReadRaw(r.tid, r.Start(), r.End(), r.numValues, r.bounds, r.numItems, r.In(kHandles),
                                    r.Errors(), r.CancelID());
         },
         &I::AsyncCancelRead,
         L"IOPCHDA_AsyncRead::Cancel"},
        {"AsyncAdviseRaw",
         L"IOPCHDA_AsyncRead::AdviseRaw",
         &IID_IOPCHDA_AsyncRead,
         {kStart, kHandles, kErrors, kCancelID},
         {kNumItems},
         {{kHandles, kNumItems}},
         [](I* i, Request& r) {
             return i->AsyncAdviseRaw(r.tid, r.Start(), r.updateInterval, r.numItems, r.In(kHandles), r.Errors(),
                                      r.CancelID());
         },
         &I::AsyncCancelRead,
         L"IOPCHDA_AsyncRead::Cancel"},
        {"AsyncReadProcessed",
         L"IOPCHDA_AsyncRead::ReadProcessed",
         &IID_IOPCHDA_AsyncRead,
         {kStart, kEnd, kHandles, kAggregates, kErrors, kCancelID},
         {kNumItems},
         {{kHandles, kNumItems}, {kAggregates, kNumItems}},
         [](I* i, Request& r) {
             return i->AsyncReadProcessed(r.tid, r.Start(), r.End(), r.resampleInterval, r.numItems, r.In(kHandles),
                                          r.In(kAggregates), r.Errors(), r.CancelID());
         },
         &I::AsyncCancelRead,
         L"IOPCHDA_AsyncRead::Cancel"},
        {"AsyncAdviseProcessed",
         L"IOPCHDA_AsyncRead::AdviseProcessed",
         &IID_IOPCHDA_AsyncRead,
         {kStart, kHandles, kAggregates, kErrors, kCancelID},
         {kNumItems},
         {{kHandles, kNumItems}, {kAggregates, kNumItems}},
         [](I* i, Request& r) {
             return i->AsyncAdviseProcessed(r.tid, r.Start(), r.resampleInterval, r.numIntervals, r.numItems,
                                            r.In(kHandles), r.In(kAggregates), r.Errors(), r.CancelID());
         },
         &I::AsyncCancelRead,
         L"IOPCHDA_AsyncRead::Cancel"},
        {"AsyncReadAtTime",
         L"IOPCHDA_AsyncRead::ReadAtTime",
         &IID_IOPCHDA_AsyncRead,
         {kTimeStamps, kHandles, kErrors, kCancelID},
         {kNumTimeStamps, kNumItems},
         {{kTimeStamps, kNumTimeStamps}, {kHandles, kNumItems}},
         [](I* i, Request& r) {
             return i->AsyncReadAtTime(r.tid, r.numTimeStamps, r.In(kTimeStamps), r.numItems, r.In(kHandles),
                                       r.Errors(), r.CancelID());
         },
         &I::AsyncCancelRead,
         L"IOPCHDA_AsyncRead::Cancel"},
        {"AsyncReadModified",
         L"IOPCHDA_AsyncRead::ReadModified",
         &IID_IOPCHDA_AsyncRead,
         {kStart, kEnd, kHandles, kErrors, kCancelID},
         {kNumItems},
         {{kHandles, kNumItems}},
         [](I* i, Request& r) {
             return i->AsyncReadModified(r.tid, r.Start(), r.End(), r.numValues, r.numItems, r.In(kHandles), r.Errors(),
                                         r.CancelID());
         },
         &I::AsyncCancelRead,
         L"IOPCHDA_AsyncRead::Cancel"},
        {"AsyncReadAttribute",
         L"IOPCHDA_AsyncRead::ReadAttribute",
         &IID_IOPCHDA_AsyncRead,
         {kStart, kEnd, kAttributes, kErrors, kCancelID},
         {kNumAttributes},
         {{kAttributes, kNumAttributes}},
         [](I* i, Request& r) {
             return i->AsyncReadAttribute(r.tid, r.Start(), r.End(), r.serverHandle, r.numAttributes, r.In(kAttributes),
                                          r.Errors(), r.CancelID());
         },
         &I::AsyncCancelRead,
         L"IOPCHDA_AsyncRead::Cancel"},
        {"AsyncInsert",
         L"IOPCHDA_AsyncUpdate::Insert",
         &IID_IOPCHDA_AsyncUpdate,
         {kHandles, kTimeStamps, kValues, kQualities, kErrors, kCancelID},
         {kNumItems},
         {{kHandles, kNumItems}, {kTimeStamps, kNumItems}, {kValues, kNumItems}, {kQualities, kNumItems}},
         [](I* i, Request& r) {
             return i->AsyncInsert(r.tid, r.numItems, r.In(kHandles), r.In(kTimeStamps), r.In(kValues),
                                   r.In(kQualities), r.Errors(), r.CancelID());
         },
         &I::AsyncCancelUpdate,
         L"IOPCHDA_AsyncUpdate::Cancel"},
        {"AsyncReplace",
         L"IOPCHDA_AsyncUpdate::Replace",
         &IID_IOPCHDA_AsyncUpdate,
         {kHandles, kTimeStamps, kValues, kQualities, kErrors, kCancelID},
         {kNumItems},
         {{kHandles, kNumItems}, {kTimeStamps, kNumItems}, {kValues, kNumItems}, {kQualities, kNumItems}},
         [](I* i, Request& r) {
             return i->AsyncReplace(r.tid, r.numItems, r.In(kHandles), r.In(kTimeStamps), r.In(kValues),
                                    r.In(kQualities), r.Errors(), r.CancelID());
         },
         &I::AsyncCancelUpdate,
         L"IOPCHDA_AsyncUpdate::Cancel"},
        {"AsyncInsertReplace",
         L"IOPCHDA_AsyncUpdate::InsertReplace",
         &IID_IOPCHDA_AsyncUpdate,
         {kHandles, kTimeStamps, kValues, kQualities, kErrors, kCancelID},
         {kNumItems},
         {{kHandles, kNumItems}, {kTimeStamps, kNumItems}, {kValues, kNumItems}, {kQualities, kNumItems}},
         [](I* i, Request& r) {
             return i->AsyncInsertReplace(r.tid, r.numItems, r.In(kHandles), r.In(kTimeStamps), r.In(kValues),
                                          r.In(kQualities), r.Errors(), r.CancelID());
         },
         &I::AsyncCancelUpdate,
         L"IOPCHDA_AsyncUpdate::Cancel"},
        {"AsyncDeleteRaw",
         L"IOPCHDA_AsyncUpdate::DeleteRaw",
         &IID_IOPCHDA_AsyncUpdate,
         {kStart, kEnd, kHandles, kErrors, kCancelID},
         {kNumItems},
         {{kHandles, kNumItems}},
         [](I* i, Request& r) {
             return i->AsyncDeleteRaw(r.tid, r.Start(), r.End(), r.numItems, r.In(kHandles), r.Errors(), r.CancelID());
         },
         &I::AsyncCancelUpdate,
         L"IOPCHDA_AsyncUpdate::Cancel"},
        {"AsyncDeleteAtTime",
         L"IOPCHDA_AsyncUpdate::DeleteAtTime",
         &IID_IOPCHDA_AsyncUpdate,
         {kHandles, kTimeStamps, kErrors, kCancelID},
         {kNumItems},
         {{kHandles, kNumItems}, {kTimeStamps, kNumItems}},
         [](I* i, Request& r) {
             return i->AsyncDeleteAtTime(r.tid, r.numItems, r.In(kHandles), r.In(kTimeStamps), r.Errors(),
                                         r.CancelID());
         },
         &I::AsyncCancelUpdate,
         L"IOPCHDA_AsyncUpdate::Cancel"},
        {"AsyncReadAnnotations",
         L"IOPCHDA_AsyncAnnotations::Read",
         &IID_IOPCHDA_AsyncAnnotations,
         {kStart, kEnd, kHandles, kErrors, kCancelID},
         {kNumItems},
         {{kHandles, kNumItems}},
         [](I* i, Request& r) {
             return i->AsyncReadAnnotations(r.tid, r.Start(), r.End(), r.numItems, r.In(kHandles), r.Errors(),
                                            r.CancelID());
         },
         &I::AsyncCancelAnnotations,
         L"IOPCHDA_AsyncAnnotations::Cancel"},
        {"AsyncInsertAnnotations",
         nullptr,
         nullptr,
         {kHandles, kTimeStamps, kAnnotations, kErrors, kCancelID},
         {kNumItems},
         {{kHandles, kNumItems}, {kTimeStamps, kNumItems}, {kAnnotations, kNumItems}},
         [](I* i, Request& r) {
             return i->AsyncInsertAnnotations(r.tid, r.numItems, r.In(kHandles), r.In(kTimeStamps), r.In(kAnnotations),
                                              r.Errors(), r.CancelID());
         },
         nullptr,
         nullptr},
        {"AsyncPlaybackRaw",
         L"IOPCHDA_Playback::ReadRawWithUpdate",
         &IID_IOPCHDA_Playback,
         {kStart, kEnd, kHandles, kErrors, kCancelID},
         {kNumItems},
         {{kHandles, kNumItems}},
         [](I* i, Request& r) {
             return i->AsyncPlaybackRaw(r.tid, r.Start(), r.End(), r.numValues, r.updateDuration, r.updateInterval,
                                        r.numItems, r.In(kHandles), r.Errors(), r.CancelID());
         },
         &I::AsyncCancelPlayback,
         L"IOPCHDA_Playback::Cancel"},
        {"AsyncPlaybackProcessed",
         L"IOPCHDA_Playback::ReadProcessedWithUpdate",
         &IID_IOPCHDA_Playback,
         {kStart, kEnd, kHandles, kAggregates, kErrors, kCancelID},
         {kNumItems},
         {{kHandles, kNumItems}, {kAggregates, kNumItems}},
         [](I* i, Request& r) {
             return i->AsyncPlaybackProcessed(r.tid, r.Start(), r.End(), r.resampleInterval, r.numIntervals,
                                              r.updateInterval, r.numItems, r.In(kHandles), r.In(kAggregates),
                                              r.Errors(), r.CancelID());
         },
         &I::AsyncCancelPlayback,
         L"IOPCHDA_Playback::Cancel"},
    };
    return members;
}

}  // namespace asynctest
