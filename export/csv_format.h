// The texts of one CSV row: values, qualities and result codes in words, and
// the quoting that keeps a field with commas, quotes or line breaks in one piece.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <string>
#include <string_view>

// UTF-8 of a wide text, and back.
std::string Utf8(const std::wstring& text);
std::wstring FromUtf8(std::string_view text);

// A value as text: numbers in the shortest form that reads back exactly,
// booleans as true/false, texts as they are, empty and null as nothing.
std::string FormatValue(const VARIANT& value);

// The OPC DA quality of the low byte (Good, Uncertain: Last Usable Value,
// Bad: Comm Failure, with Low Limited, High Limited or Constant) followed by
// the OPC HDA flags of the high word (Raw, Interpolated, NoBound, ...),
// separated by " | ".
std::string QualityText(DWORD quality);

// The OPC name of a result code the historian may answer (OPC_E_UNKNOWNITEMID,
// OPC_S_MOREDATA, ...); empty for others.
const char* CodeName(HRESULT code);

// A CSV field: quoted, with quotes doubled, when it holds the separator, a
// quote or a line break.
std::string CsvField(std::string_view text, std::string_view separator = ",");
