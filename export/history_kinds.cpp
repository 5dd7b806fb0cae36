#include "export/history_kinds.h"

#include "com/com_holders.h"
#include "opc/historian_answers.h"

namespace {

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
    static TaskArray<wchar_t> Copy(const std::wstring& text) {
        auto copy = TaskArray<wchar_t>::alloc(text.size() + 1);
        if (copy) lstrcpyW(copy.get(), text.c_str());
        return copy;
    }
    TaskArray<wchar_t> text_;
    OPCHDA_TIME time_{};
};

// The two bounds of a request; after a success, a relative one is replaced
// by the time the historian resolved it to.
template <class Call>
HRESULT OverRange(const Query& query, Call call) {
    HdaTime start(*query.from), end(*query.to);
    if (!start || !end) return E_OUTOFMEMORY;
    const HRESULT hr = call(start.get(), end.get());
    if (SUCCEEDED(hr)) {
        if (!query.from->relative.empty()) *query.from = {L"", start.get()->ftTime};
        if (!query.to->relative.empty()) *query.to = {L"", end.get()->ftTime};
    }
    return hr;
}

// What is wrong with the values of a series the historian did not fail, or
// null: a column every value needs is missing, or a time is past file times.
const char* FlawOf(HRESULT code, DWORD count, std::initializer_list<const void*> columns,
                   std::initializer_list<const FILETIME*> times, const char* missing) {
    if (FAILED(code) || count == 0) return nullptr;
    for (const void* column : columns)
        if (!column) return missing;
    for (const FILETIME* column : times)
        for (DWORD k = 0; k < count; ++k)
            if (TicksOf(column[k]) < 0) return "a time stamp beyond the last file time";
    return nullptr;
}

// One answer kept, of the structure each kind's reads return.
template <class Answer>
class AnswerSeries : public Series {
public:
    HRESULT Code() const override { return codes_[0]; }
    const char* Flaw() const override { return Arrays() ? ValuesFlaw() : "an answer without its item or code array"; }

protected:
    virtual const char* ValuesFlaw() const = 0;
    const Answer& A() const { return answer_[0]; }
    bool Arrays() const { return answer_ && codes_; }
    HistorianAnswer<Answer> answer_{1};
    TaskArray<HRESULT> codes_;
};

const wchar_t* Element(LPWSTR* texts, DWORD k) { return texts ? texts[k] : nullptr; }

class ItemValues final : public AnswerSeries<OPCHDA_ITEM> {
public:
    ItemValues(IOPCHDA_SyncRead* historian, OPCHANDLE item, const ReadRequest& request)
        : historian_(historian), item_(item), request_(request) {}
    HRESULT Request(const Query& q) override {
        switch (request_.kind) {
            case HistoryKind::AtTime:
                return historian_->ReadAtTime(q.numTimes, const_cast<FILETIME*>(q.times), 1, &item_, answer_.put(),
                                              codes_.put());
            case HistoryKind::Processed:
                return OverRange(q, [&](OPCHDA_TIME* start, OPCHDA_TIME* end) {
                    DWORD aggregate = request_.aggregate;
                    return historian_->ReadProcessed(start, end, FileTimeOf(request_.resampleInterval), 1, &item_,
                                                     &aggregate, answer_.put(), codes_.put());
                });
            default: return Resolve(q);
        }
    }
    // A raw read is also what resolves the bounds at least cost: one value.
    HRESULT Resolve(const Query& q) override {
        return OverRange(q, [&](OPCHDA_TIME* start, OPCHDA_TIME* end) {
            return historian_->ReadRaw(start, end, q.count, FALSE, 1, &item_, answer_.put(), codes_.put());
        });
    }
    const char* ValuesFlaw() const override {
        const OPCHDA_ITEM& a = A();
        return FlawOf(Code(), a.dwCount, {a.pftTimeStamps, a.pdwQualities, a.pvDataValues}, {a.pftTimeStamps},
                      "values without their time stamps, qualities or values");
    }
    DWORD Count() const override { return A().dwCount; }
    std::int64_t Time(DWORD k) const override { return TicksOf(A().pftTimeStamps[k]); }
    void Row(DWORD k, RowBuilder& row) const override {
        row.Stamp(A().pftTimeStamps[k]);
        row.Value(A().pvDataValues[k]);
        row.Quality(A().pdwQualities[k]);
        row.Empty(2);
    }

private:
    IOPCHDA_SyncRead* historian_;
    OPCHANDLE item_;
    const ReadRequest& request_;
};

class ModifiedValues final : public AnswerSeries<OPCHDA_MODIFIEDITEM> {
public:
    ModifiedValues(IOPCHDA_SyncRead* historian, OPCHANDLE item) : historian_(historian), item_(item) {}
    HRESULT Request(const Query& q) override {
        return OverRange(q, [&](OPCHDA_TIME* start, OPCHDA_TIME* end) {
            return historian_->ReadModified(start, end, q.count, 1, &item_, answer_.put(), codes_.put());
        });
    }
    const char* ValuesFlaw() const override {
        const OPCHDA_MODIFIEDITEM& a = A();
        return FlawOf(Code(), a.dwCount,
                      {a.pftTimeStamps, a.pdwQualities, a.pvDataValues, a.pftModificationTime, a.pEditType},
                      {a.pftTimeStamps, a.pftModificationTime},
                      "modifications without their time stamps, qualities, values, times or edit types");
    }
    DWORD Count() const override { return A().dwCount; }
    std::int64_t Time(DWORD k) const override { return TicksOf(A().pftTimeStamps[k]); }
    void Row(DWORD k, RowBuilder& row) const override {
        static const char* const kEdits[] = {"", "Insert", "Replace", "InsertReplace", "Delete"};
        const OPCHDA_MODIFIEDITEM& a = A();
        row.Stamp(a.pftTimeStamps[k]);
        row.Value(a.pvDataValues[k]);
        row.Quality(a.pdwQualities[k]);
        row.Time(a.pftModificationTime[k]);
        const DWORD edit = a.pEditType[k];
        if (edit >= 1 && edit <= 4)
            row.Text(kEdits[edit]);
        else
            row.Number(edit);
        row.Text(Element(a.szUser, k));
        row.Empty(2);
    }

private:
    IOPCHDA_SyncRead* historian_;
    OPCHANDLE item_;
};

