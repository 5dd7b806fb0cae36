#include "export/history_reader.h"

#include <algorithm>
#include <vector>

namespace {

constexpr HRESULT kMoreData = static_cast<HRESULT>(0x40041003);

// The rows written at the latest time stamp so far. The answer that continues
// a cut one starts again at that time and sends the values there again, in
// any order and among those the cut one did not reach: a row is skipped only
// when it matches, as written, one of those rows not matched yet. So no value
// is written twice and none is dropped, whatever the order.
class Seam {
public:
    // Before an answer that continues at the latest time.
    void Continue() {
        open_ = have_;
        matched_.assign(rows_.size(), false);
    }
    // Whether the row at `time` was written before the cut (it is matched then).
    bool WrittenBefore(std::int64_t time, const std::string& line) {
        if (!open_) return false;
        if (time != time_) return open_ = false;
        for (size_t i = 0; i < matched_.size(); ++i)
            if (!matched_[i] && rows_[i] == line) return matched_[i] = true;
        return false;
    }
    // A row written at the answer's last time stamp, where the next one starts.
    void Note(std::int64_t time, const std::string& line) {
        if (!have_ || time != time_) {
            rows_.clear();
            time_ = time;
            have_ = true;
        }
        rows_.push_back(line);
    }

private:
    bool have_ = false, open_ = false;
    std::int64_t time_ = 0;
    std::vector<std::string> rows_;
    std::vector<bool> matched_;
};

class Reader {
public:
    Reader(Series& series, ReadRequest& request, std::string_view item, RowBuilder& row, RowSink& sink)
        : series_(series), request_(request), item_(item), row_(row), sink_(sink) {}

    void ByTime();
    void ByIntervals();
    void ByTimeStamps(TimeList& times);
    SeriesOutcome outcome;

private:
    // One request; false when the read of the series ends with it.
    bool Ask(const Query& query);
    // The answer's rows, but those written before its seam.
    void Write(Seam* seam);

    Series& series_;
    ReadRequest& request_;
    std::string_view item_;
    RowBuilder& row_;
    RowSink& sink_;
};

bool Reader::Ask(const Query& query) {
    outcome.call = series_.Request(query);
    if (FAILED(outcome.call)) return false;
    ++outcome.requests;
    if ((outcome.broken = series_.Flaw())) return false;
    outcome.item = series_.Code();
    return SUCCEEDED(outcome.item);
}

void Reader::Write(Seam* seam) {
    const DWORD n = series_.Count();
    if (n == 0) return;
    const std::int64_t last = series_.Time(n - 1);
    for (DWORD k = 0; k < n; ++k) {
        const std::int64_t time = series_.Time(k);
        row_.Start(item_);
        series_.Row(k, row_);
        const std::string& line = row_.Line();
        if (seam && seam->WrittenBefore(time, line)) continue;
        sink_.Write(line);
        ++outcome.values;
        if (seam && time == last) seam->Note(time, line);
    }
    sink_.Reached(outcome.values, last);
}

void Reader::ByTime() {
    TimeBound from = request_.start;
    Seam seam;
    for (bool first = true;; first = false) {
        TimeBound to = request_.end;
        if (!Ask({&from, &to, request_.valuesPerRequest})) return;
        if (first) {
            request_.start = from;
            request_.end = to;
        } else {
            seam.Continue();
        }
        const std::uint64_t before = outcome.values;
        Write(&seam);
        if (outcome.item != kMoreData) return;
        const DWORD n = series_.Count();
        if (n == 0 || outcome.values == before) {
            outcome.stalled = true;
            return;
        }
        // The next answer starts at the last time; one that went back would never end.
        const std::int64_t next = series_.Time(n - 1), at = TicksOf(from.utc);
        const bool forward = TicksOf(request_.start.utc) <= TicksOf(request_.end.utc);
        if (forward ? next < at : next > at) {
            outcome.broken = "more data before the time it was asked from";
            return;
        }
        from = {L"", FileTimeOf(next)};
    }
}

void Reader::ByIntervals() {
    if (!request_.start.relative.empty() || !request_.end.relative.empty()) {
        TimeBound from = request_.start, to = request_.end;
        outcome.call = series_.Resolve({&from, &to, 1});
        if (FAILED(outcome.call)) return;
        ++outcome.requests;
        request_.start = from;
        request_.end = to;
    }
    // Windows of whole intervals from the start, so that they lie where the
    // intervals of one request over the range would.
    const std::int64_t start = TicksOf(request_.start.utc), end = TicksOf(request_.end.utc);
    const std::int64_t interval = request_.resampleInterval;
    const bool forward = start <= end;
    std::int64_t window;
    if (__builtin_mul_overflow(interval, static_cast<std::int64_t>(request_.valuesPerRequest), &window))
        window = INT64_MAX;
    std::int64_t at = start;
    do {
        const std::int64_t span = std::min(window, forward ? end - at : at - end);
        const std::int64_t windowEnd = forward ? at + span : at - span;
        for (std::int64_t from = at;;) {
            TimeBound first{L"", FileTimeOf(from)}, last{L"", FileTimeOf(windowEnd)};
            if (!Ask({&first, &last})) return;
            const std::uint64_t before = outcome.values;
            Write(nullptr);
            if (outcome.item != kMoreData) break;
            // An answer cut short continues at the first interval it did not
            // contain; an aggregate's time stamp (a minimum's, say) need not mark one.
            std::int64_t step = 0;
            if (outcome.values == before) {
                outcome.stalled = true;
                return;
            }
            if (__builtin_mul_overflow(static_cast<std::int64_t>(series_.Count()), interval, &step) ||
                step > (forward ? windowEnd - from : from - windowEnd)) {
                outcome.broken = "more intervals than the range holds";
                return;
            }
            from += forward ? step : -step;
            if (from == windowEnd) break;
        }
        at = windowEnd;
    } while (at != end);
}

void Reader::ByTimeStamps(TimeList& times) {
    times.Rewind();
    std::vector<FILETIME> part;
    while (const DWORD n = times.Next(part, request_.valuesPerRequest)) {
        for (DWORD done = 0; done < n;) {
            Query query;
            query.times = part.data() + done;
            query.numTimes = n - done;
            if (!Ask(query)) return;
            const DWORD count = series_.Count();
            if (count > n - done) {
                outcome.broken = "more values than time stamps asked for";
                return;
            }
            Write(nullptr);
            if (outcome.item != kMoreData) break;
            if (count == 0) {
                outcome.stalled = true;
                return;
            }
            done += count;
        }
    }
}

}  // namespace

SeriesOutcome ReadSeries(Series& series, ReadRequest& request, TimeList* times, std::string_view item, RowBuilder& row,
                         RowSink& sink) {
    Reader reader(series, request, item, row, sink);
    if (request.kind == HistoryKind::Processed)
        reader.ByIntervals();
    else if (request.kind == HistoryKind::AtTime && times)
        reader.ByTimeStamps(*times);
    else
        reader.ByTime();
    return reader.outcome;
}
