#include "historian_answers.h"

#include <objbase.h>

#include "module/variant_values.h"

namespace {

void ClearVariants(VARIANT* values, DWORD count) {
    if (!values) return;
    for (DWORD i = 0; i < count; ++i) ClearVariantValue(&values[i]);
    CoTaskMemFree(values);
}

void FreeStrings(LPWSTR* strings, DWORD count) {
    if (!strings) return;
    for (DWORD i = 0; i < count; ++i) CoTaskMemFree(strings[i]);
    CoTaskMemFree(strings);
}

template <class T, class Clear>
void FreeArray(T* elements, DWORD count, Clear clear) {
    if (!elements) return;
    for (DWORD i = 0; i < count; ++i) clear(elements[i]);
    CoTaskMemFree(elements);
}

}  // namespace

void ClearHistorianAnswer(OPCHDA_ITEM& item) {
    CoTaskMemFree(item.pftTimeStamps);
    CoTaskMemFree(item.pdwQualities);
    ClearVariants(item.pvDataValues, item.dwCount);
    item.pftTimeStamps = nullptr;
    item.pdwQualities = nullptr;
    item.pvDataValues = nullptr;
    item.dwCount = 0;
}

void ClearHistorianAnswer(OPCHDA_MODIFIEDITEM& item) {
    CoTaskMemFree(item.pftTimeStamps);
    CoTaskMemFree(item.pdwQualities);
    ClearVariants(item.pvDataValues, item.dwCount);
    CoTaskMemFree(item.pftModificationTime);
    CoTaskMemFree(item.pEditType);
    FreeStrings(item.szUser, item.dwCount);
    item.pftTimeStamps = nullptr;
    item.pdwQualities = nullptr;
    item.pvDataValues = nullptr;
    item.pftModificationTime = nullptr;
    item.pEditType = nullptr;
    item.szUser = nullptr;
    item.dwCount = 0;
}

void ClearHistorianAnswer(OPCHDA_ATTRIBUTE& attribute) {
    CoTaskMemFree(attribute.ftTimeStamps);
    ClearVariants(attribute.vAttributeValues, attribute.dwNumValues);
    attribute.ftTimeStamps = nullptr;
    attribute.vAttributeValues = nullptr;
    attribute.dwNumValues = 0;
}

void ClearHistorianAnswer(OPCHDA_ANNOTATION& annotation) {
    CoTaskMemFree(annotation.ftTimeStamps);
    FreeStrings(annotation.szAnnotation, annotation.dwNumValues);
    CoTaskMemFree(annotation.ftAnnotationTime);
    FreeStrings(annotation.szUser, annotation.dwNumValues);
    annotation.ftTimeStamps = nullptr;
    annotation.szAnnotation = nullptr;
    annotation.ftAnnotationTime = nullptr;
    annotation.szUser = nullptr;
    annotation.dwNumValues = 0;
}

void FreeHistorianItems(OPCHDA_ITEM* items, DWORD count) {
    FreeArray(items, count, [](OPCHDA_ITEM& e) { ClearHistorianAnswer(e); });
}

void FreeHistorianModifiedItems(OPCHDA_MODIFIEDITEM* items, DWORD count) {
    FreeArray(items, count, [](OPCHDA_MODIFIEDITEM& e) { ClearHistorianAnswer(e); });
}

void FreeHistorianAttributes(OPCHDA_ATTRIBUTE* attributes, DWORD count) {
    FreeArray(attributes, count, [](OPCHDA_ATTRIBUTE& e) { ClearHistorianAnswer(e); });
}

void FreeHistorianAnnotations(OPCHDA_ANNOTATION* annotations, DWORD count) {
    FreeArray(annotations, count, [](OPCHDA_ANNOTATION& e) { ClearHistorianAnswer(e); });
}
