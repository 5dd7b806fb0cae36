#include "answers.h"

#include "sim_clock.h"
#include "task_memory.h"

#include <cstring>

namespace hdasim {
namespace {

template <class T>
bool AllocN(T*& p, size_t n) {
    p = nullptr;
    if (n == 0) return true;
    p = SimAllocArray<T>(n);
    if (p) std::memset(static_cast<void*>(p), 0, n * sizeof(T));
    return p != nullptr;
}

}  // namespace

bool FillItem(OPCHDA_ITEM& out, const ItemData& data, OPCHANDLE client, DWORD aggregate) {
    std::memset(&out, 0, sizeof(out));
    out.hClient = client;
    out.haAggregate = aggregate;
    size_t n = data.values.size();
    out.dwCount = static_cast<DWORD>(n);
    if (!AllocN(out.pftTimeStamps, n) || !AllocN(out.pdwQualities, n) || !AllocN(out.pvDataValues, n)) {
        ClearHistorianAnswer(out);
        return false;
    }
    for (size_t i = 0; i < n; ++i) {
        out.pftTimeStamps[i] = i64_to_filetime(data.values[i].time);
        out.pdwQualities[i] = data.values[i].quality;
        VariantInit(&out.pvDataValues[i]);
        data.values[i].value.CopyTo(&out.pvDataValues[i]);
    }
    return true;
}

bool FillModified(OPCHDA_MODIFIEDITEM& out, const ModifiedData& data, OPCHANDLE client) {
    std::memset(&out, 0, sizeof(out));
    out.hClient = client;
    size_t n = data.values.size();
    out.dwCount = static_cast<DWORD>(n);
    if (!AllocN(out.pftTimeStamps, n) || !AllocN(out.pdwQualities, n) || !AllocN(out.pvDataValues, n) ||
        !AllocN(out.pftModificationTime, n) || !AllocN(out.pEditType, n) || !AllocN(out.szUser, n)) {
        ClearHistorianAnswer(out);
        return false;
    }
    for (size_t i = 0; i < n; ++i) {
        const ModifiedValue& v = data.values[i];
        out.pftTimeStamps[i] = i64_to_filetime(v.time);
        out.pdwQualities[i] = v.quality;
        VariantInit(&out.pvDataValues[i]);
        v.value.CopyTo(&out.pvDataValues[i]);
        out.pftModificationTime[i] = i64_to_filetime(v.modificationTime);
        out.pEditType[i] = static_cast<OPCHDA_EDITTYPE>(v.editType);
        out.szUser[i] = SimStrdup(v.user);
        if (!out.szUser[i]) {
            ClearHistorianAnswer(out);
            return false;
        }
    }
    return true;
}

bool FillAttribute(OPCHDA_ATTRIBUTE& out, const AttributeData& data, OPCHANDLE client) {
    std::memset(&out, 0, sizeof(out));
    out.hClient = client;
    out.dwAttributeID = data.attributeId;
    size_t n = std::min(data.times.size(), data.values.size());
    out.dwNumValues = static_cast<DWORD>(n);
    if (!AllocN(out.ftTimeStamps, n) || !AllocN(out.vAttributeValues, n)) {
        ClearHistorianAnswer(out);
        return false;
    }
    for (size_t i = 0; i < n; ++i) {
        out.ftTimeStamps[i] = i64_to_filetime(data.times[i]);
        VariantInit(&out.vAttributeValues[i]);
        data.values[i].CopyTo(&out.vAttributeValues[i]);
    }
    return true;
}

bool FillAnnotation(OPCHDA_ANNOTATION& out, const AnnotationData& data, OPCHANDLE client) {
    std::memset(&out, 0, sizeof(out));
    out.hClient = client;
    size_t n = data.values.size();
    out.dwNumValues = static_cast<DWORD>(n);
    if (!AllocN(out.ftTimeStamps, n) || !AllocN(out.szAnnotation, n) || !AllocN(out.ftAnnotationTime, n) ||
        !AllocN(out.szUser, n)) {
        ClearHistorianAnswer(out);
        return false;
    }
    for (size_t i = 0; i < n; ++i) {
        const Annotation& a = data.values[i];
        out.ftTimeStamps[i] = i64_to_filetime(a.time);
        out.ftAnnotationTime[i] = i64_to_filetime(a.annotationTime);
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
