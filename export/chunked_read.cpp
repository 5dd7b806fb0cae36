#include "export/chunked_read.h"

#include "com/com_holders.h"
#include "opc/historian_answers.h"

namespace {

constexpr HRESULT kMoreData = static_cast<HRESULT>(0x40041003);

// An OPCHDA_TIME whose relative text is task memory, as the historian expects.
class HdaTime {
public:
    explicit HdaTime(const TimeBound& bound) : text_(Copy(bound.relative)) {
        time_.bString = bound.relative.empty() ? FALSE : TRUE;
        time_.szTime = text_.get();
        time_.ftTime = bound.utc;
    }
    OPCHDA_TIME* get() { return &time_; }
    explicit operator bool() const { return static_cast<bool>(text_); }

private:
    static CoTaskMemPtr<wchar_t> Copy(const std::wstring& text) {
        auto copy = CoTaskMemPtr<wchar_t>::alloc(text.size() + 1);
        if (copy) lstrcpyW(copy.get(), text.c_str());
        return copy;
    }
    CoTaskMemPtr<wchar_t> text_;
    OPCHDA_TIME time_{};
};

// One request of the item from `from` to the end; relative bounds become the
// absolute times the historian resolved them to.
HRESULT ReadOnce(IOPCHDA_SyncRead* historian, OPCHANDLE item, ReadRequest& request, const TimeBound& from,
                 HistorianAnswer<OPCHDA_ITEM>& values, CoTaskMemPtr<HRESULT>& errors) {
    HdaTime start(from), end(request.end);
    if (!start || !end) return E_OUTOFMEMORY;
    HRESULT hr;
    if (request.processed) {
        hr = historian->ReadProcessed(start.get(), end.get(), FileTimeOf(request.resampleInterval), 1, &item,
                                      &request.aggregate, values.put(), errors.put());
    } else {
        hr = historian->ReadRaw(start.get(), end.get(), request.valuesPerRequest, FALSE, 1, &item, values.put(),
                                errors.put());
    }
    if (SUCCEEDED(hr)) {
        if (!from.relative.empty()) request.start = {L"", start.get()->ftTime};
        if (!request.end.relative.empty()) request.end = {L"", end.get()->ftTime};
    }
    return hr;
}

// What is wrong with an answer the historian called a success, or null. The
// arrays are those of one item; a failed item's values are never read.
const char* FlawOf(const HistorianAnswer<OPCHDA_ITEM>& values, const CoTaskMemPtr<HRESULT>& errors) {
    if (!values || !errors) return "an answer without its item or code array";
    const OPCHDA_ITEM& answer = values[0];
    if (FAILED(errors[0]) || answer.dwCount == 0) return nullptr;
    if (!answer.pftTimeStamps || !answer.pdwQualities || !answer.pvDataValues)
        return "values without their time stamps, qualities or values";
    for (DWORD k = 0; k < answer.dwCount; ++k)
        if (Ticks(answer.pftTimeStamps[k]) < 0) return "a time stamp beyond the last file time";
    return nullptr;
}

}  // namespace

ItemOutcome ReadItemHistory(IOPCHDA_SyncRead* historian, OPCHANDLE item, ReadRequest& request, const ValueSink& sink,
                            const ProgressSink& progress) {
    ItemOutcome outcome;
    TimeBound from = request.start;
    // The raw answer that continues a cut one starts again with the value(s)
    // at the time where the cut one ended; those were handed on already.
    bool haveLast = false;
    std::int64_t lastTime = 0;
    std::uint64_t handedAtLast = 0;
    for (;;) {
        HistorianAnswer<OPCHDA_ITEM> values(1);
        CoTaskMemPtr<HRESULT> errors;
        outcome.call = ReadOnce(historian, item, request, from, values, errors);
        if (FAILED(outcome.call)) return outcome;
        ++outcome.requests;
        if (outcome.requests == 1) from = request.start;
        if ((outcome.broken = FlawOf(values, errors))) return outcome;
        outcome.item = errors[0];
        if (FAILED(outcome.item)) return outcome;

        const OPCHDA_ITEM& answer = values[0];
        const std::uint64_t before = outcome.values;
        std::uint64_t repeated = haveLast && !request.processed ? handedAtLast : 0;
        for (DWORD k = 0; k < answer.dwCount; ++k) {
            const std::int64_t time = Ticks(answer.pftTimeStamps[k]);
            if (repeated > 0 && time == lastTime) {
                --repeated;
                continue;
            }
            repeated = 0;
            sink(answer.pftTimeStamps[k], answer.pvDataValues[k], answer.pdwQualities[k]);
            ++outcome.values;
            handedAtLast = haveLast && time == lastTime ? handedAtLast + 1 : 1;
            haveLast = true;
            lastTime = time;
        }
        if (outcome.item != kMoreData) return outcome;
        if (outcome.values == before || answer.dwCount == 0) {
            outcome.stalled = true;
            return outcome;
        }
        if (request.processed) {
            // Intervals follow each other from the start; an aggregate's time
            // stamp (the actual time of a minimum, say) need not mark one.
            const bool forward = Ticks(request.start.utc) <= Ticks(request.end.utc);
            std::int64_t step = 0, next = 0;
            if (__builtin_mul_overflow(static_cast<std::int64_t>(answer.dwCount), request.resampleInterval, &step) ||
                __builtin_add_overflow(Ticks(from.utc), forward ? step : -step, &next) || next < 0) {
                outcome.broken = "more intervals than file times hold";
                return outcome;
            }
            from = {L"", FileTimeOf(next)};
        } else {
            from = {L"", FileTimeOf(lastTime)};
        }
        progress(outcome.values, from.utc);
    }
}
