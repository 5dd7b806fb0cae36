// What the export reads of every item: the kind of history, its range, and how
// much one request asks for.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "export/export_time.h"

enum class HistoryKind { Raw, Processed, AtTime, Modified, Annotations, Attributes };

// Values (raw, modified), intervals (processed) or time stamps (at time) one
// request asks for unless --chunk says otherwise: an answer of this many
// values is a few hundred kilobytes, however long the range.
constexpr DWORD kDefaultChunk = 10'000;

struct ReadRequest {
    HistoryKind kind = HistoryKind::Raw;
    TimeBound start, end;
    DWORD valuesPerRequest = kDefaultChunk;
    DWORD aggregate = 0;
    std::int64_t resampleInterval = 0;  // 100 ns units
    // Values at given times: those of the command line, then those of the file.
    std::vector<FILETIME> times;
    std::wstring timesFile;
    // Attributes by the historian's name or by number; none: every one it lists.
    std::vector<std::wstring> attributes;
};
