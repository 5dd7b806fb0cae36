// Reads an item's whole history over a time domain, request after request
// while the historian answers OPC_S_MOREDATA, and hands every value on once.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>

#include "export/export_time.h"
#include "opc_hda.h"

struct ReadRequest {
    TimeBound start, end;
    DWORD valuesPerRequest = 0;  // raw reads; 0 = as many as the historian gives
    bool processed = false;
    DWORD aggregate = 0;
    std::int64_t resampleInterval = 0;  // 100 ns units
};

struct ItemOutcome {
    HRESULT call = S_OK;  // a failure: the historian refused the request itself
    HRESULT item = S_OK;  // the item's code of the last answer
    // An answer that breaks the interface's promises (a success without its
    // arrays, values without their columns): what is wrong with it. Nothing of
    // that answer is handed on, and the read stops there.
    const char* broken = nullptr;
    bool stalled = false;  // OPC_S_MOREDATA without a new value: given up
    std::uint64_t values = 0;
    unsigned requests = 0;
};

using ValueSink = std::function<void(const FILETIME& time, const VARIANT& value, DWORD quality)>;
// Called after each answer with the values so far.
using ProgressSink = std::function<void(std::uint64_t values, const FILETIME& reachedTime)>;

// Reads one item. Relative bounds in `request` are replaced by the absolute
// times the historian resolved them to in its first answer, so that every
// later request (and item) reads the same domain.
ItemOutcome ReadItemHistory(IOPCHDA_SyncRead* historian, OPCHANDLE item, ReadRequest& request, const ValueSink& sink,
                            const ProgressSink& progress);
