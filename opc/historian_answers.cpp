#include "opc/historian_answers.h"

#include <objbase.h>

#include <utility>

#include "com/variant_values.h"

namespace {

// Each frees a block with what it owns and nulls the pointer.
template <class T>
void FreeBlock(T*& block) {
    CoTaskMemFree(block);
    block = nullptr;
}

void FreeVariants(VARIANT*& values, DWORD count) {
    if (values)
        for (DWORD i = 0, n = WalkableCount(count, values); i < n; ++i) ClearVariantValue(&values[i]);
    FreeBlock(values);
}

void FreeStrings(LPWSTR*& strings, DWORD count) {
    if (strings)
        for (DWORD i = 0, n = WalkableCount(count, strings); i < n; ++i) CoTaskMemFree(strings[i]);
    FreeBlock(strings);
}

template <class T>
void FreeArray(T* elements, DWORD count) {
    if (!elements) return;
    for (DWORD i = 0, n = WalkableCount(count, elements); i < n; ++i) ClearHistorianAnswer(elements[i]);
    CoTaskMemFree(elements);
}

}  // namespace

void ClearHistorianAnswer(OPCHDA_ITEM& item) {
    FreeBlock(item.pftTimeStamps);
    FreeBlock(item.pdwQualities);
    FreeVariants(item.pvDataValues, std::exchange(item.dwCount, 0));
}

void ClearHistorianAnswer(OPCHDA_MODIFIEDITEM& item) {
    FreeBlock(item.pftTimeStamps);
    FreeBlock(item.pdwQualities);
    FreeBlock(item.pftModificationTime);
    FreeBlock(item.pEditType);
    FreeVariants(item.pvDataValues, item.dwCount);
    FreeStrings(item.szUser, std::exchange(item.dwCount, 0));
}

void ClearHistorianAnswer(OPCHDA_ATTRIBUTE& attribute) {
    FreeBlock(attribute.ftTimeStamps);
    FreeVariants(attribute.vAttributeValues, std::exchange(attribute.dwNumValues, 0));
}

void ClearHistorianAnswer(OPCHDA_ANNOTATION& annotation) {
    FreeBlock(annotation.ftTimeStamps);
    FreeBlock(annotation.ftAnnotationTime);
    FreeStrings(annotation.szAnnotation, annotation.dwNumValues);
    FreeStrings(annotation.szUser, std::exchange(annotation.dwNumValues, 0));
}

void FreeHistorianItems(OPCHDA_ITEM* items, DWORD count) { FreeArray(items, count); }
void FreeHistorianModifiedItems(OPCHDA_MODIFIEDITEM* items, DWORD count) { FreeArray(items, count); }
void FreeHistorianAttributes(OPCHDA_ATTRIBUTE* attributes, DWORD count) { FreeArray(attributes, count); }
void FreeHistorianAnnotations(OPCHDA_ANNOTATION* annotations, DWORD count) { FreeArray(annotations, count); }
