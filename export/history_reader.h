// Reads a series' whole history, request after request while the historian
// answers OPC_S_MOREDATA, and writes every value once: in the range (raw,
// modified, annotations, attributes: each answer continues at the time of
// the last), in windows of intervals (processed), or in parts of the list of
// time stamps (at time). A request asks for a bounded number of values, so
// that the memory an export needs does not grow with its range.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "export/history_series.h"
#include "export/read_request.h"
#include "export/time_list.h"

struct SeriesOutcome {
    HRESULT call = S_OK;  // a failure: the historian refused the request itself
    HRESULT item = S_OK;  // the series' code of the last answer
    // An answer that breaks the interface's promises: what is wrong with it.
    // Nothing of that answer is written, and the read stops there.
    const char* broken = nullptr;
    bool stalled = false;  // OPC_S_MOREDATA without a new value: given up
    std::uint64_t values = 0;
    unsigned requests = 0;
};

// Where the rows go, and how far the read has come (after every answer).
class RowSink {
public:
    virtual void Write(const std::string& line) = 0;
    virtual void Reached(std::uint64_t values, std::int64_t time) = 0;

protected:
    ~RowSink() = default;
};

// Reads one series. Relative bounds in `request` are replaced by the absolute
// times the historian resolved them to in its first answer, so that every
// later request (and series) reads the same range. `times` is the list of
// values at given times (null for the other kinds), read from its start.
SeriesOutcome ReadSeries(Series& series, ReadRequest& request, TimeList* times, std::string_view item, RowBuilder& row,
                         RowSink& sink);