class Annotations final : public AnswerSeries<OPCHDA_ANNOTATION> {
public:
    Annotations(IOPCHDA_SyncAnnotations* historian, OPCHANDLE item) : historian_(historian), item_(item) {}
    HRESULT Request(const Query& q) override {
        return OverRange(q, [&](OPCHDA_TIME* start, OPCHDA_TIME* end) {
            return historian_->Read(start, end, 1, &item_, answer_.put(), codes_.put());
        });
    }
    const char* ValuesFlaw() const override {
        const OPCHDA_ANNOTATION& a = A();
        return FlawOf(Code(), a.dwNumValues, {a.ftTimeStamps, a.ftAnnotationTime}, {a.ftTimeStamps, a.ftAnnotationTime},
                      "annotations without their time stamps or times");
    }
    DWORD Count() const override { return A().dwNumValues; }
    std::int64_t Time(DWORD k) const override { return TicksOf(A().ftTimeStamps[k]); }
    void Row(DWORD k, RowBuilder& row) const override {
        const OPCHDA_ANNOTATION& a = A();
        row.Stamp(a.ftTimeStamps[k]);
        row.Time(a.ftAnnotationTime[k]);
        row.Text(Element(a.szAnnotation, k));
        row.Text(Element(a.szUser, k));
        row.Empty(2);
    }

private:
    IOPCHDA_SyncAnnotations* historian_;
    OPCHANDLE item_;
};

class AttributeValues final : public AnswerSeries<OPCHDA_ATTRIBUTE> {
public:
    AttributeValues(IOPCHDA_SyncRead* historian, OPCHANDLE item, DWORD attribute, const std::wstring& name)
        : historian_(historian), item_(item), attribute_(attribute), name_(name) {}
    HRESULT Request(const Query& q) override {
        return OverRange(q, [&](OPCHDA_TIME* start, OPCHDA_TIME* end) {
            return historian_->ReadAttribute(start, end, item_, 1, &attribute_, answer_.put(), codes_.put());
        });
    }
    const char* ValuesFlaw() const override {
        const OPCHDA_ATTRIBUTE& a = A();
        return FlawOf(Code(), a.dwNumValues, {a.ftTimeStamps, a.vAttributeValues}, {a.ftTimeStamps},
                      "attribute values without their time stamps or values");
    }
    DWORD Count() const override { return A().dwNumValues; }
    std::int64_t Time(DWORD k) const override { return TicksOf(A().ftTimeStamps[k]); }
    void Lead(RowBuilder& row) const override {
        row.Number(attribute_);
        row.Text(name_.c_str());
    }
    void Row(DWORD k, RowBuilder& row) const override {
        Lead(row);
        row.Stamp(A().ftTimeStamps[k]);
        row.Value(A().vAttributeValues[k]);
        row.Empty(2);
    }

private:
    IOPCHDA_SyncRead* historian_;
    OPCHANDLE item_;
    DWORD attribute_;
    std::wstring name_;
};

}  // namespace

std::unique_ptr<Series> MakeItemSeries(IOPCHDA_SyncRead* historian, IOPCHDA_SyncAnnotations* annotations,
                                       OPCHANDLE item, const ReadRequest& request) {
    switch (request.kind) {
        case HistoryKind::Modified: return std::make_unique<ModifiedValues>(historian, item);
        case HistoryKind::Annotations: return std::make_unique<Annotations>(annotations, item);
        default: return std::make_unique<ItemValues>(historian, item, request);
    }
}

std::unique_ptr<Series> MakeAttributeSeries(IOPCHDA_SyncRead* historian, OPCHANDLE item, DWORD attribute,
                                            const std::wstring& name) {
    return std::make_unique<AttributeValues>(historian, item, attribute, name);
}

std::vector<const char*> ColumnsOf(HistoryKind kind, bool spreadsheet) {
    std::vector<const char*> columns{"item"};
    if (kind == HistoryKind::Attributes) columns.insert(columns.end(), {"attribute_id", "attribute"});
    columns.push_back("time");
    if (spreadsheet) columns.push_back("time_utc");
    switch (kind) {
        case HistoryKind::Modified:
            columns.insert(columns.end(),
                           {"value", "quality", "quality_text", "modification_time", "edit_type", "user"});
            break;
        case HistoryKind::Annotations: columns.insert(columns.end(), {"annotation_time", "annotation", "user"}); break;
        case HistoryKind::Attributes: columns.push_back("value"); break;
        default: columns.insert(columns.end(), {"value", "quality", "quality_text"}); break;
    }
    columns.insert(columns.end(), {"error", "error_text"});
    return columns;
}

int LeadColumnsOf(HistoryKind kind) { return kind == HistoryKind::Attributes ? 2 : 0; }
