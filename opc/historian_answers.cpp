#include "opc/historian_answers.h"

#include <objbase.h>

#include <utility>


namespace {

// Frees one array field of an element (with what its elements own) and nulls it.
template <class Elements = PlainElements, class T>
void FreeField(T*& field, DWORD count = 0) {
    TaskArray<T, Elements> gone = TaskArray<T, Elements>::attach(std::exchange(field, nullptr), count);
}

}  // namespace

void ClearHistorianAnswer(OPCHDA_ITEM& item) {
    FreeField(item.pftTimeStamps);
    FreeField(item.pdwQualities);
    FreeField<VariantElements>(item.pvDataValues, std::exchange(item.dwCount, 0));
}

void ClearHistorianAnswer(OPCHDA_MODIFIEDITEM& item) {
    FreeField(item.pftTimeStamps);
    FreeField(item.pdwQualities);
    FreeField(item.pftModificationTime);
    FreeField(item.pEditType);
    FreeField<VariantElements>(item.pvDataValues, item.dwCount);
    FreeField<TaskStringElements>(item.szUser, std::exchange(item.dwCount, 0));
}

void ClearHistorianAnswer(OPCHDA_ATTRIBUTE& attribute) {
    FreeField(attribute.ftTimeStamps);
    FreeField<VariantElements>(attribute.vAttributeValues, std::exchange(attribute.dwNumValues, 0));
}

void ClearHistorianAnswer(OPCHDA_ANNOTATION& annotation) {
    FreeField(annotation.ftTimeStamps);
    FreeField(annotation.ftAnnotationTime);
    FreeField<TaskStringElements>(annotation.szAnnotation, annotation.dwNumValues);
    FreeField<TaskStringElements>(annotation.szUser, std::exchange(annotation.dwNumValues, 0));
}

