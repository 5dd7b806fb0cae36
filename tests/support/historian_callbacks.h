// What a historian sends the server object's callback interface: one row per delivery, with the event it raises
// and that event's arguments as the kit's printer shows them.
#pragma once

#include "opc_hda.h"
#include "support/sim_fixture.h"

namespace comtest {

// What the rows send: items 11 (three values, aggregate 2) and 12 (one value,
// aggregate 3, failed at the historian), and broken variants of them.
struct Sent {
    DWORD tid;
    HRESULT status;
    FILETIME t[4] = {{1, 0x01DB0000}, {2, 0x01DB0000}, {3, 0x01DB0000}, {4, 0x01DB0000}};
    VARIANT v[4] = {VarR8(1.5), VarR8(2.5), VarR8(3.5), VarR8(9.0)};
    DWORD q[4] = {0xC0, 0xC0, 0xC0, 0xC0};
    OPCHDA_EDITTYPE edits[4] = {OPCHDA_INSERT, OPCHDA_INSERT, OPCHDA_INSERT, OPCHDA_INSERT};
    LPWSTR notes[4] = {const_cast<LPWSTR>(L"a"), notes[0], notes[0], notes[0]};
    HRESULT codes[2] = {S_OK, kInvalidHandle}, ok[2] = {S_OK, S_OK}, noData[1] = {kNoData};
    OPCHANDLE handles[2] = {11, 12};
    OPCHDA_ITEM items[2] = {{11, 2, 3, t, q, v}, {12, 3, 1, t + 3, q + 3, v + 3}}, empty[1] = {{5, 0, 0, t, q, v}};
    OPCHDA_ITEM huge[2] = {items[0], {12, 3, 0xFFFFFFFFu, nullptr, nullptr, nullptr}};  // cannot be a history
    OPCHDA_ITEM *slice[2] = {&items[0], &items[1]}, *half[2] = {&items[0], nullptr};
    OPCHDA_MODIFIEDITEM modified[2] = {{11, 3, t, q, v, t, edits, notes}, {12, 1, t + 3, q, v + 3, t, edits, notes}};
    OPCHDA_ATTRIBUTE attributes[2] = {{0, 3, 11, t, v}, {0, 1, 12, t + 3, v + 3}};
    OPCHDA_ANNOTATION annotations[2] = {{11, 3, t, notes, t, notes}, {12, 1, t + 3, notes, t, notes}};
};
using Callback = IOPCHDA_DataCallback;

struct CallbackRow {
    const char* name;
    DISPID id;            // 0: nothing raised, the historian is told E_OUTOFMEMORY
    const wchar_t* args;  // after the transaction and the status
    HRESULT (*call)(Callback*, Sent&);
};

// clang-format off
inline const CallbackRow kCallbacks[] = {
    {"OnDataChange", 1, L"2 [11 12] [2 3] {(1.5 2.5 3.5) _} [0 0xC0040001]", [](Callback* c, Sent& s) { return c->OnDataChange(s.tid, s.status, 2, s.items, s.codes); }},
    {"OnReadComplete", 2, L"2 [11 12] [2 3] {(1.5 2.5 3.5) _} [0 0xC0040001]", [](Callback* c, Sent& s) { return c->OnReadComplete(s.tid, s.status, 2, s.items, s.codes); }},
    {"OnReadModifiedComplete", 3, L"2 [11 12] {(1.5 2.5 3.5) _} [0 0xC0040001]", [](Callback* c, Sent& s) { return c->OnReadModifiedComplete(s.tid, s.status, 2, s.modified, s.codes); }},
    {"OnReadAttributeComplete", 4, L"99 2 [11 12] {(1.5 2.5 3.5) _} [0 0xC0040001]", [](Callback* c, Sent& s) { return c->OnReadAttributeComplete(s.tid, s.status, 99, 2, s.attributes, s.codes); }},
    {"OnReadAnnotations", 5, L"2 [11 12] {('a' 'a' 'a') _} [0 0xC0040001]", [](Callback* c, Sent& s) { return c->OnReadAnnotations(s.tid, s.status, 2, s.annotations, s.codes); }},
    {"OnInsertAnnotations", 6, L"2 [11 12] [0 0xC0040001]", [](Callback* c, Sent& s) { return c->OnInsertAnnotations(s.tid, s.status, 2, s.handles, s.codes); }},
    {"OnPlayback", 7, L"2 [11 12] [2 3] {(1.5 2.5 3.5) _} [0 0xC0040001]", [](Callback* c, Sent& s) { return c->OnPlayback(s.tid, s.status, 2, s.slice, s.codes); }},
    {"OnUpdateComplete", 8, L"2 [11 12] [0 0xC0040001]", [](Callback* c, Sent& s) { return c->OnUpdateComplete(s.tid, s.status, 2, s.handles, s.codes); }},
    // No data is an empty history; no items, empty arrays.
    {"NoData", 2, L"1 [5] [0] {()} [0x40041002]", [](Callback* c, Sent& s) { return c->OnReadComplete(s.tid, s.status, 1, s.empty, s.noData); }},
    {"NoItems", 1, L"0 [] [] {} []", [](Callback* c, Sent& s) { return c->OnDataChange(s.tid, s.status, 0, nullptr, nullptr); }},
    {"NoHandles", 8, L"0 [] []", [](Callback* c, Sent& s) { return c->OnUpdateComplete(s.tid, s.status, 0, nullptr, nullptr); }},
    {"HistoryTooLarge", 1, L"2 [11 12] [2 3] {(1.5 2.5 3.5) _} [0 0x8007000E]", [](Callback* c, Sent& s) { return c->OnDataChange(s.tid, s.status, 2, s.huge, s.ok); }},
    // A historian breaking its promises (a failure code it sent for the item stands).
    {"NullItems", 1, L"2 [0 0] [0 0] {_ _} [0x80004003 0x80004003]", [](Callback* c, Sent& s) { return c->OnDataChange(s.tid, s.status, 2, nullptr, s.ok); }},
    {"NullErrors", 2, L"2 [11 12] [2 3] {_ _} [0x80004003 0x80004003]", [](Callback* c, Sent& s) { return c->OnReadComplete(s.tid, s.status, 2, s.items, nullptr); }},
    {"NullInSlice", 7, L"2 [11 0] [2 0] {(1.5 2.5 3.5) _} [0 0xC0040001]", [](Callback* c, Sent& s) { return c->OnPlayback(s.tid, s.status, 2, s.half, s.codes); }},
    {"NullSlice", 7, L"2 [0 0] [0 0] {_ _} [0x80004003 0x80004003]", [](Callback* c, Sent& s) { return c->OnPlayback(s.tid, s.status, 2, nullptr, nullptr); }},
    {"NullHandles", 8, L"2 [0 0] [0x80004003 0xC0040001]", [](Callback* c, Sent& s) { return c->OnUpdateComplete(s.tid, s.status, 2, nullptr, s.codes); }},
    {"NullAnnotationHandles", 6, L"1 [0] [0x80004003]", [](Callback* c, Sent& s) { return c->OnInsertAnnotations(s.tid, s.status, 1, nullptr, nullptr); }},
    {"NullAnnotations", 5, L"1 [0] {_} [0x80004003]", [](Callback* c, Sent& s) { return c->OnReadAnnotations(s.tid, s.status, 1, nullptr, s.ok); }},
    {"CountTooLargeForHandles", 0, L"", [](Callback* c, Sent& s) { return c->OnUpdateComplete(s.tid, s.status, 0x40000000u, nullptr, nullptr); }},
    {"CountTooLargeForItems", 0, L"", [](Callback* c, Sent& s) { return c->OnDataChange(s.tid, s.status, 0xFFFFFFFFu, nullptr, nullptr); }},
};
// clang-format on

}  // namespace comtest
