// One series of history as the reader continues it, request after request:
// an item's values of one kind, or one attribute of an item. A series holds
// the historian's last answer until its next request, and turns each value of
// it into the fields of a row.
#pragma once

#include <windows.h>

#include <cstdint>

#include "export/csv_rows.h"
#include "export/export_time.h"

// What one request asks for: a part of the range (the texts of relative
// bounds come back as the times the historian resolved them to) and a number
// of values, or the time stamps of values at given times.
struct Query {
    TimeBound* from = nullptr;
    TimeBound* to = nullptr;
    DWORD count = 0;
    const FILETIME* times = nullptr;
    DWORD numTimes = 0;
};

class Series {
public:
    virtual ~Series() = default;
    // The historian's result of the call; the answer is kept.
    virtual HRESULT Request(const Query& query) = 0;
    // Only the bounds of `query` resolved, at the least cost the kind has.
    virtual HRESULT Resolve(const Query& query) { return Request(query); }
    // What is wrong with a kept answer the historian called a success (no
    // arrays, values without a column, a time past file times), or null.
    // The rest is read only when there is nothing wrong.
    virtual const char* Flaw() const = 0;
    virtual HRESULT Code() const = 0;
    virtual DWORD Count() const = 0;
    virtual std::int64_t Time(DWORD k) const = 0;
    // The fields of value k after the item's.
    virtual void Row(DWORD k, RowBuilder& row) const = 0;
    // The fields a row of the series has before its values (an attribute's
    // number and name): its failure's row carries them too.
    virtual void Lead(RowBuilder&) const {}
};
