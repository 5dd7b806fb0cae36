#include "support/item_requests.h"

#include "opc_hda.h"
#include "support/sim_fixture.h"

namespace comtest {

Request::Request(LONG ramp, LONG step) {
    serverHandle = ramp;
    DATE now = LocalNow();
    arrays[kHandles].reset(MakeLongArray({kNotRead, ramp, step, kNotRead}, 0));
    arrays[kAggregates].reset(MakeLongArray({kNotRead, 1, 3, kNotRead}, 0));
    arrays[kTimeStamps].reset(
        MakeDateArray({kNotADate, FreeStamp(now - kHour), FreeStamp(now - 2 * kHour), kNotADate}, 0));
    arrays[kValues].reset(MakeVariantArray({VarEmpty(), VarR8(1.5), VarR8(2.5), VarEmpty()}, 0));
    arrays[kQualities].reset(MakeLongArray({kNotRead, 0xC0, 0x40, kNotRead}, 0));
    arrays[kAttributes].reset(MakeLongArray({kNotRead, 1, 2, kNotRead}, 0));
    arrays[kItemIDs].reset(MakeBstrArray({L"Plant/NoSuchItem", kSine, kStep, L""}, 0));
    arrays[kClientHandles].reset(MakeLongArray({kNotRead, 11, 12, kNotRead}, 0));
    arrays[kAnnotations].reset(MakeVariantArray({VarEmpty(), VarBstr(L"one"), VarBstr(L"two"), VarEmpty()}, 0));
}

const std::vector<Member>& Members() {
    using I = IOPCHDAItems;
    using R = Request;
    const auto read = &I::AsyncCancelRead;
    const auto update = &I::AsyncCancelUpdate;
    const wchar_t* readCancel = L"IOPCHDA_AsyncRead::Cancel";
    const wchar_t* updateCancel = L"IOPCHDA_AsyncUpdate::Cancel";
    const std::pair<DATE R::*, const wchar_t*> interval{&R::updateInterval, L"interval"},
        resample{&R::resampleInterval, L"resample"}, duration{&R::updateDuration, L"duration"};
    const std::vector<std::pair<Arg, Count>> values = {
        {kHandles, kNumItems}, {kTimeStamps, kNumItems}, {kValues, kNumItems}, {kQualities, kNumItems}};
    // clang-format off
    static const std::vector<Member> members = {
        {"SyncReadRaw", L"IOPCHDA_SyncRead::ReadRaw", &IID_IOPCHDA_SyncRead, {kStart, kEnd, kHandles, kItemValues, kErrors}, {kNumItems}, {{kHandles, kNumItems}}, [](I* i, R& r) { return i->SyncReadRaw(r.Or(kStart, r.times.start.get()), r.Or(kEnd, r.times.end.get()), r.numValues, r.bounds, r.numItems, r.In(kHandles), r.Or(kItemValues, &r.itemValues), r.Or(kErrors, &r.errors)); }},
        {"SyncReadProcessed", L"IOPCHDA_SyncRead::ReadProcessed", &IID_IOPCHDA_SyncRead, {kStart, kEnd, kHandles, kAggregates, kItemValues, kErrors}, {kNumItems}, {{kHandles, kNumItems}, {kAggregates, kNumItems}}, [](I* i, R& r) { return i->SyncReadProcessed(r.Or(kStart, r.times.start.get()), r.Or(kEnd, r.times.end.get()), r.resampleInterval, r.numItems, r.In(kHandles), r.In(kAggregates), r.Or(kItemValues, &r.itemValues), r.Or(kErrors, &r.errors)); }, nullptr, nullptr, {resample}},
        {"SyncReadAtTime", L"IOPCHDA_SyncRead::ReadAtTime", &IID_IOPCHDA_SyncRead, {kTimeStamps, kHandles, kItemValues, kErrors}, {kNumTimeStamps, kNumItems}, {{kTimeStamps, kNumTimeStamps}, {kHandles, kNumItems}}, [](I* i, R& r) { return i->SyncReadAtTime(r.numTimeStamps, r.In(kTimeStamps), r.numItems, r.In(kHandles), r.Or(kItemValues, &r.itemValues), r.Or(kErrors, &r.errors)); }},
        {"SyncReadModified", L"IOPCHDA_SyncRead::ReadModified", &IID_IOPCHDA_SyncRead, {kStart, kEnd, kHandles, kItemValues, kErrors}, {kNumItems}, {{kHandles, kNumItems}}, [](I* i, R& r) { return i->SyncReadModified(r.Or(kStart, r.times.start.get()), r.Or(kEnd, r.times.end.get()), r.numValues, r.numItems, r.In(kHandles), r.Or(kItemValues, &r.itemValues), r.Or(kErrors, &r.errors)); }},
        {"SyncReadAttribute", L"IOPCHDA_SyncRead::ReadAttribute", &IID_IOPCHDA_SyncRead, {kStart, kEnd, kAttributes, kItemValues, kErrors}, {kNumAttributes}, {{kAttributes, kNumAttributes}}, [](I* i, R& r) { return i->SyncReadAttribute(r.Or(kStart, r.times.start.get()), r.Or(kEnd, r.times.end.get()), r.serverHandle, r.numAttributes, r.In(kAttributes), r.Or(kItemValues, &r.itemValues), r.Or(kErrors, &r.errors)); }},
        {"SyncReadAnnotations", L"IOPCHDA_SyncAnnotations::Read", &IID_IOPCHDA_SyncAnnotations, {kStart, kEnd, kHandles, kItemValues, kErrors}, {kNumItems}, {{kHandles, kNumItems}}, [](I* i, R& r) { return i->SyncReadAnnotations(r.Or(kStart, r.times.start.get()), r.Or(kEnd, r.times.end.get()), r.numItems, r.In(kHandles), r.Or(kItemValues, &r.itemValues), r.Or(kErrors, &r.errors)); }},
        {"SyncInsert", L"IOPCHDA_SyncUpdate::Insert", &IID_IOPCHDA_SyncUpdate, {kHandles, kTimeStamps, kValues, kQualities, kErrors}, {kNumItems}, values, [](I* i, R& r) { return i->SyncInsert(r.numItems, r.In(kHandles), r.In(kTimeStamps), r.In(kValues), r.In(kQualities), r.Or(kErrors, &r.errors)); }},
        {"SyncReplace", L"IOPCHDA_SyncUpdate::Replace", &IID_IOPCHDA_SyncUpdate, {kHandles, kTimeStamps, kValues, kQualities, kErrors}, {kNumItems}, values, [](I* i, R& r) { return i->SyncReplace(r.numItems, r.In(kHandles), r.In(kTimeStamps), r.In(kValues), r.In(kQualities), r.Or(kErrors, &r.errors)); }},
        {"SyncInsertReplace", L"IOPCHDA_SyncUpdate::InsertReplace", &IID_IOPCHDA_SyncUpdate, {kHandles, kTimeStamps, kValues, kQualities, kErrors}, {kNumItems}, values, [](I* i, R& r) { return i->SyncInsertReplace(r.numItems, r.In(kHandles), r.In(kTimeStamps), r.In(kValues), r.In(kQualities), r.Or(kErrors, &r.errors)); }},
        {"SyncDeleteRaw", L"IOPCHDA_SyncUpdate::DeleteRaw", &IID_IOPCHDA_SyncUpdate, {kStart, kEnd, kHandles, kErrors}, {kNumItems}, {{kHandles, kNumItems}}, [](I* i, R& r) { return i->SyncDeleteRaw(r.Or(kStart, r.times.start.get()), r.Or(kEnd, r.times.end.get()), r.numItems, r.In(kHandles), r.Or(kErrors, &r.errors)); }},
        {"SyncDeleteAtTime", L"IOPCHDA_SyncUpdate::DeleteAtTime", &IID_IOPCHDA_SyncUpdate, {kHandles, kTimeStamps, kErrors}, {kNumItems}, {{kHandles, kNumItems}, {kTimeStamps, kNumItems}}, [](I* i, R& r) { return i->SyncDeleteAtTime(r.numItems, r.In(kHandles), r.In(kTimeStamps), r.Or(kErrors, &r.errors)); }},
        {"SyncInsertAnnotations", nullptr, nullptr, {kHandles, kTimeStamps, kAnnotations, kErrors}, {kNumItems}, {{kHandles, kNumItems}, {kTimeStamps, kNumItems}, {kAnnotations, kNumItems}}, [](I* i, R& r) { return i->SyncInsertAnnotations(r.numItems, r.In(kHandles), r.In(kTimeStamps), r.In(kAnnotations), r.Or(kErrors, &r.errors)); }},

        {"AsyncReadRaw", L"IOPCHDA_AsyncRead::ReadRaw", &IID_IOPCHDA_AsyncRead, {kStart, kEnd, kHandles, kErrors, kCancelID}, {kNumItems}, {{kHandles, kNumItems}}, [](I* i, R& r) { return i->AsyncReadRaw(r.tid, r.Or(kStart, r.times.start.get()), r.Or(kEnd, r.times.end.get()), r.numValues, r.bounds, r.numItems, r.In(kHandles), r.Or(kErrors, &r.errors), r.Or(kCancelID, &r.cancel)); }, read, readCancel},
        {"AsyncAdviseRaw", L"IOPCHDA_AsyncRead::AdviseRaw", &IID_IOPCHDA_AsyncRead, {kStart, kHandles, kErrors, kCancelID}, {kNumItems}, {{kHandles, kNumItems}}, [](I* i, R& r) { return i->AsyncAdviseRaw(r.tid, r.Or(kStart, r.times.start.get()), r.updateInterval, r.numItems, r.In(kHandles), r.Or(kErrors, &r.errors), r.Or(kCancelID, &r.cancel)); }, read, readCancel, {interval}},
        {"AsyncReadProcessed", L"IOPCHDA_AsyncRead::ReadProcessed", &IID_IOPCHDA_AsyncRead, {kStart, kEnd, kHandles, kAggregates, kErrors, kCancelID}, {kNumItems}, {{kHandles, kNumItems}, {kAggregates, kNumItems}}, [](I* i, R& r) { return i->AsyncReadProcessed(r.tid, r.Or(kStart, r.times.start.get()), r.Or(kEnd, r.times.end.get()), r.resampleInterval, r.numItems, r.In(kHandles), r.In(kAggregates), r.Or(kErrors, &r.errors), r.Or(kCancelID, &r.cancel)); }, read, readCancel, {resample}},
        {"AsyncAdviseProcessed", L"IOPCHDA_AsyncRead::AdviseProcessed", &IID_IOPCHDA_AsyncRead, {kStart, kHandles, kAggregates, kErrors, kCancelID}, {kNumItems}, {{kHandles, kNumItems}, {kAggregates, kNumItems}}, [](I* i, R& r) { return i->AsyncAdviseProcessed(r.tid, r.Or(kStart, r.times.start.get()), r.resampleInterval, r.numIntervals, r.numItems, r.In(kHandles), r.In(kAggregates), r.Or(kErrors, &r.errors), r.Or(kCancelID, &r.cancel)); }, read, readCancel, {resample}},
        {"AsyncReadAtTime", L"IOPCHDA_AsyncRead::ReadAtTime", &IID_IOPCHDA_AsyncRead, {kTimeStamps, kHandles, kErrors, kCancelID}, {kNumTimeStamps, kNumItems}, {{kTimeStamps, kNumTimeStamps}, {kHandles, kNumItems}}, [](I* i, R& r) { return i->AsyncReadAtTime(r.tid, r.numTimeStamps, r.In(kTimeStamps), r.numItems, r.In(kHandles), r.Or(kErrors, &r.errors), r.Or(kCancelID, &r.cancel)); }, read, readCancel},
        {"AsyncReadModified", L"IOPCHDA_AsyncRead::ReadModified", &IID_IOPCHDA_AsyncRead, {kStart, kEnd, kHandles, kErrors, kCancelID}, {kNumItems}, {{kHandles, kNumItems}}, [](I* i, R& r) { return i->AsyncReadModified(r.tid, r.Or(kStart, r.times.start.get()), r.Or(kEnd, r.times.end.get()), r.numValues, r.numItems, r.In(kHandles), r.Or(kErrors, &r.errors), r.Or(kCancelID, &r.cancel)); }, read, readCancel},
        {"AsyncReadAttribute", L"IOPCHDA_AsyncRead::ReadAttribute", &IID_IOPCHDA_AsyncRead, {kStart, kEnd, kAttributes, kErrors, kCancelID}, {kNumAttributes}, {{kAttributes, kNumAttributes}}, [](I* i, R& r) { return i->AsyncReadAttribute(r.tid, r.Or(kStart, r.times.start.get()), r.Or(kEnd, r.times.end.get()), r.serverHandle, r.numAttributes, r.In(kAttributes), r.Or(kErrors, &r.errors), r.Or(kCancelID, &r.cancel)); }, read, readCancel},
        {"AsyncInsert", L"IOPCHDA_AsyncUpdate::Insert", &IID_IOPCHDA_AsyncUpdate, {kHandles, kTimeStamps, kValues, kQualities, kErrors, kCancelID}, {kNumItems}, values, [](I* i, R& r) { return i->AsyncInsert(r.tid, r.numItems, r.In(kHandles), r.In(kTimeStamps), r.In(kValues), r.In(kQualities), r.Or(kErrors, &r.errors), r.Or(kCancelID, &r.cancel)); }, update, updateCancel},
        {"AsyncReplace", L"IOPCHDA_AsyncUpdate::Replace", &IID_IOPCHDA_AsyncUpdate, {kHandles, kTimeStamps, kValues, kQualities, kErrors, kCancelID}, {kNumItems}, values, [](I* i, R& r) { return i->AsyncReplace(r.tid, r.numItems, r.In(kHandles), r.In(kTimeStamps), r.In(kValues), r.In(kQualities), r.Or(kErrors, &r.errors), r.Or(kCancelID, &r.cancel)); }, update, updateCancel},
        {"AsyncInsertReplace", L"IOPCHDA_AsyncUpdate::InsertReplace", &IID_IOPCHDA_AsyncUpdate, {kHandles, kTimeStamps, kValues, kQualities, kErrors, kCancelID}, {kNumItems}, values, [](I* i, R& r) { return i->AsyncInsertReplace(r.tid, r.numItems, r.In(kHandles), r.In(kTimeStamps), r.In(kValues), r.In(kQualities), r.Or(kErrors, &r.errors), r.Or(kCancelID, &r.cancel)); }, update, updateCancel},
        {"AsyncDeleteRaw", L"IOPCHDA_AsyncUpdate::DeleteRaw", &IID_IOPCHDA_AsyncUpdate, {kStart, kEnd, kHandles, kErrors, kCancelID}, {kNumItems}, {{kHandles, kNumItems}}, [](I* i, R& r) { return i->AsyncDeleteRaw(r.tid, r.Or(kStart, r.times.start.get()), r.Or(kEnd, r.times.end.get()), r.numItems, r.In(kHandles), r.Or(kErrors, &r.errors), r.Or(kCancelID, &r.cancel)); }, update, updateCancel},
        {"AsyncDeleteAtTime", L"IOPCHDA_AsyncUpdate::DeleteAtTime", &IID_IOPCHDA_AsyncUpdate, {kHandles, kTimeStamps, kErrors, kCancelID}, {kNumItems}, {{kHandles, kNumItems}, {kTimeStamps, kNumItems}}, [](I* i, R& r) { return i->AsyncDeleteAtTime(r.tid, r.numItems, r.In(kHandles), r.In(kTimeStamps), r.Or(kErrors, &r.errors), r.Or(kCancelID, &r.cancel)); }, update, updateCancel},
        {"AsyncReadAnnotations", L"IOPCHDA_AsyncAnnotations::Read", &IID_IOPCHDA_AsyncAnnotations, {kStart, kEnd, kHandles, kErrors, kCancelID}, {kNumItems}, {{kHandles, kNumItems}}, [](I* i, R& r) { return i->AsyncReadAnnotations(r.tid, r.Or(kStart, r.times.start.get()), r.Or(kEnd, r.times.end.get()), r.numItems, r.In(kHandles), r.Or(kErrors, &r.errors), r.Or(kCancelID, &r.cancel)); }, &I::AsyncCancelAnnotations, L"IOPCHDA_AsyncAnnotations::Cancel"},
        {"AsyncInsertAnnotations", nullptr, nullptr, {kHandles, kTimeStamps, kAnnotations, kErrors, kCancelID}, {kNumItems}, {{kHandles, kNumItems}, {kTimeStamps, kNumItems}, {kAnnotations, kNumItems}}, [](I* i, R& r) { return i->AsyncInsertAnnotations(r.tid, r.numItems, r.In(kHandles), r.In(kTimeStamps), r.In(kAnnotations), r.Or(kErrors, &r.errors), r.Or(kCancelID, &r.cancel)); }},
        {"AsyncPlaybackRaw", L"IOPCHDA_Playback::ReadRawWithUpdate", &IID_IOPCHDA_Playback, {kStart, kEnd, kHandles, kErrors, kCancelID}, {kNumItems}, {{kHandles, kNumItems}}, [](I* i, R& r) { return i->AsyncPlaybackRaw(r.tid, r.Or(kStart, r.times.start.get()), r.Or(kEnd, r.times.end.get()), r.numValues, r.updateDuration, r.updateInterval, r.numItems, r.In(kHandles), r.Or(kErrors, &r.errors), r.Or(kCancelID, &r.cancel)); }, &I::AsyncCancelPlayback, L"IOPCHDA_Playback::Cancel", {duration, interval}},
        {"AsyncPlaybackProcessed", L"IOPCHDA_Playback::ReadProcessedWithUpdate", &IID_IOPCHDA_Playback, {kStart, kEnd, kHandles, kAggregates, kErrors, kCancelID}, {kNumItems}, {{kHandles, kNumItems}, {kAggregates, kNumItems}}, [](I* i, R& r) { return i->AsyncPlaybackProcessed(r.tid, r.Or(kStart, r.times.start.get()), r.Or(kEnd, r.times.end.get()), r.resampleInterval, r.numIntervals, r.updateInterval, r.numItems, r.In(kHandles), r.In(kAggregates), r.Or(kErrors, &r.errors), r.Or(kCancelID, &r.cancel)); }, &I::AsyncCancelPlayback, L"IOPCHDA_Playback::Cancel", {resample, interval}},

        // The item table's members; Remove goes last, as it takes the ramp and the step away.
        {"AddItems", L"IOPCHDA_Server::GetItemHandles", nullptr, {kItemIDs, kClientHandles, kHandlesOut, kErrors}, {kNumItems}, {{kItemIDs, kNumItems}, {kClientHandles, kNumItems}}, [](I* i, R& r) { return i->AddItems(r.numItems, r.In(kItemIDs), r.In(kClientHandles), r.Or(kHandlesOut, &r.itemValues), r.Or(kErrors, &r.errors)); }},
        {"Validate", L"IOPCHDA_Server::ValidateItemIDs", nullptr, {kItemIDs, kErrors}, {kNumItems}, {{kItemIDs, kNumItems}}, [](I* i, R& r) { return i->Validate(r.numItems, r.In(kItemIDs), r.Or(kErrors, &r.errors)); }},
        {"Remove", L"IOPCHDA_Server::ReleaseItemHandles", nullptr, {kHandles, kErrors}, {kNumItems}, {{kHandles, kNumItems}}, [](I* i, R& r) { return i->Remove(r.numItems, r.In(kHandles), r.Or(kErrors, &r.errors)); }},
    };
    // clang-format on
    return members;
}

}  // namespace comtest
