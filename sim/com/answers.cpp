#include "answers.h"

#include "sim/model/sim_clock.h"
#include "task_memory.h"

#include <cstring>

namespace hdasim {
namespace {

template <class T>
bool AllocN(T*& p, size_t n) {
    p = n ? TrackedArray<T>(n).detach() : nullptr;
    return n == 0 || p;
}

// Every column of an answer, or none: a failed allocation clears what was made.
template <class Answer, class... T>
bool AllocColumns(Answer& out, size_t n, T*&... columns) {
    if ((AllocN(columns, n) && ...)) return true;
    ClearHistorianAnswer(out);
    return false;
}

// Element i of the time, quality and value columns (a Value or ModifiedValue).
template <class Answer, class V>
void PutValue(Answer& out, size_t i, const V& v) {
    out.pftTimeStamps[i] = FileTimeOf(v.time);
    out.pdwQualities[i] = v.quality;
    CopyVariantValue(&out.pvDataValues[i], v.value.get());
}

// Starts an answer for `client`: cleared, with n elements counted in `count`.
template <class Answer>
size_t Begin(Answer& out, OPCHANDLE client, size_t n, DWORD& count) {
    std::memset(&out, 0, sizeof(out));
    out.hClient = client;
    count = static_cast<DWORD>(n);
    return n;
}

}  // namespace

bool FillItem(OPCHDA_ITEM& out, const ItemData& data, OPCHANDLE client, DWORD aggregate) {
    const size_t n = Begin(out, client, data.values.size(), out.dwCount);
    out.haAggregate = aggregate;
    if (!AllocColumns(out, n, out.pftTimeStamps, out.pdwQualities, out.pvDataValues)) return false;
    for (size_t i = 0; i < n; ++i) {
        PutValue(out, i, data.values[i]);
    }
    return true;
}

bool FillModified(OPCHDA_MODIFIEDITEM& out, const ModifiedData& data, OPCHANDLE client) {
    const size_t n = Begin(out, client, data.values.size(), out.dwCount);
    if (!AllocColumns(out, n, out.pftTimeStamps, out.pdwQualities, out.pvDataValues, out.pftModificationTime,
                      out.pEditType, out.szUser))
        return false;
    for (size_t i = 0; i < n; ++i) {
        const ModifiedValue& v = data.values[i];
        PutValue(out, i, v);
        out.pftModificationTime[i] = FileTimeOf(v.modificationTime);
        out.pEditType[i] = static_cast<OPCHDA_EDITTYPE>(v.editType);
        out.szUser[i] = SimStrdup(v.user ? v.user->c_str() : L"");
        if (!out.szUser[i]) {
            ClearHistorianAnswer(out);
            return false;
        }
    }
    return true;
}

bool FillAttribute(OPCHDA_ATTRIBUTE& out, const AttributeData& data, OPCHANDLE client) {
    const size_t n = Begin(out, client, std::min(data.times.size(), data.values.size()), out.dwNumValues);
    out.dwAttributeID = data.attributeId;
    if (!AllocColumns(out, n, out.ftTimeStamps, out.vAttributeValues)) return false;
    for (size_t i = 0; i < n; ++i) {
        out.ftTimeStamps[i] = FileTimeOf(data.times[i]);
        CopyVariantValue(&out.vAttributeValues[i], data.values[i].get());
    }
    return true;
}

bool FillAnnotation(OPCHDA_ANNOTATION& out, const AnnotationData& data, OPCHANDLE client) {
    const size_t n = Begin(out, client, data.values.size(), out.dwNumValues);
    if (!AllocColumns(out, n, out.ftTimeStamps, out.szAnnotation, out.ftAnnotationTime, out.szUser)) return false;
    for (size_t i = 0; i < n; ++i) {
        const Annotation& a = data.values[i];
        out.ftTimeStamps[i] = FileTimeOf(a.time);
        out.ftAnnotationTime[i] = FileTimeOf(a.annotationTime);
        out.szAnnotation[i] = SimStrdup(a.text);
        out.szUser[i] = SimStrdup(a.user);
        if (!out.szAnnotation[i] || !out.szUser[i]) {
            ClearHistorianAnswer(out);
            return false;
        }
    }
    return true;
}

}  // namespace hdasim
