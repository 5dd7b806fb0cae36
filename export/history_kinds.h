// The series of each kind of history, and the columns of their rows.
#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "export/history_series.h"
#include "export/read_request.h"
#include "opc_hda.h"

// Raw, processed, at-time and modified values of one item (annotations:
// through `annotations`, which is null when the historian has none).
std::unique_ptr<Series> MakeItemSeries(IOPCHDA_SyncRead* historian, IOPCHDA_SyncAnnotations* annotations,
                                       OPCHANDLE item, const ReadRequest& request);
// The values of one attribute of one item; `name` as the historian lists it.
std::unique_ptr<Series> MakeAttributeSeries(IOPCHDA_SyncRead* historian, OPCHANDLE item, DWORD attribute,
                                            const std::wstring& name);

// The header of a kind's rows; a spreadsheet's has the value's UTC time
// after its local time.
std::vector<const char*> ColumnsOf(HistoryKind kind, bool spreadsheet);
// How many of them come before a series' values (an attribute's number and name).
int LeadColumnsOf(HistoryKind kind);
